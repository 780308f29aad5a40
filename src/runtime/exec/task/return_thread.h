// Returning a native method's work to the VM: the worker side of krv_vm_context::return_thread.
//
// A hand-off suspends the calling task, raises the task's `on_pool_thread` and `results_awaited` and
// queues one job on the VM's worker queue. The job holds, until it reaches the completion ring, one
// strong reference to the task, one count of the result placeholder and, when the method has a receiver,
// one strong reference and one worker hold of that object. A worker runs the job once: it calls the
// function, assigns the value to the placeholder and sets its delivered bit (0x01), lowers the task's
// `on_pool_thread`, pushes the completion record and wakes the host. The VM thread completes the record
// (krv_complete_return), lowering `results_awaited`, so every release happens under the VM lock.
//
// Why in this order: the record's reference is what keeps the task alive, so the worker's last access
// to the task comes before the push. After the push the VM thread may resume the task at once, and the
// task may hand off again; a mark cleared late would then erase the new hand-off's, and the host would
// take a task that waits on a worker for one that waits on nothing. `results_awaited` changes only
// under the VM lock, so the host sees a task waiting for its result from the hand-off to the drain,
// whatever the workers do in between.
//
// A catchable error that the job raises (a method's bound found only while the work runs) cannot
// reach the task from the worker: it is kept instead of logged, the worker hands its text to the task
// (`raised_by_work`) before the completion record goes out, and the task raises it again where it
// stands when it resumes, so the script's catch block takes it as if the method had raised it.
//
// A job destroyed unrun (the queue was stopping, or the host discarded it at shutdown) still completes:
// it gives its references back the same way, and the task resumes with None, so nothing is left
// suspended waiting for a result.
#pragma once
#include <functional>
#include <string>

#include "module/completion_ring.h"

struct krv_vm_state;
class krv_function_def;

// The placeholder's first flag byte gets this bit when a worker delivered a value into it.
inline constexpr uint8_t krv_result_delivered = 0x01;

// On the VM thread, with the VM lock: takes over the record's references, lowers the task's
// `results_awaited` and the object's worker holds, and wakes the task.
void krv_complete_return(const krv_completion_record& record);

// On the VM thread, with the VM lock: completes every record the workers have pushed, in ticket order.
// Returns how many.
size_t krv_drain_completions(krv_vm_state& vm);

// The native function (or method) whose work a queued job is, for a host's messages about a worker
// that does not leave: the definition in call when the job was handed off; null for any other job
// (a kernel launch's helper) and for a hand-off made outside a native call.
const krv_function_def* krv_hand_off_native(const std::function<void()>& job);

// While a hand-off job runs on this thread, where the first catchable error it raises is kept for its
// task (above); null otherwise.
std::string* krv_hand_off_error_sink() noexcept;
