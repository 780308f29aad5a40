// The interpreter's handlers outside its loop, and the helpers they share with it.
//
// The loop (interpreter.cpp) decodes and dispatches; the operators (vm_operators.cpp) and the calls
// (vm_calls.cpp) live in their own files. Every handler runs with A present (the loop's invariant) and
// reports malformed operands as runtime errors without writing anything.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "runtime/exec/task.h"
#include "runtime/exec/vm_context.h"
#include "runtime/values/krvvar_shared.h"

namespace krv_vm {

// A little-endian operand of type T at `at`.
template <class T>
inline T operand(const uint8_t* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

inline krvvar_shared& accumulator(krv_vm_context& frame) noexcept { return frame.task->value_stack.back(); }

// The accumulator rule: an integer or float result is written into A's own cell when that cell is
// unshared and simple (no allocation), else into a new cell that replaces A's handle.
inline void set_int(krvvar_shared& slot, int64_t value) {
  krvvar* cell = slot.get();
  if (cell != nullptr && cell->refcount == 1 && krvvar_is_simple(cell->type)) {
    cell->flags = 0;
    cell->by_value = 0;
    cell->type = KRVVAR_INT;
    cell->payload.int_value = value;
    return;
  }
  slot = krvvar_shared::make_int(value);
}
inline void set_float(krvvar_shared& slot, double value) {
  krvvar* cell = slot.get();
  if (cell != nullptr && cell->refcount == 1 && krvvar_is_simple(cell->type)) {
    cell->flags = 0;
    cell->by_value = 0;
    cell->type = KRVVAR_FLOAT;
    cell->payload.float_value = value;
    return;
  }
  slot = krvvar_shared::make_float(value);
}

// Pushes `value` for `frame` (its values-pushed count goes up).
void push(krv_vm_context& frame, krvvar_shared value);
// Pops A for `frame` and hands it over; false (with "invalid variable.") when A is the last element.
bool pop(krv_vm_context& frame, krvvar_shared& popped);

// "invalid variable." / "index out of range!": malformed values and arguments.
void invalid_variable();
void index_out_of_range();

// Operators (vm_operators.cpp).
void arithmetic(krv_vm_context& frame, uint8_t opcode);  // 25-28
void modulo(krv_vm_context& frame);                      // 70
void bitwise(krv_vm_context& frame, uint8_t opcode);     // 29-31
void compare(krv_vm_context& frame, uint8_t opcode, uint8_t flag);  // 34-36
void step(krv_vm_context& frame, bool increment, bool postfix);     // 32, 33
void negate(krv_vm_context& frame);                      // 21

// Argument records and calls (vm_calls.cpp).
void args_open(krv_vm_context& frame, uint32_t count);                 // 38
void arg_store(krv_vm_context& frame, uint8_t opcode, uint32_t index);  // 39-41
void call_native(krv_vm_context& frame, krv_function_def* definition);  // 42
void args_release(krv_vm_context& frame);                               // 43
void call_prepare(krv_vm_context& frame, uint32_t count);               // 44
void call_arg(krv_vm_context& frame, uint32_t index);                   // 45
void call(krv_vm_context& frame);                                       // 46
void run_child(krv_vm_context& frame, uint32_t index);                  // 47
bool default_arg(krv_vm_context& frame, uint32_t index);                // 48; true: advance
void catch_error(krv_vm_context& frame, uint32_t index);                // 49
void run_body(krv_vm_context& frame);                                   // 50
void capture(krv_vm_context& frame, uint8_t opcode, uint8_t flag);      // 15, 16

}  // namespace krv_vm
