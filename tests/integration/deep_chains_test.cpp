// Chains of objects each holding the next, 200,000 long, built by a `krvhost run` script as a user
// builds them (`n = Node(); n.next = prev; prev = n` in a loop), for every kind of value a script can
// chain: containers, script-class instances, closures capturing closures, std.thread groups keeping the
// previous group as their result. Each chain is released once dropped by the script and once held to
// the end of the run: neither release may run off the thread's stack.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "timed_process.h"

namespace {

// How a script makes one link: the declarations it needs (strings from 2 on, natives from N1, classes),
// the root block's first lines and `caches`, the code that sets local 1 to a new link holding local 0,
// and the child blocks.
struct chain_kind {
  const char* name;
  const char* declarations;
  const char* prelude;
  int caches;
  const char* link;
  const char* children;
};

const chain_kind kinds[] = {
    {"container", "string \"push\"\nnative N1 \"std.json\" 0 2\n", "", 1,
     "  load_local 1\n  push_none\n  args_open 0\n  call_native @N1\n  assign\n"
     "  load_local 1\n  member 2 0 null 0\n  call_prepare 1\n  load_local 0\n  call_arg 0\n  call\n",
     ""},
    {"instance", "string \"next\"\nclass K0 \"Node\" default B1\nmember K0 \"next\" 0\n", "  const class K0\n", 1,
     "  load_local 1\n  push_none\n  load_const 0\n  call_prepare 0\n  call\n  assign\n"
     "  load_local 1\n  member 2 0 null 0\n  push_none\n  load_local 0\n  assign\n",
     "block B1 1 child B0 locals 1 class K0\n  new_instance\nend\n"},
    {"closure", "", "", 0,
     "  load_local 1\n  push_none\n  load_function 0\n  push_none\n  load_local 0\n  capture 0\n  pop\n  assign\n",
     "block B1 1 child B0 locals 1\n  load_int 1\nend\n"},
    {"thread", "string \"run\"\nstring \"join\"\nnative N1 \"std.thread\" 0 1\n", "", 2,
     "  load_local 1\n  push_none\n  args_open 1\n  load_function 0\n  arg 0\n  call_native @N1\n  assign\n"
     "  load_local 1\n  member 2 0 null 0\n  call_prepare 1\n  load_local 0\n  call_arg 0\n  call\n"
     "  load_local 1\n  member 3 1 null 0\n  call_prepare 0\n  call\n",
     "block B1 1 child B0 params 1 locals 1\n  load_local 0\nend\n"},
};

// locals: 0 the chain, 1 the new link, 2 the count; strings 0 "built", 1 "dropped".
std::string chain_script(const chain_kind& kind, bool dropped) {
  std::string text = std::string("program \"chain\"\nstring \"built\"\nstring \"dropped\"\n") + kind.declarations +
                     "native N0 \"print\" 0 999\nblock B0 4 locals 3 caches " + std::to_string(kind.caches) + "\n" +
                     kind.prelude +
                     "next:\n  load_local 2\n  push_none\n  load_int 200000\n  lt 0\n  jump_false built\n" + kind.link +
                     "  load_local 0\n  push_none\n  load_local 1\n  assign\n"
                     "  load_local 2\n  push_none\n  load_local 2\n  push_none\n  load_int 1\n  add\n  assign\n"
                     "  jump next\nbuilt:\n  args_open 1\n  load_string 0\n  arg 0\n  call_native @N0\n";
  if (dropped)
    text += "  load_local 1\n  push_none\n  load_none\n  assign\n  load_local 0\n  push_none\n  load_none\n  assign\n"
            "  args_open 1\n  load_string 1\n  arg 0\n  call_native @N0\n";
  return text + "end\n" + kind.children;
}

TEST(DeepChains, EveryKindOfChainIsReleasedDroppedOrHeldToTheEnd) {
  const std::string path = ::testing::TempDir() + "deep_chain_" + std::to_string(getpid()) + ".krvasm";
  for (const chain_kind& kind : kinds) {
    for (const bool dropped : {true, false}) {
      SCOPED_TRACE(std::string(kind.name) + (dropped ? " dropped" : " held"));
      std::ofstream(path) << chain_script(kind, dropped);
      const krv_process_result run = krv_run_process({KRV_KRVHOST_PATH, "run", path});
      EXPECT_EQ(run.exit_code, 0) << run.err.substr(0, 2000);
      EXPECT_EQ(run.out, dropped ? "built\ndropped\n" : "built\n");
      EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err.substr(0, 2000);
    }
  }
  std::remove(path.c_str());
}

}  // namespace
