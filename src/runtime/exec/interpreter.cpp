// The interpreter loop: entry, dispatch, the load, stack and control opcodes, and leaving.
//
// One switch on the opcode (a single table jump) per instruction. Before an instruction runs, the loop
// checks that the whole instruction lies inside the code, so no handler reads past code end; handlers
// that move the instruction pointer themselves (jumps, the default-argument opcode, the fast-path
// headers) check their targets. Opcodes that another part of the runtime will run (52-54, 61, 62, 64,
// 68, 69) are refused like unknown ones for now; the fast-path headers (72, 73) always fall through to
// the generic code that follows them.
#include "runtime/exec/interpreter.h"

#include <limits>

#include "runtime/exec/program_block.h"
#include "runtime/exec/program_records.h"
#include "runtime/exec/raise.h"
#include "runtime/exec/scope.h"
#include "runtime/exec/script_opcodes.h"
#include "runtime/exec/task_status.h"
#include "runtime/exec/vm_ops.h"
#include "runtime/storage/json_object.h"
#include "runtime/values/value_records.h"

namespace krv_vm {

namespace {

// Values one task may hold on its stack: far beyond any compiled expression, small enough that code
// pushing in a loop fails instead of exhausting memory.
constexpr size_t max_stack_values = size_t{1} << 20;

}  // namespace

void invalid_variable() { krv_raise_error("invalid variable."); }
void index_out_of_range() { krv_raise_error("index out of range!"); }

void push(krv_vm_context& frame, krvvar_shared value) {
  std::vector<krvvar_shared>& stack = frame.task->value_stack;
  if (stack.size() >= max_stack_values) return invalid_variable();
  stack.push_back(std::move(value));
  ++frame.values_pushed;
}

bool pop(krv_vm_context& frame, krvvar_shared& popped) {
  std::vector<krvvar_shared>& stack = frame.task->value_stack;
  if (stack.size() < 2) {
    invalid_variable();
    return false;
  }
  popped = std::move(stack.back());
  stack.pop_back();
  // A frame that pops what an outer frame pushed must not make the unwinding pop more than it pushed.
  if (frame.values_pushed > 0) --frame.values_pushed;
  return true;
}

}  // namespace krv_vm

using namespace krv_vm;

namespace {

// The frame whose stack `d` counts from: 0 the top frame of the task.
krv_vm_context* frame_below_top(krv_task& task, uint32_t depth) {
  if (depth >= task.frames.size()) return nullptr;
  return task.frames[task.frames.size() - 1 - depth];
}

// A := local `index` of `frame` (shared); false when the frame has no such local.
bool load_local(krvvar_shared& slot, krv_vm_context* frame, uint32_t index) {
  if (frame == nullptr || index >= frame->local_limit() || !frame->locals[index]) return false;
  slot = frame->locals[index];
  return true;
}

bool load_constant(krvvar_shared& slot, const krv_vm_context* frame, uint32_t index) {
  if (frame == nullptr || frame->block == nullptr || index >= frame->block->constants.size()) return false;
  const krvvar_shared& constant = frame->block->constants[index];
  if (!constant) return false;
  slot = constant;
  return true;
}

// Opcodes 6 and 7: the global frame, or the failure with its diagnostic lines.
krv_vm_context* global_frame(const krv_vm_context& frame) {
  krv_vm_context* global = vm_global_frame(frame.scope);
  if (global == nullptr) {
    krv_raise_error("No global scope!");
    krv_log_no_global_scope(frame);
  }
  return global;
}

void load_string(krvvar_shared& slot, const krv_program_block& block, uint32_t index) {
  const krv_program* program = block.program;
  if (program == nullptr || index >= program->strings.size()) return invalid_variable();
  slot = krvvar_shared::make_string(program->strings[index]);
}

void load_function(krvvar_shared& slot, krv_vm_context& frame, uint32_t index) {
  const auto& children = frame.block->children;
  if (index >= children.size() || !children[index]) return invalid_variable();
  krvvar_shared value = krvvar_shared::make_none();
  value->set_function(children[index].get(), frame.scope);
  slot = std::move(value);
}

void load_native(krvvar_shared& slot, krv_function_def* definition) {
  if (definition == nullptr) return invalid_variable();
  krvvar_shared value = krvvar_shared::make_none();
  value->set_ext_function(nullptr, definition);
  slot = std::move(value);
}

void assign(krv_vm_context& frame) {
  krvvar_shared value;
  if (!pop(frame, value)) return;
  krvvar_shared& target = accumulator(frame);
  if (!value || !target) return invalid_variable();
  target->set(value);
}

void make_ref(krvvar_shared& slot) {
  krvvar_shared target;
  if (slot->type == KRVVAR_REF)
    slot->deref(target);
  else
    target = slot;
  krvvar_shared reference = krvvar_shared::make_none();
  ++target->refcount;
  reference->set_type(KRVVAR_REF);
  reference->payload.target = target.get();
  slot = std::move(reference);
}

void append(krv_vm_context& frame) {
  krvvar_shared value;
  if (!pop(frame, value)) return;
  krvvar_shared target = vm_stack_top_copy(*frame.task);
  if (!value || !target) return invalid_variable();
  krv_std_json* container = target->json_ptr(false);
  if (container == nullptr) return invalid_variable();
  krvvar_shared element = container->push_empty();
  element->set(value);
}

// Opcode 51: the frame's captured context becomes the object A holds (none for other values).
void set_context(krv_vm_context& frame) {
  krvvar_shared value = vm_stack_top_copy(*frame.task);
  krvptr_base_internal* object = value->object_base();
  if (object == nullptr && value->type == KRVVAR_CLASS)
    object = static_cast<krvvar_class_record*>(value->payload.record)->instance.block()->object;
  frame.captured_context = krvptr_weak<krvptr_base_internal>::from_raw(object);
}

// A jump target inside the code (its end included), or null after raising.
const uint8_t* jump_target(const krv_program_block& block, const uint8_t* ip) {
  const int64_t offset = (ip - block.code_begin) + int64_t{operand<int32_t>(ip + 4)};
  if (offset < 0 || offset > int64_t{block.code_size()}) {
    krv_raise_error("invalid instruction: ", int{*ip});
    return nullptr;
  }
  return block.code_begin + offset;
}

// A's truth and integer value, resolved. Resolved values are read before any result is written, so
// the handle taken for a reference is gone by then and A's own cell may still take the result in place.
bool accumulator_is_true(krv_task& task) {
  krvvar* cell = task.value_stack.back().get();
  if (cell->type < KRVVAR_OBJECT_MEMBER_LITERAL) return cell->is_nonzero();
  return vm_stack_top_copy(task)->is_nonzero();
}
int64_t accumulator_int(krv_task& task) {
  krvvar* cell = task.value_stack.back().get();
  if (cell->type < KRVVAR_OBJECT_MEMBER_LITERAL) return cell->int_value();
  return vm_stack_top_copy(task)->int_value();
}

uint32_t leave(krv_vm_context& frame, const krv_program_block& block, const uint8_t* ip) {
  const uint32_t status = frame.status;
  frame.ip = ip;
  if ((status != 0 && ip < block.code_end) || (status >= KRV_STATUS_RETURN && status <= KRV_STATUS_SUSPENDED)) {
    frame.in_progress = 1;
    frame.saved_offset = static_cast<uint32_t>(ip - block.code_begin);
    return status;
  }
  frame.in_progress = 0;
  frame.saved_offset = 0;
  return status > KRV_STATUS_FINISHED ? status : KRV_STATUS_FINISHED;
}

}  // namespace

krvvar_shared& vm_accumulator(krv_task& task) { return task.value_stack.back(); }

krvvar_shared* vm_stack_below(krv_task& task, uint32_t depth) {
  if (depth >= task.value_stack.size()) return nullptr;
  return &task.value_stack[task.value_stack.size() - 1 - depth];
}

krvvar_shared vm_stack_top_copy(krv_task& task) {
  if (task.value_stack.empty()) return {};
  return task.value_stack.back().deref_copy();
}

uint32_t vm_execute_block(krv_program_block& block, krv_vm_context& frame) {
  krv_task& task = *frame.task;
  std::vector<krvvar_shared>& stack = task.value_stack;
  if (stack.empty()) stack.push_back(krvvar_shared::make_none());
  if (!stack.back()) stack.back() = krvvar_shared::make_none();

  frame.in_progress = 1;
  frame.status = 0;
  frame.native_self = nullptr;
  const uint8_t* const begin = block.code_begin;
  const uint8_t* const end = block.code_end;
  // An offset past the code (a resume point computed for a shorter block) resumes at its end.
  const uint8_t* ip = frame.saved_offset <= block.code_size() ? begin + frame.saved_offset : end;
  const size_t local_limit = frame.local_limit();

  while (ip < end) {
    if (frame.status != 0) break;
    frame.ip = ip;
    const uint8_t opcode = *ip;
    const uint32_t size = krv_script_op_info_of(opcode).size;
    if (size == 0 || size > static_cast<size_t>(end - ip)) {
      krv_raise_error("invalid instruction: ", int{opcode});
      continue;
    }
    switch (opcode) {
      case KRV_OP_LOAD_LOCAL: {
        const uint32_t index = operand<uint32_t>(ip + 4);
        if (index >= local_limit || !frame.locals[index]) {
          invalid_variable();
          break;
        }
        stack.back() = frame.locals[index];
        break;
      }
      case KRV_OP_LOAD_LOCAL_FLAGS: {
        const uint32_t index = operand<uint32_t>(ip + 4);
        if (!load_local(stack.back(), &frame, index) || index >= block.local_flags.size()) {
          invalid_variable();
          break;
        }
        stack.back()->flags = block.local_flags[index];
        break;
      }
      case KRV_OP_LOAD_CONST:
        if (!load_constant(stack.back(), &frame, operand<uint32_t>(ip + 4))) invalid_variable();
        break;
      case KRV_OP_LOAD_FRAME_LOCAL:
        if (!load_local(stack.back(), frame_below_top(task, operand<uint32_t>(ip + 4)), operand<uint32_t>(ip + 8)))
          invalid_variable();
        break;
      case KRV_OP_LOAD_FRAME_CONST:
        if (!load_constant(stack.back(), frame_below_top(task, operand<uint32_t>(ip + 4)), operand<uint32_t>(ip + 8)))
          invalid_variable();
        break;
      case KRV_OP_LOAD_GLOBAL:
        if (krv_vm_context* global = global_frame(frame))
          if (!load_local(stack.back(), global, operand<uint32_t>(ip + 4))) invalid_variable();
        break;
      case KRV_OP_LOAD_GLOBAL_CONST:
        if (krv_vm_context* global = global_frame(frame))
          if (!load_constant(stack.back(), global, operand<uint32_t>(ip + 4))) invalid_variable();
        break;
      case KRV_OP_LOAD_INT: set_int(stack.back(), operand<int64_t>(ip + 8)); break;
      case KRV_OP_LOAD_FLOAT: set_float(stack.back(), operand<double>(ip + 8)); break;
      case KRV_OP_LOAD_STRING: load_string(stack.back(), block, operand<uint32_t>(ip + 4)); break;
      case KRV_OP_LOAD_FUNCTION: load_function(stack.back(), frame, operand<uint32_t>(ip + 4)); break;
      case KRV_OP_LOAD_NATIVE: load_native(stack.back(), operand<krv_function_def*>(ip + 8)); break;
      case KRV_OP_LOAD_CELL: {
        krvvar* cell = operand<krvvar*>(ip + 8);
        if (cell == nullptr) {
          invalid_variable();
          break;
        }
        stack.back() = krvvar_shared::from_raw(cell);
        break;
      }
      case KRV_OP_LOAD_NONE: stack.back() = krvvar_shared::make_none(); break;
      case KRV_OP_CAPTURE:
      case KRV_OP_CAPTURE_REF: capture(frame, opcode, ip[1]); break;
      case KRV_OP_PUSH_NONE: push(frame, krvvar_shared::make_none()); break;
      case KRV_OP_DUP: push(frame, stack.back()); break;
      case KRV_OP_POP: {
        krvvar_shared popped;
        pop(frame, popped);
        break;
      }
      case KRV_OP_ASSIGN: assign(frame); break;
      case KRV_OP_NEGATE: negate(frame); break;
      case KRV_OP_NOT: {
        const bool truth = accumulator_is_true(task);
        set_int(stack.back(), truth ? 0 : 1);
        break;
      }
      case KRV_OP_MAKE_REF: make_ref(stack.back()); break;
      case KRV_OP_DEREF: stack.back() = vm_stack_top_copy(task); break;
      case KRV_OP_ADD:
      case KRV_OP_SUB:
      case KRV_OP_MUL:
      case KRV_OP_DIV: arithmetic(frame, opcode); break;
      case KRV_OP_AND:
      case KRV_OP_OR:
      case KRV_OP_XOR: bitwise(frame, opcode); break;
      case KRV_OP_INC:
      case KRV_OP_DEC: step(frame, opcode == KRV_OP_INC, ip[1] != 0); break;
      case KRV_OP_EQ:
      case KRV_OP_GT:
      case KRV_OP_LT: compare(frame, opcode, ip[1]); break;
      case KRV_OP_TO_BOOL: {
        const bool truth = accumulator_is_true(task);
        set_int(stack.back(), truth ? 1 : 0);
        break;
      }
      case KRV_OP_ARGS_OPEN: args_open(frame, operand<uint32_t>(ip + 4)); break;
      case KRV_OP_ARG:
      case KRV_OP_ARG_COPY:
      case KRV_OP_ARG_CELL: arg_store(frame, opcode, operand<uint32_t>(ip + 4)); break;
      case KRV_OP_CALL_NATIVE: call_native(frame, operand<krv_function_def*>(ip + 8)); break;
      case KRV_OP_ARGS_RELEASE: args_release(frame); break;
      case KRV_OP_CALL_PREPARE: call_prepare(frame, ip[1]); break;
      case KRV_OP_CALL_ARG: call_arg(frame, operand<uint32_t>(ip + 4)); break;
      case KRV_OP_CALL: call(frame); break;
      case KRV_OP_RUN_CHILD: run_child(frame, operand<uint32_t>(ip + 4)); break;
      case KRV_OP_DEFAULT_ARG:
        // Entering the default-value block leaves the instruction pointer here: it runs again on return.
        if (!default_arg(frame, ip[1])) continue;
        break;
      case KRV_OP_CATCH: catch_error(frame, operand<uint32_t>(ip + 4)); break;
      case KRV_OP_RUN_BODY: run_body(frame); break;
      case KRV_OP_SET_CONTEXT: set_context(frame); break;
      case KRV_OP_JUMP:
        if (const uint8_t* target = jump_target(block, ip)) ip = target;
        continue;
      case KRV_OP_JUMP_FALSE:
        if (accumulator_is_true(task)) break;
        if (const uint8_t* target = jump_target(block, ip)) ip = target;
        continue;
      case KRV_OP_JUMP_TRUE:
        if (!accumulator_is_true(task)) break;
        if (const uint8_t* target = jump_target(block, ip)) ip = target;
        continue;
      case KRV_OP_RETURN: frame.set_return(); break;
      case KRV_OP_BREAK: frame.set_break(); break;
      case KRV_OP_CONTINUE: frame.set_continue(); break;
      case KRV_OP_MEMBER_OR_ZERO: {
        const krv_program* program = block.program;
        const uint32_t index = operand<uint32_t>(ip + 4);
        if (program == nullptr || index >= program->strings.size()) {
          invalid_variable();
          break;
        }
        krvvar_shared value = vm_stack_top_copy(task);
        const std::string& name = program->strings[index];
        krvvar_shared member;
        if (value->has_member(name)) value->get_member(name, member);
        if (member)
          stack.back() = std::move(member);
        else
          set_int(stack.back(), 0);
        break;
      }
      case KRV_OP_APPEND: append(frame); break;
      case KRV_OP_NEW_JSON: stack.back() = krvvar_shared::make_json(); break;
      case KRV_OP_RELEASE_CONTENTS: stack.back()->flags |= krvvar_release_contents; break;
      case KRV_OP_MOD: modulo(frame); break;
      case KRV_OP_BIT_NOT: {
        const int64_t value = accumulator_int(task);
        set_int(stack.back(), ~value);
        break;
      }
      case KRV_OP_NUMERIC_FAST_PATH:
      case KRV_OP_CACHED_METHOD_CALL:
        // The fast form is not taken: the generic code after the header does the same work.
        break;
      default:
        krv_raise_error("invalid instruction: ", int{opcode});
        continue;
    }
    ip += size;
  }
  return leave(frame, block, ip);
}
