// A peer program started with posix_spawn, its standard input and output on pipes: the tests wait for
// its "ready" line before they rely on its connection and read its report line at the end; the
// benchmark sends it commands and bytes.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "foreground_spawn.h"

extern char** environ;

class krv_peer_process {
 public:
  explicit krv_peer_process(const std::vector<std::string>& args) {
    int pipe_fds[2];
    int input_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return;
    if (pipe2(input_fds, O_CLOEXEC) != 0) {
      close(pipe_fds[0]);
      close(pipe_fds[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, input_fds[0], STDIN_FILENO);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const krv_foreground_spawn attributes;
    if (posix_spawn(&pid_, argv[0], &actions, attributes.get(), argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    close(input_fds[0]);
    output_fd_ = pipe_fds[0];
    input_fd_ = input_fds[1];
  }
  ~krv_peer_process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      wait_exit();
    }
    if (output_fd_ >= 0) close(output_fd_);
    if (input_fd_ >= 0) close(input_fd_);
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
  // Writes all of `size` bytes to the peer's standard input; false when the pipe broke.
  bool write_input(const void* data, size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t done = write(input_fd_, bytes, size);
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) return false;
      bytes += done;
      size -= static_cast<size_t>(done);
    }
    return true;
  }
  // Ends the peer's standard input, which tells a peer that reads commands to finish.
  void close_input() {
    if (input_fd_ >= 0) close(input_fd_);
    input_fd_ = -1;
  }
  void kill_now() { send_signal(SIGKILL); }
  void send_signal(int signal) {
    if (pid_ > 0) kill(pid_, signal);
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
  int input_fd_ = -1;  // the peer's standard input
  std::string pending_;
};
