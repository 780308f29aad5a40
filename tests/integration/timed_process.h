// A program run to its end as a user runs it from a shell: started with posix_spawn (PATH searched),
// with some environment variables set or removed, its standard output and error collected through
// files, and killed when it outlives its time limit.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foreground_spawn.h"

extern char** environ;

struct krv_process_result {
  int exit_code = -1;  // -1 after a signal or a failed start, -2 after the time limit
  std::string out, err;
};

// Environment changes: a value sets the variable, std::nullopt removes it.
using krv_environment_changes = std::map<std::string, std::optional<std::string>>;

inline std::string krv_read_whole_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Starts `argv` (PATH searched) with stdin on /dev/null and stdout and stderr on the files named (created
// afresh; /dev/null drops the stream), the environment changed by `changes`, the stop signals at their
// default action (foreground_spawn.h); POSIX_SPAWN_SETSID in `flags` puts it in a session, and so a
// process group, of its own. -1 when it cannot be started.
inline pid_t krv_spawn_process(std::vector<std::string> argv, const krv_environment_changes& changes,
                               const std::string& out_path, const std::string& err_path, short flags = 0) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (changes.count(text.substr(0, text.find('='))) == 0) environment.push_back(text);
  }
  for (const auto& [name, value] : changes)
    if (value) environment.push_back(name + "=" + *value);
  std::vector<char*> envp, args;
  for (std::string& text : environment) envp.push_back(text.data());
  envp.push_back(nullptr);
  for (std::string& text : argv) args.push_back(text.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const krv_foreground_spawn attributes(flags);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, attributes.get(), args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Waits for `pid` until `deadline`; past it kills `kill_target` (the process, or -pid for its group)
// and reaps it. The wait status, or nullopt when the deadline passed first.
inline std::optional<int> krv_wait_process(pid_t pid, std::chrono::steady_clock::time_point deadline,
                                           pid_t kill_target) {
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (done != 0) return done == pid ? std::optional<int>(status) : std::nullopt;
  kill(kill_target, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return std::nullopt;
}

inline krv_process_result krv_run_process(std::vector<std::string> argv, const krv_environment_changes& changes = {},
                                          std::chrono::seconds limit = std::chrono::seconds(120)) {
  static std::atomic<int> serial{0};  // tests run several processes side by side, from several threads
  const std::string stem = ::testing::TempDir() + "krv_process_" + std::to_string(getpid()) + "_" +
                           std::to_string(++serial);
  const std::string out_path = stem + ".out", err_path = stem + ".err";
  krv_process_result result;
  if (const pid_t pid = krv_spawn_process(std::move(argv), changes, out_path, err_path); pid > 0) {
    const std::optional<int> status = krv_wait_process(pid, std::chrono::steady_clock::now() + limit, pid);
    if (!status) {
      result.exit_code = -2;
    } else if (WIFEXITED(*status)) {
      result.exit_code = WEXITSTATUS(*status);
    }
  }
  result.out = krv_read_whole_file(out_path);
  result.err = krv_read_whole_file(err_path);
  unlink(out_path.c_str());
  unlink(err_path.c_str());
  return result;
}
