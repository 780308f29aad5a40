// Two `krvhost run` scripts that send to each other in bulk at once, as the user guide allows: each
// creates its receiving channel with a counting, checking callback, opens the other's and sends in one
// loop of its root block (bench/ipc/two_way.krvasm). Each side sends more than 64 MiB, more than a
// process could keep of the other's messages while a send of its own waited: a send that finds the ring
// full must leave the VM thread to the callbacks, or both sides wait on each other until their sends
// time out. Every message arrives, whole and in order, and no ring is left behind. Label slow.
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "timed_process.h"

namespace {

constexpr std::chrono::seconds run_limit{300};

TEST(IpcTwoWayScripts, BothSidesSendInALoopAndEveryMessageArrivesInOrder) {
  const struct {
    const char* workers;
    const char* count;    // messages each way
    const char* largest;  // bytes of the largest; sizes run from 8 up to it
    const char* printed;
  } cases[] = {
      // 87 MB each way, over 64 MiB.
      {"2", "200", "1048000", "two_way: sent 200 received 200 mismatched 0\n"},
      {"0", "500", "300000", "two_way: sent 500 received 500 mismatched 0\n"},
  };
  for (const auto& c : cases) {
    const std::string stem = "krv_two_way_" + std::to_string(getpid()) + "_" + c.count;
    const std::string left = stem + "_a", right = stem + "_b";
    const auto side = [&](const std::string& mine, const std::string& theirs) {
      const std::vector<std::string> argv{KRV_KRVHOST_PATH, "run", "--workers", c.workers, KRV_TWO_WAY_SCRIPT_PATH,
                                          mine, theirs, c.count, c.largest};
      return std::async(std::launch::async, [argv] { return krv_run_process(argv, {}, run_limit); });
    };
    std::future<krv_process_result> first = side(left, right);
    // The second starts once the first has made its channel, which it then opens at once.
    const std::string first_region = "/dev/shm/krv_ipc_" + left;
    for (int wait = 0; wait < 5000 && access(first_region.c_str(), F_OK) != 0; ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::future<krv_process_result> second = side(right, left);
    for (const krv_process_result& run : {first.get(), second.get()}) {
      EXPECT_EQ(run.exit_code, 0) << c.count << "\n" << run.err;
      EXPECT_EQ(run.out, c.printed) << c.count;
      EXPECT_EQ(run.err, "") << c.count;
    }
    for (const std::string& name : {left, right}) {
      const std::string path = "/dev/shm/krv_ipc_" + name;
      EXPECT_NE(access(path.c_str(), F_OK), 0) << path;
      unlink(path.c_str());
    }
  }
}

}  // namespace
