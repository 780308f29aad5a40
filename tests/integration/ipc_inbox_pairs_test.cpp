// Pairs of `krvhost run` processes in which each side creates its inbox and opens the other's
// (ipc_inbox_counter.krvasm and ipc_inbox_sender.krvasm): started at once, the writer first, and again
// over the regions a pair killed with SIGKILL left behind. Every message arrives, in order, with no line
// on either side: a writer never writes into a ring whose creator has not finished making it, and a
// creator never clears what a writer sent.
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "timed_process.h"

namespace {

constexpr const char* messages = "2000";

std::future<krv_process_result> start(const char* script, const std::string& channel, const char* count,
                                      std::chrono::seconds limit) {
  std::vector<std::string> argv = {KRV_KRVHOST_PATH, "run", script, channel, count};
  return std::async(std::launch::async, [argv, limit] { return krv_run_process(argv, {}, limit); });
}

void remove_regions(const std::string& channel) {
  for (const std::string suffix : {"", "_done"}) unlink(("/dev/shm/krv_ipc_" + channel + suffix).c_str());
}

TEST(IpcInboxPairs, EveryMessageArrivesInOrderHoweverThePairStarts) {
  enum start_order { AT_ONCE, WRITER_FIRST, OVER_A_KILLED_PAIRS_REGIONS };
  const struct {
    const char* what;
    start_order order;
    int runs;
  } cases[] = {{"at once", AT_ONCE, 10}, {"writer first", WRITER_FIRST, 6},
               {"over the regions of a killed pair", OVER_A_KILLED_PAIRS_REGIONS, 4}};
  int serial = 0;
  for (const auto& c : cases) {
    for (int run = 0; run < c.runs; ++run) {
      const std::string channel = "inbox_pairs_" + std::to_string(getpid()) + "_" + std::to_string(serial++);
      SCOPED_TRACE(std::string(c.what) + ", run " + std::to_string(run) + ", channel " + channel);
      if (c.order == OVER_A_KILLED_PAIRS_REGIONS) {
        // Killed with SIGKILL in the middle of its stream, it leaves both regions full of records.
        auto counter = start(KRV_INBOX_COUNTER_PATH, channel, "100000000", std::chrono::seconds(1));
        auto sender = start(KRV_INBOX_SENDER_PATH, channel, "100000000", std::chrono::seconds(1));
        EXPECT_EQ(counter.get().exit_code, -2);
        EXPECT_EQ(sender.get().exit_code, -2);
      }
      std::future<krv_process_result> sender, counter;
      if (c.order == WRITER_FIRST) {
        sender = start(KRV_INBOX_SENDER_PATH, channel, messages, std::chrono::seconds(60));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      counter = start(KRV_INBOX_COUNTER_PATH, channel, messages, std::chrono::seconds(60));
      if (c.order != WRITER_FIRST) sender = start(KRV_INBOX_SENDER_PATH, channel, messages, std::chrono::seconds(60));
      const krv_process_result received = counter.get();
      const krv_process_result sent = sender.get();
      EXPECT_EQ(received.out, "inbox_counter: 2000 messages in order\n");
      EXPECT_EQ(received.err, "");
      EXPECT_EQ(received.exit_code, 0);
      EXPECT_EQ(sent.err, "");
      EXPECT_EQ(sent.exit_code, 0);
      remove_regions(channel);
    }
  }
}

}  // namespace
