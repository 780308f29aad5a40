// Returning a native method's work to the VM: the worker side of krv_vm_context::return_thread.
//
// A hand-off suspends the calling task and queues one job on the VM's worker queue. The job holds, until
// it reaches the completion ring, one strong reference to the task, one count of the result placeholder
// and, when the method has a receiver, one strong reference and one worker hold of that object. A worker
// runs the job once: it calls the function, assigns the value to the placeholder and sets its delivered
// bit (0x01), pushes the completion record, clears the task's `on_pool_thread` and wakes the host. The
// VM thread completes the record (krv_complete_return), so every release happens under the VM lock.
//
// A job destroyed unrun (the queue was stopping, or the host discarded it at shutdown) still completes:
// it gives its references back the same way, and the task resumes with None, so nothing is left
// suspended with `on_pool_thread` set.
#pragma once
#include "module/completion_ring.h"

struct krv_vm_state;

// The placeholder's first flag byte gets this bit when a worker delivered a value into it.
inline constexpr uint8_t krv_result_delivered = 0x01;

// On the VM thread, with the VM lock: takes over the record's references, lowers the object's worker
// holds and wakes the task.
void krv_complete_return(const krv_completion_record& record);

// On the VM thread, with the VM lock: completes every record the workers have pushed, in ticket order.
// Returns how many.
size_t krv_drain_completions(krv_vm_state& vm);
