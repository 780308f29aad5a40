// Signals to `krvhost run` as a terminal, `timeout`, `nohup` and a shell script send them: one Ctrl-C is
// one request to stop, however many copies of it arrive (the terminal signals the whole foreground
// group, and `timeout` passes its own copy on); only a signal after the announced stop exits at once; a
// stop ends an IPC opener's wait for its creator instead of waiting out the 5 s of retries; a hang-up
// stops the run in order as SIGTERM does; a stop signal ignored from the start stays ignored; a loop of
// kernel launches sees the first stop at its next launch; an idle_ms sleep ends at the stop, with
// workers or without; a launch nobody waits for ends with the run; and a script blocked writing to a
// pipe that nobody reads still exits at the second signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <utility>
#include <vector>

#include "kernel/support/jit_scratch.h"
#include "signalled_run.h"

namespace {

// A task that never yields.
const char* const kSpin = "program \"spin\"\nblock B0 4\nspin:\n  jump spin\nend\n";

// k = std.kernel_compile("kernel void f() {}").get("f"); while True: k.launch(1)   (`async`: k.launch_async(1).wait())
std::string launch_loop(bool async) {
  return std::string("program \"l\"\nstring \"kernel void f() {}\"\nstring \"get\"\nstring \"f\"\nstring \"") +
         (async ? "launch_async" : "launch") + "\"\nstring \"wait\"\nnative N0 \"std.kernel_compile\" 1 64\n" +
         "block B0 4 locals 1 caches " + (async ? "3" : "2") + "\n  load_local 0\n  push_none\n  args_open 1\n" +
         "  load_string 0\n  arg 0\n  call_native @N0\n  member 1 0 null 0\n  call_prepare 1\n  load_string 2\n" +
         "  call_arg 0\n  call\n  assign\nagain:\n  load_local 0\n  member 3 1 null 0\n  call_prepare 1\n  load_int 1\n" +
         "  call_arg 0\n  call\n" + (async ? "  member 4 2 null 0\n  call_prepare 0\n  call\n" : "") + "  jump again\nend\n";
}

// idle_ms(60000) in the root block, or (`in_finaliser`) in the __deinit__ of a global that the run's end
// releases: the root block ends at once.
std::string long_sleep(bool in_finaliser) {
  const std::string sleep = "  args_open 1\n  load_int 60000\n  arg 0\n  call_native @N0\n";
  if (!in_finaliser) return "program \"sleep\"\nnative N0 \"idle_ms\" 1 1\nblock B0 4\n" + sleep + "end\n";
  return "program \"fin\"\nnative N0 \"idle_ms\" 1 1\nclass K0 \"Fin\" default B1 deinit B2\nblock B0 4 locals 1\n"
         "  const class K0\n  load_local 0\n  push_none\n  load_const 0\n  call_prepare 0\n  call\n  assign\nend\n"
         "block B1 1 child B0 class K0\n  new_instance\nend\nblock B2 1 child B0\n" + sleep + "end\n";
}

// A global whose finaliser prints "finaliser ran", then a kernel of 4,096 lanes of 4,000,000 steps on the
// interpreters (tens of seconds) started by launch_async into a second global and never waited for;
// then idle_ms(60000), or (`fails`) fail("the root gives up").
std::string unwaited_launch(bool fails) {
  const std::string then = fails ? "  args_open 1\n  load_string 6\n  arg 0\n  call_native @N3\n"
                                 : "  args_open 1\n  load_int 60000\n  arg 0\n  call_native @N2\n";
  return "program \"cut\"\nstring \"kernel u32 spin(u32 n) reduce(+) { u32 a = u32(gid); for (u32 i = 0u; i < n; "
         "i++) a = a * 1664525u + 1013904223u; return a; }\"\nstring \"get\"\nstring \"spin\"\n"
         "string \"launch_async\"\nstring \"off\"\nstring \"finaliser ran\"\nstring \"the root gives up\"\n"
         "native N0 \"std.kernel_compile\" 1 64\nnative N1 \"std.kernel_jit\" 0 1\nnative N2 \"idle_ms\" 1 1\n"
         "native N3 \"fail\" 1 1\nnative N4 \"print\" 0 999\nclass K0 \"Fin\" default B1 deinit B2\n"
         "block B0 4 locals 2 caches 2\n  args_open 1\n  load_string 4\n  arg 0\n  call_native @N1\n"
         "  const class K0\n  load_local 0\n  push_none\n  load_const 0\n  call_prepare 0\n  call\n  assign\n"
         "  load_local 1\n  push_none\n  args_open 1\n  load_string 0\n  arg 0\n  call_native @N0\n"
         "  member 1 0 null 0\n  call_prepare 1\n  load_string 2\n  call_arg 0\n  call\n  member 3 1 null 0\n"
         "  call_prepare 2\n  load_int 4096\n  call_arg 0\n  load_int 4000000\n  call_arg 1\n  call\n  assign\n" +
         then + "end\nblock B1 1 child B0 class K0\n  new_instance\nend\nblock B2 1 child B0\n  args_open 1\n"
         "  load_string 5\n  arg 0\n  call_native @N4\nend\n";
}

// idle_ms(60000), then print("after the sleep") and a hand-off: nothing of it may run after a stop.
const char* const kSleepThenPrint =
    "program \"idle\"\nstring \"after the sleep\"\nnative N0 \"idle_ms\" 1 1\nnative N1 \"print\" 0 999\n"
    "native N2 \"worker_sum\" 1 1\nblock B0 4\n  args_open 1\n  load_int 60000\n  arg 0\n  call_native @N0\n"
    "  args_open 1\n  load_string 0\n  arg 0\n  call_native @N1\n  args_open 1\n  load_int 10\n  arg 0\n"
    "  call_native @N2\nend\n";

// Prints one line after another for ever: into a pipe that nobody reads, it blocks in the write.
const char* const kPrinter = "program \"printer\"\nstring \"a line nobody reads\"\nnative N0 \"print\" 0 999\n"
                             "block B0 4\nagain:\n  args_open 1\n  load_string 0\n  arg 0\n  call_native @N0\n"
                             "  jump again\nend\n";

// From the first signal to the exit. What each row guards against took 5 s (an opener's retries) or
// never ended (a loop that missed the stop, a 60 s sleep); a loaded machine can add seconds of its own.
constexpr std::chrono::milliseconds kStopBound{4000};

const std::string kAnnounced = "krvhost: stopping once the running task yields; send the signal again to exit at once\n";
const std::string kAtOnce = "krvhost: exiting at once; the script's channels were not closed\n";
const std::string kOutputUnread =
    "krvhost: stopping once standard output is read (the script waits to write to it); send the signal again to "
    "exit at once\nkrvhost: standard output is not being read; what was not written yet is lost\n";

// How a shell script starts a background job (SIGINT ignored), as the shell itself would.
const std::vector<std::string> kInBackground = {"sh", "-c", "trap '' INT; exec \"$0\" \"$@\""};

TEST(KrvhostSignals, OneRequestPerPressAndAtOnceOnlyAfterTheAnnouncement) {
  scratch_dir root;
  const auto script = [&root](const char* leaf, const std::string& text) {
    write_text(root / leaf, text);
    return root / leaf;
  };
  const std::string spin = script("spin.krvasm", kSpin);
  const struct {
    const char* name;
    std::string script;
    const char* count;            // the waiting script's first argument; the channel's name comes last
    const char* waits_for;        // the region (after the name) whose creation says the run waits
    std::vector<std::string> wrapper;  // what starts krvhost (`timeout 60`, as scripts/demo does), or nothing
    std::vector<std::pair<int, int>> sent;  // {gap in ms after the one before, signal}, each to the group
    int exit_code;
    std::string err_has;          // {NAME} for the channel's name; with at_once, the whole of stderr
    bool at_once;                 // exits at once: the announcement, then the exit's line, and nothing else
    std::vector<std::string> options = {};  // krvhost run's options (--workers N)
    const char* out = nullptr;    // when set, the whole of stdout
    bool output_unread = false;   // stdout is a pipe that nobody reads
  } cases[] = {
      {"Ctrl-C to timeout and krvhost", KRV_MEMORY_WAITING_SCRIPT_PATH, "10", "", {"timeout", "60"}, {{0, SIGINT}}, 130,
       "", false},
      {"copies a moment apart", KRV_MEMORY_WAITING_SCRIPT_PATH, "10", "", {}, {{0, SIGINT}, {0, SIGINT}, {1, SIGINT}},
       130, "", false},
      // The copy 5 ms after the first is no second press; the signal after the announcement is.
      {"a loop without end", spin, nullptr, nullptr, {}, {{0, SIGINT}, {5, SIGINT}, {1500, SIGINT}}, 130,
       kAnnounced + kAtOnce, true},
      // pong creates {NAME}_b and opens {NAME}_a, whose creator never comes: the stop ends the 5 s of
      // retries, the connect fails as it always does (its line counting the tries it made, not all 500)
      // and the run ends in order, {NAME}_b removed.
      {"an opener waiting for its creator", KRV_PONG_SCRIPT_PATH, nullptr, "_b", {}, {{0, SIGINT}}, 130,
       "IPC: Failed to open shared memory for '{NAME}_a' after ", false},
      // A closed terminal: the channel's region is removed as on Ctrl-C.
      {"a hang-up", KRV_MEMORY_WAITING_SCRIPT_PATH, "10", "", {}, {{0, SIGHUP}}, 129, "", false},
      // Ignored from the start, the first signal changes nothing: only SIGTERM ends the run.
      {"Ctrl-C to a background job", KRV_MEMORY_WAITING_SCRIPT_PATH, "10", "", kInBackground,
       {{0, SIGINT}, {300, SIGTERM}}, 143, "", false},
      {"a hang-up under nohup", KRV_MEMORY_WAITING_SCRIPT_PATH, "10", "", {"nohup"}, {{0, SIGHUP}, {300, SIGTERM}},
       143, "", false},
      // A launch is where a task that only launches kernels sees the stop: one signal ends the loop.
      {"a loop of launches", script("launch.krvasm", launch_loop(false)), nullptr, nullptr, {}, {{0, SIGINT}}, 130,
       "", false},
      {"a loop of launch_async and wait", script("async.krvasm", launch_loop(true)), nullptr, nullptr, {},
       {{0, SIGTERM}}, 143, "", false},
      // The stop wakes the sleep: no worker is left busy in it, and a finaliser does not sleep it out.
      {"a long idle_ms", script("sleep.krvasm", long_sleep(false)), nullptr, nullptr, {}, {{0, SIGINT}}, 130, "",
       false},
      {"a finaliser in a long idle_ms", script("fin.krvasm", long_sleep(true)), nullptr, nullptr, {}, {{0, SIGTERM}},
       143, "", false},
      // Without workers the VM thread runs the sleep itself: the stop ends it, and the script goes no further.
      {"a long idle_ms without workers", script("idle.krvasm", kSleepThenPrint), nullptr, nullptr, {}, {{0, SIGINT}},
       130, "", false, {"--workers", "0"}, ""},
      // A launch nobody waits for stops handing out lanes at the stop, or when its job is dropped at the end
      // of a failed run: it ran on until its last lane, for tens of seconds.
      {"an unwaited launch_async", script("unwaited.krvasm", unwaited_launch(false)), nullptr, nullptr, {},
       {{0, SIGINT}}, 130, "", false, {"--workers", "2"}, "finaliser ran\n"},
      {"an unwaited launch_async without workers", script("unwaited.krvasm", unwaited_launch(false)), nullptr,
       nullptr, {}, {{0, SIGTERM}}, 143, "", false, {"--workers", "0"}, "finaliser ran\n"},
      {"an unwaited launch_async when the root fails", script("failing.krvasm", unwaited_launch(true)), nullptr,
       nullptr, {}, {}, 1, "the root gives up", false, {"--workers", "2"}, "finaliser ran\n"},
      // Blocked in a write that no reader takes, the script holds the output's lock: the exit at once does
      // not wait for it.
      {"output that nobody reads", script("printer.krvasm", kPrinter), nullptr, nullptr, {},
       {{0, SIGTERM}, {1500, SIGTERM}}, 143, kOutputUnread + kAtOnce, true, {}, nullptr, true},
  };
  int serial = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = "signals_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
    const std::string region = "/dev/shm/krv_ipc_" + name + (c.waits_for == nullptr ? "" : c.waits_for);
    std::vector<std::string> argv = {KRV_KRVHOST_PATH, "run"};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    argv.push_back(c.script);
    if (c.count != nullptr) argv.push_back(c.count);
    if (c.waits_for != nullptr) argv.push_back(name);
    argv.insert(argv.begin(), c.wrapper.begin(), c.wrapper.end());
    int unread[2] = {-1, -1};  // the pipe nobody reads: this process holds its read end
    if (c.output_unread) {
      ASSERT_EQ(pipe2(unread, O_CLOEXEC), 0);
    }
    const std::string out_path = c.output_unread ? "/dev/fd/" + std::to_string(unread[1])
                                 : c.out != nullptr ? root / "out.txt"
                                                    : "/dev/null";
    krv_signalled_run run(argv, {}, out_path);
    ASSERT_GT(run.pid(), 0);
    if (c.wrapper.empty()) {
      ASSERT_TRUE(run.wait_until_catching(SIGTERM, std::chrono::seconds(30))) << run.err();
    }
    for (int i = 0; i < 2000 && c.waits_for != nullptr && !std::filesystem::exists(region); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(c.waits_for != nullptr ? 50 : 300));
    const auto first = std::chrono::steady_clock::now();
    for (const auto& [gap, signal] : c.sent) {
      std::this_thread::sleep_for(std::chrono::milliseconds(gap));
      run.send(signal, true);
    }
    EXPECT_EQ(run.wait_exit(std::chrono::seconds(20)), c.exit_code);
    EXPECT_LT(std::chrono::steady_clock::now() - first, kStopBound);
    std::string err_has = c.err_has;
    if (const size_t at = err_has.find("{NAME}"); at != std::string::npos) err_has.replace(at, 6, name);
    const std::string err = run.err();
    EXPECT_NE(err.find(err_has), std::string::npos) << err;
    EXPECT_EQ(err.find(" after 500 retries"), std::string::npos) << err;
    EXPECT_EQ(err.find("a worker is still busy"), std::string::npos) << err;
    EXPECT_EQ(err.find(kAtOnce) != std::string::npos, c.at_once) << err;
    if (c.at_once) {
      EXPECT_EQ(err, err_has);
    }
    if (c.out != nullptr) {
      EXPECT_EQ(krv_read_whole_file(root / "out.txt"), c.out);
    }
    for (const int end : unread)
      if (end >= 0) close(end);
    EXPECT_FALSE(std::filesystem::exists(region));  // closed in order (a loop creates none)
  }
}

}  // namespace
