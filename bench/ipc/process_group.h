// A group of child processes that run side by side and are timed as one: ipc_processes_bench starts a
// pair of `krvhost run` processes (posix_spawn) or a pair of forked pipe workers, then waits for both.
// Each spawned program's standard output goes to a temporary file, so the benchmark can check the line a
// script prints at the end; standard error stays the benchmark's own, so a failing script is seen.
// Waiting polls a pidfd per child: the wait ends the moment the last child exits, and a child still
// running at the deadline is killed (only the group's own children, by their pids). Reaping takes each
// child's processor time too, since a side that polls shows it there rather than in the wall time.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct member_process {
  pid_t pid = -1;
  int output_fd = -1;            // the temporary file holding a spawned program's standard output; -1 for a fork
  int status = 0;                // as wait4 gives it, once the member has exited
  double processor_seconds = 0;  // user and system time the member used, once it has exited
  bool exited = false;
  bool killed_at_deadline = false;
  std::string output;  // what a spawned program wrote to standard output, read once it exited
};

class process_group {
 public:
  process_group() = default;
  process_group(const process_group&) = delete;
  process_group& operator=(const process_group&) = delete;
  // Kills and reaps members still running (the group was left early), and closes their files.
  ~process_group();

  // Starts the program args[0] with its arguments; false (with the reason on stderr) when it cannot.
  bool spawn(const std::vector<std::string>& args);
  // Forks a child that runs `body` and exits with its result; the caller's descriptors are the child's.
  bool fork_run(const std::function<int()>& body);
  // Waits until every member has exited or the deadline passed; the members left then are killed and
  // reaped. True when all exited on their own.
  bool wait_all(std::chrono::steady_clock::time_point deadline);
  // True when every member exited with status 0.
  bool all_succeeded() const;
  // The processor time all members used (user and system), counting those that have exited.
  double processor_seconds() const;
  // One line per member that did not exit with status 0: its pid and how it ended.
  std::string failures() const;

  const std::vector<member_process>& members() const { return members_; }

 private:
  void reap(member_process& member);
  void kill_running();

  std::vector<member_process> members_;
};
