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

// locals: 0 top (a container holding two separate chains 200,000 deep), 1 scratch, 2 i, 3 result,
// 4 the second chain; strings: 0 "push", 1 "walked", 2 "dropped", then the walks' names and arguments.
const std::string built =
    "  load_local 0\n  push_none\n  args_open 0\n  call_native @N0\n  assign\n"
    "  load_local 4\n  push_none\n  args_open 0\n  call_native @N0\n  assign\n"
    "next:\n  load_local 2\n  push_none\n  load_int 200000\n  lt 0\n  jump_false built\n"
    "  load_local 1\n  push_none\n  args_open 0\n  call_native @N0\n  assign\n"
    "  load_local 1\n  member 0 0 null 0\n  call_prepare 1\n  load_local 0\n  call_arg 0\n  call\n"
    "  load_local 0\n  push_none\n  load_local 1\n  assign\n"
    "  load_local 1\n  push_none\n  args_open 0\n  call_native @N0\n  assign\n"
    "  load_local 1\n  member 0 1 null 0\n  call_prepare 1\n  load_local 4\n  call_arg 0\n  call\n"
    "  load_local 4\n  push_none\n  load_local 1\n  assign\n"
    "  load_local 2\n  push_none\n  load_local 2\n  push_none\n  load_int 1\n  add\n  assign\n  jump next\n"
    "built:\n  load_local 1\n  push_none\n  args_open 0\n  call_native @N0\n  assign\n"
    "  load_local 1\n  member 0 2 null 0\n  call_prepare 1\n  load_local 0\n  call_arg 0\n  call\n"
    "  load_local 1\n  member 0 3 null 0\n  call_prepare 1\n  load_local 4\n  call_arg 0\n  call\n"
    "  load_local 0\n  push_none\n  load_local 1\n  assign\n";
constexpr int caches_of_built = 4;

// Walks other than a method call: the host's print and size_of, equality, the json() constructor.
const std::vector<std::pair<std::string, std::string>> statements = {
    {"print", "  args_open 1\n  load_local 0\n  arg_copy 0\n  call_native @N1\n"},
    {"size_of", "  args_open 1\n  load_local 0\n  arg_copy 0\n  call_native @N2\n"},
    {"compare", "  load_local 3\n  push_none\n  load_local 0\n  push_none\n  load_local 4\n  eq 0\n  assign\n"},
    {"json", "  load_local 3\n  push_none\n  args_open 1\n  load_local 0\n  arg_copy 0\n  call_native @N0\n  assign\n"},
};
// Method calls on top: the name, and "top" or a text as the one argument, if any.
const std::vector<std::pair<std::string, std::string>> methods = {
    {"string", ""}, {"compact_string", ""}, {"debug_refs", ""}, {"combine_string", ""}, {"copy", ""},
    {"unique", ""}, {"sort", ""}, {"sort_by", "0"}, {"has_value", "top"}, {"filter_value", "k"},
    {"merge", "top"}, {"append", "top"}, {"to_list", ""}, {"remove_all_keys", "k"}, {"clear_free", ""},
};

std::string deep_walks_script(std::string& expected_out) {
  std::vector<std::string> strings = {"push", "walked", "dropped"};
  auto string_index = [&strings](const std::string& text) {
    strings.push_back(text);
    return std::to_string(strings.size() - 1);
  };
  auto walked = [&](const std::string& name) {
    expected_out += "walked " + name + "\n";
    return "  args_open 2\n  load_string 1\n  arg 0\n  load_string " + string_index(name) +
           "\n  arg 1\n  call_native @N1\n";
  };
  std::string code = built;
  for (const auto& [name, statement] : statements) code += statement + walked(name);
  int caches = caches_of_built;
  for (const auto& [name, argument] : methods) {
    std::string pass;
    if (argument == "top") pass = "  load_local 0\n  call_arg 0\n";
    if (!argument.empty() && argument != "top") pass = "  load_string " + string_index(argument) + "\n  call_arg 0\n";
    code += "  load_local 3\n  push_none\n  load_local 0\n  member " + string_index(name) + " " +
            std::to_string(caches++) + " null 0\n  call_prepare " + (pass.empty() ? "0" : "1") + "\n" + pass +
            "  call\n  assign\n" + walked(name);
  }
  for (const char* local : {"0", "3", "4"})
    code += std::string("  load_local ") + local + "\n  push_none\n  load_none\n  assign\n";
  code += "  args_open 1\n  load_string 2\n  arg 0\n  call_native @N1\n";
  expected_out += "dropped\n";
  std::string text = "program \"deep_walks\"\n";
  for (const std::string& string : strings) text += "string \"" + string + "\"\n";
  return text + "native N0 \"std.json\" 0 2\nnative N1 \"print\" 0 999\nnative N2 \"size_of\" 1 1\n" +
         "block B0 4 locals 5 caches " + std::to_string(caches) + "\n" + code + "end\n";
}

TEST(DeepContainers, EveryWalkOfAChainBuiltByAScriptEndsAndTheReleaseToo) {
  const std::string path = ::testing::TempDir() + "deep_walks_" + std::to_string(getpid()) + ".krvasm";
  std::string expected_out;
  std::ofstream(path) << deep_walks_script(expected_out);
  const krv_process_result run = krv_run_process({KRV_KRVHOST_PATH, "run", path});
  std::remove(path.c_str());
  EXPECT_EQ(run.exit_code, 0) << run.err.substr(0, 4000);
  // The print of the top container comes first: its text, cut at the depth limit, ends in its own line.
  const size_t first_walked = run.out.find("walked print\n");
  ASSERT_NE(first_walked, std::string::npos) << run.out.substr(0, 200);
  EXPECT_EQ(run.out.substr(first_walked), expected_out);
  EXPECT_NE(run.out.find("\"<nested too deeply>\""), std::string::npos);
  // The walks that produce output stop at the depth limit and say so; the others reach every level.
  EXPECT_NE(run.err.find("JSON nesting exceeds the maximum depth of 1024, printing"), std::string::npos);
  EXPECT_NE(run.err.find("JSON copy exceeds the maximum nesting depth of 1024"), std::string::npos);
  EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err.substr(0, 4000);
}

// Equality in every form a script can use it, on chains as deep as the one above: a and b equal, c
// differing only at the bottom, x and y each holding itself. locals: 0 a, 1 b, 2 c, 3 scratch, 4 i,
// 5 result, 6 a list holding b, 7 x, 8 y. Each row sets local 5 to `left` compared with `right`, by an
// operator or a method of `left`, and is printed after its name.
struct comparison_row {
  const char* name;
  const char* left;
  const char* form;  // "eq 0" (==), "eq 1" (!=) or the name of a method
  const char* right;
  const char* printed;
};

const comparison_row comparisons[] = {
    {"a == b", "0", "eq 0", "1", "1"},
    {"a != b", "0", "eq 1", "1", "0"},
    {"a == c", "0", "eq 0", "2", "0"},
    {"a != c", "0", "eq 1", "2", "1"},
    {"x == y", "7", "eq 0", "8", "1"},
    {"[b].has_value(a)", "6", "has_value", "0", "1"},
    {"[b].has_value(c)", "6", "has_value", "2", "0"},
    {"[b].erase_value(c)", "6", "erase_value", "2", "0"},
    {"[b].erase_value(a)", "6", "erase_value", "0", "1"},
};

std::string comparisons_script(std::string& expected_out) {
  std::vector<std::string> strings = {"push", "clear_free"};
  int caches = 0;
  auto string_index = [&strings](const std::string& text) {
    strings.push_back(text);
    return std::to_string(strings.size() - 1);
  };
  auto member = [&caches](const std::string& index) {
    return "  member " + index + " " + std::to_string(caches++) + " null 0\n";
  };
  auto fresh = [](const char* local) {
    return std::string("  load_local ") + local + "\n  push_none\n  args_open 0\n  call_native @N0\n  assign\n";
  };
  auto push = [&](const char* into, const std::string& value) {
    return "  load_local " + std::string(into) + "\n" + member("0") + "  call_prepare 1\n" + value + "  call_arg 0\n  call\n";
  };
  std::string code;
  for (const auto& [local, bottom] : {std::pair{"0", "1"}, {"1", "1"}, {"2", "2"}})
    code += fresh(local) + push(local, std::string("  load_int ") + bottom + "\n");
  code += "next:\n  load_local 4\n  push_none\n  load_int 200000\n  lt 0\n  jump_false built\n";
  for (const char* local : {"0", "1", "2"})
    code += fresh("3") + push("3", std::string("  load_local ") + local + "\n") + "  load_local " + local +
            "\n  push_none\n  load_local 3\n  assign\n";
  code += "  load_local 4\n  push_none\n  load_local 4\n  push_none\n  load_int 1\n  add\n  assign\n  jump next\n";
  code += "built:\n" + fresh("6") + push("6", "  load_local 1\n");
  for (const char* local : {"7", "8"}) code += fresh(local) + push(local, std::string("  load_local ") + local + "\n");
  for (const comparison_row& row : comparisons) {
    const std::string left = std::string("  load_local ") + row.left + "\n";
    const std::string right = std::string("  load_local ") + row.right + "\n";
    const std::string form = row.form;
    const std::string compute =
        form.starts_with("eq ") ? left + "  push_none\n" + right + "  " + form + "\n"
                                : left + member(string_index(form)) + "  call_prepare 1\n" + right + "  call_arg 0\n  call\n";
    code += "  load_local 5\n  push_none\n" + compute + "  assign\n  args_open 2\n  load_string " +
            string_index(row.name) + "\n  arg 0\n  load_local 5\n  arg 1\n  call_native @N1\n";
    expected_out += std::string(row.name) + " " + row.printed + "\n";
  }
  // The cycles broken, so that nothing is left when the run ends.
  for (const char* local : {"7", "8"})
    code += std::string("  load_local ") + local + "\n" + member("1") + "  call_prepare 0\n  call\n";
  std::string text = "program \"deep_comparisons\"\n";
  for (const std::string& string : strings) text += "string \"" + string + "\"\n";
  return text + "native N0 \"std.json\" 0 2\nnative N1 \"print\" 0 999\nblock B0 4 locals 9 caches " +
         std::to_string(caches) + "\n" + code + "end\n";
}

TEST(DeepContainers, EqualChainsCompareEqualToTheBottomInEveryForm) {
  const std::string path = ::testing::TempDir() + "deep_comparisons_" + std::to_string(getpid()) + ".krvasm";
  std::string expected_out;
  std::ofstream(path) << comparisons_script(expected_out);
  const krv_process_result run = krv_run_process({KRV_KRVHOST_PATH, "run", path});
  std::remove(path.c_str());
  EXPECT_EQ(run.exit_code, 0) << run.err.substr(0, 4000);
  EXPECT_EQ(run.out, expected_out);
  EXPECT_EQ(run.err, "");
}

}  // namespace
