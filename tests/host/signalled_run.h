// A program started as a terminal starts a foreground job, for tests that signal it: in a session (and
// so a process group) of its own, with some environment variables set or removed, standard output
// dropped (or sent where the test says) and standard error in a file. Signals go to the program or to
// its whole group (a terminal's Ctrl-C); its end is awaited within a bound, after which the group is
// killed.
#pragma once
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "timed_process.h"

class krv_signalled_run {
 public:
  static constexpr int killed_at_limit = -1000;

  // `out_path` takes standard output: a file, or "/dev/fd/N" for the test's own descriptor N (a pipe).
  explicit krv_signalled_run(std::vector<std::string> argv, const krv_environment_changes& changes = {},
                             const std::string& out_path = "/dev/null")
      : err_path_(::testing::TempDir() + "krv_signalled_" + std::to_string(getpid()) + "_" + std::to_string(++serial_)),
        pid_(krv_spawn_process(std::move(argv), changes, out_path, err_path_, POSIX_SPAWN_SETSID)) {}
  ~krv_signalled_run() {
    wait_exit(std::chrono::milliseconds(0));
    unlink(err_path_.c_str());
  }
  krv_signalled_run(const krv_signalled_run&) = delete;
  krv_signalled_run& operator=(const krv_signalled_run&) = delete;

  pid_t pid() const { return pid_; }
  void send(int signal, bool to_group = false) const {
    if (pid_ > 0) kill(to_group ? -pid_ : pid_, signal);
  }
  // Waits up to `limit` until the program has a handler for `signal` (its SigCgt mask in /proc says
  // so): a signal sooner would meet the default action, however the program handles it later.
  bool wait_until_catching(int signal, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
      std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
      for (std::string line; std::getline(status, line);) {
        if (line.starts_with("SigCgt:") && (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1) & 1) != 0)
          return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
  }
  // The exit status; -N when signal N ended it; killed_at_limit when it outlived `limit`.
  int wait_exit(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return killed_at_limit;
    const std::optional<int> status = krv_wait_process(pid_, std::chrono::steady_clock::now() + limit, -pid_);
    pid_ = -1;
    if (!status) return killed_at_limit;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : -WTERMSIG(*status);
  }
  std::string err() const { return krv_read_whole_file(err_path_); }

 private:
  static inline int serial_ = 0;
  std::string err_path_;
  pid_t pid_ = -1;
};
