#include "runtime/exec/interp/vm_fast_paths.h"

#include <bit>
#include <cmath>
#include <type_traits>

#include "runtime/base/value_records.h"
#include "runtime/exec/interp/fast_path_site.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/interp/program_records.h"
#include "runtime/exec/interp/script_opcodes.h"
#include "runtime/exec/interp/vm_ops.h"
#include "runtime/exec/task/scope.h"
#include "runtime/exec/task/task.h"
#include "runtime/objects/class_def.h"
#include "runtime/objects/class_instance.h"
#include "runtime/objects/function_lambda.h"
#include "runtime/objects/vm_context.h"

using krv_vm::frame_below_top;
using krv_vm::local_slot;
using krv_vm::operand;

namespace {

// Slot-reference entries built on other entries: a chain longer than this does not apply.
constexpr int max_member_chain = 16;

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
    case KRV_STEP_LOCAL: return local_slot(&frame, index);
    case KRV_STEP_FRAME_LOCAL: return local_slot(frame_below_top(*frame.task, depth), index);
    case KRV_STEP_GLOBAL: return local_slot(vm_global_frame(frame.scope), index);
    case KRV_STEP_CAPTURED: {
      auto* captured = dynamic_cast<krvvar_ptr_function_lambda*>(frame.captured_context.get());
      if (captured == nullptr || index >= captured->size() || !(*captured)[index]) return nullptr;
      return &(*captured)[index];
    }
    case KRV_STEP_MEMBER: return member_slot(frame, index, chain);
    default: return nullptr;
  }
}

// The evaluation stack of one run: each number as its 8 bytes (an int64_t or a double's bits) and one
// bit per entry telling which. Words rather than {flag, int, double} records: a record written field by
// field and then read whole stalls the processor on every step (store forwarding fails), which cost
// more than the arithmetic. Nothing is initialised: every entry is written before it is read. Each
// step pushes at most one number and a header has at most max_steps steps, so pushing never needs a
// bound check.
struct number_stack {
  uint64_t values[krv_numeric_fast_path::max_steps];
  uint32_t floats = 0;  // bit h set: entry h is a double; bits at and above `height` are clear
  uint32_t height = 0;

  void push(uint64_t bits, bool is_float) {
    values[height] = bits;
    floats |= uint32_t{is_float} << height;
    ++height;
  }
  // Pushes the number `cell` holds; false for any other value.
  bool push_cell(const krvvar& cell) {
    if (cell.type != KRVVAR_INT && cell.type != KRVVAR_FLOAT) return false;
    push(cell.payload.bits, cell.type == KRVVAR_FLOAT);
    return true;
  }
  bool is_float(uint32_t at) const { return (floats >> at) & 1u; }
  double as_float(uint32_t at) const {
    return is_float(at) ? std::bit_cast<double>(values[at]) : static_cast<double>(static_cast<int64_t>(values[at]));
  }
  // Entry `at` becomes an integer or a double.
  void set_int(uint32_t at, int64_t value) {
    values[at] = static_cast<uint64_t>(value);
    floats &= ~(1u << at);
  }
  void set_float(uint32_t at, double value) {
    values[at] = std::bit_cast<uint64_t>(value);
    floats |= 1u << at;
  }
  // True when the divisor on top is one the generic code must see: it warns about 0 and has its own
  // rule for -1.
  bool divisor_refused() const {
    const uint32_t top = height - 1;
    return is_float(top) ? std::bit_cast<double>(values[top]) == 0.0
                         : values[top] == 0 || values[top] == ~uint64_t{0};
  }
};

// What a binary step does with two doubles: nothing (integers only), a double, or a truth.
struct integers_only {};

// left op right on the top two entries, the result replacing them: `int_op` on the two words when
// both are integers (wrapping where it computes on the unsigned words), else `float_op` on both as
// doubles. False where the generic code must decide. Inlined into each step's case, so that every step
// costs one jump through the step table.
template <class IntOp, class FloatOp>
[[gnu::always_inline]] inline bool binary(number_stack& numbers, IntOp int_op, FloatOp float_op) {
  if (numbers.height < 2) return false;
  const uint32_t left = numbers.height - 2, right = left + 1;
  if (((numbers.floats >> left) & 3u) == 0) {
    numbers.values[left] = static_cast<uint64_t>(int_op(numbers.values[left], numbers.values[right]));
  } else if constexpr (std::is_same_v<FloatOp, integers_only>) {
    return false;
  } else {
    const auto value = float_op(numbers.as_float(left), numbers.as_float(right));
    if constexpr (std::is_same_v<decltype(value), const bool>)
      numbers.set_int(left, value);
    else
      numbers.set_float(left, value);
  }
  numbers.floats &= ~(1u << right);
  numbers.height = right;
  return true;
}

int64_t as_signed(uint64_t word) { return static_cast<int64_t>(word); }

bool evaluate(krv_vm_context& frame, size_t local_limit, const uint8_t* header, krv_fast_number& result) {
  using fields = krv_numeric_fast_path;
  const int16_t count = operand<int16_t>(header + fields::step_count);
  if (count <= 0 || static_cast<uint32_t>(count) > fields::max_steps) return false;
  const uint32_t constant_floats = operand<uint16_t>(header + fields::float_mask);
  const krvvar_shared* const locals = frame.locals.data();
  number_stack numbers;
  const uint8_t* const steps_end = header + fields::steps + count * fields::step_size;
  for (const uint8_t* step = header + fields::steps; step != steps_end; step += fields::step_size) {
    const uint8_t kind = step[0];
    const uint32_t index = operand<uint32_t>(step + 4);
    bool done;
    switch (kind) {
      case KRV_STEP_LOCAL:
        done = index < local_limit && locals[index] && numbers.push_cell(*locals[index]);
        break;
      case KRV_STEP_CONSTANT:
        done = index < fields::max_constants;
        if (done) numbers.push(operand<uint64_t>(header + fields::constants + index * 8), (constant_floats >> index) & 1u);
        break;
      case KRV_STEP_FRAME_LOCAL:
      case KRV_STEP_GLOBAL:
      case KRV_STEP_CAPTURED:
      case KRV_STEP_MEMBER: {
        const krvvar_shared* slot = resolve(frame, kind, step[1], index, 0);
        done = slot != nullptr && numbers.push_cell(**slot);
        break;
      }
      case KRV_STEP_ADD:
        done = binary(numbers, [](uint64_t l, uint64_t r) { return l + r; }, [](double l, double r) { return l + r; });
        break;
      case KRV_STEP_SUB:
        done = binary(numbers, [](uint64_t l, uint64_t r) { return l - r; }, [](double l, double r) { return l - r; });
        break;
      case KRV_STEP_MUL:
        done = binary(numbers, [](uint64_t l, uint64_t r) { return l * r; }, [](double l, double r) { return l * r; });
        break;
      case KRV_STEP_DIV:
        done = numbers.height >= 2 && !numbers.divisor_refused() &&
               binary(numbers, [](uint64_t l, uint64_t r) { return as_signed(l) / as_signed(r); },
                      [](double l, double r) { return l / r; });
        break;
      case KRV_STEP_MOD:
        done = numbers.height >= 2 && !numbers.divisor_refused() &&
               binary(numbers, [](uint64_t l, uint64_t r) { return as_signed(l) % as_signed(r); },
                      [](double l, double r) { return std::fmod(l, r); });
        break;
      case KRV_STEP_AND: done = binary(numbers, [](uint64_t l, uint64_t r) { return l & r; }, integers_only{}); break;
      case KRV_STEP_OR: done = binary(numbers, [](uint64_t l, uint64_t r) { return l | r; }, integers_only{}); break;
      case KRV_STEP_XOR: done = binary(numbers, [](uint64_t l, uint64_t r) { return l ^ r; }, integers_only{}); break;
      case KRV_STEP_EQ:
        done = binary(numbers, [](uint64_t l, uint64_t r) { return l == r; }, [](double l, double r) { return l == r; });
        break;
      case KRV_STEP_NE:
        done = binary(numbers, [](uint64_t l, uint64_t r) { return l != r; }, [](double l, double r) { return l != r; });
        break;
      case KRV_STEP_LT:
        done = binary(numbers, [](uint64_t l, uint64_t r) { return as_signed(l) < as_signed(r); },
                      [](double l, double r) { return l < r; });
        break;
      case KRV_STEP_LE:
        done = binary(numbers, [](uint64_t l, uint64_t r) { return as_signed(l) <= as_signed(r); },
                      [](double l, double r) { return l <= r; });
        break;
      case KRV_STEP_GT:
        done = binary(numbers, [](uint64_t l, uint64_t r) { return as_signed(l) > as_signed(r); },
                      [](double l, double r) { return l > r; });
        break;
      case KRV_STEP_GE:
        done = binary(numbers, [](uint64_t l, uint64_t r) { return as_signed(l) >= as_signed(r); },
                      [](double l, double r) { return l >= r; });
        break;
      case KRV_STEP_NEGATE: {
        done = numbers.height != 0;
        if (!done) break;
        const uint32_t top = numbers.height - 1;
        if (numbers.is_float(top))
          numbers.set_float(top, -std::bit_cast<double>(numbers.values[top]));
        else
          numbers.values[top] = uint64_t{0} - numbers.values[top];
        break;
      }
      default: done = false;
    }
    if (!done) return false;
  }
  if (numbers.height != 1) return false;
  result = numbers.is_float(0) ? krv_fast_number{true, 0, std::bit_cast<double>(numbers.values[0])}
                               : krv_fast_number{false, static_cast<int64_t>(numbers.values[0]), 0.0};
  return true;
}

}  // namespace

bool vm_numeric_fast_path(krv_vm_context& frame, size_t local_limit, const uint8_t* header, krv_fast_number& result) {
  if (!evaluate(frame, local_limit, header, result)) return false;
  const uint8_t target = header[krv_numeric_fast_path::target_kind];
  if (target == 0) return true;
  const uint8_t kind = static_cast<uint8_t>(target - 1);
  const uint32_t index = operand<uint32_t>(header + krv_numeric_fast_path::target_index);
  krvvar_shared* slot = kind != KRV_STEP_LOCAL ? resolve(frame, kind, header[krv_numeric_fast_path::target_depth], index, 0)
                        : index < local_limit && frame.locals[index] ? &frame.locals[index]
                                                                      : nullptr;
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
  krvvar_shared& accumulator = krv_vm::accumulator(frame);
  if (accumulator.get() != slot->get()) krv_vm::load(*frame.task, accumulator, *slot);
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

namespace krv_vm {

bool cached_method_call(krv_vm_context& frame, const uint8_t* header) {
  using fields = krv_cached_call_fields;
  if (header[fields::enabled] == 0) return false;
  krv_class* instance;
  int64_t index;
  if (header[fields::self_form] != 0) {
    instance = dynamic_cast<krv_class*>(frame.captured_context.get());
    index = operand<uint32_t>(header + fields::self_member);
  } else {
    const krvvar& held = *accumulator(frame);
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
  krv_vm_context* callee = krv_vm_context::create(frame.task, function_scope(function, frame), block, instance);
  callee->bound_self = krvptr_strong<krv_class>::from_raw(instance);
  park_script_call(*callee, count);
  return true;
}

}  // namespace krv_vm
