// Runtime errors and warnings raised on a task: the catch test and the reports.
//
// An error raised on a task is caught by the innermost frame whose block has a catch, unless a noexcept
// function frame comes first; a caught error prints nothing but an information line. Otherwise the
// report prints one entry per frame, outermost first: the first 10 and the last 20 of a deeper stack,
// with a line saying how many were left out. Each entry is a complete block (source_excerpt.h) and only
// the innermost carries the message. Missing source information degrades the innermost entry to the
// plain framed text but never suppresses it; a caller's entry without it is left out, since it could
// only repeat the message (an error in a catch handler or a function under a block without positions
// was printed twice). A warning reports only the current frame and changes nothing.
#pragma once
#include <cstdint>
#include <string>

#include "runtime/memory/handles.h"

class krv_vm_context;
struct krv_source_position;
class krv_program_block;

// The raise target of the calling thread: the top frame of its current task when it owns the VM lock,
// else null (the raise then only logs).
krv_vm_context* krv_raise_target();

// Raises on the task of `frame` (its top frame): `framed` is the framed text, `message` the bare one.
void krv_runtime_error(krv_vm_context& frame, const std::string& framed, const std::string& message, bool catchable);
// Prints the report of the task of `frame`: index -1 every entry, else the entry of frame `index`.
void krv_runtime_error_report(krv_vm_context& frame, const std::string& framed, int64_t index);
// Prints the warning report of `frame`.
void krv_runtime_warning(krv_vm_context& frame, const std::string& message);

// The position recorded for the instruction at `offset` of `block`: the entry with the greatest offset
// not above it. A `caller`'s frame stands just after its call, so the instruction that ends there is the
// one looked up (offset - 1). Null when the block has none or the record is gone.
krvptr_strong<krv_source_position> krv_find_position(const krv_program_block& block, uint32_t offset, bool caller);
