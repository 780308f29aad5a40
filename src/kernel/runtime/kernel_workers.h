// How kernel launches reach the host's worker threads: the enqueue function handed to helper starts and
// native-code requests, and the number of workers that serve the calling thread's VM.
//
// The enqueue function moves a job into the VM's worker queue (false when the queue is full and the job
// is destroyed). The worker count still answers 0, so launches run on the launching thread alone until
// the host reports its workers here.
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
