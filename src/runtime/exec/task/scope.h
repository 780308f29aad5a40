// Scopes: the root task whose root frame holds the globals that a routine sees.
//
// A frame's scope is a task. A root task is its own scope; a routine created inside a global scope has
// that root task as its context. Global lookups (opcodes 6 and 7) read the root frame of the outermost
// scope, the global frame; when there is none the interpreter raises "No global scope!" and writes the
// diagnostic lines of krv_log_no_global_scope.
#pragma once

class krv_task;
class krv_vm_context;

// The outermost scope: `scope`'s context links followed to the end (null for null).
krv_task* krv_scope_root(krv_task* scope);
// The outermost scope of the calling thread's current task; null without one.
krv_task* krv_current_root_scope();
// The scope of the top frame of the calling thread's current task; null without a task or frame.
krv_task* krv_current_frame_scope();
// The root frame of the outermost scope, or null when there is no scope or it has no frame.
krv_vm_context* vm_global_frame(krv_task* scope);
// Four diagnostic lines about the missing global frame of `frame` (whose scope may be null).
void krv_log_no_global_scope(const krv_vm_context& frame);
