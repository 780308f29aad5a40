// A peer program started with posix_spawn, its standard output read through a pipe: the tests wait for
// its "ready" line before they rely on its connection, and read its report line at the end.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class krv_peer_process {
 public:
  explicit krv_peer_process(const std::vector<std::string>& args) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    output_fd_ = pipe_fds[0];
  }
  ~krv_peer_process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      wait_exit();
    }
    if (output_fd_ >= 0) close(output_fd_);
  }
  krv_peer_process(const krv_peer_process&) = delete;
  krv_peer_process& operator=(const krv_peer_process&) = delete;

  bool started() const { return pid_ > 0; }
  // The next line of the peer's output without its newline; empty after `timeout_ms` or at its end.
  std::string read_line(int timeout_ms = 15000) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      if (const size_t end = pending_.find('\n'); end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - std::chrono::steady_clock::now());
      pollfd poll_fd{output_fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&poll_fd, 1, static_cast<int>(left.count())) <= 0) return {};
      char buffer[256];
      const ssize_t got = read(output_fd_, buffer, sizeof buffer);
      if (got <= 0) return {};
      pending_.append(buffer, static_cast<size_t>(got));
    }
  }
  void kill_now() {
    if (pid_ > 0) kill(pid_, SIGKILL);
  }
  // The exit status; -1 when it ended by a signal.
  int wait_exit() {
    if (pid_ <= 0) return -1;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int output_fd_ = -1;
  std::string pending_;
};
