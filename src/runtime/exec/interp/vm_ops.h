// The interpreter's handlers outside its loop, and the helpers they share with it.
//
// The loop (interpreter.cpp) decodes and dispatches; the operators (vm_operators.cpp) and the calls
// (vm_calls.cpp) live in their own files. Every handler runs with A present (the loop's invariant) and
// reports malformed operands as runtime errors without writing anything.
//
// Naming: the interpreter's internals live in namespace krv_vm under bare names (here, in
// vm_operator_methods.h and vm_fast_paths.h). The few functions that code outside runtime/exec calls
// are its interface and keep a vm_ prefix at global scope: vm_execute_block (interpreter.h),
// vm_numeric_fast_path (vm_fast_paths.h), vm_global_frame (scope.h), vm_native_count_fits and
// vm_call_native (native_call.h).
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "runtime/base/krvvar_shared.h"
#include "runtime/exec/interp/script_opcodes.h"
#include "runtime/exec/task/task.h"
#include "runtime/objects/vm_context.h"

class krv_class;
class krv_class_def;
struct krvvar_function_record;

namespace krv_vm {

// A little-endian operand of type T at `at`.
template <class T>
inline T operand(const uint8_t* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// The accumulator slot of `frame`'s task; the stack must not be empty.
inline krvvar_shared& accumulator(krv_vm_context& frame) noexcept { return frame.task->value_stack.back(); }
// A handle to the accumulator's cell, resolved when it is a member reference or a REF; an empty handle
// when the stack is empty.
krvvar_shared stack_top_copy(krv_task& task);
// The element `depth` places below the top (0 = the accumulator, 1 = the one below it); null past the
// bottom of the stack.
krvvar_shared* stack_below(krv_task& task, uint32_t depth);

// The frame `depth` places below the top of the task's frame stack (0 = the top frame); null past
// its bottom.
inline krv_vm_context* frame_below_top(krv_task& task, uint32_t depth) {
  return depth < task.frames.size() ? task.frames[task.frames.size() - 1 - depth] : nullptr;
}

// Local `index` of `frame` when the frame exists and has that local set; else null.
inline krvvar_shared* local_slot(krv_vm_context* frame, uint32_t index) {
  if (frame == nullptr || index >= frame->local_limit() || !frame->locals[index]) return nullptr;
  return &frame->locals[index];
}

// The cell the interpreter hands out next: the task's last spare cell, reset to None, or a new one.
[[gnu::always_inline]] inline krvvar_shared take_cell(krv_task& task) {
  if (task.spare_count == 0) return krvvar_shared::make_none();
  krvvar_shared cell = std::move(task.spare_cells[--task.spare_count]);
  cell->type = KRVVAR_NONE;
  cell->flags = 0;
  cell->by_value = 0;
  cell->payload.bits = 0;
  return cell;
}

// Releases `handle`, keeping its cell as one of the task's spares when it is simple, nothing else holds
// it and a spare place is free (a fresh cell in all but address). The handle ends null.
[[gnu::always_inline]] inline void recycle(krv_task& task, krvvar_shared& handle) {
  krvvar* cell = handle.get();
  if (cell != nullptr && cell->refcount == 1 && krvvar_is_simple(cell->type) &&
      task.spare_count < krv_task::max_spare_cells) {
    task.spare_cells[task.spare_count++] = std::move(handle);
    return;
  }
  handle.release();
}

// A := value (shared), A's old cell recycled.
[[gnu::always_inline]] inline void load(krv_task& task, krvvar_shared& slot, const krvvar_shared& value) {
  krvvar_shared old = std::move(slot);
  slot = value;
  recycle(task, old);
}

// The accumulator rule: an integer or float result is written into A's own cell when that cell is
// unshared and simple (no allocation), else into a fresh cell (the spare one when there is one) that
// replaces A's handle.
[[gnu::always_inline]] inline krvvar* simple_result_cell(krv_task& task, krvvar_shared& slot) {
  krvvar* cell = slot.get();
  if (cell == nullptr || cell->refcount != 1 || !krvvar_is_simple(cell->type)) {
    slot = take_cell(task);
    cell = slot.get();
  }
  cell->flags = 0;
  cell->by_value = 0;
  return cell;
}
[[gnu::always_inline]] inline void set_int(krv_task& task, krvvar_shared& slot, int64_t value) {
  krvvar* cell = simple_result_cell(task, slot);
  cell->type = KRVVAR_INT;
  cell->payload.int_value = value;
}
[[gnu::always_inline]] inline void set_float(krv_task& task, krvvar_shared& slot, double value) {
  krvvar* cell = simple_result_cell(task, slot);
  cell->type = KRVVAR_FLOAT;
  cell->payload.float_value = value;
}

// "invalid variable." / "index out of range!": malformed values and arguments.
void invalid_variable();
void index_out_of_range();

// Values one task may hold on its stack: far beyond any compiled expression, small enough that code
// pushing in a loop fails instead of exhausting memory.
inline constexpr size_t max_stack_values = size_t{1} << 20;

// Pushes `value` for `frame` (its values-pushed count goes up).
[[gnu::always_inline]] inline void push(krv_vm_context& frame, krvvar_shared value) {
  std::vector<krvvar_shared>& stack = frame.task->value_stack;
  if (stack.size() >= max_stack_values) [[unlikely]]
    return invalid_variable();
  stack.push_back(std::move(value));
  ++frame.values_pushed;
}

// Pops A for `frame` and hands it over; false (with "invalid variable.") when A is the last element.
[[gnu::always_inline]] inline bool pop(krv_vm_context& frame, krvvar_shared& popped) {
  std::vector<krvvar_shared>& stack = frame.task->value_stack;
  if (stack.size() < 2) [[unlikely]] {
    invalid_variable();
    return false;
  }
  popped = std::move(stack.back());
  stack.pop_back();
  // A frame that pops what an outer frame pushed must not make the unwinding pop more than it pushed.
  if (frame.values_pushed > 0) --frame.values_pushed;
  return true;
}

// Integer add, subtract, multiply and divide: 64-bit wrapping; division by 0 warns and gives 0, and
// by -1 negates (wrapping, so the smallest integer stays itself instead of trapping).
int64_t integer_arithmetic(uint8_t opcode, int64_t left, int64_t right);
// Integer remainder: by 0 warns "Modulo by zero!" and gives 0, by -1 gives 0.
int64_t integer_modulo(int64_t left, int64_t right);
// Integer comparisons (34-36 with their flag byte).
inline bool integer_compare(uint8_t opcode, uint8_t flag, int64_t left, int64_t right) {
  if (opcode == KRV_OP_EQ) return (left == right) != (flag != 0);
  if (opcode == KRV_OP_GT) return flag != 0 ? left >= right : left > right;
  return flag != 0 ? left <= right : left < right;
}

// Operators (vm_operators.cpp).
void arithmetic(krv_vm_context& frame, uint8_t opcode);  // 25-28
void modulo(krv_vm_context& frame);                      // 70
void bitwise(krv_vm_context& frame, uint8_t opcode);     // 29-31
void compare(krv_vm_context& frame, uint8_t opcode, uint8_t flag);  // 34-36
void step(krv_vm_context& frame, bool increment, bool postfix);     // 32, 33
void negate(krv_vm_context& frame);                      // 21

// Argument records and calls (vm_calls.cpp).
// The scope a frame of script function `function` runs in: the root of the scope that defined it, else
// the calling frame's.
krv_task* function_scope(const krvvar_function_record& function, const krv_vm_context& caller);
// Parks `callee` on its task's parked frames with `count` arguments passed and pushes the sink that the
// argument opcode (45) fills, for the call opcode (46) to run it.
void park_script_call(krv_vm_context& callee, uint32_t count);
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

// Instances and members (vm_members.cpp).
void load_context(krv_vm_context& frame);                                  // 52
void context_member(krv_vm_context& frame, uint32_t index, uint8_t method);  // 53
void new_instance(krv_vm_context& frame);                                   // 54
void member(krv_vm_context& frame, const uint8_t* ip);                      // 61
void index_read(krv_vm_context& frame, uint8_t flag, const krv_class_def* accessing, uint8_t quiet);  // 62
void keyed_read(krv_vm_context& frame);                                     // 64
void index_write(krv_vm_context& frame, const krv_class_def* accessing);    // 68
void index_read_keep(krv_vm_context& frame, const krv_class_def* accessing);  // 69

// Keyed access for reading or writing through (a member reference or element); `ok` false after a
// raised refusal (the result is then None). `quiet` lets numbers and functions turn into containers.
krvvar_shared index_get(krvvar_shared& container, krvvar_shared& key, const krv_class_def* accessing, bool& ok,
                        uint8_t quiet);
// Whether a keyed access of `instance` with `key` goes to its operator method `op` (__getitem__ or
// __setitem__): the class has it and the key is a number or a text naming no member.
bool uses_item_operator(krv_class& instance, krvvar& key, uint8_t op);

}  // namespace krv_vm
