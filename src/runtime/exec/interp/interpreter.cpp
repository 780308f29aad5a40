// The interpreter loop: entry, dispatch, the load, stack and control opcodes, and leaving.
//
// One table jump per instruction: a label per opcode, reached through a table in opcode order (GCC's
// labels as values, so each handler ends in its own jump to the next). Before an instruction runs, the
// loop checks that the whole instruction lies inside the code, so no handler reads past code end; the
// jumps check their targets. The fast-path headers (72, 73) fall through to the generic code that
// follows them whenever their fast form does not apply.
#include "runtime/exec/interp/interpreter.h"

#include "runtime/base/raise.h"
#include "runtime/base/value_records.h"
#include "runtime/exec/interp/fast_path_site.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/interp/program_records.h"
#include "runtime/exec/interp/script_opcodes.h"
#include "runtime/exec/interp/vm_fast_paths.h"
#include "runtime/exec/interp/vm_operator_methods.h"
#include "runtime/exec/interp/vm_ops.h"
#include "runtime/exec/task/scope.h"
#include "runtime/exec/task/task_status.h"
#include "runtime/storage/json_object.h"

namespace krv_vm {

void invalid_variable() { krv_raise_error("invalid variable."); }
void index_out_of_range() { krv_raise_error("index out of range!"); }

krvvar_shared* stack_below(krv_task& task, uint32_t depth) {
  if (depth >= task.value_stack.size()) return nullptr;
  return &task.value_stack[task.value_stack.size() - 1 - depth];
}

krvvar_shared stack_top_copy(krv_task& task) {
  if (task.value_stack.empty()) return {};
  return task.value_stack.back().deref_copy();
}

}  // namespace krv_vm

using namespace krv_vm;

namespace {

// A := local `index` of `frame` (shared); false when the frame has no such local.
bool load_local(krv_task& task, krv_vm_context* frame, uint32_t index) {
  const krvvar_shared* local = local_slot(frame, index);
  if (local == nullptr) return false;
  load(task, task.value_stack.back(), *local);
  return true;
}

bool load_constant(krv_task& task, const krv_vm_context* frame, uint32_t index) {
  if (frame == nullptr || frame->block == nullptr || index >= frame->block->constants.size()) return false;
  const krvvar_shared& constant = frame->block->constants[index];
  if (!constant) return false;
  load(task, task.value_stack.back(), constant);
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

[[gnu::always_inline]] inline void assign(krv_vm_context& frame) {
  krvvar_shared value;
  if (!pop(frame, value)) return;
  krvvar_shared& target = accumulator(frame);
  if (!value || !target) return invalid_variable();
  if (!target->set_simple(*value)) target->set(value);
  recycle(*frame.task, value);
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
  krvvar_shared target = stack_top_copy(*frame.task);
  if (!value || !target) return invalid_variable();
  krv_std_json* container = target->json_ptr(false);
  if (container == nullptr) return invalid_variable();
  krvvar_shared element = container->push_empty();
  element->set(value);
}

// Opcode 51: the frame's captured context becomes the object A holds (none for other values).
void set_context(krv_vm_context& frame) {
  krvvar_shared value = stack_top_copy(*frame.task);
  krvptr_base_internal* object = value->object_base();
  if (object == nullptr && value->type == KRVVAR_CLASS)
    object = static_cast<krvvar_class_record*>(value->payload.record)->instance.block()->object;
  frame.captured_context = krvptr_weak<krvptr_base_internal>::from_raw(object);
}

// A jump target inside the code (its end included), or null after raising.
[[gnu::always_inline]] inline const uint8_t* jump_target(krv_vm_context& frame, const krv_program_block& block,
                                                        const uint8_t* ip) {
  const int64_t offset = (ip - block.code_begin) + int64_t{operand<int32_t>(ip + 4)};
  if (offset < 0 || offset > int64_t{block.code_size()}) {
    frame.ip = ip;
    krv_raise_error("invalid instruction: ", int{*ip});
    return nullptr;
  }
  return block.code_begin + offset;
}

// A's truth and integer value, resolved. Resolved values are read before any result is written, so
// the handle taken for a reference is gone by then and A's own cell may still take the result in place.
[[gnu::always_inline]] inline bool accumulator_is_true(krv_task& task) {
  krvvar* cell = task.value_stack.back().get();
  if (cell->type == KRVVAR_INT) return cell->payload.int_value != 0;
  if (cell->type < KRVVAR_OBJECT_MEMBER_LITERAL) return cell->is_nonzero();
  return stack_top_copy(task)->is_nonzero();
}
// The same for the conditional jumps, which keep the instruction pointer in the frame only when
// resolving A may warn (anything but an integer).
[[gnu::always_inline]] inline bool accumulator_is_true(krv_vm_context& frame, const uint8_t* ip) {
  const krvvar* cell = frame.task->value_stack.back().get();
  if (cell->type == KRVVAR_INT) return cell->payload.int_value != 0;
  frame.ip = ip;
  return accumulator_is_true(*frame.task);
}
int64_t accumulator_int(krv_task& task) {
  krvvar* cell = task.value_stack.back().get();
  if (cell->type < KRVVAR_OBJECT_MEMBER_LITERAL) return cell->int_value();
  return stack_top_copy(task)->int_value();
}

// The fast path of the integer operators: A and the value below it are both integers (nothing to
// resolve). Pops the right operand into `right` and reads the left into `left`; false, with nothing
// changed, sends the opcode to its generic handler.
[[gnu::always_inline]] inline bool pop_integers(krv_vm_context& frame, int64_t& left, int64_t& right) {
  std::vector<krvvar_shared>& stack = frame.task->value_stack;
  const size_t size = stack.size();
  if (size < 2) return false;
  const krvvar* top = stack[size - 1].get();
  const krvvar* below = stack[size - 2].get();
  if (top == nullptr || below == nullptr || top->type != KRVVAR_INT || below->type != KRVVAR_INT) return false;
  right = top->payload.int_value;
  left = below->payload.int_value;
  krvvar_shared popped;
  pop(frame, popped);
  recycle(*frame.task, popped);
  return true;
}

// True when the instruction at `next` is `opcode` and lies whole inside the code: the hot handlers look
// one instruction ahead to run the commonest pairs in one dispatch.
[[gnu::always_inline]] inline bool next_is(const uint8_t* next, const uint8_t* end, uint8_t opcode) {
  return next < end && *next == opcode && krv_script_op_sizes[opcode] <= static_cast<size_t>(end - next);
}

// Opcode 20 for an integer result still in registers: the target below A takes `value` in place, as
// assign's copy of a simple value would, and A is popped. False, with nothing changed, when the target
// is not a simple cell (assign's general path).
[[gnu::always_inline]] inline bool assign_integer(krv_vm_context& frame, int64_t value) {
  std::vector<krvvar_shared>& stack = frame.task->value_stack;
  if (stack.size() < 2) return false;
  krvvar* target = stack[stack.size() - 2].get();
  if (target == nullptr || !krvvar_is_simple(target->type)) return false;
  target->type = KRVVAR_INT;
  target->by_value = 0;
  target->payload.int_value = value;
  krvvar_shared popped;
  pop(frame, popped);
  recycle(*frame.task, popped);
  return true;
}

// True when the accumulator's cell is one its next result may be written into in place and whose
// release runs nothing: held only by A, and a simple value.
[[gnu::always_inline]] inline bool accumulator_is_scratch(const krvvar_shared& accumulator) {
  const krvvar* cell = accumulator.get();
  return cell != nullptr && cell->refcount == 1 && krvvar_is_simple(cell->type);
}

// Runs the integer fast-path site at `ip` and those the code leads to straight after it (its
// continuations, past a `jump` or a test's `jump_false`), for as long as each applies: a loop made of
// such sites runs without a dispatch per instruction. Returns where it stopped (`ip` itself when the
// first site does not apply), having left everything as running the same instructions one by one
// would: A ends as the last target written, or holding the last result for A. Taking a target into A
// is deferred while A's own cell is scratch: a later result for A is then written into that cell in
// place, and taking the target at the end releases nothing that could run code.
// Kept out of the interpreter loop's function, whose other handlers it would otherwise crowd.
[[gnu::noinline]] const uint8_t* run_integer_sites(krv_vm_context& frame, const krv_program_block& block,
                                                   const uint8_t* ip, size_t local_limit) {
  const krv_fast_path_site* site = block.fast_path_site_at(ip);
  if (site == nullptr || site->form != KRV_FAST_SITE_INTEGER) return ip;
  krv_task& task = *frame.task;
  krvvar_shared& accumulator = task.value_stack.back();
  const krvvar_shared* const locals = frame.locals.data();
  const krv_fast_path_site* const sites = block.fast_path_sites.data();
  const krvvar_shared* deferred = nullptr;  // the target A takes when the run stops
  while (site->local_need <= local_limit) {
    int64_t value;
    if (!krv_run_integer_site(*site, locals, value)) break;
    frame.ip = ip;
    uint32_t way = 1;
    if (site->to_local != 0) {
      // A deferred target already means A's cell was scratch, and nothing has touched it since.
      const bool scratch = deferred != nullptr || accumulator_is_scratch(accumulator);
      deferred = &locals[site->target_index];
      if (!scratch) {
        if (accumulator.get() != deferred->get()) load(task, accumulator, *deferred);
        deferred = nullptr;
      }
    } else {
      deferred = nullptr;
      set_int(task, accumulator, value);
      way = value != 0;
    }
    // A release that ran code and failed stops the run at the form's end, as its own dispatch would.
    if (frame.status != 0) return block.code_begin + site->offset + site->length;
    ip = block.code_begin + site->next[way];
    if (site->next_site[way] == 0) break;
    site = &sites[site->next_site[way] - 1];
  }
  if (deferred != nullptr && accumulator.get() != deferred->get()) load(task, accumulator, *deferred);
  return ip;
}

// The end of a fast form (72, 73) whose length lies within the code past its header; else null.
const uint8_t* whole_form_end(const krv_program_block& block, const uint8_t* ip) {
  const uint64_t length = operand<uint32_t>(ip + 4);
  const uint64_t header = krv_script_op_sizes[*ip];
  if (length < header || length > static_cast<uint64_t>(block.code_end - ip)) return nullptr;
  return ip + length;
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

uint32_t vm_execute_block(krv_program_block& block, krv_vm_context& frame) {
  krv_task& task = *frame.task;
  std::vector<krvvar_shared>& stack = task.value_stack;
  if (stack.empty()) stack.push_back(krvvar_shared::make_none());
  if (!stack.back()) stack.back() = krvvar_shared::make_none();

  frame.in_progress = 1;
  frame.status = 0;
  frame.native_self = nullptr;
  // An operator method has returned into this frame: its result becomes the operator's.
  if (frame.operator_result_mode != 0) finish_operator_call(frame);
  const uint8_t* const begin = block.code_begin;
  const uint8_t* const end = block.code_end;
  // An offset past the code (a resume point computed for a shorter block) resumes at its end.
  const uint8_t* ip = frame.saved_offset <= block.code_size() ? begin + frame.saved_offset : end;
  const size_t local_limit = frame.local_limit();

  // One table jump per instruction: `dispatch` checks the leaving conditions and the instruction's
  // bounds, then jumps to its handler, which ends by advancing (KRV_NEXT), by moving the instruction
  // pointer itself (KRV_STAY), or by refusing the instruction where it stands (KRV_REFUSE). A refusal
  // always stops the loop, even when the raise could not reach the task (no VM lock) and so set no
  // status: the same instruction must not run again. The paths of the hottest handlers that call
  // nothing able to raise (they release only integer cells) continue with KRV_NEXT_QUIET and
  // KRV_STAY_QUIET, which skip the status check: their frame's status is still 0. Handlers keep the instruction pointer in the frame
  // (where reports and natives read it) before anything that may raise, warn or call out; the hottest
  // ones (local and integer loads, integer arithmetic and comparisons, jumps) do so only on their slow
  // paths. The handler table is expanded from the opcode list (script_opcodes.h), so its labels stand
  // in opcode order; entry 0 refuses every invalid opcode.
#define KRV_HANDLER_LABEL(number, name, mnemonic, ...) &&op_##mnemonic,
  static const void* const handlers[] = {&&op_invalid, KRV_SCRIPT_OPCODES(KRV_HANDLER_LABEL)};
#undef KRV_HANDLER_LABEL
  static_assert(std::size(handlers) == krv_script_op_last + 1, "a handler for every opcode byte up to the last");
#define KRV_NEXT() \
  do {             \
    ip += size;    \
    goto dispatch; \
  } while (0)
#define KRV_STAY() goto dispatch
#define KRV_NEXT_QUIET()  \
  do {                    \
    ip += size;           \
    goto dispatch_quiet;  \
  } while (0)
#define KRV_STAY_QUIET() goto dispatch_quiet
#define KRV_REFUSE()                                    \
  do {                                                  \
    if (frame.status == 0) frame.status = KRV_STATUS_ERROR; \
    goto dispatch;                                      \
  } while (0)
  uint8_t opcode = 0;
  uint32_t size = 0;
  bool truth = false;  // the integer result of a test, for the jump_false after it (test_then_jump)
dispatch:
  if (frame.status != 0) goto leave_loop;
dispatch_quiet:
  if (ip >= end) goto leave_loop;
  opcode = *ip;
  size = krv_script_op_sizes[opcode];
  // Size 0 (an invalid opcode) wraps to the largest value: one comparison refuses both.
  if (static_cast<size_t>(size) - 1 >= static_cast<size_t>(end - ip)) {
    frame.ip = ip;
    krv_raise_error("invalid instruction: ", int{opcode});
    KRV_REFUSE();
  }
  goto* handlers[opcode];
    op_load_local: {
      const uint32_t index = operand<uint32_t>(ip + 4);
      if (index >= local_limit || !frame.locals[index]) {
        frame.ip = ip;
        invalid_variable();
        KRV_NEXT();
      }
      load(task, stack.back(), frame.locals[index]);
      KRV_NEXT();
    }
    op_load_local_flags: {
      frame.ip = ip;
      const uint32_t index = operand<uint32_t>(ip + 4);
      if (!load_local(task, &frame, index) || index >= block.local_flags.size()) {
        invalid_variable();
        KRV_NEXT();
      }
      stack.back()->flags = block.local_flags[index];
      KRV_NEXT();
    }
    op_load_const:
      frame.ip = ip;
      if (!load_constant(task, &frame, operand<uint32_t>(ip + 4))) invalid_variable();
      KRV_NEXT();
    op_load_frame_local:
      frame.ip = ip;
      if (!load_local(task, frame_below_top(task, operand<uint32_t>(ip + 4)), operand<uint32_t>(ip + 8)))
        invalid_variable();
      KRV_NEXT();
    op_load_frame_const:
      frame.ip = ip;
      if (!load_constant(task, frame_below_top(task, operand<uint32_t>(ip + 4)), operand<uint32_t>(ip + 8)))
        invalid_variable();
      KRV_NEXT();
    op_load_global:
      frame.ip = ip;
      if (krv_vm_context* global = global_frame(frame))
        if (!load_local(task, global, operand<uint32_t>(ip + 4))) invalid_variable();
      KRV_NEXT();
    op_load_global_const:
      frame.ip = ip;
      if (krv_vm_context* global = global_frame(frame))
        if (!load_constant(task, global, operand<uint32_t>(ip + 4))) invalid_variable();
      KRV_NEXT();
    op_load_int: set_int(task, stack.back(), operand<int64_t>(ip + 8)); KRV_NEXT();
    op_load_float:
      frame.ip = ip;
      set_float(task, stack.back(), operand<double>(ip + 8)); KRV_NEXT();
    op_load_string:
      frame.ip = ip;
      load_string(stack.back(), block, operand<uint32_t>(ip + 4)); KRV_NEXT();
    op_load_function:
      frame.ip = ip;
      load_function(stack.back(), frame, operand<uint32_t>(ip + 4)); KRV_NEXT();
    op_load_native:
      frame.ip = ip;
      load_native(stack.back(), operand<krv_function_def*>(ip + 8)); KRV_NEXT();
    op_load_cell: {
      frame.ip = ip;
      krvvar* cell = operand<krvvar*>(ip + 8);
      if (cell == nullptr) {
        invalid_variable();
        KRV_NEXT();
      }
      stack.back() = krvvar_shared::from_raw(cell);
      KRV_NEXT();
    }
    op_load_none:
      frame.ip = ip;
      load(task, stack.back(), take_cell(task)); KRV_NEXT();
    op_capture:
    op_capture_ref:
      frame.ip = ip;
      capture(frame, opcode, ip[1]); KRV_NEXT();
    op_push_none: {
      frame.ip = ip;
      // Followed by a local or integer load (how each operand of a binary operator starts): the loaded
      // value is pushed directly instead of a None cell it would at once replace. The state after both
      // instructions is the same, with one dispatch and one cell exchange less.
      const uint8_t* const next = ip + size;
      if (next < end && stack.size() < max_stack_values) {
        const uint8_t next_opcode = *next;
        const uint32_t next_size = krv_script_op_sizes[next_opcode];
        if (next_opcode == KRV_OP_LOAD_LOCAL && next_size <= static_cast<size_t>(end - next)) {
          const uint32_t index = operand<uint32_t>(next + 4);
          if (index < local_limit && frame.locals[index]) {
            push(frame, frame.locals[index]);
            ip = next + next_size;
            KRV_STAY_QUIET();
          }
        } else if (next_opcode == KRV_OP_LOAD_INT && next_size <= static_cast<size_t>(end - next)) {
          krvvar_shared cell = take_cell(task);
          cell->type = KRVVAR_INT;
          cell->payload.int_value = operand<int64_t>(next + 8);
          push(frame, std::move(cell));
          ip = next + next_size;
          KRV_STAY_QUIET();
        }
      }
      push(frame, take_cell(task));
      KRV_NEXT();
    }
    op_dup:
      frame.ip = ip;
      push(frame, stack.back()); KRV_NEXT();
    op_pop: {
      frame.ip = ip;
      krvvar_shared popped;
      if (pop(frame, popped)) recycle(task, popped);
      KRV_NEXT();
    }
    op_assign:
      frame.ip = ip;
      assign(frame); KRV_NEXT();
    op_negate:
      frame.ip = ip;
      negate(frame); KRV_NEXT();
    op_not: {
      frame.ip = ip;
      const bool truth = accumulator_is_true(task);
      set_int(task, stack.back(), truth ? 0 : 1);
      KRV_NEXT();
    }
    op_make_ref:
      frame.ip = ip;
      make_ref(stack.back()); KRV_NEXT();
    op_deref:
      frame.ip = ip;
      stack.back() = stack_top_copy(task); KRV_NEXT();
    op_add:
    op_sub:
    op_mul: {
      int64_t left, right;
      if (pop_integers(frame, left, right)) {
        const int64_t value = integer_arithmetic(opcode, left, right);
        // Followed by assign (x = x + 1): the target takes the value without a result cell.
        const uint8_t* const next = ip + size;
        if (next_is(next, end, KRV_OP_ASSIGN) && assign_integer(frame, value)) {
          ip = next + krv_script_op_sizes[KRV_OP_ASSIGN];
          KRV_STAY_QUIET();
        }
        set_int(task, stack.back(), value);
        KRV_NEXT_QUIET();
      }
      frame.ip = ip;
      arithmetic(frame, opcode);
      KRV_NEXT();
    }
    op_div:
      frame.ip = ip;
      arithmetic(frame, opcode); KRV_NEXT();
    op_and:
    op_or:
    op_xor:
      frame.ip = ip;
      bitwise(frame, opcode); KRV_NEXT();
    op_inc:
    op_dec:
      frame.ip = ip;
      step(frame, opcode == KRV_OP_INC, ip[1] != 0); KRV_NEXT();
    op_eq:
    op_gt:
    op_lt: {
      int64_t left, right;
      if (pop_integers(frame, left, right)) {
        truth = integer_compare(opcode, ip[1], left, right);
        set_int(task, stack.back(), truth ? 1 : 0);
        ip += size;
        goto test_then_jump;
      }
      frame.ip = ip;
      compare(frame, opcode, ip[1]);
      KRV_NEXT();
    }
    op_to_bool: {
      frame.ip = ip;
      const bool truth = accumulator_is_true(task);
      set_int(task, stack.back(), truth ? 1 : 0);
      KRV_NEXT();
    }
    op_args_open:
      frame.ip = ip;
      args_open(frame, operand<uint32_t>(ip + 4)); KRV_NEXT();
    op_arg:
    op_arg_copy:
    op_arg_cell:
      frame.ip = ip;
      arg_store(frame, opcode, operand<uint32_t>(ip + 4)); KRV_NEXT();
    op_call_native:
      frame.ip = ip;
      call_native(frame, operand<krv_function_def*>(ip + 8)); KRV_NEXT();
    op_args_release:
      frame.ip = ip;
      args_release(frame); KRV_NEXT();
    op_call_prepare:
      frame.ip = ip;
      call_prepare(frame, ip[1]); KRV_NEXT();
    op_call_arg:
      frame.ip = ip;
      call_arg(frame, operand<uint32_t>(ip + 4)); KRV_NEXT();
    op_call:
      frame.ip = ip;
      call(frame); KRV_NEXT();
    op_run_child:
      frame.ip = ip;
      run_child(frame, operand<uint32_t>(ip + 4)); KRV_NEXT();
    op_default_arg:
      frame.ip = ip;
      // Entering the default-value block (status 16) leaves the instruction pointer here, so it runs
      // again when the block returns; so does a refusal.
      if (!default_arg(frame, ip[1])) KRV_REFUSE();
      KRV_NEXT();
    op_catch:
      frame.ip = ip;
      catch_error(frame, operand<uint32_t>(ip + 4)); KRV_NEXT();
    op_run_body:
      frame.ip = ip;
      run_body(frame); KRV_NEXT();
    op_set_context:
      frame.ip = ip;
      set_context(frame); KRV_NEXT();
    op_jump:
      if (const uint8_t* target = jump_target(frame, block, ip)) {
        ip = target;
        KRV_STAY_QUIET();
      }
      KRV_REFUSE();
    op_jump_false:
      if (accumulator_is_true(frame, ip)) KRV_NEXT();
      if (const uint8_t* target = jump_target(frame, block, ip)) {
        ip = target;
        KRV_STAY();
      }
      KRV_REFUSE();
    op_jump_true:
      if (!accumulator_is_true(frame, ip)) KRV_NEXT();
      if (const uint8_t* target = jump_target(frame, block, ip)) {
        ip = target;
        KRV_STAY();
      }
      KRV_REFUSE();
    op_return:
      frame.ip = ip;
      frame.set_return(); KRV_NEXT();
    op_break:
      frame.ip = ip;
      frame.set_break(); KRV_NEXT();
    op_continue:
      frame.ip = ip;
      frame.set_continue(); KRV_NEXT();
    op_member_or_zero: {
      frame.ip = ip;
      const krv_program* program = block.program;
      const uint32_t index = operand<uint32_t>(ip + 4);
      if (program == nullptr || index >= program->strings.size()) {
        invalid_variable();
        KRV_NEXT();
      }
      krvvar_shared value = stack_top_copy(task);
      const std::string& name = program->strings[index];
      krvvar_shared member;
      if (value->has_member(name)) value->get_member(name, member);
      if (member)
        stack.back() = std::move(member);
      else
        set_int(task, stack.back(), 0);
      KRV_NEXT();
    }
    op_load_context:
      frame.ip = ip;
      load_context(frame); KRV_NEXT();
    op_context_member:
      frame.ip = ip;
      context_member(frame, operand<uint32_t>(ip + 4), ip[8]); KRV_NEXT();
    op_new_instance:
      frame.ip = ip;
      new_instance(frame); KRV_NEXT();
    op_member:
      frame.ip = ip;
      member(frame, ip); KRV_NEXT();
    op_index_read:
      frame.ip = ip;
      index_read(frame, ip[1], operand<const krv_class_def*>(ip + 8), ip[16]); KRV_NEXT();
    op_keyed_read:
      frame.ip = ip;
      keyed_read(frame); KRV_NEXT();
    op_index_write:
      frame.ip = ip;
      index_write(frame, operand<const krv_class_def*>(ip + 8)); KRV_NEXT();
    op_index_read_keep:
      frame.ip = ip;
      index_read_keep(frame, operand<const krv_class_def*>(ip + 8)); KRV_NEXT();
    op_append:
      frame.ip = ip;
      append(frame); KRV_NEXT();
    op_new_json:
      frame.ip = ip;
      stack.back() = krvvar_shared::make_json(); KRV_NEXT();
    op_release_contents:
      frame.ip = ip;
      stack.back()->flags |= krvvar_release_contents; KRV_NEXT();
    op_mod: {
      frame.ip = ip;
      int64_t left, right;
      if (pop_integers(frame, left, right)) {
        set_int(task, stack.back(), integer_modulo(left, right));
        KRV_NEXT();
      }
      modulo(frame);
      KRV_NEXT();
    }
    op_bit_not: {
      frame.ip = ip;
      const int64_t value = accumulator_int(task);
      set_int(task, stack.back(), ~value);
      KRV_NEXT();
    }
    op_numeric_fast_path: {
      frame.ip = ip;
      if (const uint8_t* stopped = run_integer_sites(frame, block, ip, local_limit); stopped != ip) {
        ip = stopped;
        KRV_STAY();
      }
      // The header's site, checked when the code was installed: the generic code at once when it never
      // applies; else the steps decide.
      const krv_fast_path_site* site = block.fast_path_site_at(ip);
      if (site != nullptr && site->form == KRV_FAST_SITE_REFUSED) KRV_NEXT();
      const uint8_t* after = site != nullptr ? ip + site->length : whole_form_end(block, ip);
      krv_fast_number number{};
      // Not applicable (or a form whose length leaves the code): the generic code after the header.
      if (after == nullptr || !vm_numeric_fast_path(frame, local_limit, ip, number)) KRV_NEXT();
      const bool to_accumulator = ip[krv_numeric_fast_path::target_kind] == 0;
      ip = after;
      if (!to_accumulator) KRV_STAY();
      if (number.is_float) {
        set_float(task, stack.back(), number.float_value);
        KRV_STAY();
      }
      set_int(task, stack.back(), number.int_value);
      truth = number.int_value != 0;
      goto test_then_jump;
    }
    op_cached_method_call: {
      frame.ip = ip;
      const uint8_t* after = whole_form_end(block, ip);
      if (after == nullptr || !cached_method_call(frame, ip)) KRV_NEXT();
      ip = after;
      KRV_STAY();
    }
    // `ip` is the instruction after a test whose integer result A holds and `truth` tells. When it is
    // a jump_false (the test of a loop or an if), the jump is decided here, without its dispatch; A
    // keeps the result, as the jump leaves it.
    test_then_jump:
      if (frame.status != 0 || !next_is(ip, end, KRV_OP_JUMP_FALSE)) KRV_STAY();
      if (truth) {
        ip += krv_script_op_sizes[KRV_OP_JUMP_FALSE];
        KRV_STAY();
      }
      if (const uint8_t* target = jump_target(frame, block, ip)) {
        ip = target;
        KRV_STAY();
      }
      KRV_REFUSE();
    op_invalid:
      frame.ip = ip;
      krv_raise_error("invalid instruction: ", int{opcode});
      KRV_REFUSE();
#undef KRV_NEXT
#undef KRV_STAY
#undef KRV_NEXT_QUIET
#undef KRV_STAY_QUIET
#undef KRV_REFUSE
leave_loop:
  return leave(frame, block, ip);
}
