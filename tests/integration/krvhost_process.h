// `krvhost` as a user starts it: posix_spawn with its standard output and error in temporary files. The
// wait gives up at a deadline and kills the process, so a run that hangs fails its test instead of
// holding the suite.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

struct krv_run_result {
  int exit_code = -1;  // -1 after a signal, a failed start or the deadline
  bool timed_out = false;
  std::string out, err;
};

class krv_krvhost_process {
 public:
  // Starts `krvhost args...`; `leaf` keeps the output files of processes that run together apart.
  krv_krvhost_process(std::vector<std::string> args, const std::string& leaf)
      : out_path_(temp_path(leaf + ".out")), err_path_(temp_path(leaf + ".err")) {
    args.insert(args.begin(), KRV_KRVHOST_PATH);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~krv_krvhost_process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
  }
  krv_krvhost_process(const krv_krvhost_process&) = delete;
  krv_krvhost_process& operator=(const krv_krvhost_process&) = delete;

  // Waits for the exit at most `timeout_ms`, killing the process past it; then reads its output.
  krv_run_result wait(int timeout_ms) {
    krv_run_result result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (pid_ > 0) {
      int status = 0;
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done < 0 && errno == EINTR) continue;
      if (done != 0) {
        if (done > 0 && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
        pid_ = -1;
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        result.timed_out = true;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.out = slurp(out_path_);
    result.err = slurp(err_path_);
    return result;
  }

  static std::string temp_path(const std::string& leaf) {
    return ::testing::TempDir() + "krvhost_" + std::to_string(getpid()) + "_" + leaf;
  }

 private:
  static std::string slurp(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }

  pid_t pid_ = -1;
  std::string out_path_, err_path_;
};
