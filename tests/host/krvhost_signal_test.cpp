// Signals to `krvhost run` as a terminal and `timeout` send them: one Ctrl-C is one request to stop,
// however many copies of it arrive (the terminal signals the whole foreground group, and `timeout`
// passes its own copy on); only a signal after the announced stop exits at once; and a stop ends an
// IPC opener's wait for its creator instead of waiting out the 5 s of retries.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "kernel/support/jit_scratch.h"
#include "signalled_run.h"

namespace {

// c = ipc.ipc(); c.connect(script_args()[0]); c.on_message(f); print("waiting on", script_args()[0])
const char* const kWaitOnChannel = R"(program "channel"
string "connect"
string "on_message"
string "waiting on"
native N0 "ipc.ipc" 0 0
native N1 "script_args" 0 0
native N2 "print" 0 999
block B0 4 locals 1 caches 2
  load_local 0
  push_none
  args_open 0
  call_native @N0
  assign
  load_local 0
  member 0 0 null 0
  call_prepare 1
  args_open 0
  call_native @N1
  push_none
  load_int 0
  index_read 1 null 0
  call_arg 0
  call
  load_local 0
  member 1 1 null 0
  call_prepare 1
  load_function 0
  call_arg 0
  call
  args_open 2
  load_string 2
  arg 0
  args_open 0
  call_native @N1
  push_none
  load_int 0
  index_read 1 null 0
  arg 1
  call_native @N2
end
block B1 1 child B0 params 1 locals 1
end
)";

// A task that never yields.
const char* const kSpin = "program \"spin\"\nblock B0 4\nspin:\n  jump spin\nend\n";

// print("connected:", ipc.ipc().connect(script_args()[0], false)): an opener whose creator never comes.
const char* const kOpenNobody = R"(program "opener"
string "connect"
string "connected:"
native N0 "ipc.ipc" 0 0
native N1 "script_args" 0 0
native N2 "print" 0 999
block B0 4 locals 1 caches 1
  load_local 0
  push_none
  args_open 0
  call_native @N0
  assign
  args_open 2
  load_string 1
  arg 0
  load_local 0
  member 0 0 null 0
  call_prepare 2
  args_open 0
  call_native @N1
  push_none
  load_int 0
  index_read 1 null 0
  call_arg 0
  load_int 0
  call_arg 1
  call
  arg 1
  call_native @N2
end
)";

const std::string kAnnounced = "krvhost: stopping once the running task yields; send the signal again to exit at once\n";
const std::string kAtOnce = "krvhost: exiting at once; the script's channels were not closed\n";

TEST(KrvhostSignals, OneRequestPerPressAndAtOnceOnlyAfterTheAnnouncement) {
  const struct {
    const char* name;
    const char* script;
    bool under_timeout;           // run as `timeout 60 krvhost run ...`, as scripts/demo does
    bool to_group;                // every signal goes to the process group, as a terminal's Ctrl-C
    std::vector<int> gaps_ms;     // one signal each, this long after the one before (the first: when ready)
    std::string out;              // {NAME} for the channel's name
    std::string err;              // exact
    int within_ms;                // from the first signal to the exit
  } cases[] = {
      {"Ctrl-C to timeout and krvhost", kWaitOnChannel, true, true, {0}, "waiting on {NAME}\n", "", 3000},
      {"copies a moment apart", kWaitOnChannel, false, false, {0, 2, 2}, "waiting on {NAME}\n", "", 3000},
      // The copy 5 ms after the first is no second press; the signal after the announcement is.
      {"a loop without end", kSpin, false, true, {0, 5, 1500}, "", kAnnounced + kAtOnce, 3000},
      // The opener's retries would last 5 s; the stop ends them and the connect fails as it always does.
      {"an opener waiting for its creator", kOpenNobody, false, true, {0}, "connected: 0\n",
       "IPC: Failed to open shared memory for '{NAME}' after 500 retries. GetLastError=2 (0x2)\n", 1500},
  };
  scratch_dir root;
  int serial = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = "signals_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
    const std::string region = "/dev/shm/krv_ipc_" + name;
    const std::string script = root / (name + ".krvasm");
    write_text(script, c.script);
    std::vector<std::string> argv = {KRV_KRVHOST_PATH, "run", script, name};
    if (c.under_timeout) argv.insert(argv.begin(), {"timeout", "60"});
    krv_signalled_run run(argv);
    ASSERT_GT(run.pid(), 0);
    const bool creates = c.script == kWaitOnChannel;
    for (int i = 0; i < 2000 && creates && !std::filesystem::exists(region); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(creates ? 50 : 300));
    const auto first = std::chrono::steady_clock::now();
    for (const int gap : c.gaps_ms) {
      std::this_thread::sleep_for(std::chrono::milliseconds(gap));
      run.send(SIGINT, c.to_group);
    }
    EXPECT_EQ(run.wait_exit(std::chrono::seconds(20)), 130);
    EXPECT_LT(std::chrono::steady_clock::now() - first, std::chrono::milliseconds(c.within_ms));
    const auto named = [&](std::string text) {
      for (size_t at = text.find("{NAME}"); at != std::string::npos; at = text.find("{NAME}")) text.replace(at, 6, name);
      return text;
    };
    EXPECT_EQ(run.out(), named(c.out));
    EXPECT_EQ(run.err(), named(c.err));
    EXPECT_FALSE(std::filesystem::exists(region));  // closed in order (a loop creates none)
  }
}

}  // namespace
