// Abandoning the tasks that a run leaves unfinished: those still waiting or scheduled when the host ends
// the run, which will never resume.
//
// Such a task may sit in a reference cycle that counting never frees: a task joining its own std.thread
// group is held by the group, whose callback it holds, and both hold the root task whose globals hold
// the group again. Abandoning a task drops every reference it holds (its frames and stacks, its
// callbacks, captured values and error, its links to parent and context), so each cycle through it
// opens and the root task goes the usual way when its owner lets it go.
//
// Order keeps finalisers working: routines go before root tasks, so what their frames finalise still
// finds the global scope whole; a root task drops its frames above the root frame first, then clears
// its globals in the two passes of its release (functions and classes last). Its root frame, which then
// holds nothing but None, stays until the task goes: a finaliser that the clearing started and that
// handed work off resumes later in that scope, and finds the other globals None.
#pragma once

struct krv_vm_state;

// With the VM lock, when nothing will run the VM's tasks again: takes every task off the run heap and
// the wait list and abandons it. Tasks that no one else holds are destroyed here.
void krv_abandon_unfinished_tasks(krv_vm_state& vm);
