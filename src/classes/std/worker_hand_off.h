// Handing a native method's work to the host's worker threads.
//
// A method that must not hold the VM thread for long (the regular-expression methods of std.string)
// does its checks on the calling thread, then packs the rest into a job that owns copies of everything it
// reads and hands it over here. What comes back is the method's result.
//
// This is the one place that knows how the job leaves the thread: the calling frame's return_thread
// suspends the task, queues the job for the host's workers and returns the placeholder the task finds
// the job's value in when it resumes (None, and an error line, when the job throws). A frame without a
// task, or a thread without the VM lock, runs the job right here with the same outcome.
#pragma once
#include <functional>

#include "runtime/base/krvvar_shared.h"

class krv_vm_context;

// Run exactly once; returns the method's result.
using krv_worker_job = std::function<krvvar_shared()>;

krvvar_shared krv_hand_off_to_worker(krv_vm_context& frame, krv_worker_job job);
