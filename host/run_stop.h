// The stop of a `krvhost run` that SIGINT (Ctrl-C), SIGTERM or SIGHUP (a closed terminal, a dropped ssh
// session) asks for.
//
// A signal must not end the process where it lands: buffered output would be lost and a channel's
// shared memory left in /dev/shm. So the handler only writes the signal's number into a pipe (write is
// async-signal-safe), and the main thread, which does nothing else during a run, reads it there and
// passes it on as a stop request: a flag that the VM loop checks, and a wake of the VM's notify object so
// that a sleeping VM thread sees it at once. The VM thread then ends the run in order (workers stopped,
// channels closed and their regions unlinked, output flushed) and the process exits 128 + the signal's
// number (130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP).
//
// A stop signal that is ignored when the process starts stays ignored, as programs conventionally keep
// it: a shell script starts its background jobs with SIGINT ignored, so that a Ctrl-C meant for the
// script does not reach them, and `nohup` starts its command with SIGHUP ignored.
//
// A script whose task never yields (a loop without end) never reaches the VM loop: once the stop has
// been announced (a line on stderr after a second without an end), a further signal exits at once, with
// the output flushed and every kernel build's compiler killed, but the channels left as they are.
// Signals before the announcement are copies of the first: a terminal sends Ctrl-C to the whole
// foreground group, so krvhost under `timeout` gets it from both, a moment apart. A script blocked
// writing to a pipe that nobody reads (`krvhost run x | less`, the pager stopped) never reaches the VM
// loop either, and holds the output's lock: the announcement says so, and the exit at once gives the
// flush half a second on a thread of its own, then leaves what is unwritten.
//
// A stop also cuts every asynchronous kernel launch short (classes/kernel/kernel_workers.h): its lanes
// would otherwise keep the workers, or the VM thread, busy until the last one ran.
//
// The stop request is also raised where the module's waits see it (platform/stop_request.h), so a wait
// that would outlast it (an IPC opener retrying for 5 s) ends at once, and every kernel build is
// abandoned for good (its compiler killed, its files removed): a "sync" build holds the VM thread in
// its compiler, which would otherwise keep the stop waiting for the compiler's whole run limit.
//
// The signals are blocked on every thread but the main one: the VM thread blocks them first thing, and
// the workers it starts inherit its mask, so no system call of theirs is interrupted (a signal landing
// in the moment before the block still only writes the pipe). One krv_run_stop exists at a time.
#pragma once
#include <atomic>
#include <mutex>

#include "module/vm_state.h"

class krv_run_stop {
 public:
  // Installs the handlers of the stop signals not ignored; the calling thread is the one that will watch().
  krv_run_stop();
  // Puts the previous handlers back.
  ~krv_run_stop();
  krv_run_stop(const krv_run_stop&) = delete;
  krv_run_stop& operator=(const krv_run_stop&) = delete;

  // Keeps the stop signals from the calling thread and from the threads it starts later: the VM thread
  // calls it first thing, before it starts the workers.
  static void block_on_this_thread();

  // The VM thread's side. `notify` is woken by a stop request from now on (nullptr: no longer).
  void attach(krv_vm_notify* notify);
  // 0 while no stop was asked for, else the signal that asked for it.
  int signal() const noexcept { return signal_.load(std::memory_order_acquire); }
  // The run has ended: watch() returns.
  void run_ended();

  // The main thread's side: waits until run_ended(), turning each signal into a stop request.
  void watch();

 private:
  void request(int signal);

  std::atomic<int> signal_{0};   // the first signal received, 0 before any
  std::mutex notify_mutex_;      // guards notify_ against its detach while a request wakes it
  krv_vm_notify* notify_ = nullptr;
};
