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

// A task that never yields.
const char* const kSpin = "program \"spin\"\nblock B0 4\nspin:\n  jump spin\nend\n";

const std::string kAnnounced = "krvhost: stopping once the running task yields; send the signal again to exit at once\n";
const std::string kAtOnce = "krvhost: exiting at once; the script's channels were not closed\n";

TEST(KrvhostSignals, OneRequestPerPressAndAtOnceOnlyAfterTheAnnouncement) {
  scratch_dir root;
  const std::string spin = root / "spin.krvasm";
  write_text(spin, kSpin);
  const struct {
    const char* name;
    std::string script;
    const char* count;            // the waiting script's first argument; the channel's name comes last
    const char* waits_for;        // the region (after the name) whose creation says the run waits
    bool under_timeout;           // run as `timeout 60 krvhost run ...`, as scripts/demo does
    std::vector<int> gaps_ms;     // one SIGINT to the group each, this long after the one before
    std::string err_has;          // {NAME} for the channel's name
    bool at_once;                 // exits at once: the announcement, then the exit's line, and nothing else
    int within_ms;                // from the first signal to the exit
  } cases[] = {
      {"Ctrl-C to timeout and krvhost", KRV_MEMORY_WAITING_SCRIPT_PATH, "10", "", true, {0}, "", false, 3000},
      {"copies a moment apart", KRV_MEMORY_WAITING_SCRIPT_PATH, "10", "", false, {0, 0, 1}, "", false, 3000},
      // The copy 5 ms after the first is no second press; the signal after the announcement is.
      {"a loop without end", spin, nullptr, nullptr, false, {0, 5, 1500}, kAnnounced + kAtOnce, true, 3000},
      // pong creates {NAME}_b and opens {NAME}_a, whose creator never comes: the stop ends the 5 s of
      // retries, the connect fails as it always does (its line counting the tries it made, not all 500)
      // and the run ends in order, {NAME}_b removed.
      {"an opener waiting for its creator", KRV_PONG_SCRIPT_PATH, nullptr, "_b", false, {0},
       "IPC: Failed to open shared memory for '{NAME}_a' after ", false, 1500},
  };
  int serial = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = "signals_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
    const std::string region = "/dev/shm/krv_ipc_" + name + (c.waits_for == nullptr ? "" : c.waits_for);
    std::vector<std::string> argv = {KRV_KRVHOST_PATH, "run", c.script};
    if (c.count != nullptr) argv.push_back(c.count);
    if (c.waits_for != nullptr) argv.push_back(name);
    if (c.under_timeout) argv.insert(argv.begin(), {"timeout", "60"});
    krv_signalled_run run(argv);
    ASSERT_GT(run.pid(), 0);
    for (int i = 0; i < 2000 && c.waits_for != nullptr && !std::filesystem::exists(region); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(c.waits_for != nullptr ? 50 : 300));
    const auto first = std::chrono::steady_clock::now();
    for (const int gap : c.gaps_ms) {
      std::this_thread::sleep_for(std::chrono::milliseconds(gap));
      run.send(SIGINT, true);
    }
    EXPECT_EQ(run.wait_exit(std::chrono::seconds(20)), 130);
    EXPECT_LT(std::chrono::steady_clock::now() - first, std::chrono::milliseconds(c.within_ms));
    std::string err_has = c.err_has;
    if (const size_t at = err_has.find("{NAME}"); at != std::string::npos) err_has.replace(at, 6, name);
    const std::string err = run.err();
    EXPECT_NE(err.find(err_has), std::string::npos) << err;
    EXPECT_EQ(err.find(" after 500 retries"), std::string::npos) << err;
    EXPECT_EQ(err.find(kAtOnce) != std::string::npos, c.at_once) << err;
    if (c.at_once) {
      EXPECT_EQ(err, kAnnounced + kAtOnce);
    }
    EXPECT_FALSE(std::filesystem::exists(region));  // closed in order (a loop creates none)
  }
}

}  // namespace
