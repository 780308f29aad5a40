// A program started as a terminal starts a foreground job, for tests that signal it: in a session (and
// so a process group) of its own, with some environment variables set or removed, standard output
// dropped and standard error in a file. Signals go to the program or to its whole group (a terminal's
// Ctrl-C); its end is awaited within a bound, after which the group is killed.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "timed_process.h"

class krv_signalled_run {
 public:
  static constexpr int killed_at_limit = -1000;

  explicit krv_signalled_run(std::vector<std::string> argv, const krv_environment_changes& changes = {})
      : err_path_(::testing::TempDir() + "krv_signalled_" + std::to_string(getpid()) + "_" + std::to_string(++serial_)) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
      if (changes.count(std::string(*entry).substr(0, std::string(*entry).find('='))) == 0) environment.push_back(*entry);
    for (const auto& [name, value] : changes)
      if (value) environment.push_back(name + "=" + *value);
    std::vector<char*> envp, args;
    for (std::string& text : environment) envp.push_back(text.data());
    for (std::string& text : argv) args.push_back(text.data());
    envp.push_back(nullptr);
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    if (posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
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
  // The exit status; -N when signal N ended it; killed_at_limit when it outlived `limit`.
  int wait_exit(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return killed_at_limit;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (done == 0) {
      kill(-pid_, SIGKILL);
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
    pid_ = -1;
    return done == 0 ? killed_at_limit : WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  std::string err() const { return krv_read_whole_file(err_path_); }

 private:
  static inline int serial_ = 0;
  std::string err_path_;
  pid_t pid_ = -1;
};
