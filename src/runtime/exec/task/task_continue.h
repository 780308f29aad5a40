// The execution loop of one task: runs the top frame through the interpreter, acts on the status it
// returns and finishes the task.
//
// Statuses: 2 return (pop to the nearest function frame, and that one too), 4 break (to the nearest
// loop, which is left), 8 continue (restart the nearest loop at its continue offset), 16 a call pushed
// a frame (run it; the VM's max_call_depth, when not 0, turns a deeper frame into a catchable error at
// the caller), 32 suspended (leave), 64 a block ended (pop finished frames, resume the first unfinished
// one), 128 an error (unwind to the innermost frame with a catch, or to a noexcept function, which then
// returns None; with no handler the task ends, counted in its VM's unhandled_task_errors, and calls
// on_error).
//
// Frames below the base are never popped: a task whose root frame runs a task block keeps that frame
// (base 1), and finishing resets it, so the task can be started again from the top of its code.
// Finishing calls on_finish with the result (the top of the value stack, or None after an unhandled
// error), leaves the result alone on the value stack and drops every other frame, parked frame and sink.
#pragma once

class krv_task;

// True when the task stopped with a status below 64 and is not suspended (the caller schedules it
// again); false when it is suspended, has finished or could not run.
bool task_continue(krv_task& task);
