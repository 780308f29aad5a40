#include "runtime/exec/vm_fast_paths.h"

#include <cmath>

#include "runtime/exec/arg_sink.h"
#include "runtime/exec/class_def.h"
#include "runtime/exec/class_instance.h"
#include "runtime/exec/function_lambda.h"
#include "runtime/exec/program_block.h"
#include "runtime/exec/program_records.h"
#include "runtime/exec/scope.h"
#include "runtime/exec/script_opcodes.h"
#include "runtime/exec/task.h"
#include "runtime/exec/vm_context.h"
#include "runtime/exec/vm_ops.h"
#include "runtime/values/value_records.h"

using krv_vm::operand;

namespace {

enum fast_step : uint8_t {
  STEP_LOCAL = 0,
  STEP_FRAME_LOCAL = 1,
  STEP_GLOBAL = 2,
  STEP_CONSTANT = 3,
  STEP_ADD = 4,
  STEP_SUB = 5,
  STEP_MUL = 6,
  STEP_DIV = 7,
  STEP_MOD = 8,
  STEP_AND = 9,
  STEP_OR = 10,
  STEP_XOR = 11,
  STEP_EQ = 12,
  STEP_NE = 13,
  STEP_LT = 14,
  STEP_LE = 15,
  STEP_GT = 16,
  STEP_GE = 17,
  STEP_NEGATE = 18,
  STEP_CAPTURED = 19,
  STEP_MEMBER = 20,
};

// Slot-reference entries built on other entries: a chain longer than this does not apply.
constexpr int max_member_chain = 16;

krvvar_shared* frame_local(krv_vm_context* frame, uint32_t index) {
  // local_limit() by hand: this is the fast path's hottest read.
  if (frame == nullptr || frame->block == nullptr || index >= frame->block->local_count ||
      index >= frame->locals.size() || !frame->locals[index])
    return nullptr;
  return &frame->locals[index];
}

krv_vm_context* frame_below_top(krv_task& task, uint32_t depth) {
  return depth < task.frames.size() ? task.frames[task.frames.size() - 1 - depth] : nullptr;
}

krvvar_shared* resolve(krv_vm_context& frame, uint8_t kind, uint8_t depth, uint32_t index, int chain);

// Kind 20: a data member of the instance that slot-reference entry `index` leads to.
krvvar_shared* member_slot(krv_vm_context& frame, uint32_t index, int chain) {
  krv_program_block& block = *frame.block;
  if (chain >= max_member_chain || index >= block.slot_refs.size()) return nullptr;
  krv_slot_ref_entry& entry = block.slot_refs[index];
  krvvar_shared* base = resolve(frame, entry.kind, entry.depth, entry.index, chain + 1);
  krv_class* instance = base != nullptr ? krv_instance_of(**base) : nullptr;
  krv_class_def* klass = instance != nullptr ? instance->class_def() : nullptr;
  if (klass == nullptr || !klass->symbols) return nullptr;
  if (entry.cached_class != klass) {
    const krv_program* program = block.program;
    if (program == nullptr || entry.name_index >= program->strings.size()) return nullptr;
    const krv_symbol* symbol = klass->symbols->find(program->strings[entry.name_index]);
    if (symbol == nullptr || symbol->is_method != 0 || symbol->is_private != 0) return nullptr;
    entry.cached_class = klass;
    entry.member_index = symbol->member_index;
  }
  return instance->member_slot(entry.member_index);
}

krvvar_shared* resolve(krv_vm_context& frame, uint8_t kind, uint8_t depth, uint32_t index, int chain) {
  switch (kind) {
    case STEP_LOCAL: return frame_local(&frame, index);
    case STEP_FRAME_LOCAL: return frame_local(frame_below_top(*frame.task, depth), index);
    case STEP_GLOBAL: return frame_local(vm_global_frame(frame.scope), index);
    case STEP_CAPTURED: {
      auto* captured = dynamic_cast<krvvar_ptr_function_lambda*>(frame.captured_context.get());
      if (captured == nullptr || index >= captured->size() || !(*captured)[index]) return nullptr;
      return &(*captured)[index];
    }
    case STEP_MEMBER: return member_slot(frame, index, chain);
    default: return nullptr;
  }
}

bool read_number(const krvvar_shared* slot, krv_fast_number& number) {
  if (slot == nullptr) return false;
  const krvvar& cell = **slot;
  if (cell.type == KRVVAR_INT) {
    number = {false, cell.payload.int_value, 0.0};
    return true;
  }
  if (cell.type == KRVVAR_FLOAT) {
    number = {true, 0, cell.payload.float_value};
    return true;
  }
  return false;
}

double as_float(const krv_fast_number& number) {
  return number.is_float ? number.float_value : static_cast<double>(number.int_value);
}

krv_fast_number int_number(int64_t value) { return {false, value, 0.0}; }
krv_fast_number float_number(double value) { return {true, 0, value}; }

// left op right for the two-operand steps; false where the generic code must decide.
bool combine(uint8_t step, const krv_fast_number& left, const krv_fast_number& right, krv_fast_number& out) {
  const bool ints = !left.is_float && !right.is_float;
  if (step >= STEP_EQ && step <= STEP_GE) {
    bool truth;
    if (ints) {
      truth = krv_vm::integer_compare(step <= STEP_NE ? KRV_OP_EQ : step <= STEP_LE ? KRV_OP_LT : KRV_OP_GT,
                                      step == STEP_NE || step == STEP_LE || step == STEP_GE, left.int_value,
                                      right.int_value);
    } else {
      const double l = as_float(left), r = as_float(right);
      const bool results[] = {l == r, l != r, l < r, l <= r, l > r, l >= r};
      truth = results[step - STEP_EQ];
    }
    out = int_number(truth ? 1 : 0);
    return true;
  }
  if (step >= STEP_AND && step <= STEP_XOR) {
    if (!ints) return false;
    const int64_t l = left.int_value, r = right.int_value;
    out = int_number(step == STEP_AND ? (l & r) : step == STEP_OR ? (l | r) : (l ^ r));
    return true;
  }
  if (step == STEP_DIV || step == STEP_MOD) {
    // The generic code warns about a zero divisor and has its own rule for -1.
    if (right.is_float ? right.float_value == 0.0 : (right.int_value == 0 || right.int_value == -1)) return false;
    if (ints) {
      out = int_number(step == STEP_DIV ? left.int_value / right.int_value : left.int_value % right.int_value);
    } else {
      out = float_number(step == STEP_DIV ? as_float(left) / as_float(right) : std::fmod(as_float(left), as_float(right)));
    }
    return true;
  }
  if (ints) {
    const uint64_t l = static_cast<uint64_t>(left.int_value), r = static_cast<uint64_t>(right.int_value);
    const uint64_t value = step == STEP_ADD ? l + r : step == STEP_SUB ? l - r : l * r;
    out = int_number(static_cast<int64_t>(value));
    return true;
  }
  const double l = as_float(left), r = as_float(right);
  out = float_number(step == STEP_ADD ? l + r : step == STEP_SUB ? l - r : l * r);
  return true;
}

bool evaluate(krv_vm_context& frame, const uint8_t* header, krv_fast_number& result) {
  using fields = krv_numeric_fast_path;
  const int16_t count = operand<int16_t>(header + fields::step_count);
  if (count <= 0 || static_cast<uint32_t>(count) > fields::max_steps) return false;
  const uint16_t float_mask = operand<uint16_t>(header + fields::float_mask);
  krv_fast_number stack[fields::max_steps];
  uint32_t height = 0;
  for (int16_t i = 0; i < count; ++i) {
    const uint8_t* step = header + fields::steps + i * fields::step_size;
    const uint8_t kind = step[0];
    const uint32_t index = operand<uint32_t>(step + 4);
    if (kind == STEP_CONSTANT) {
      if (index >= fields::max_constants || height == fields::max_steps) return false;
      const uint8_t* constant = header + fields::constants + index * 8;
      stack[height++] = (float_mask >> index) & 1 ? float_number(operand<double>(constant))
                                                  : int_number(operand<int64_t>(constant));
    } else if (kind <= STEP_GLOBAL || kind == STEP_CAPTURED || kind == STEP_MEMBER) {
      if (height == fields::max_steps || !read_number(resolve(frame, kind, step[1], index, 0), stack[height]))
        return false;
      ++height;
    } else if (kind == STEP_NEGATE) {
      if (height == 0) return false;
      krv_fast_number& top = stack[height - 1];
      if (top.is_float)
        top.float_value = -top.float_value;
      else
        top.int_value = static_cast<int64_t>(uint64_t{0} - static_cast<uint64_t>(top.int_value));
    } else if (kind >= STEP_ADD && kind <= STEP_GE) {
      if (height < 2 || !combine(kind, stack[height - 2], stack[height - 1], stack[height - 2])) return false;
      --height;
    } else {
      return false;
    }
  }
  if (height != 1) return false;
  result = stack[0];
  return true;
}

}  // namespace

krvvar_shared* vm_resolve_slot(krv_vm_context& frame, uint8_t kind, uint8_t depth, uint32_t index) {
  return resolve(frame, kind, depth, index, 0);
}

bool vm_numeric_fast_path(krv_vm_context& frame, const uint8_t* header, krv_fast_number& result) {
  if (!evaluate(frame, header, result)) return false;
  const uint8_t target = header[krv_numeric_fast_path::target_kind];
  if (target == 0) return true;
  krvvar_shared* slot = resolve(frame, static_cast<uint8_t>(target - 1), header[krv_numeric_fast_path::target_depth],
                                operand<uint32_t>(header + krv_numeric_fast_path::target_index), 0);
  if (slot == nullptr) return false;
  krvvar& cell = **slot;
  if (cell.type != KRVVAR_NONE && cell.type != KRVVAR_INT && cell.type != KRVVAR_FLOAT) return false;
  // In place, whoever else holds the cell: the variable itself changes.
  cell.by_value = 0;
  if (result.is_float) {
    cell.type = KRVVAR_FLOAT;
    cell.payload.float_value = result.float_value;
  } else {
    cell.type = KRVVAR_INT;
    cell.payload.int_value = result.int_value;
  }
  krv_vm::load(*frame.task, krv_vm::accumulator(frame), *slot);
  return true;
}

namespace {

// The method member that the header names for `instance`, through the site's cache; -1 when none.
int64_t cached_method_index(krv_vm_context& frame, const uint8_t* header, krv_class_def& klass) {
  using fields = krv_cached_call_fields;
  krv_program_block& block = *frame.block;
  const uint32_t entry_index = operand<uint32_t>(header + fields::cache_entry);
  krv_member_cache_entry* entry = entry_index < block.member_cache.size() ? &block.member_cache[entry_index] : nullptr;
  if (entry != nullptr && entry->klass == &klass && entry->filled != 0) return entry->member_index;
  const krv_program* program = block.program;
  const uint32_t name = operand<uint32_t>(header + fields::name);
  if (program == nullptr || name >= program->strings.size() || !klass.symbols) return -1;
  const krv_symbol* symbol = klass.symbols->find(program->strings[name]);
  if (symbol == nullptr || symbol->is_method == 0) return -1;
  const auto* accessing = operand<const krv_class_def*>(header + fields::klass);
  if (symbol->is_private != 0 && accessing != &klass && !krv_class_is_related(accessing, &klass)) return -1;
  if (entry != nullptr) *entry = krv_member_cache_entry{&klass, static_cast<int32_t>(symbol->member_index), 1, {}, 0};
  return symbol->member_index;
}

}  // namespace

bool vm_cached_method_call(krv_vm_context& frame, const uint8_t* header) {
  using fields = krv_cached_call_fields;
  if (header[fields::enabled] == 0) return false;
  krv_class* instance;
  int64_t index;
  if (header[fields::self_form] != 0) {
    instance = dynamic_cast<krv_class*>(frame.captured_context.get());
    index = operand<uint32_t>(header + fields::self_member);
  } else {
    const krvvar& held = *krv_vm::accumulator(frame);
    instance = krv_instance_of(held);
    // A held by nothing else would let the instance go when A is overwritten.
    if (instance == nullptr || (held.refcount < 2 && krvptr_storage::get_ref_block(*instance)->strong < 2))
      return false;
    index = instance->class_def() != nullptr ? cached_method_index(frame, header, *instance->class_def()) : -1;
  }
  krv_class_def* klass = instance != nullptr ? instance->class_def() : nullptr;
  if (klass == nullptr || index < 0 || static_cast<uint64_t>(index) >= klass->methods.size()) return false;
  const krvvar_shared& method = klass->methods[static_cast<size_t>(index)];
  if (!method || method->type != KRVVAR_FUNCTION) return false;
  auto& function = *static_cast<krvvar_function_record*>(method->payload.record);
  krv_program_block* block = function.function.get();
  const uint32_t count = header[fields::arg_count];
  if (block == nullptr || block->is_noexcept != 0 || block->captured_count != 0 || count > block->param_count ||
      (block->first_default != krv_no_default_param && count != 0 && count < block->first_default))
    return false;
  krv_task* defining = function.scope.get();
  krv_task* scope = defining != nullptr ? krv_scope_root(defining) : frame.scope;
  krv_task& task = *frame.task;
  krv_vm_context* callee = krv_vm_context::create(&task, scope, block, instance);
  callee->bound_self = krvptr_strong<krv_class>::from_raw(instance);
  task.parked_frames.push_back(callee);
  callee->args_passed = count;
  callee->default_arg_pending = 0;
  task.sinks.push_back(krv_arg_sink_script(*callee));
  return true;
}
