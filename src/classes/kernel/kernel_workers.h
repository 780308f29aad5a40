// How kernel launches reach the host's worker threads: the enqueue function handed to helper starts,
// and the number of workers that serve the calling thread's VM. Background builds of native code do not
// go here: they run on the kernel's build thread (kernel/native/jit_builder.h).
//
// The enqueue function moves a job into the calling thread's VM worker queue (krv_task_queue::try_push:
// false when 1,024 jobs wait and the job is destroyed; true otherwise, also when the host stopped the
// queue and dropped the job unrun). It is empty when the thread has no VM or the VM has no workers (a job
// queued there would wait for ever), so no helper starts: the launching thread runs everything. A
// dropped or late helper is harmless: the launching thread runs whatever no helper claimed, and a helper
// that starts after the launch finds nothing left.
#pragma once
#include <chrono>
#include <cstdint>

#include "kernel/native/jit_request.h"

// Hands a job to the calling thread's VM worker queue; empty without a VM or without workers.
krvk_enqueue_fn krv_kernel_enqueue();

// Worker threads serving the calling thread's VM; 0 without a VM or queue.
uint32_t krv_kernel_worker_count();

// For a host about to end its process: abandons every kernel build for good, the build thread's and a
// sync build on a script's thread alike (their compilers are killed within milliseconds, their files
// removed), and waits up to `krv_kernel_abandon_patience` for them to let go. A host calls it when a
// stop is asked for (a sync build would hold the stopping script in its compiler) and on every way out
// while its signal handlers still stand (a signal that ended the process in between would leave the
// compiler running and its files behind), and before _exit, which runs no static destructor.
void krv_kernel_abandon_builds();

// How long krv_kernel_abandon_builds waits: an abandoned build lets go within milliseconds.
inline constexpr std::chrono::milliseconds krv_kernel_abandon_patience{1000};

// For a host whose run is asked to stop: every asynchronous launch, running or started from now on, stops
// handing out lanes (kernel/runtime/launch_stops.h); a wait for one raises that it was cut short.
void krv_kernel_stop_async_launches();

// Threads one launch may use, the calling thread included: min(workers + 1, krvk_kernel_threads when
// that is at least 1), at least 1.
int krv_kernel_thread_budget();
