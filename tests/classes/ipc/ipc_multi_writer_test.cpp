// Several `krvhost run` writers on one channel into one reader (bench/ipc/multi_writer_send.krvasm and
// multi_writer_read.krvasm), all at once, with messages of many records each: every message whose send
// answered true arrives, whole and in its writer's order, with no line on any side. Before, a writer a
// lap ahead could take a slot from under a writer still on its way to it, and the record lost that way
// counted as sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "ipc_test_names.h"
#include "timed_process.h"

namespace {

constexpr std::chrono::seconds run_limit{120};
constexpr const char* message_size = "65536";  // 65 records a message: each send takes many tickets

std::future<krv_process_result> start(std::vector<std::string> argv) {
  argv.insert(argv.begin(), {KRV_KRVHOST_PATH, "run"});
  return std::async(std::launch::async, [argv] { return krv_run_process(argv, {}, run_limit); });
}

std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(IpcMultiWriter, EveryMessageOfEveryWriterArrivesInItsWritersOrder) {
  const struct {
    int writers;
    int messages;  // each
    int runs;
  } cases[] = {{2, 600, 3}, {3, 400, 2}, {8, 150, 2}};
  for (const auto& c : cases) {
    for (int run = 0; run < c.runs; ++run) {
      const std::string channel = krv_test_channel_name("multi_writer");
      SCOPED_TRACE(std::to_string(c.writers) + " writers, run " + std::to_string(run) + ", channel " + channel);
      std::future<krv_process_result> reader =
          start({KRV_MULTI_WRITER_READ_PATH, channel, std::to_string(c.writers), message_size});
      std::vector<std::future<krv_process_result>> writers;
      std::vector<std::string> expected_lines;
      const std::string count = std::to_string(c.messages);
      for (int writer = 0; writer < c.writers; ++writer) {
        writers.push_back(start({KRV_MULTI_WRITER_SEND_PATH, channel, std::to_string(writer), count, message_size}));
        expected_lines.push_back("multi_writer_read: writer " + std::to_string(writer) + " sent " + count +
                                 " received " + count);
      }
      const std::string total = std::to_string(c.writers * c.messages);
      expected_lines.push_back("multi_writer_read: writers " + std::to_string(c.writers) + " sent " + total +
                               " received " + total + " mismatched 0 wrong 0");
      std::sort(expected_lines.begin(), expected_lines.end());
      for (int writer = 0; writer < c.writers; ++writer) {
        const krv_process_result side = writers[writer].get();
        EXPECT_EQ(side.out, "multi_writer_send: writer " + std::to_string(writer) + " send returned false 0 times\n");
        EXPECT_EQ(side.err, "");
        EXPECT_EQ(side.exit_code, 0);
      }
      const krv_process_result read = reader.get();
      EXPECT_EQ(sorted_lines(read.out), expected_lines);
      EXPECT_EQ(read.err, "");
      EXPECT_EQ(read.exit_code, 0);
      EXPECT_FALSE(krv_test_region_exists(channel));
    }
  }
}

}  // namespace
