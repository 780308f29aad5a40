// Containers nested far past every walk's depth limit, built by a `krvhost run` script as a user builds
// them (`b = std.json(); b.push(a); a = b` in a loop), then taken through every walk a script can start
// on them, then dropped: each walk gives its result or its warning, and nothing crashes, the release at
// the end least of all.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "timed_process.h"

namespace {

constexpr int chain_depth = 200000;

// One walk: a statement on `top` (local 0, a container holding two separate chains) and `other` (local
// 4, the second chain), assembled after the chains are built.
struct walk {
  std::string name;
  std::string method;  // a std.json method called on top, or empty when `statement` says what to do
  std::string argument;  // "top", a program string's text, or empty for none
  std::string statement;
};

const std::vector<walk> walks = {
    {"print", "", "", "  args_open 1\n  load_local 0\n  arg_copy 0\n  call_native @N1\n"},
    {"size_of", "", "", "  args_open 1\n  load_local 0\n  arg_copy 0\n  call_native @N2\n"},
    {"compare", "", "", "  load_local 3\n  push_none\n  load_local 0\n  push_none\n  load_local 4\n  eq 0\n  assign\n"},
    {"shallow copy", "", "",
     "  load_local 3\n  push_none\n  args_open 1\n  load_local 0\n  arg_copy 0\n  call_native @N0\n  assign\n"},
    {"string", "string", "", ""},
    {"compact_string", "compact_string", "", ""},
    {"debug_refs", "debug_refs", "", ""},
    {"combine_string", "combine_string", "", ""},
    {"copy", "copy", "", ""},
    {"unique", "unique", "", ""},
    {"sort", "sort", "", ""},
    {"sort_by", "sort_by", "0", ""},
    {"has_value", "has_value", "top", ""},
    {"filter_value", "filter_value", "k", ""},
    {"merge", "merge", "top", ""},
    {"append", "append", "top", ""},
    {"to_list", "to_list", "", ""},
    {"remove_all_keys", "remove_all_keys", "k", ""},
    {"clear_free", "clear_free", "", ""},
};

// Appends the lines that call `method` on local `self` with `argument`, storing the result in local 3.
void call_method(std::string& text, int self, int name_string, int cache, const std::string& argument_lines) {
  text += "  load_local 3\n  push_none\n  load_local " + std::to_string(self) + "\n  member " +
          std::to_string(name_string) + " " + std::to_string(cache) + " null 0\n  call_prepare " +
          (argument_lines.empty() ? "0" : "1") + "\n" + argument_lines + "  call\n  assign\n";
}

// locals: 0 top, 1 scratch, 2 i, 3 result, 4 other
std::string deep_walks_script() {
  std::vector<std::string> strings = {"push", "walked", "dropped"};
  std::string code;
  int caches = 0;
  auto push = [&](int self, int value) {
    code += "  load_local " + std::to_string(self) + "\n  member 0 " + std::to_string(caches++) +
            " null 0\n  call_prepare 1\n  load_local " + std::to_string(value) + "\n  call_arg 0\n  call\n";
  };
  auto fresh = [&](int local) {
    code += "  load_local " + std::to_string(local) + "\n  push_none\n  args_open 0\n  call_native @N0\n  assign\n";
  };
  auto print_strings = [&](std::vector<size_t> printed) {
    code += "  args_open " + std::to_string(printed.size()) + "\n";
    for (size_t i = 0; i < printed.size(); ++i)
      code += "  load_string " + std::to_string(printed[i]) + "\n  arg " + std::to_string(i) + "\n";
    code += "  call_native @N1\n";
  };
  fresh(0);
  fresh(4);
  code += "  load_local 2\n  push_none\n  load_int 0\n  assign\nnext:\n  load_local 2\n  push_none\n  load_int " +
          std::to_string(chain_depth) + "\n  lt 0\n  jump_false built\n";
  for (const int chain : {0, 4}) {
    fresh(1);
    push(1, chain);
    code += "  load_local " + std::to_string(chain) + "\n  push_none\n  load_local 1\n  assign\n";
  }
  code += "  load_local 2\n  push_none\n  load_local 2\n  push_none\n  load_int 1\n  add\n  assign\n"
          "  jump next\nbuilt:\n";
  fresh(1);
  push(1, 0);
  push(1, 4);
  code += "  load_local 0\n  push_none\n  load_local 1\n  assign\n";
  for (const walk& each : walks) {
    if (each.method.empty()) {
      code += each.statement;
    } else {
      std::string argument;
      if (each.argument == "top") {
        argument = "  load_local 0\n  call_arg 0\n";
      } else if (!each.argument.empty()) {
        strings.push_back(each.argument);
        argument = "  load_string " + std::to_string(strings.size() - 1) + "\n  call_arg 0\n";
      }
      strings.push_back(each.method);
      call_method(code, 0, static_cast<int>(strings.size() - 1), caches++, argument);
    }
    strings.push_back(each.name);
    print_strings({1, strings.size() - 1});
  }
  code += "  load_local 0\n  push_none\n  load_none\n  assign\n  load_local 4\n  push_none\n  load_none\n  assign\n"
          "  load_local 3\n  push_none\n  load_none\n  assign\n";
  print_strings({2});
  std::string text = "program \"deep_walks\"\n";
  for (const std::string& string : strings) text += "string \"" + string + "\"\n";
  text += "native N0 \"std.json\" 0 2\nnative N1 \"print\" 0 999\nnative N2 \"size_of\" 1 1\n"
          "block B0 4 locals 5 caches " + std::to_string(caches) + "\n" + code + "end\n";
  return text;
}

TEST(DeepContainers, EveryWalkOfAChainBuiltByAScriptEndsAndTheReleaseToo) {
  const std::string path = ::testing::TempDir() + "deep_walks_" + std::to_string(getpid()) + ".krvasm";
  std::ofstream(path) << deep_walks_script();
  const krv_process_result run = krv_run_process({KRV_KRVHOST_PATH, "run", path});
  EXPECT_EQ(run.exit_code, 0) << run.err.substr(0, 4000);
  std::string expected_tail;
  for (const walk& each : walks) expected_tail += "walked " + each.name + "\n";
  expected_tail += "dropped\n";
  // The print of the top container comes first: its text, cut at the depth limit, ends in its own line.
  const size_t first_walked = run.out.find("walked print\n");
  ASSERT_NE(first_walked, std::string::npos) << run.out.substr(0, 200);
  EXPECT_EQ(run.out.substr(first_walked), expected_tail);
  EXPECT_NE(run.out.find("\"<nested too deeply>\""), std::string::npos);
  // The walks that produce output stop at the depth limit and say so; the others reach every level.
  EXPECT_NE(run.err.find("JSON nesting exceeds the maximum depth of 1024, printing"), std::string::npos);
  EXPECT_NE(run.err.find("JSON copy exceeds the maximum nesting depth of 1024"), std::string::npos);
  EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err.substr(0, 4000);
  std::remove(path.c_str());
}

}  // namespace
