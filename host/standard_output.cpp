#include "host/standard_output.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <system_error>
#include <thread>

namespace {

std::atomic<bool> output_failed{false};
std::atomic<bool> write_under_way{false};  // a krv_stdout_write between its start and its return

// Says once, on stderr, why standard output cannot be written; the first failure sets the flag. What is
// still buffered is dropped, so that no later flush (the process's exit) writes it after the gap.
void note_failure(int error) {
  __fpurge(stdout);
  if (output_failed.exchange(true)) return;
  std::fprintf(stderr, "krvhost: cannot write standard output: %s\n",
               error != 0 ? std::strerror(error) : "a write failed");
}

// A closed descriptor gets a stand-in that takes its number and refuses writes.
void hold_if_closed(int descriptor) {
  if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) return;
  const int stand_in = open("/dev/null", O_RDONLY);
  if (stand_in >= 0 && stand_in != descriptor) {
    dup2(stand_in, descriptor);
    close(stand_in);
  }
}

}  // namespace

void krv_stdout_prepare() {
  // In order: open takes the lowest free number, so a closed 0 is filled before 1 is looked at.
  for (const int descriptor : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) hold_if_closed(descriptor);
  struct stat target {};
  if (fstat(STDOUT_FILENO, &target) == 0 && (S_ISFIFO(target.st_mode) || S_ISSOCK(target.st_mode)))
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}

bool krv_stdout_write(std::string_view text) {
  if (output_failed.load(std::memory_order_relaxed)) return false;
  errno = 0;
  write_under_way.store(true, std::memory_order_relaxed);
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && !std::ferror(stdout);
  write_under_way.store(false, std::memory_order_relaxed);
  if (written) return true;
  note_failure(errno);
  return false;
}

bool krv_stdout_write_waits() { return write_under_way.load(std::memory_order_relaxed); }

bool krv_stdout_flush() {
  if (output_failed.load(std::memory_order_relaxed)) return false;
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
  note_failure(errno);
  return false;
}

bool krv_stdout_flush_within(std::chrono::milliseconds patience) {
  // Shared with the flushing thread, which may outlive this call (it is left blocked when time runs out).
  auto outcome = std::make_shared<std::promise<bool>>();
  std::future<bool> flushed = outcome->get_future();
  try {
    std::thread([outcome] { outcome->set_value(krv_stdout_flush()); }).detach();
  } catch (const std::system_error&) {
    return false;  // no thread to spare: leaving the output unflushed beats waiting on a blocked writer
  }
  return flushed.wait_for(patience) == std::future_status::ready && flushed.get();
}
