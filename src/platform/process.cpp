#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace krv_platform {

namespace {

using clock_type = std::chrono::steady_clock;

// Cuts the output into pieces as a line reader would, keeping pieces while the output is short.
class output_pieces {
 public:
  explicit output_pieces(std::string* output) : output_(output) {}

  void add(const char* bytes, size_t count) {
    if (output_ == nullptr) return;
    while (count > 0) {
      const size_t room = process_output_piece - piece_.size();
      const char* newline = static_cast<const char*>(std::memchr(bytes, '\n', std::min(room, count)));
      const size_t take = newline != nullptr ? static_cast<size_t>(newline - bytes) + 1 : std::min(room, count);
      piece_.append(bytes, take);
      bytes += take;
      count -= take;
      if (newline != nullptr || piece_.size() == process_output_piece) flush();
    }
  }

  void flush() {
    if (output_ != nullptr && output_->size() < process_output_keep) output_->append(piece_);
    piece_.clear();
  }

 private:
  std::string* output_;  // null when the output is discarded
  std::string piece_;  // the piece being read
};

// The child's start-up: the group `group` (0: a group of its own), default signals, /dev/null in, the
// pipe out, nothing else.
struct spawn_setup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;

  spawn_setup(int pipe_write, pid_t group) {
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_write, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipe_write, STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setpgroup(&attributes, group);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~spawn_setup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  spawn_setup(const spawn_setup&) = delete;
  spawn_setup& operator=(const spawn_setup&) = delete;
};

// The watchdog's life, in a child forked with every signal blocked: it leads the group the program
// will join, and once the thread that forked it is gone (the process killed, even with SIGKILL) the
// parent-death signal wakes it and it kills the whole group, the program's own children included, and
// itself. Only system calls run here: the fork copied a process whose other threads may hold locks.
[[noreturn]] void watch_over_group(pid_t parent) {
  if (setpgid(0, 0) != 0) _exit(1);  // kill(0) below must never reach the host's own group
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  closefrom(0);  // holds no pipe of a run and no lock of a shared-memory ring
  if (getppid() == parent) {
    sigset_t death;
    sigemptyset(&death);
    sigaddset(&death, SIGTERM);
    while (sigwaitinfo(&death, nullptr) < 0 && errno == EINTR) {
    }
  }
  kill(0, SIGKILL);
  _exit(0);
}

// Kills and reaps the watchdog once the program has been reaped or was never started (or the group could not be made).
void end_watchdog(pid_t watchdog) {
  if (watchdog <= 0) return;
  kill(watchdog, SIGKILL);
  while (waitpid(watchdog, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Starts the watchdog of a run (above); its id names the run's process group. -1 when it cannot be
// forked: the program then leads a group of its own, as it did before watchdogs, and outlives a killed
// process.
pid_t start_watchdog() {
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t parent = getpid();
  const pid_t watchdog = fork();
  if (watchdog == 0) watch_over_group(parent);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (watchdog <= 0) return -1;
  // As the watchdog does itself, whichever runs first, so that the group exists before the program joins it.
  if (setpgid(watchdog, watchdog) == 0) return watchdog;
  end_watchdog(watchdog);
  return -1;
}

// Whether the child has ended, without reaping it: while it is unreaped its id cannot be reused.
bool has_ended(pid_t child) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    if (errno != EINTR) return true;  // nothing left to wait for
  }
  return info.si_pid == child;
}

// Reads what is ready on the pipe; false once the pipe is at its end.
bool read_ready(int fd, output_pieces& pieces) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      pieces.add(buffer, static_cast<size_t>(got));
      continue;
    }
    if (got == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

int milliseconds_until(clock_type::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 10));
}

// Follows the child until it has ended, the deadline passes or the abandon flag is set; says which.
// Once the child has ended, everything it wrote is in the pipe: that is read, and its group is killed
// so that no helper it left behind keeps running. A process that left the group (setsid) may still
// hold the pipe open; it is not waited for.
process_end follow_child(pid_t child, pid_t group, int fd, output_pieces& pieces, clock_type::time_point deadline,
                         const std::atomic<uint8_t>* abandon) {
  bool open = true;
  for (;;) {
    if (has_ended(child)) {
      kill(-group, SIGKILL);
      if (open) read_ready(fd, pieces);
      return process_end::exited;
    }
    if (clock_type::now() >= deadline) return process_end::timed_out;
    if (abandon != nullptr && abandon->load(std::memory_order_acquire) != 0) return process_end::abandoned;
    if (open) {
      pollfd watch{fd, POLLIN, 0};
      if (poll(&watch, 1, milliseconds_until(deadline)) > 0) open = read_ready(fd, pieces);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

// Runs `spawn` on a thread of its own that lowers its own priority first: on Linux the niceness belongs
// to the thread and a child inherits its spawning thread's, so the program starts niced (lowering it
// afterwards raced with the program's first steps) and the caller's thread keeps its priority, which it
// could not take back without privileges. Best effort: a refused niceness still spawns.
template <typename Spawn>
void spawn_niced(const Spawn& spawn, int niceness) {
  std::thread([&] {
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), niceness);
    spawn();
  }).join();
}

// The environment of this process, with TMPDIR set to `temporary_directory` when that is not empty.
std::vector<std::string> child_environment(const std::string& temporary_directory) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (temporary_directory.empty() || std::strncmp(*entry, "TMPDIR=", 7) != 0) entries.emplace_back(*entry);
  }
  if (!temporary_directory.empty()) entries.push_back("TMPDIR=" + temporary_directory);
  return entries;
}

}  // namespace

int run_process(const std::vector<std::string>& argv, std::string* output, std::chrono::milliseconds limit,
                int niceness, process_watch* watch) {
  process_watch unwatched;
  process_watch& how = watch != nullptr ? *watch : unwatched;
  how.end = process_end::not_started;
  if (output != nullptr) output->clear();
  if (argv.empty()) return -1;
  if (how.abandon != nullptr && how.abandon->load(std::memory_order_acquire) != 0) {
    how.end = process_end::abandoned;  // nobody wants the result: nothing is started
    return -1;
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -1;
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> environment = child_environment(how.temporary_directory);
  std::vector<char*> environment_entries;
  for (std::string& entry : environment) environment_entries.push_back(entry.data());
  environment_entries.push_back(nullptr);
  pid_t child = 0;
  int spawned = 0;
  const pid_t watchdog = start_watchdog();
  const pid_t group = watchdog > 0 ? watchdog : 0;
  const auto spawn = [&] {
    spawn_setup setup(ends[1], group);
    spawned = posix_spawnp(&child, args[0], &setup.actions, &setup.attributes, args.data(), environment_entries.data());
  };
  if (niceness > 0)
    spawn_niced(spawn, niceness);
  else
    spawn();
  close(ends[1]);
  if (spawned != 0) {
    close(ends[0]);
    end_watchdog(watchdog);
    return -1;
  }
  fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
  output_pieces pieces(output);
  // The group's leader (the watchdog, else the child) stays unreaped until the group is gone, so its id
  // names no other group meanwhile.
  const pid_t leader = group != 0 ? group : child;
  how.end = follow_child(child, leader, ends[0], pieces, clock_type::now() + limit, how.abandon);
  pieces.flush();
  close(ends[0]);
  kill(-leader, SIGKILL);  // a no-op when the group is already gone
  int status = 0;
  pid_t reaped = -1;
  do {
    reaped = waitpid(child, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  end_watchdog(watchdog);
  if (how.end != process_end::exited) return -1;
  // No status to read (a host that ignores SIGCHLD has its children reaped for it) is no success either.
  if (reaped != child || !WIFEXITED(status)) {
    how.end = process_end::signalled;
    return -1;
  }
  return WEXITSTATUS(status);
}

uint64_t current_process_id() noexcept { return static_cast<uint64_t>(getpid()); }

}  // namespace krv_platform
