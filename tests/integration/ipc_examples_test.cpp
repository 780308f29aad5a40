// The IPC examples as a user runs them: receiver.krvasm and sender.krvasm, two krvhost processes side by
// side on a channel of their own, against the output they must print. Each process runs under a
// deadline, and no ring may stay in /dev/shm.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "krvhost_process.h"

namespace {

constexpr int run_deadline_ms = 60000;

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

std::vector<std::string> run_example(const char* path, const std::string& channel, const char* workers) {
  return {"run", "--workers", workers, path, channel};
}

TEST(IpcExamples, TheReceiverGetsTheSixValuesInEitherStartOrder) {
  const struct {
    bool receiver_first;
    const char* workers;
  } cases[] = {{true, "2"}, {false, "0"}};
  for (const auto& c : cases) {
    const channel_rings rings(unique_channel());
    krv_run_result receiver, sender;
    {
      auto start_receiver = [&] {
        return std::make_unique<krv_krvhost_process>(run_example(KRV_IPC_RECEIVER_PATH, rings.name(), c.workers),
                                                     "receiver");
      };
      auto start_sender = [&] {
        return std::make_unique<krv_krvhost_process>(run_example(KRV_IPC_SENDER_PATH, rings.name(), c.workers),
                                                     "sender");
      };
      std::unique_ptr<krv_krvhost_process> first = c.receiver_first ? start_receiver() : start_sender();
      std::unique_ptr<krv_krvhost_process> second = c.receiver_first ? start_sender() : start_receiver();
      krv_krvhost_process& receiving = c.receiver_first ? *first : *second;
      krv_krvhost_process& sending = c.receiver_first ? *second : *first;
      receiver = receiving.wait(run_deadline_ms);
      sender = sending.wait(run_deadline_ms);
    }
    const std::string label = c.receiver_first ? "receiver first" : "sender first";
    EXPECT_FALSE(receiver.timed_out || sender.timed_out) << label;
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
      {run_example(KRV_IPC_RECEIVER_PATH, alone_receiver.name(), "2"), "receiver: no channel"},
      {run_example(KRV_IPC_SENDER_PATH, alone_sender.name(), "2"), "sender: no receiver on"},
      {{"run", KRV_IPC_RECEIVER_PATH}, "usage: krvhost run receiver.krvasm CHANNEL"},
  };
  std::vector<std::unique_ptr<krv_krvhost_process>> runs;
  for (const auto& c : cases)
    runs.push_back(std::make_unique<krv_krvhost_process>(c.args, "alone" + std::to_string(runs.size())));
  for (size_t i = 0; i < runs.size(); ++i) {
    const krv_run_result run = runs[i]->wait(run_deadline_ms);
    EXPECT_EQ(run.exit_code, 1) << cases[i].in_err;
    EXPECT_EQ(run.out, "") << cases[i].in_err;
    EXPECT_NE(run.err.find("Runtime Error"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(cases[i].in_err), std::string::npos) << run.err;
  }
  EXPECT_EQ(alone_receiver.left(), std::vector<std::string>{});
  EXPECT_EQ(alone_sender.left(), std::vector<std::string>{});
}

}  // namespace
