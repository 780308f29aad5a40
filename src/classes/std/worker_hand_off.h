// Handing a native method's work to the host's worker threads.
//
// A method that must not hold the VM thread for long (the regular-expression methods of std.string)
// does its checks on the calling thread, then packs the rest into a job that owns copies of everything it
// reads and hands it over here. What comes back is the method's result.
//
// This is the one place that knows how the job leaves the thread: the task's suspension, the worker
// queue and the resumption with the job's value belong to the calling frame's return_thread. Until
// the frame has it, the job runs right here on the calling thread, with the same outcome for the script:
// the job's value, or None and an error line when the job throws. Swapping in the frame's hand-off is
// the body of krv_hand_off_to_worker and nothing else.
#pragma once
#include <functional>

#include "runtime/values/krvvar_shared.h"

class krv_vm_context;

// Run exactly once; returns the method's result.
using krv_worker_job = std::function<krvvar_shared()>;

krvvar_shared krv_hand_off_to_worker(krv_vm_context& frame, krv_worker_job job);
