// The IPC examples as a user runs them: receiver.krvasm and sender.krvasm, two krvhost processes side by
// side on a channel of their own, against the output they must print. Each process runs under a
// deadline, and no ring may stay in /dev/shm.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "timed_process.h"

namespace {

constexpr std::chrono::seconds run_limit{60};

const char* const receiver_output =
    "message 1 type int size 8 equal 1\n"
    "message 2 type float size 8 equal 1\n"
    "message 3 type string size 17 equal 1\n"
    "message 4 type std.buffer size 6 equal 1\n"
    "message 5 type json size 3 equal 1\n"
    "message 6 type string size 1000000 equal 1\n";

const char* const sender_output =
    "sender: sent 6 values\n"
    "sender: the receiver has all six\n";

std::string unique_channel() {
  static std::atomic<int> count{0};
  return "krvhost_examples_" + std::to_string(getpid()) + "_" + std::to_string(count++);
}

// The rings the pair uses; a test that fails still removes what it left.
class channel_rings {
 public:
  explicit channel_rings(std::string name) : name_(std::move(name)) {}
  ~channel_rings() {
    for (const std::string& path : paths()) unlink(path.c_str());
  }
  const std::string& name() const { return name_; }
  // The rings still in /dev/shm.
  std::vector<std::string> left() const {
    std::vector<std::string> found;
    for (const std::string& path : paths())
      if (access(path.c_str(), F_OK) == 0) found.push_back(path);
    return found;
  }

 private:
  std::vector<std::string> paths() const { return {"/dev/shm/krv_ipc_" + name_, "/dev/shm/krv_ipc_" + name_ + "_done"}; }
  std::string name_;
};

std::vector<std::string> example(const char* path, const std::string& channel, const char* workers) {
  return {KRV_KRVHOST_PATH, "run", "--workers", workers, path, channel};
}

// Starts `argv` on a thread of its own, so that several processes run side by side.
std::future<krv_process_result> start(std::vector<std::string> argv) {
  return std::async(std::launch::async, [argv] { return krv_run_process(argv, {}, run_limit); });
}

TEST(IpcExamples, TheReceiverGetsTheSixValuesInEitherStartOrder) {
  const struct {
    bool receiver_first;
    const char* workers;
  } cases[] = {{true, "2"}, {false, "0"}};
  for (const auto& c : cases) {
    const channel_rings rings(unique_channel());
    const auto receiving = [&] { return start(example(KRV_IPC_RECEIVER_PATH, rings.name(), c.workers)); };
    const auto sending = [&] { return start(example(KRV_IPC_SENDER_PATH, rings.name(), c.workers)); };
    std::future<krv_process_result> first = c.receiver_first ? receiving() : sending();
    std::future<krv_process_result> second = c.receiver_first ? sending() : receiving();
    const krv_process_result receiver = c.receiver_first ? first.get() : second.get();
    const krv_process_result sender = c.receiver_first ? second.get() : first.get();
    const std::string label = c.receiver_first ? "receiver first" : "sender first";
    EXPECT_EQ(receiver.exit_code, 0) << label << "\n" << receiver.err;
    EXPECT_EQ(receiver.out, receiver_output) << label;
    EXPECT_EQ(receiver.err, "") << label;
    EXPECT_EQ(sender.exit_code, 0) << label << "\n" << sender.err;
    EXPECT_EQ(sender.out, sender_output) << label;
    EXPECT_EQ(sender.err, "") << label;
    EXPECT_EQ(rings.left(), std::vector<std::string>{}) << label;
  }
}

// A side whose peer never comes fails once the 5 seconds of connecting are over: exit 1 with the report
// on stderr, even while its other channel is still open (it must not keep the run alive).
TEST(IpcExamples, ASideWithoutItsPeerFails) {
  const channel_rings alone_receiver(unique_channel()), alone_sender(unique_channel());
  const struct {
    std::vector<std::string> args;
    const char* in_err;
  } cases[] = {
      {example(KRV_IPC_RECEIVER_PATH, alone_receiver.name(), "2"), "receiver: no channel"},
      {example(KRV_IPC_SENDER_PATH, alone_sender.name(), "2"), "sender: no receiver on"},
      {{KRV_KRVHOST_PATH, "run", KRV_IPC_RECEIVER_PATH}, "usage: krvhost run receiver.krvasm CHANNEL"},
  };
  std::vector<std::future<krv_process_result>> runs;
  for (const auto& c : cases) runs.push_back(start(c.args));
  for (size_t i = 0; i < runs.size(); ++i) {
    const krv_process_result run = runs[i].get();
    EXPECT_EQ(run.exit_code, 1) << cases[i].in_err;
    EXPECT_EQ(run.out, "") << cases[i].in_err;
    EXPECT_NE(run.err.find("Runtime Error"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(cases[i].in_err), std::string::npos) << run.err;
  }
  EXPECT_EQ(alone_receiver.left(), std::vector<std::string>{});
  EXPECT_EQ(alone_sender.left(), std::vector<std::string>{});
}

}  // namespace
