// How kernel launches reach the host's worker threads: the enqueue function handed to helper starts and
// native-code requests, and the number of workers that serve the calling thread's VM.
//
// The VM's worker queue is not part of the VM state yet. Until it is, both answer "no workers": the
// enqueue function is empty (no helper starts, no background build is queued, the launching thread runs
// everything) and the worker count is 0. These two functions are the only place that changes when the
// queue arrives.
#pragma once
#include <cstdint>

#include "kernel/native/jit_request.h"

// Hands a job to the calling thread's VM worker queue; empty when the thread has no queue.
krvk_enqueue_fn krv_kernel_enqueue();

// Worker threads serving the calling thread's VM; 0 without a VM or queue.
uint32_t krv_kernel_worker_count();

// Threads one launch may use, the calling thread included: min(workers + 1, krvk_kernel_threads when
// that is at least 1), at least 1.
int krv_kernel_thread_budget();
