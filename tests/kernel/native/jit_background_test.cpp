// Background builds as a `krvhost run` user meets them, with a fake compiler that hangs (in its probe or
// in its build) after making a file in its TMPDIR, as a killed gcc leaves its objects: the script's own
// worker job and `kernel_jit_compiler()` answer while the compiler still hangs (the kernel still says
// "compiling" afterwards, which it could not once the 60 s limit had ended the build), and the end of
// the run kills the compiler and leaves no file in the cache nor in the temporary directory, also when
// krvhost ends with _exit because a worker is still busy, or a signal stops it in any of its ways.
#include <signal.h>

#include <gtest/gtest.h>

#include <thread>

#include "kernel/support/jit_scratch.h"
#include "platform/process_alive.h"
#include "signalled_run.h"
#include "timed_process.h"

namespace {

// The lines that compile "kernel void one(u32* p) { p[gid] = 1u; }" into local 0 and launch it once on
// a 4-byte buffer (the launch queues the kernel's background build), then {REST}: a script's strings
// 0-5, natives N0-N2 and first lines, with room for its own.
const char* const kCompileAndLaunch = R"(string "kernel void one(u32* p) { p[gid] = 1u; }"
string "one.k"
string "resize"
string "get"
string "one"
string "launch"
{MORE_STRINGS}native N0 "print" 0 999
native N1 "std.kernel_compile" 1 64
native N2 "std.buffer" 0 0
{MORE_NATIVES}block B0 4 locals {LOCALS} caches {CACHES}
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
{REST})";

// After the launch: prints "said:" and what native N3 answered, then the kernel's jit_status.
const char* const kSayThenStatus = R"(  args_open 2
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
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
      text.replace(at, from.size(), to);
    }
  }
  return text;
}

// A compiler whose shell `body` ({ROOT} the scratch directory) hangs where it is told, as hangcc in `root`
// beside an empty tmp, and the environment that makes krvhost use it with a cache and TMPDIR of its own.
krv_environment_changes hanging_compiler(const scratch_dir& root, const std::string& body, const char* jit) {
  std::filesystem::create_directory(root / "tmp");
  write_script(root / "hangcc", fill(body, {{"{ROOT}", root.path().string()}}));
  krv_environment_changes environment = {
      {"KRV_KERNEL_CC", root / "hangcc"}, {"KRV_KERNEL_CACHE", root / "cache"}, {"TMPDIR", root / "tmp"}};
  environment["KRV_KERNEL_JIT"] = jit == nullptr ? std::nullopt : std::optional<std::string>(jit);
  return environment;
}

// After the launch: a task's regular-expression match holds a worker (28 a's and a b against (a+)+$:
// about a minute) while the root block fails, so that krvhost ends with _exit, its kernel's build begun.
const char* const kFailBesideMatch = R"(  load_local 2
  push_none
  args_open 1
  load_function 0
  arg 0
  call_native @N3
  assign
  load_local 2
  member 6 3 null 0
  call_prepare 0
  call
  args_open 1
  load_int 300
  arg 0
  call_native @N4
  args_open 1
  load_string 7
  arg 0
  call_native @N5
end
block B1 1 child B0 caches 1
  args_open 2
  load_string 8
  arg 0
  args_open 1
  load_string 9
  arg 0
  call_native @N6
  member 10 0 null 0
  call_prepare 1
  load_string 11
  call_arg 0
  call
  arg 1
  call_native @N0
end
)";

// A script that launches the kernel, then prints what `native` (of `arity`, given `args`) answered and
// the kernel's jit_status.
std::string launch_then(const char* native, const char* arity, const char* args) {
  const char* count = args[0] == '\0' ? "0" : "1";
  return "program \"hanging_compiler\"\n" +
         fill(kCompileAndLaunch, {{"{MORE_STRINGS}", "string \"jit_status\"\nstring \"said:\"\n"},
                                  {"{MORE_NATIVES}", std::string("native N3 \"") + native + "\" " + arity + "\n"},
                                  {"{LOCALS}", "2"}, {"{CACHES}", "5"},
                                  {"{REST}", fill(kSayThenStatus, {{"{ARGS}", count}, {"{ARG_LINES}", args}})}});
}

// The script that launches the kernel and fails beside a long match.
std::string launch_then_fail_beside_a_match() {
  return "program \"build_beside_match\"\n" +
         fill(kCompileAndLaunch, {{"{MORE_STRINGS}", "string \"run\"\nstring \"the run ends while the match runs\"\n"
                                                     "string \"match\"\nstring \"aaaaaaaaaaaaaaaaaaaaaaaaaaaab\"\n"
                                                     "string \"regex_match\"\nstring \"(a+)+$\"\n"},
                                  {"{MORE_NATIVES}", "native N3 \"std.thread\" 0 1\nnative N4 \"idle_ms\" 1 1\n"
                                                     "native N5 \"fail\" 0 999\nnative N6 \"std.string\" 0 1\n"},
                                  {"{LOCALS}", "3"}, {"{CACHES}", "4"}, {"{REST}", kFailBesideMatch}});
}

TEST(JitBackground, AHangingCompilerCostsTheScriptNothing) {
  const struct {
    const char* name;
    std::string script;
    const char* hangs_in;  // the compiler's arguments that make it hang: its probe or its build
    const char* workers;
    int exit_code;
    const char* out;
    const char* err_start;
    const char* err_has = "";  // a line stderr must hold
  } cases[] = {
      // With one worker, the build used to hold it: worker_sum waited the whole run limit behind it.
      {"worker job behind a hanging build", launch_then("worker_sum", "1 1", "  load_int 10\n  arg 0\n"), "*' -o '*",
       "1", 0, "said: 55\ncompiling\n", ""},
      // The build's probe used to hold the JIT mutex that kernel_jit_compiler needs, for the whole limit.
      {"compiler asked while its probe hangs", launch_then("std.kernel_jit_compiler", "0 0", ""), "*' --version '*",
       "1", 0, "said: \ncompiling\n", ""},
      // krvhost leaves with _exit (no static destructor runs) while the build hangs: it is abandoned first.
      // krvhost names what the busy worker runs.
      {"process ends with a worker busy", launch_then_fail_beside_a_match(), "*' -o '*", "2", 1, "", "Runtime Error",
       "\nkrvhost: a worker is still busy after the run ended (running regex_match); exiting without waiting for it\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    scratch_dir root;
    const krv_environment_changes environment =
        hanging_compiler(root,
                         fill("echo $$ > '{ROOT}/cc.pid'\ncase \" $* \" in {HANGS})\n"
                              "  : > \"$TMPDIR/k_0123456789abcdef-cc1.o\"; exec sleep 300;;\nesac\n",
                              {{"{HANGS}", c.hangs_in}}),
                         nullptr);
    const std::string script = root / "run.krvasm";
    write_text(script, c.script);
    const krv_process_result run =
        krv_run_process({KRV_KRVHOST_PATH, "run", "--workers", c.workers, script}, environment);
    EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err.rfind(c.err_start, 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.err_has), std::string::npos) << run.err;
    // A run may end before the build thread has started the compiler at all; one that started is gone.
    const std::string pid = read_text(root / "cc.pid");
    if (!pid.empty()) {
      EXPECT_NE(kill(std::stoi(pid), 0), 0);  // killed with its group, and reaped
    }
    EXPECT_EQ(names_in(root / "cache"), std::vector<std::string>{});
    EXPECT_EQ(names_in(root / "tmp"), std::vector<std::string>{});
  }
}

// After the launch: c = ipc.ipc(); c.connect("{CHANNEL}"); c.on_message(f): the run waits on the channel.
const char* const kWaitOnChannel = R"(  load_local 2
  push_none
  args_open 0
  call_native @N3
  assign
  load_local 2
  member 6 3 null 0
  call_prepare 1
  load_string 7
  call_arg 0
  call
  load_local 2
  member 8 4 null 0
  call_prepare 1
  load_function 0
  call_arg 0
  call
end
block B1 1 child B0 params 1 locals 1
end
)";

// Every way a signal ends krvhost while its compiler hangs kills the compiler, its own children
// included, and every way that runs code removes the build's files: its .c, its .tmp folder and what
// the compiler made there. The run ends within a second of the first signal, also while the VM thread
// waits in a sync build. SIGKILL runs no code of krvhost: its compiler dies all the same.
TEST(JitBackground, EveryWayOutKillsTheCompilerAndRemovesItsFiles) {
  const struct {
    const char* name;
    const char* jit;              // KRV_KERNEL_JIT
    int first;                    // the first signal, once the compiler runs
    bool keeps_sending;           // SIGINT every ms from then on, while krvhost runs
    int exit_code;                // 0: not checked (the end may come through the default action)
    bool files_go;
  } cases[] = {
      {"one Ctrl-C", "auto", SIGINT, false, 130, true},
      // Copies that reach krvhost while it ends, also once its handlers are gone (its end, not the
      // signals, decides when they go: the build's end comes first).
      {"Ctrl-C through the end", "auto", SIGINT, true, 0, true},
      // The VM thread waits in the compiler: the first signal abandons the build, as any stop does.
      {"sync build, one Ctrl-C", "sync", SIGINT, false, 130, true},
      {"sync build, SIGTERM", "sync", SIGTERM, false, 143, true},
      {"SIGKILL", "auto", SIGKILL, false, -SIGKILL, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    scratch_dir root;
    // The build forks a helper into the compiler's group, as a driver starts cc1, and both hang.
    const krv_environment_changes environment =
        hanging_compiler(root,
                         "case \" $* \" in *' -o '*)\n"
                         "  : > \"$TMPDIR/k_0123456789abcdef-cc1.o\"; sleep 300 & echo $! > '{ROOT}/cc1.pid'\n"
                         "  echo $$ > '{ROOT}/cc.pid'; wait;;\nesac\n",
                         c.jit);
    const std::string channel = "jit_way_out_" + std::to_string(getpid());
    const std::string script = root / "run.krvasm";
    write_text(script, "program \"way_out\"\n" +
                           fill(kCompileAndLaunch, {{"{MORE_STRINGS}", "string \"connect\"\nstring \"" + channel +
                                                                           "\"\nstring \"on_message\"\n"},
                                                    {"{MORE_NATIVES}", "native N3 \"ipc.ipc\" 0 0\n"},
                                                    {"{LOCALS}", "3"}, {"{CACHES}", "5"}, {"{REST}", kWaitOnChannel}}));
    krv_signalled_run run({KRV_KRVHOST_PATH, "run", script}, environment);
    const bool waits_on_channel = std::string_view(c.jit) != "sync";
    for (int i = 0; i < 2000 && (read_text(root / "cc.pid").empty() ||
                                 (waits_on_channel && !std::filesystem::exists("/dev/shm/krv_ipc_" + channel)));
         ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const std::vector<std::string> pids = {read_text(root / "cc.pid"), read_text(root / "cc1.pid")};
    ASSERT_FALSE(pids[0].empty() || pids[1].empty());
    run.send(c.first);
    const auto running = [&] { return krv_platform::process_running(static_cast<uint32_t>(run.pid())); };
    for (int i = 0; c.keeps_sending && i < 500 && running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      run.send(SIGINT);
    }
    const int exit_code = run.wait_exit(std::chrono::seconds(10));
    if (c.exit_code != 0) {
      EXPECT_EQ(exit_code, c.exit_code) << run.err();
    }
    // Said when the run has not ended a second after the stop request: no compiler may hold it that long.
    EXPECT_EQ(run.err().find("stopping once the running task yields"), std::string::npos) << run.err();
    for (const std::string& pid : pids) {
      bool running = true;  // a watchdog's kill may take a moment after a SIGKILL
      for (int i = 0; i < 200 && (running = krv_platform::process_running(std::stoul(pid))); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      EXPECT_FALSE(running) << pid;
      if (running) kill(std::stoi(pid), SIGKILL);
    }
    if (c.files_go) {
      EXPECT_EQ(names_in(root / "cache"), std::vector<std::string>{});
      EXPECT_EQ(names_in(root / "tmp"), std::vector<std::string>{});
    }
    std::filesystem::remove("/dev/shm/krv_ipc_" + channel);
  }
}

}  // namespace
