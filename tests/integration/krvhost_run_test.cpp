// `krvhost run` as a user runs it: the example, a script with an unhandled error, a refused text, an
// unknown native, with and without workers, and the memory a dropped container gives back. Output and
// exit codes are the program's own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "peer_process.h"
#include "timed_process.h"

namespace {

std::string temp_path(const std::string& leaf) {
  return ::testing::TempDir() + "krvhost_run_" + std::to_string(getpid()) + "_" + leaf;
}

krv_process_result krvhost(std::vector<std::string> args) {
  args.insert(args.begin(), KRV_KRVHOST_PATH);
  return krv_run_process(args);
}

std::string write_script(const std::string& leaf, const std::string& text) {
  const std::string path = temp_path(leaf);
  std::ofstream(path) << text;
  return path;
}

const char* const example_output =
    "Hello from krvhost!\n"
    "greeting: world\n"
    "std.string says korva\n"
    "caught: Sub invalid type: 5\n"
    "sum of 1..1000 on a worker: 500500\n";

TEST(KrvhostRun, TheExampleWithAndWithoutWorkers) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"run", KRV_EXAMPLE_PATH}, {"run", "--workers", "0", KRV_EXAMPLE_PATH},
        {"run", "--workers", "4", KRV_EXAMPLE_PATH}}) {
    const krv_process_result run = krvhost(args);
    EXPECT_EQ(run.exit_code, 0) << args.size();
    EXPECT_EQ(run.out, example_output) << args.size();
    EXPECT_EQ(run.err, "") << args.size();
  }
}

// b's finaliser runs when the task's globals are cleared, after "done".
const char* const classes_output =
    "a + b: 8\n"
    "a == b: 0\n"
    "a[7]: 70\n"
    "caught: member 'secret' of class 'Vec' is private\n"
    "bye, Vec\n"
    "done\n"
    "bye, Vec\n";

TEST(KrvhostRun, TheClassesExample) {
  const krv_process_result run = krvhost({"run", KRV_CLASSES_EXAMPLE_PATH});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, classes_output);
  EXPECT_EQ(run.err, "");
}

// The words after FILE reach the script as strings, whatever they look like; the clock runs forward
// and gives floats.
TEST(KrvhostRun, ScriptArgumentsAndClock) {
  const std::string script = write_script(
      "args.krvasm",
      "program \"args\"\nnative N0 \"print\" 0 999\nnative N1 \"script_args\" 0 0\nnative N2 \"clock_ms\" 0 0\n"
      "block B0 4\n  args_open 1\n  args_open 0\n  call_native @N1\n  arg 0\n  call_native @N0\n"
      "  args_open 2\n  args_open 0\n  call_native @N2\n  push_none\n  args_open 0\n  call_native @N2\n  lt 1\n"
      "  arg 0\n  args_open 0\n  call_native @N2\n  push_none\n  load_int 0\n  mul\n  arg 1\n  call_native @N0\nend\n");
  const struct {
    std::vector<std::string> args;
    const char* out;
  } cases[] = {
      {{"run", script}, "{}\n1 0.000000\n"},
      {{"run", "--workers", "0", script, "one", "two words", ""}, "[\n    \"one\",\n    \"two words\",\n    \"\"\n]\n1 0.000000\n"},
      {{"run", script, "--workers", "3"}, "[\n    \"--workers\",\n    \"3\"\n]\n1 0.000000\n"},
  };
  for (const auto& c : cases) {
    const krv_process_result run = krvhost(c.args);
    EXPECT_EQ(run.exit_code, 0) << c.args.size();
    EXPECT_EQ(run.out, c.out) << c.args.size();
    EXPECT_EQ(run.err, "") << c.args.size();
  }
  unlink(script.c_str());
}

TEST(KrvhostRun, FailuresAndRefusals) {
  const std::string unhandled = write_script(
      "unhandled.krvasm",
      "program \"oops\"\nstring \"text\"\nsource S0 \"oops.krv\"\nline S0 2 \"x = 1 - \\\"text\\\"\"\n"
      "native N0 \"print\" 0 999\nblock B0 4\n  load_int 1\n  push_none\n  load_string 0\n  pos S0 2 4\n  sub\n"
      "  args_open 0\n  call_native @N0\nend\n");
  const std::string malformed = write_script("malformed.krvasm", "program \"bad\"\nblock B0 4\n  load_bogus 1\nend\n");
  const std::string gives_up = write_script(
      "fail.krvasm", "program \"f\"\nstring \"gave up after\"\nnative N0 \"fail\" 0 999\nblock B0 4\n  args_open 2\n"
      "  load_string 0\n  arg 0\n  load_int 3\n  arg 1\n  call_native @N0\nend\n");
  const std::string unknown =
      write_script("unknown.krvasm", "program \"u\"\n\nnative N0 \"std.nothing\" 0 0\nblock B0 4\nend\n");
  // A declaration below the function's registered minimum would reach a body that indexes its argument.
  const std::string widened = write_script(
      "widened.krvasm", "program \"w\"\nnative N0 \"std.kernel_compile\" 0 0\nblock B0 4\n  args_open 0\n"
      "  call_native @N0\nend\n");
  const std::string function_root = write_script("function_root.krvasm", "program \"r\"\nblock B0 1\n  load_int 1\nend\n");
  // `map` with a callback of one parameter, bare (then a print that must not run) and in a try block whose
  // handler fails with the text it received.
  const std::string map_call = "  member 1 0 null 0\n  call_prepare 1\n  load_function 0\n  call_arg 0\n  call\n";
  const std::string map_head = "program \"m\"\nstring \"[1, 2]\"\nstring \"map\"\nstring \"handler got:\"\n"
                               "native N0 \"print\" 0 999\nnative N1 \"std.json\" 0 2\nnative N2 \"fail\" 0 999\n";
  const std::string fill =
      "  load_local 0\n  push_none\n  args_open 1\n  load_string 0\n  arg 0\n  call_native @N1\n  assign\n";
  const std::string one_param = "params 1 locals 1\nend\n";
  const std::string bare_map =
      write_script("bare_map.krvasm", map_head + "block B0 4 locals 1 caches 1\n" + fill + "  load_local 0\n" +
                                          map_call + "  args_open 0\n  call_native @N0\nend\nblock B1 1 child B0 " +
                                          one_param);
  const std::string tried_map = write_script(
      "tried_map.krvasm", map_head + "block B0 4 locals 1\n" + fill +
                              "  run_child 0\n  catch 1\nend\nblock B1 0 child B0 has_catch caches 1\n"
                              "  load_frame_local 1 0\n" + map_call + "end\nblock B3 1 child B1 " + one_param +
                              "block B2 0 child B0 params 1 locals 1\n  args_open 2\n  load_string 2\n  arg 0\n"
                              "  load_local 0\n  arg 1\n  call_native @N2\nend\n");
  // try: fail("tried") / catch e: fail("handled"), without source lines
  const std::string handler_fails = write_script(
      "handler_fails.krvasm", "program \"h\"\nstring \"tried\"\nstring \"handled\"\nnative N0 \"fail\" 0 999\n"
      "block B0 4\n  run_child 0\n  catch 1\nend\nblock B1 0 child B0 has_catch\n  args_open 1\n  load_string 0\n"
      "  arg 0\n  call_native @N0\nend\nblock B2 0 child B0 params 1 locals 1\n  args_open 1\n  load_string 1\n"
      "  arg 0\n  call_native @N0\nend\n");
  // Only regular files are read, none larger than 64 MiB (a sparse file costs no disk).
  const std::string empty = write_script("empty.krvasm", "");
  const std::string fifo = temp_path("fifo.krvasm");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string oversized = write_script("oversized.krvasm", "");
  ASSERT_EQ(truncate(oversized.c_str(), off_t{64 << 20} + 1), 0);
  const std::string directory = ::testing::TempDir();
  const struct {
    std::vector<std::string> args;
    int exit_code;
    std::vector<std::string> in_err;  // texts stderr must carry
    const char* once = "";            // a text stderr carries exactly once
  } cases[] = {
      {{"run", unhandled}, 1, {"Sub invalid type: 5", "oops.krv", "x = 1 - \"text\""}},
      {{"run", gives_up}, 1, {"gave up after 3"}},
      {{"run", handler_fails}, 1, {"\nhandled\n"}, "handled"},
      {{"run", malformed}, 2, {malformed + ": line 3: "}},
      {{"run", unknown}, 2, {unknown + ": line 3: unknown native 'std.nothing'"}},
      {{"run", function_root}, 2, {function_root + ": the root block must be a task block (kind 4)"}},
      {{"run", bare_map}, 1, {"Too many params.", "JSON callback could not be called, check its parameter count."}},
      {{"run", tried_map}, 1, {"handler got: JSON callback could not be called, check its parameter count."}},
      {{"run", widened}, 2,
       {widened + ": line 2: native 'std.kernel_compile' declares 0 to 0 arguments, outside the 1 to 64 it takes"}},
      {{"run", temp_path("missing.krvasm")}, 2, {"cannot read " + temp_path("missing.krvasm") + ": No such file"}},
      {{"run", directory}, 2, {"cannot read " + directory + ": Is a directory"}},
      {{"run", empty}, 2, {"cannot read " + empty + ": the file is empty"}},
      {{"run", fifo}, 2, {"cannot read " + fifo + ": not a regular file"}},
      {{"run", "/dev/zero"}, 2, {"cannot read /dev/zero: not a regular file"}},
      {{"run", oversized}, 2, {oversized + ": the file holds more than the 67108864 bytes a script may have"}},
      {{"run", "--workers", "x", malformed}, 2, {"krvhost: --workers takes a whole number from 0 to 256, not 'x'"}},
      {{"run", "--workers", "257", malformed}, 2, {"krvhost: --workers takes a whole number from 0 to 256, not '257'"}},
      {{"run", "--workers", "1"}, 2, {"usage: krvhost"}},
  };
  for (const auto& c : cases) {
    const krv_process_result run = krvhost(c.args);
    EXPECT_EQ(run.exit_code, c.exit_code) << c.args.back();
    EXPECT_EQ(run.out, "") << c.args.back();
    for (const std::string& text : c.in_err) EXPECT_NE(run.err.find(text), std::string::npos) << text << "\n" << run.err;
    EXPECT_EQ(run.err.find(c.once), *c.once != 0 ? run.err.rfind(c.once) : 0u) << run.err;
  }
  for (const std::string& path :
       {unhandled, gives_up, handler_fails, malformed, unknown, widened, function_root, bare_map, tried_map, empty,
        fifo, oversized})
    unlink(path.c_str());
}

// The root block hands function 0 to one of the ways a callback runs as a task of its own, then prints
// "root done". The function raises "callback failed" (caught in a try block of its own when `caught`);
// as an on_message callback it first drops both channels, so that the run can end.
std::string callback_script(const std::string& kind, bool caught) {
  const std::string hand_to = "  call_prepare 1\n  load_function 0\n  call_arg 0\n  call\n";
  const std::string container = "  load_local 0\n  push_none\n  args_open 1\n  load_string 7\n  arg 0\n  call_native @N2\n  assign\n";
  std::string root;
  if (kind == "std.thread")
    root = "  load_local 0\n  push_none\n  args_open 1\n  load_function 0\n  arg 0\n  call_native @N1\n  assign\n"
           "  load_local 0\n  member 0 0 null 0\n  call_prepare 0\n  call\n";
  else if (kind == "map" || kind == "foreach")
    root = container + "  load_local 0\n  member " + (kind == "map" ? "1" : "2") + " 0 null 0\n" + hand_to;
  else  // on_message: the guide's channel example
    root = "  load_local 0\n  push_none\n  args_open 0\n  call_native @N3\n  assign\n  load_local 0\n  member 3 0 null 0\n"
           "  call_prepare 1\n  load_string 10\n  call_arg 0\n  call\n  load_local 1\n  push_none\n  args_open 0\n"
           "  call_native @N3\n  assign\n  load_local 1\n  member 3 0 null 0\n  call_prepare 2\n  load_string 10\n"
           "  call_arg 0\n  load_int 0\n  call_arg 1\n  call\n  load_local 1\n  member 4 1 null 0\n" + hand_to +
           "  load_local 0\n  member 5 2 null 0\n  call_prepare 1\n  load_string 7\n  call_arg 0\n  call\n";
  const std::string drop_channels = kind != "on_message" ? "" :
      "  load_global 1\n  member 6 0 null 0\n  call_prepare 0\n  call\n  load_global 1\n  push_none\n  load_none\n"
      "  assign\n  load_global 0\n  push_none\n  load_none\n  assign\n";
  const std::string raise = "  args_open 1\n  load_string 9\n  arg 0\n  call_native @N4\n";
  return "program \"callback\"\nstring \"run\"\nstring \"map\"\nstring \"foreach\"\nstring \"connect\"\n"
         "string \"on_message\"\nstring \"send\"\nstring \"disconnect\"\nstring \"[1, 2]\"\nstring \"root done\"\n"
         "string \"callback failed\"\nstring \"callback_" + std::to_string(getpid()) + "\"\n"
         "native N0 \"print\" 0 999\nnative N1 \"std.thread\" 0 1\nnative N2 \"std.json\" 0 2\nnative N3 \"ipc.ipc\" 0 0\n"
         "native N4 \"fail\" 0 999\nblock B0 4 locals 2 caches " + (kind == "on_message" ? "3" : "1") + "\n" + root +
         "  args_open 1\n  load_string 8\n  arg 0\n  call_native @N0\nend\n"
         "block B1 1 child B0 params 2 locals 2" + (kind == "on_message" ? " caches 1" : "") + "\n" + drop_channels +
         (caught ? "  run_child 0\n  catch 1\nend\nblock B2 0 child B1 has_catch\n" + raise +
                       "end\nblock B3 0 child B1 params 1 locals 1\nend\n"
                 : raise + "end\n");
}

// An error that no catch takes ends a task or a callback, not the run: the run goes on to its end and
// then exits 1, whichever way the function ran. Caught in the function, the same error fails nothing.
TEST(KrvhostRun, AnErrorNoCatchTakesInATaskOrCallbackFailsTheRun) {
  for (const char* kind : {"std.thread", "map", "foreach", "on_message"}) {
    for (const bool caught : {false, true}) {
      SCOPED_TRACE(std::string(kind) + (caught ? " caught" : " uncaught"));
      const std::string script = write_script("callback.krvasm", callback_script(kind, caught));
      const krv_process_result run = krvhost({"run", script});
      EXPECT_EQ(run.exit_code, caught ? 0 : 1) << run.err;
      EXPECT_EQ(run.out, "root done\n");
      EXPECT_EQ(run.err.find("callback failed") != std::string::npos, !caught) << run.err;
      unlink(script.c_str());
    }
  }
}

// Standard output that cannot be written fails the command with one line on stderr, however much was
// printed: into /dev/full (a full disk) and with stdout closed, where the text printed went into the
// first descriptor the run opened (with stdin closed too, the signal pipe's: exit 0, nothing lost in
// sight). /dev/null takes everything.
TEST(KrvhostRun, OutputThatCannotBeWrittenFailsTheCommand) {
  const std::string full = "krvhost: cannot write standard output: No space left on device\n";
  const std::string closed = "krvhost: cannot write standard output: Bad file descriptor\n";
  const struct {
    const char* redirect;
    std::vector<std::string> args;
    int exit_code;
    std::string err;  // all of stderr
  } cases[] = {
      {">/dev/full", {"run", KRV_EXAMPLE_PATH}, 1, full},
      {">/dev/full", {"run", KRV_PRINT_LINES_SCRIPT_PATH, "100000"}, 1, full},
      {">/dev/full", {"info"}, 1, full},
      {">/dev/full", {"--version"}, 1, full},
      {">/dev/full", {"--help"}, 1, full},
      {">&-", {"run", KRV_EXAMPLE_PATH}, 1, closed},
      {"<&- >&-", {"run", KRV_PRINT_LINES_SCRIPT_PATH, "100000"}, 1, closed},
      {">/dev/null", {"run", KRV_PRINT_LINES_SCRIPT_PATH, "100000"}, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.redirect) + " " + c.args.back());
    std::vector<std::string> argv = {"sh", "-c", std::string("exec \"$0\" \"$@\" ") + c.redirect, KRV_KRVHOST_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const krv_process_result run = krv_run_process(argv);
    EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
    EXPECT_EQ(run.err, c.err);
  }
}

// Asked for, the usage goes to stdout with exit 0; after a wrong command line, to stderr with exit 2.
TEST(KrvhostRun, HelpPrintsTheUsageOnStdout) {
  const struct {
    std::vector<std::string> args;
    int exit_code;
    bool on_stdout;
  } cases[] = {{{"--help"}, 0, true}, {{"-h"}, 0, true}, {{}, 2, false}, {{"bogus"}, 2, false}, {{"--help", "x"}, 2, false}};
  for (const auto& c : cases) {
    const krv_process_result run = krvhost(c.args);
    const std::string label = c.args.empty() ? "(none)" : c.args.front();
    EXPECT_EQ(run.exit_code, c.exit_code) << label;
    EXPECT_EQ((c.on_stdout ? run.out : run.err).rfind("usage: krvhost info\n", 0), 0u) << label;
    EXPECT_EQ(c.on_stdout ? run.err : run.out, "") << label;
  }
  // Every host native and every limit a command line or a native line meets is in the usage.
  const std::string usage = krvhost({"--help"}).out;
  for (const char* text : {"worker_sum", "n at most 4294967295", "rss_bytes", "idle_ms", "at most 60000",
                           "0 to 256 worker threads", "MAX of 999 means any number"})
    EXPECT_NE(usage.find(text), std::string::npos) << text;
}

// worker_sum gives the sum 1..n up to the largest n whose sum an int holds, and refuses a larger n with
// an error rather than a wrapped, negative sum.
TEST(KrvhostRun, WorkerSumUpToTheLargestInt) {
  const struct {
    const char* n;
    int exit_code;
    const char* out;
    const char* err_part;
  } cases[] = {
      {"4294967295", 0, "9223372034707292160\n", ""},
      {"5000000000", 1, "", "worker_sum(5000000000): the sum passes the largest int (9223372036854775807); n may be at most 4294967295"},
  };
  for (const auto& c : cases) {
    const std::string script = write_script(
        std::string("sum_") + c.n + ".krvasm",
        std::string("program \"sum\"\nnative N0 \"print\" 0 999\nnative N1 \"worker_sum\" 1 1\nblock B0 4\n  args_open 1\n"
                    "  args_open 1\n  load_int ") + c.n + "\n  arg 0\n  call_native @N1\n  arg 0\n  call_native @N0\nend\n");
    const krv_process_result run = krvhost({"run", script});
    EXPECT_EQ(run.exit_code, c.exit_code) << c.n << run.err;
    EXPECT_EQ(run.out, c.out) << c.n;
    EXPECT_NE(run.err.find(c.err_part), std::string::npos) << c.n << run.err;
    unlink(script.c_str());
  }
}

// A run that ends with an error while a channel with a callback is still open (the callback's scope
// holds the channel again: a cycle) closes the channel, so the ring it created is gone from /dev/shm.
TEST(KrvhostRun, AChannelLeftOpenByAFailingRunLeavesNoRegion) {
  const std::string script = write_script(
      "open_channel.krvasm",
      "program \"open\"\nstring \"connect\"\nstring \"on_message\"\nstring \"giving up\"\n"
      "native N0 \"ipc.ipc\" 0 0\nnative N1 \"script_args\" 0 0\nnative N2 \"fail\" 0 999\n"
      "block B0 4 locals 1 caches 2\n  load_local 0\n  push_none\n  args_open 0\n  call_native @N0\n  assign\n"
      "  load_local 0\n  member 0 0 null 0\n  call_prepare 1\n  args_open 0\n  call_native @N1\n  push_none\n"
      "  load_int 0\n  index_read 1 null 0\n  call_arg 0\n  call\n  load_local 0\n  member 1 1 null 0\n"
      "  call_prepare 1\n  load_function 0\n  call_arg 0\n  call\n  args_open 1\n  load_string 2\n  arg 0\n"
      "  call_native @N2\nend\nblock B1 1 child B0 params 1 locals 1\nend\n");
  const std::string channel = "left_open_" + std::to_string(getpid());
  const krv_process_result run = krvhost({"run", script, channel});
  EXPECT_EQ(run.exit_code, 1) << run.err;
  EXPECT_NE(run.err.find("giving up"), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists("/dev/shm/krv_ipc_" + channel));
  unlink(script.c_str());
}

// c = ipc.ipc(); [c.connect(script_args()[0])]; c.on_message(f); [c.disconnect()]
// print("waiting on", script_args()[0])
std::string channel_script(bool connect, bool disconnect) {
  std::string calls;
  int cache = 0;
  const auto method = [&](int name, const std::string& argument) {
    calls += "  load_local 0\n  member " + std::to_string(name) + " " + std::to_string(cache++) + " null 0\n" +
             (argument.empty() ? "  call_prepare 0\n" : "  call_prepare 1\n" + argument + "  call_arg 0\n") + "  call\n";
  };
  const std::string first_arg = "  args_open 0\n  call_native @N1\n  push_none\n  load_int 0\n  index_read 1 null 0\n";
  if (connect) method(0, first_arg);
  method(1, "  load_function 0\n");
  if (disconnect) method(2, "");
  return "program \"channel\"\nstring \"connect\"\nstring \"on_message\"\nstring \"disconnect\"\nstring \"waiting on\"\n"
         "native N0 \"ipc.ipc\" 0 0\nnative N1 \"script_args\" 0 0\nnative N2 \"print\" 0 999\n"
         "block B0 4 locals 1 caches " + std::to_string(cache) + "\n  load_local 0\n  push_none\n  args_open 0\n"
         "  call_native @N0\n  assign\n" + calls + "  args_open 2\n  load_string 3\n  arg 0\n" + first_arg +
         "  arg 1\n  call_native @N2\nend\nblock B1 1 child B0 params 1 locals 1\nend\n";
}

// A channel the script still holds keeps the run going only while it is connected: one never connected,
// or disconnected, can never receive, so the run ends with the root task.
TEST(KrvhostRun, AChannelThatCannotReceiveDoesNotKeepTheRun) {
  const struct {
    const char* name;
    bool connect, disconnect;
  } cases[] = {{"never_connected", false, false}, {"disconnected", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string script = write_script(std::string(c.name) + ".krvasm", channel_script(c.connect, c.disconnect));
    const std::string channel = std::string(c.name) + "_" + std::to_string(getpid());
    const krv_process_result run =
        krv_run_process({KRV_KRVHOST_PATH, "run", script, channel}, {}, std::chrono::seconds(20));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "waiting on " + channel + "\n");
    EXPECT_FALSE(std::filesystem::exists("/dev/shm/krv_ipc_" + channel));
    unlink(script.c_str());
  }
}

// Ctrl-C, SIGTERM or a hang-up to a run that waits on a connected channel: the line printed arrives
// while the run waits (stdout is a pipe, which gets each line as it is printed), the ring the run
// created is removed, and the exit status says which signal ended it.
TEST(KrvhostRun, ASignalEndsAWaitingRunInOrder) {
  const std::string script = write_script("signalled.krvasm", channel_script(true, false));
  const struct {
    int signal;
    int exit_code;
  } cases[] = {{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signal);
    const std::string channel = "signalled_" + std::to_string(getpid()) + "_" + std::to_string(c.signal);
    const std::string region = "/dev/shm/krv_ipc_" + channel;
    krv_peer_process run({KRV_KRVHOST_PATH, "run", script, channel});
    ASSERT_TRUE(run.started());
    for (int i = 0; i < 2000 && !std::filesystem::exists(region); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(std::filesystem::exists(region));
    EXPECT_EQ(run.read_line(), "waiting on " + channel);
    run.send_signal(c.signal);
    EXPECT_EQ(run.wait_exit(), c.exit_code);
    EXPECT_FALSE(std::filesystem::exists(region));
  }
  unlink(script.c_str());
}

// The end of a run waits for no work whose result nobody will use. A task left matching a backtracking
// pattern (28 a's and a b against (a+)+$: about a minute) when the script fails does not hold the exit,
// and a timer task beside it keeps its pace meanwhile; a background kernel build left running when the
// script ends has its hanging compiler killed, with nothing left in the cache.
TEST(KrvhostRun, TheExitWaitsForNoWorkNobodyUses) {
  const std::string dir = temp_path("left_behind");
  std::filesystem::create_directories(dir);
  const std::string pid_file = dir + "/cc.pid";
  const std::string hanging_cc = write_script(
      "left_behind/hangcc", "#!/bin/sh\ncase \" $* \" in *\" --version \"*) exit 0;; esac\necho $$ > " + pid_file +
                                "\nexec sleep 300\n");
  chmod(hanging_cc.c_str(), 0755);
  const struct {
    const char* name;
    std::string text;
    int exit_code;
    const char* out;
    const char* err_part;
  } cases[] = {
      {"match", R"(# t0 = clock_ms(); g = std.thread(match); g.run()
# for i in range(3): idle_ms(100); print("tick", clock_ms() - t0)
# fail("the run ends while the match runs")
# def match(): print("match", std.string("a" * 28 + "b").regex_match("(a+)+$"))
program "regex_beside_timer"
string "run"
string "tick"
string "the run ends while the match runs"
string "match"
string "aaaaaaaaaaaaaaaaaaaaaaaaaaaab"
string "regex_match"
string "(a+)+$"
native N0 "print" 0 999
native N1 "std.thread" 0 1
native N2 "idle_ms" 1 1
native N3 "clock_ms" 0 0
native N4 "fail" 0 999
native N5 "std.string" 0 1
block B0 4 locals 3 caches 1
  load_local 2
  push_none
  args_open 0
  call_native @N3
  assign
  load_local 0
  push_none
  args_open 1
  load_function 0
  arg 0
  call_native @N1
  assign
  load_local 0
  member 0 0 null 0
  call_prepare 0
  call
tick:
  args_open 1
  load_int 100
  arg 0
  call_native @N2
  args_open 2
  load_string 1
  arg 0
  args_open 0
  call_native @N3
  push_none
  load_local 2
  sub
  arg 1
  call_native @N0
  load_local 1
  inc 0
  push_none
  load_int 3
  lt 0
  jump_true tick
  args_open 1
  load_string 2
  arg 0
  call_native @N4
end
block B1 1 child B0 caches 1
  args_open 2
  load_string 3
  arg 0
  args_open 1
  load_string 4
  arg 0
  call_native @N5
  member 5 0 null 0
  call_prepare 1
  load_string 6
  call_arg 0
  call
  arg 1
  call_native @N0
end
)", 1, "", "krvhost: a worker is still busy after the run ended"},
      {"build", R"(# unit = std.kernel_compile("kernel void one(u32* p) { p[gid] = 1u; }", "one.k")
# b = std.buffer().resize(4); unit.get("one").launch(1, b); idle_ms(500); print(unit.get("one").jit_status())
program "kernel_left_building"
string "kernel void one(u32* p) { p[gid] = 1u; }"
string "one.k"
string "resize"
string "get"
string "one"
string "launch"
string "jit_status"
native N0 "print" 0 999
native N1 "std.kernel_compile" 1 64
native N2 "std.buffer" 0 0
native N3 "idle_ms" 1 1
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
  args_open 1
  load_int 500
  arg 0
  call_native @N3
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
)", 0, "compiling\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string script = write_script(std::string("left_behind/") + c.name + ".krvasm", c.text);
    const auto start = std::chrono::steady_clock::now();
    const krv_process_result run = krv_run_process(
        {KRV_KRVHOST_PATH, "run", script}, {{"KRV_KERNEL_CC", hanging_cc}, {"KRV_KERNEL_CACHE", dir + "/cache"}});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
    EXPECT_NE(run.err.find(c.err_part), std::string::npos) << run.err;
    if (std::string_view(c.name) == "match") {
      EXPECT_EQ(run.out.substr(0, 5), "tick ");
      EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 3) << run.out;  // the match printed nothing
    } else {
      EXPECT_EQ(run.out, c.out);
      // On a loaded machine the run may end before the compiler reaches its first line; one that outlived
      // the run would write its pid meanwhile.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      if (std::filesystem::exists(pid_file)) {
        const pid_t compiler = std::stoi(krv_read_whole_file(pid_file));
        EXPECT_NE(kill(compiler, 0), 0);  // killed with its group, and reaped
      }
      const std::string cache = dir + "/cache";  // made by the build, which may not have begun
      EXPECT_TRUE(!std::filesystem::exists(cache) || std::filesystem::is_empty(cache));
    }
  }
  std::filesystem::remove_all(dir);
}

// The memory of a dropped container comes back once the VM idles: a loose bound on the resident set
// (what the parse added is mostly gone), so the machine's load cannot move the verdict.
TEST(KrvhostRun, MemoryOfADroppedContainerComesBack) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's allocator holds freed memory (quarantine) whatever the host gives back";
#endif
  const krv_process_result run = krvhost({"run", KRV_MEMORY_SCRIPT_PATH, "200000"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  unsigned long long before = 0, parsed = 0, after = 0;
  const size_t line = run.out.find("rss before parse:");
  ASSERT_NE(line, std::string::npos) << run.out;
  ASSERT_EQ(std::sscanf(run.out.c_str() + line, "rss before parse: %llu parsed: %llu after drop and idle: %llu", &before,
                        &parsed, &after),
            3)
      << run.out;
  EXPECT_GT(parsed, before + 200000ull * 100) << run.out;  // the parse took its ~400 bytes an entry
  EXPECT_LT(after, before + (parsed - before) / 4) << run.out;
}

// A krvhost run whose standard output is a terminal, so each printed line arrives as it is printed (in a
// file it would wait in the buffer until the run ends); stderr goes to the same terminal.
// Ends the run with SIGKILL when it goes.
class krvhost_on_a_terminal {
 public:
  explicit krvhost_on_a_terminal(std::vector<std::string> args) {
    args.insert(args.begin(), KRV_KRVHOST_PATH);
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && (grantpt(master_) != 0 || unlockpt(master_) != 0)) {
      close(master_);
      master_ = -1;
    }
    if (master_ < 0) return;
    const std::string terminal = ptsname(master_);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, terminal.c_str(), O_WRONLY | O_NOCTTY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const krv_foreground_spawn attributes;
    if (posix_spawn(&pid_, argv[0], &actions, attributes.get(), argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~krvhost_on_a_terminal() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }
  krvhost_on_a_terminal(const krvhost_on_a_terminal&) = delete;
  krvhost_on_a_terminal& operator=(const krvhost_on_a_terminal&) = delete;

  bool has_terminal() const { return master_ >= 0; }
  pid_t pid() const { return pid_; }
  // The exit status once the run ended; -1 when a signal ended it.
  int wait_exit() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // The next line without its line end; empty after `limit` or when the run's output ended.
  std::string read_line(std::chrono::seconds limit) {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (pending_.find('\n') == std::string::npos) {
      if (!read_more(give_up)) return {};
    }
    std::string line = pending_.substr(0, pending_.find('\n'));
    pending_.erase(0, line.size() + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  // Everything else the run writes, until its output ends or `limit` passes, without the terminal's '\r's.
  std::string read_rest(std::chrono::seconds limit) {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (read_more(give_up)) {
    }
    std::string rest = std::exchange(pending_, {});
    std::erase(rest, '\r');
    return rest;
  }

 private:
  // Appends what the terminal has to `pending_`, waiting for it until `give_up`; false when nothing came.
  bool read_more(std::chrono::steady_clock::time_point give_up) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - std::chrono::steady_clock::now());
    pollfd ready{master_, POLLIN, 0};
    char bytes[4096];
    ssize_t got = 0;
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0 ||
        (got = read(master_, bytes, sizeof bytes)) <= 0)
      return false;
    pending_.append(bytes, static_cast<size_t>(got));
    return true;
  }

  int master_ = -1;
  pid_t pid_ = -1;
  std::string pending_;
};

// The resident set of process `pid` in bytes, as /proc reads it now; 0 when it cannot be read.
unsigned long long resident_bytes(pid_t pid) {
  std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
  unsigned long long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE));
}

// The same memory in a run that goes idle with nothing for the VM to do: the script's root block parses
// and drops the container straight through, then the run only waits on the channel it opened, with a
// callback or without one. The resident set must come down to 1.5x what it was before the parse (text
// held); the test waits for that up to a bound a loaded machine cannot reach, and reads it from outside.
TEST(KrvhostRun, MemoryOfADroppedContainerComesBackWhileTheRunWaitsOnAChannel) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's allocator holds freed memory (quarantine) whatever the host gives back";
#endif
  for (const char* mode : {"callback", ""}) {
    SCOPED_TRACE(*mode != 0 ? "with a callback" : "without a callback");
    const std::string channel = "waiting_" + std::to_string(getpid()) + (*mode != 0 ? "_callback" : "");
    std::vector<std::string> args = {"run", KRV_MEMORY_WAITING_SCRIPT_PATH, "200000", channel};
    if (*mode != 0) args.push_back(mode);
    unsigned long long before = 0, parsed = 0, idle = 0;
    {
      krvhost_on_a_terminal run(args);
      if (!run.has_terminal()) GTEST_SKIP() << "no pseudo-terminal to run krvhost on";
      ASSERT_GT(run.pid(), 0);
      const std::string line = run.read_line(std::chrono::seconds(120));
      ASSERT_EQ(std::sscanf(line.c_str(), "rss before parse: %llu parsed: %llu", &before, &parsed), 2) << line;
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      do {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        idle = resident_bytes(run.pid());
      } while (idle * 2 > before * 3 && std::chrono::steady_clock::now() < give_up);
    }
    std::filesystem::remove("/dev/shm/krv_ipc_" + channel);  // the killed run could not remove it
    EXPECT_GT(parsed, before + 200000ull * 100);  // the parse took its ~380 bytes an entry
    EXPECT_LE(idle * 2, before * 3) << "before the parse " << before << ", parsed " << parsed << ", idle " << idle;
  }
}

// class Keeper: def __deinit__(): idle_ms(1); print("keeper finalised", group)   (group is None by then)
// keeper = Keeper(); group = std.thread(work); group.run(); ROOT_TAIL (root_caches: the root's member calls)
// def work(): WORK (block B2, given whole)
std::string keeper_script(int root_caches, const std::string& root_tail, const std::string& work_block) {
  return "program \"keeper\"\nstring \"keeper finalised\"\nstring \"run\"\nstring \"join\"\nstring \"joining\"\n"
         "native N0 \"print\" 0 999\nnative N1 \"std.thread\" 0 1\nnative N2 \"idle_ms\" 1 1\n"
         "class K0 \"Keeper\" default B1 deinit B3\n"
         "block B0 4 locals 2 caches " + std::to_string(root_caches) + "\n  const class K0\n  load_local 0\n  push_none\n  load_const 0\n"
         "  call_prepare 0\n  call\n  assign\n  load_local 1\n  push_none\n  args_open 1\n  load_function 1\n"
         "  arg 0\n  call_native @N1\n  assign\n  load_local 1\n  member 1 0 null 0\n  call_prepare 0\n  call\n" +
         root_tail + "end\nblock B1 1 child B0 class K0\n  new_instance\nend\n" + work_block +
         "block B3 1 child B0\n  args_open 1\n  load_int 1\n  arg 0\n  call_native @N2\n  args_open 2\n"
         "  load_string 0\n  arg 0\n  load_global 1\n  arg 1\n  call_native @N0\nend\n";
}

// A run that ends with a task still waiting in join frees everything its tasks held: the cycle of the
// root task, the group and the waiting task (which hold each other) is opened, so the global instance
// is finalised, to its end after its hand-off; a finaliser of a root task ended in its join finds its
// global scope still there (it used to raise "No global scope!"). A task that joins its own group is reported and fails the run; a root task joining a
// group that never drains is ended by Ctrl-C. Under ASan a leak would end the run with 134 instead.
TEST(KrvhostRun, ARunEndedDuringAJoinFinalisesItsGlobals) {
  const std::string self_join = write_script(
      "self_join.krvasm",
      keeper_script(1, "", "block B2 1 child B0 caches 1\n  load_global 1\n  member 2 0 null 0\n  call_prepare 0\n"
                        "  call\nend\n"));
  const krv_process_result run = krvhost({"run", self_join});
  EXPECT_EQ(run.exit_code, 1) << run.err;
  EXPECT_EQ(run.out, "keeper finalised \n");
  EXPECT_NE(run.err.find("was left waiting"), std::string::npos) << run.err;
  unlink(self_join.c_str());

  const std::string interrupted = write_script(
      "interrupted_join.krvasm",
      keeper_script(2, "  args_open 1\n  load_string 3\n  arg 0\n  call_native @N0\n  load_local 1\n"
                    "  member 2 1 null 0\n  call_prepare 0\n  call\n",
                    "block B2 1 child B0\nagain:\n  args_open 1\n  load_int 20\n  arg 0\n  call_native @N2\n"
                    "  jump again\nend\n"));
  {
    krvhost_on_a_terminal waiting({"run", interrupted});
    if (!waiting.has_terminal()) GTEST_SKIP() << "no pseudo-terminal to run krvhost on";
    ASSERT_GT(waiting.pid(), 0);
    ASSERT_EQ(waiting.read_line(std::chrono::seconds(60)), "joining");
    kill(waiting.pid(), SIGINT);
    const std::string rest = waiting.read_rest(std::chrono::seconds(60));
    EXPECT_EQ(waiting.wait_exit(), 130) << rest;
    EXPECT_EQ(rest, "keeper finalised \n");
  }
  unlink(interrupted.c_str());
}

}  // namespace
