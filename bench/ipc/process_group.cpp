#include "process_group.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

// An unnamed temporary file (unlinked at once, so nothing is left behind), closed on exec: only the
// program it is handed to as standard output keeps it.
int anonymous_temporary_file() {
  char path[] = "/tmp/ipc_processes_bench_XXXXXX";
  const int fd = mkostemp(path, O_CLOEXEC);
  if (fd >= 0) unlink(path);
  return fd;
}

// Through syscall(): this glibc's <sys/pidfd.h> declares pidfd_open without C linkage for C++.
int open_pidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

std::string read_whole_file(int fd) {
  std::string text;
  if (lseek(fd, 0, SEEK_SET) != 0) return text;
  char chunk[4096];
  ssize_t got = 0;
  while ((got = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(got));
  return text;
}

int milliseconds_until(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

double seconds_of(const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; }

bool succeeded(const member_process& member) {
  return member.exited && !member.killed_at_deadline && WIFEXITED(member.status) && WEXITSTATUS(member.status) == 0;
}

std::string how_it_ended(const member_process& member) {
  if (member.killed_at_deadline) return "still running at the deadline, killed";
  if (WIFEXITED(member.status)) return "exit status " + std::to_string(WEXITSTATUS(member.status));
  if (WIFSIGNALED(member.status)) return std::string("ended by signal ") + strsignal(WTERMSIG(member.status));
  return "ended with wait status " + std::to_string(member.status);
}

}  // namespace

process_group::~process_group() {
  kill_running();
  for (member_process& member : members_) {
    if (member.output_fd >= 0) close(member.output_fd);
  }
}

bool process_group::spawn(const std::vector<std::string>& args) {
  member_process member;
  member.output_fd = anonymous_temporary_file();
  if (member.output_fd < 0) {
    std::perror("ipc_processes_bench: temporary file");
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, member.output_fd, STDOUT_FILENO);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const int error = posix_spawn(&member.pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    std::fprintf(stderr, "ipc_processes_bench: cannot start %s: %s\n", argv[0], strerror(error));
    close(member.output_fd);
    return false;
  }
  members_.push_back(std::move(member));
  return true;
}

bool process_group::fork_run(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("ipc_processes_bench: fork");
    return false;
  }
  if (pid == 0) _exit(body());  // _exit: the parent's buffered output must not be written twice
  member_process member;
  member.pid = pid;
  members_.push_back(std::move(member));
  return true;
}

bool process_group::wait_all(std::chrono::steady_clock::time_point deadline) {
  std::vector<pollfd> watched;
  std::vector<member_process*> watched_members;
  for (member_process& member : members_) {
    if (member.exited) continue;
    const int fd = open_pidfd(member.pid);
    if (fd < 0) {
      std::perror("ipc_processes_bench: pidfd_open");
      kill_running();
      return false;
    }
    watched.push_back(pollfd{fd, POLLIN, 0});
    watched_members.push_back(&member);
  }
  size_t running = watched.size();
  while (running > 0) {
    const int ready = poll(watched.data(), watched.size(), milliseconds_until(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    for (size_t i = 0; i < watched.size(); ++i) {
      if (watched[i].fd < 0 || watched[i].revents == 0) continue;
      reap(*watched_members[i]);
      close(watched[i].fd);
      watched[i].fd = -1;  // poll skips negative descriptors
      --running;
    }
  }
  for (pollfd& entry : watched) {
    if (entry.fd >= 0) close(entry.fd);
  }
  if (running == 0) return true;
  kill_running();
  return false;
}

bool process_group::all_succeeded() const {
  for (const member_process& member : members_) {
    if (!succeeded(member)) return false;
  }
  return true;
}

double process_group::processor_seconds() const {
  double total = 0;
  for (const member_process& member : members_) total += member.processor_seconds;
  return total;
}

std::string process_group::failures() const {
  std::string text;
  for (const member_process& member : members_) {
    if (!succeeded(member)) text += "  pid " + std::to_string(member.pid) + ": " + how_it_ended(member) + "\n";
  }
  return text;
}

void process_group::reap(member_process& member) {
  rusage usage{};
  while (wait4(member.pid, &member.status, 0, &usage) < 0 && errno == EINTR) {
  }
  member.exited = true;
  member.processor_seconds = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
  if (member.output_fd >= 0) {
    member.output = read_whole_file(member.output_fd);
    close(member.output_fd);
    member.output_fd = -1;
  }
}

void process_group::kill_running() {
  for (member_process& member : members_) {
    if (member.exited) continue;
    kill(member.pid, SIGKILL);
    member.killed_at_deadline = true;
    reap(member);
  }
}
