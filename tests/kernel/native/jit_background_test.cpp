// Background builds as a `krvhost run` user meets them, with a fake compiler that hangs (in its probe or
// in its build) after making a file in its TMPDIR, as a killed gcc leaves its objects: the script's own
// worker job and `kernel_jit_compiler()` answer while the compiler still hangs (the kernel still says
// "compiling" afterwards, which it could not once the 60 s limit had ended the build), and the end of
// the run kills the compiler and leaves no file in the cache nor in the temporary directory.
#include <signal.h>

#include <gtest/gtest.h>

#include "kernel/support/jit_scratch.h"
#include "timed_process.h"

namespace {

// The lines that compile "kernel void one(u32* p) { p[gid] = 1u; }" into local 0 and launch it once on
// a 4-byte buffer: the launch queues the kernel's background build.
const char* const kLaunchOne = R"(string "kernel void one(u32* p) { p[gid] = 1u; }"
string "one.k"
string "resize"
string "get"
string "one"
string "launch"
string "jit_status"
string "said:"
native N0 "print" 0 999
native N1 "std.kernel_compile" 1 64
native N2 "std.buffer" 0 0
native N3 "{NATIVE}" {ARITY}
block B0 4 locals 2 caches 5
  load_local 0
  push_none
  args_open 2
  load_string 0
  arg 0
  load_string 1
  arg 1
  call_native @N1
  assign
  load_local 1
  push_none
  args_open 0
  call_native @N2
  member 2 0 null 0
  call_prepare 1
  load_int 4
  call_arg 0
  call
  assign
  load_local 0
  member 3 1 null 0
  call_prepare 1
  load_string 4
  call_arg 0
  call
  member 5 2 null 0
  call_prepare 2
  load_int 1
  call_arg 0
  load_local 1
  call_arg 1
  call
  args_open 2
  load_string 7
  arg 0
  args_open {ARGS}
{ARG_LINES}  call_native @N3
  arg 1
  call_native @N0
  args_open 1
  load_local 0
  member 3 3 null 0
  call_prepare 1
  load_string 4
  call_arg 0
  call
  member 6 4 null 0
  call_prepare 0
  call
  arg 0
  call_native @N0
end
)";

std::string fill(std::string text, const std::map<std::string, std::string>& values) {
  for (const auto& [from, to] : values) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) text.replace(at, from.size(), to);
  }
  return text;
}

TEST(JitBackground, AHangingCompilerCostsTheScriptNothing) {
  const struct {
    const char* name;
    const char* hangs_in;  // the compiler's arguments that make it hang: its probe or its build
    const char* native;  // called after the launch, its answer printed after "said:"
    const char* arity;
    const char* args;  // its argument lines
    const char* out;
  } cases[] = {
      // With one worker, the build used to hold it: worker_sum waited the whole run limit behind it.
      {"worker job behind a hanging build", "*' -o '*", "worker_sum", "1 1", "  load_int 10\n  arg 0\n",
       "said: 55\ncompiling\n"},
      // The build's probe used to hold the JIT mutex that kernel_jit_compiler needs, for the whole limit.
      {"compiler asked while its probe hangs", "*' --version '*", "std.kernel_jit_compiler", "0 0", "",
       "said: \ncompiling\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    scratch_dir root;
    std::filesystem::create_directory(root / "tmp");
    write_script(root / "hangcc", fill("echo $$ > '{ROOT}/cc.pid'\n"
                                       "case \" $* \" in {HANGS}) : > \"$TMPDIR/k_0123456789abcdef-cc1.o\"; exec sleep 300;; esac\n"
                                       "exit 0\n",
                                       {{"{ROOT}", root.path().string()}, {"{HANGS}", c.hangs_in}}));
    const std::string script = root / "run.krvasm";
    write_text(script, "program \"hanging_compiler\"\n" +
                           fill(kLaunchOne, {{"{NATIVE}", c.native}, {"{ARITY}", c.arity},
                                             {"{ARGS}", c.args[0] == '\0' ? "0" : "1"}, {"{ARG_LINES}", c.args}}));
    const krv_process_result run =
        krv_run_process({KRV_KRVHOST_PATH, "run", "--workers", "1", script},
                        {{"KRV_KERNEL_CC", root / "hangcc"}, {"KRV_KERNEL_CACHE", root / "cache"},
                         {"KRV_KERNEL_JIT", std::nullopt}, {"TMPDIR", root / "tmp"}});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, "");
    const pid_t compiler = std::stoi(read_text(root / "cc.pid"));
    EXPECT_NE(kill(compiler, 0), 0);  // killed with its group, and reaped
    EXPECT_EQ(names_in(root / "cache"), std::vector<std::string>{});
    EXPECT_EQ(names_in(root / "tmp"), std::vector<std::string>{});
  }
}

}  // namespace
