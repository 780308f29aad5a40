// Pairs of `krvhost run` processes in which each side creates its inbox and opens the other's
// (bench/ipc/two_way.krvasm, whose callback checks every message against the one expected next): started
// at once, one side first, and again over the regions a pair killed with SIGKILL left behind. Every
// message arrives, in order, with no line on either side: a writer never writes into a ring whose creator
// has not finished making it, and a creator never clears what a writer sent.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "timed_process.h"

namespace {

constexpr const char* messages = "2000";
constexpr const char* largest_message = "64";

// One side: creates `mine`, opens `theirs`, sends `count` messages and checks the peer's.
std::future<krv_process_result> start(const std::string& mine, const std::string& theirs, const char* count,
                                      std::chrono::seconds limit) {
  std::vector<std::string> argv = {KRV_KRVHOST_PATH, "run", KRV_TWO_WAY_SCRIPT_PATH, mine, theirs, count,
                                   largest_message};
  return std::async(std::launch::async, [argv, limit] { return krv_run_process(argv, {}, limit); });
}

// Marks a ring read to its end: its read ticket (bytes 64..67) set to its write ticket (bytes 0..3).
void mark_all_read(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR);
  uint32_t write_ticket = 0;
  EXPECT_TRUE(pread(fd, &write_ticket, 4, 0) == 4 && pwrite(fd, &write_ticket, 4, 64) == 4) << path;
  close(fd);
}

void remove_regions(const std::string& channel) {
  for (const std::string side : {"_a", "_b"}) unlink(("/dev/shm/krv_ipc_" + channel + side).c_str());
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
      const std::string a = channel + "_a", b = channel + "_b";
      if (c.order == OVER_A_KILLED_PAIRS_REGIONS) {
        // Killed with SIGKILL in the middle of their streams, they leave both regions full of records.
        auto first = start(a, b, "100000000", std::chrono::seconds(1));
        auto second = start(b, a, "100000000", std::chrono::seconds(1));
        EXPECT_EQ(first.get().exit_code, -2);
        EXPECT_EQ(second.get().exit_code, -2);
        // Unread records would go to the next creator (as a restarted receiver gets what its ended senders
        // left): taken as read, the regions keep stale slots that the new pair must not be confused by.
        for (const std::string& side : {a, b}) mark_all_read("/dev/shm/krv_ipc_" + side);
      }
      auto first = start(a, b, messages, std::chrono::seconds(60));
      // One side sends before the other has made its inbox, let alone cleared it.
      if (c.order == WRITER_FIRST) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      auto second = start(b, a, messages, std::chrono::seconds(60));
      for (const krv_process_result& side : {first.get(), second.get()}) {
        EXPECT_EQ(side.out, "two_way: sent 2000 received 2000 mismatched 0\n");
        EXPECT_EQ(side.err, "");
        EXPECT_EQ(side.exit_code, 0);
      }
      remove_regions(channel);
    }
  }
}

}  // namespace
