// A sender that creates its channel, sends three numbers and disconnects at once
// (bench/ipc/send_and_leave.krvasm), beside a reader that opens the channel and prints what it gets
// (bench/ipc/read_count.krvasm), started in either order: the reader gets all three, also when it was
// still waiting in its connect as the sender ended, or came a second later. Before, the sender removed
// its ring as it disconnected, and the reader found nothing. A sender nobody reads says how many records
// were lost and fails its run (exit 1): after the send timeout, or at once on Ctrl-C, which still ends the
// run in order (exit 130). A connect that another process's exclusive flock on the region keeps out
// ends at the first SIGTERM, saying what it waited for.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "signalled_run.h"
#include "timed_process.h"

namespace {

constexpr std::chrono::seconds run_limit{60};

uint32_t first_word_of(const std::string& path) {
  uint32_t word = 0;
  std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(&word), sizeof word);
  return word;
}

TEST(IpcShortSender, AReaderOnItsWayGetsWhatASenderThatEndedSent) {
  enum reader_start { READER_FIRST, AT_ONCE, READER_LATER, NO_READER };
  const std::string lost = "IPC: 3 messages (6 records) sent on '{NAME}' were never read: ";
  const struct {
    const char* what;
    reader_start start;
    int signal;  // sent to the sender once it waits for a reader
    int exit_code;
    std::string err;  // the sender's; {NAME} for the channel's name
    bool cut = false;  // the region is cut to 0 bytes (`truncate -s 0`) instead, while the sender waits
    bool locked = false;  // another process holds an exclusive flock on the region: `err` begins the output
  } cases[] = {
      {"the reader waits in its connect", READER_FIRST, 0, 0, ""},
      {"both start at once", AT_ONCE, 0, 0, ""},
      {"the reader comes a second later", READER_LATER, 0, 0, ""},
      {"nobody reads", NO_READER, 0, 1, lost + "no reader connected within 5000 ms.\n"},
      {"nobody reads, Ctrl-C", NO_READER, SIGINT, 130, lost + "the run was stopped while they waited for a reader.\n"},
      {"another process cuts the ring short", NO_READER, 0, 1,
       "IPC: the shared memory of channel '{NAME}' was cut to 0 bytes by another process; disconnecting (what the "
       "ring held is lost).\n",
       true},
      {"another process holds an exclusive flock, SIGTERM", NO_READER, SIGTERM, 143,
       "IPC: the shared memory of channel '{NAME}' is locked by another process (an exclusive flock); the run was "
       "stopped while the connect waited for it.\n",
       false, true},
  };
  int serial = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = "short_sender_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
    const std::string region = "/dev/shm/krv_ipc_" + name;
    const int lock_fd = c.locked ? open(region.c_str(), O_RDWR | O_CREAT, 0600) : -1;
    if (c.locked) ASSERT_EQ(flock(lock_fd, LOCK_EX), 0);
    std::future<krv_process_result> reader;
    const auto start_reader = [&] {
      const std::vector<std::string> argv{KRV_KRVHOST_PATH, "run", KRV_READ_COUNT_PATH, name, "3"};
      reader = std::async(std::launch::async, [argv] { return krv_run_process(argv, {}, run_limit); });
    };
    if (c.start == READER_FIRST) {
      start_reader();
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    krv_signalled_run sender({KRV_KRVHOST_PATH, "run", KRV_SEND_AND_LEAVE_PATH, name, "3"});
    if (c.start == AT_ONCE) start_reader();
    if (c.start == READER_LATER) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      start_reader();
    }
    if (c.signal != 0 || c.cut) {
      for (int i = 0; i < 2000 && !std::filesystem::exists(region); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      // Cut once the sends are in the ring (its write ticket, the region's first four bytes, at 6): a cut
      // that meets the connect's clearing of the ring finds no check there (SIGBUS, a documented limit).
      for (int i = 0; i < 2000 && c.cut && first_word_of(region) != 6; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (c.cut) std::filesystem::resize_file(region, 0);
      else sender.send(c.signal, true);
    }
    EXPECT_EQ(sender.wait_exit(run_limit), c.exit_code);
    std::string err = c.err;
    if (const size_t at = err.find("{NAME}"); at != std::string::npos) err.replace(at, 6, name);
    // A locked out sender's own failure follows the line.
    EXPECT_EQ(sender.err().substr(0, c.locked ? err.size() : std::string::npos), err);
    if (c.locked) close(lock_fd), unlink(region.c_str());
    if (c.start != NO_READER) {
      const krv_process_result read = reader.get();
      EXPECT_EQ(read.out, "read_count: got 1\nread_count: got 2\nread_count: got 3\n");
      EXPECT_EQ(read.err, "");
      EXPECT_EQ(read.exit_code, 0);
    }
    EXPECT_FALSE(std::filesystem::exists(region));
  }
}

}  // namespace
