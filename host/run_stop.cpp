#include "host/run_stop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>

#include "classes/kernel/kernel_workers.h"
#include "host/script_runner.h"
#include "host/standard_output.h"
#include "platform/stop_request.h"

namespace {

// The pipe from the handler (and from the VM thread's end of the run) to watch(): [0] read, [1] written.
int stop_pipe[2] = {-1, -1};
// The byte that says the run has ended; any other byte is a signal's number.
constexpr unsigned char run_ended_byte = 0;
constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
// How long watch() waits after a stop request before it says that a second signal exits at once.
constexpr std::chrono::milliseconds stop_hint_after{1000};

// How long the exit at once gives the output's last flush: only a pipe that nobody reads takes longer.
constexpr std::chrono::milliseconds at_once_flush_patience{500};

struct sigaction previous_actions[std::size(stop_signals)];

void on_signal(int signal) {
  const int saved_errno = errno;
  const auto byte = static_cast<unsigned char>(signal);
  [[maybe_unused]] const ssize_t written = write(stop_pipe[1], &byte, 1);
  errno = saved_errno;
}

void write_stderr(const char* text) {
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text, std::strlen(text));
}

sigset_t stop_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : stop_signals) sigaddset(&set, signal);
  return set;
}

}  // namespace

krv_run_stop::krv_run_stop() {
  // The write end never blocks: a handler that found the pipe full loses only a repeated signal.
  if (pipe2(stop_pipe, O_CLOEXEC) != 0 || fcntl(stop_pipe[1], F_SETFL, O_NONBLOCK) != 0)
    throw std::runtime_error(std::string("cannot make the signal pipe: ") + std::strerror(errno));
  struct sigaction action {};
  action.sa_handler = on_signal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < std::size(stop_signals); ++i) {
    sigaction(stop_signals[i], nullptr, &previous_actions[i]);
    // Ignored when the process started (a background job of a shell script, nohup): stays ignored.
    if (previous_actions[i].sa_handler != SIG_IGN) sigaction(stop_signals[i], &action, nullptr);
  }
}

krv_run_stop::~krv_run_stop() {
  // After a stop request the process is on its way to the request's status: a late copy of the signal
  // (`timeout` passes its copy of a terminal's Ctrl-C on, and a loaded machine may deliver it only now) is
  // the same request, and under the restored default action it would end the process by the signal
  // instead, before the output is flushed. Ignored from here to the exit.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (size_t i = 0; i < std::size(stop_signals); ++i)
    sigaction(stop_signals[i], signal() != 0 ? &ignore : &previous_actions[i], nullptr);
  close(stop_pipe[0]);
  close(stop_pipe[1]);
  stop_pipe[0] = stop_pipe[1] = -1;
}

void krv_run_stop::block_on_this_thread() {
  const sigset_t set = stop_signal_set();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void krv_run_stop::attach(krv_vm_notify* notify) {
  std::lock_guard<std::mutex> guard(notify_mutex_);
  notify_ = notify;
}

void krv_run_stop::run_ended() {
  [[maybe_unused]] const ssize_t written = write(stop_pipe[1], &run_ended_byte, 1);
}

void krv_run_stop::request(int signal) {
  int none = 0;
  signal_.compare_exchange_strong(none, signal, std::memory_order_acq_rel);
  krv_platform::request_stop();  // ends the module's waits that would outlast a stop (an IPC opener's retries)
  {
    std::lock_guard<std::mutex> guard(notify_mutex_);
    if (notify_ != nullptr) notify_->wake();
  }
  // A sync build holds the VM thread in its compiler, which may take the whole run limit: abandoned now,
  // the launch goes on without native code and the task reaches the VM loop. No build starts any more.
  krv_kernel_abandon_builds();
  // An asynchronous launch would keep the workers (or, without workers, the VM thread) in lanes whose
  // results nobody will take: it stops handing them out, and so does any launch the run starts later.
  krv_kernel_stop_async_launches();
}

void krv_run_stop::watch() {
  bool hinted = false;
  std::chrono::steady_clock::time_point hint_at{};  // a second after the request: copies do not put it off
  for (;;) {
    pollfd readable{stop_pipe[0], POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(hint_at - std::chrono::steady_clock::now());
    const int timeout_ms = signal() != 0 && !hinted ? static_cast<int>(std::max<int64_t>(left.count(), 0)) : -1;
    const int ready = poll(&readable, 1, timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      write_stderr(krv_stdout_write_waits() ? "krvhost: stopping once standard output is read (the script waits to "
                                              "write to it); send the signal again to exit at once\n"
                                            : "krvhost: stopping once the running task yields; send the signal "
                                              "again to exit at once\n");
      hinted = true;
      continue;
    }
    unsigned char byte = run_ended_byte;
    if (ready < 0 || read(stop_pipe[0], &byte, 1) != 1 || byte == run_ended_byte) return;
    if (signal() == 0) {
      request(byte);
      hint_at = std::chrono::steady_clock::now() + stop_hint_after;
      continue;
    }
    // Copies of the first signal (a terminal's Ctrl-C reaches `timeout` and krvhost alike, and `timeout`
    // passes its copy on) are one request: only a signal after the announcement exits at once.
    if (!hinted) continue;
    // The task never yielded to the VM loop: nothing can be closed in order, but the output is kept and
    // every kernel build's compiler, which would outlive the process, is killed and its files removed.
    krv_kernel_abandon_builds();
    // A failure is said on stderr; the status stays the signal's. A script blocked writing to a full pipe
    // holds the output's lock until a reader comes: what it holds is then left unwritten.
    if (!krv_stdout_flush_within(at_once_flush_patience))
      write_stderr("krvhost: standard output is not being read; what was not written yet is lost\n");
    write_stderr("krvhost: exiting at once; the script's channels were not closed\n");
    _exit(KRV_RUN_SIGNALLED + signal());
  }
}
