#include "runtime/exec/interp/fast_path_site.h"

#include <algorithm>
#include <array>
#include <utility>

#include "runtime/exec/interp/vm_ops.h"

using krv_vm::operand;

namespace {

bool is_operator(uint8_t kind) { return kind >= KRV_STEP_ADD && kind <= KRV_STEP_NEGATE; }
bool is_slot(uint8_t kind) {
  return kind == KRV_STEP_LOCAL || kind == KRV_STEP_FRAME_LOCAL || kind == KRV_STEP_GLOBAL ||
         kind == KRV_STEP_CAPTURED || kind == KRV_STEP_MEMBER;
}

// The operation of a header that only pushes: temporary 0 takes the pushed value.
constexpr uint8_t move_code = KRV_STEP_NEGATE + 1;

template <uint8_t Kind>
[[gnu::always_inline]] inline bool fetch(uint32_t index, int64_t constant, const uint64_t* temporaries,
                                         const krvvar_shared* locals, uint64_t& value) {
  if constexpr (Kind == KRV_OPERAND_TEMPORARY) {
    value = temporaries[index];
  } else if constexpr (Kind == KRV_OPERAND_CONSTANT) {
    value = static_cast<uint64_t>(constant);
  } else {
    const krvvar* cell = locals[index].get();
    if (cell == nullptr || cell->type != KRVVAR_INT) return false;
    value = static_cast<uint64_t>(cell->payload.int_value);
  }
  return true;
}

int64_t as_signed(uint64_t word) { return static_cast<int64_t>(word); }

// left (Code) right, as the step evaluator computes it for two integers: arithmetic wraps (on the
// unsigned words), division, remainder and ordering are signed, and a divisor of 0 or -1 is left to
// the generic code.
template <uint8_t Code>
[[gnu::always_inline]] inline bool compute(uint64_t left, uint64_t right, uint64_t& out) {
  if constexpr (Code == KRV_STEP_DIV || Code == KRV_STEP_MOD) {
    if (right == 0 || right == ~uint64_t{0}) return false;
  }
  switch (Code) {
    case KRV_STEP_ADD: out = left + right; break;
    case KRV_STEP_SUB: out = left - right; break;
    case KRV_STEP_MUL: out = left * right; break;
    case KRV_STEP_DIV: out = static_cast<uint64_t>(as_signed(left) / as_signed(right)); break;
    case KRV_STEP_MOD: out = static_cast<uint64_t>(as_signed(left) % as_signed(right)); break;
    case KRV_STEP_AND: out = left & right; break;
    case KRV_STEP_OR: out = left | right; break;
    case KRV_STEP_XOR: out = left ^ right; break;
    case KRV_STEP_EQ: out = left == right; break;
    case KRV_STEP_NE: out = left != right; break;
    case KRV_STEP_LT: out = as_signed(left) < as_signed(right); break;
    case KRV_STEP_LE: out = as_signed(left) <= as_signed(right); break;
    case KRV_STEP_GT: out = as_signed(left) > as_signed(right); break;
    case KRV_STEP_GE: out = as_signed(left) >= as_signed(right); break;
    case KRV_STEP_NEGATE: out = uint64_t{0} - left; break;
    default: out = left; break;  // move_code
  }
  return true;
}

template <uint8_t Code, uint8_t Left, uint8_t Right>
bool run_operation(const krv_fast_int_op& op, uint64_t* temporaries, const krvvar_shared* locals) {
  uint64_t left, right = 0, out;
  if (!fetch<Left>(op.left, op.left_constant, temporaries, locals, left)) return false;
  if constexpr (Code != KRV_STEP_NEGATE && Code != move_code) {
    if (!fetch<Right>(op.right, op.right_constant, temporaries, locals, right)) return false;
  }
  if (!compute<Code>(left, right, out)) return false;
  temporaries[op.dest] = out;
  return true;
}

// handlers[code - KRV_STEP_ADD][left kind][right kind].
constexpr uint32_t operand_kinds = 3;
constexpr uint32_t operation_codes = move_code - KRV_STEP_ADD + 1;
using handler_row = std::array<std::array<krv_fast_int_handler, operand_kinds>, operand_kinds>;

template <uint8_t Code, size_t... Pairs>
constexpr handler_row handlers_of(std::index_sequence<Pairs...>) {
  handler_row row{};
  ((row[Pairs / operand_kinds][Pairs % operand_kinds] =
        &run_operation<Code, static_cast<uint8_t>(Pairs / operand_kinds), static_cast<uint8_t>(Pairs % operand_kinds)>),
   ...);
  return row;
}
template <size_t... Codes>
constexpr std::array<handler_row, operation_codes> all_handlers(std::index_sequence<Codes...>) {
  constexpr auto pairs = std::make_index_sequence<operand_kinds * operand_kinds>();
  return {handlers_of<static_cast<uint8_t>(KRV_STEP_ADD + Codes)>(pairs)...};
}
constexpr std::array<handler_row, operation_codes> handlers = all_handlers(std::make_index_sequence<operation_codes>());

// An operand as a push or an earlier operation left it.
struct operand_ref {
  uint8_t kind;
  uint32_t index;
  int64_t constant;
};

// Builds the operations of `header`, whose steps are known to be well formed; false when the header
// needs the step evaluator (a slot other than a local, a double constant, a target other than a local).
bool decode_integer(const uint8_t* header, uint32_t count, krv_fast_path_site& site) {
  using fields = krv_numeric_fast_path;
  const uint8_t target = header[fields::target_kind];
  if (target != 0 && target != 1 + KRV_STEP_LOCAL) return false;
  site.to_local = target != 0;
  site.target_index = operand<uint32_t>(header + fields::target_index);
  uint64_t need = site.to_local ? uint64_t{site.target_index} + 1 : 0;
  const uint16_t constant_floats = operand<uint16_t>(header + fields::float_mask);
  const auto add = [&site](uint8_t code, uint32_t dest, const operand_ref& left, const operand_ref& right) {
    site.ops[site.op_count++] = {handlers[code - KRV_STEP_ADD][left.kind][right.kind], left.constant, right.constant,
                                 left.index, right.index, dest, 0};
  };
  operand_ref stack[fields::max_steps];
  uint32_t height = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* step = header + fields::steps + i * fields::step_size;
    const uint8_t kind = step[0];
    const uint32_t index = operand<uint32_t>(step + 4);
    if (kind == KRV_STEP_LOCAL) {
      stack[height++] = {KRV_OPERAND_LOCAL, index, 0};
      need = std::max(need, uint64_t{index} + 1);
    } else if (kind == KRV_STEP_CONSTANT) {
      if ((constant_floats >> index) & 1u) return false;
      stack[height++] = {KRV_OPERAND_CONSTANT, 0, operand<int64_t>(header + fields::constants + index * 8)};
    } else if (kind == KRV_STEP_NEGATE) {
      add(kind, height - 1, stack[height - 1], stack[height - 1]);
      stack[height - 1] = {KRV_OPERAND_TEMPORARY, height - 1, 0};
    } else if (is_operator(kind)) {
      --height;
      add(kind, height - 1, stack[height - 1], stack[height]);
      stack[height - 1] = {KRV_OPERAND_TEMPORARY, height - 1, 0};
    } else {
      return false;
    }
  }
  if (stack[0].kind != KRV_OPERAND_TEMPORARY) add(move_code, 0, stack[0], stack[0]);
  site.local_need = need;
  return true;
}

// The target of the jump (55 or 56) that lies whole at `offset` when the target lies within the code
// (its end included); else `offset`, for the jump's handler to refuse.
uint32_t past_jump(const uint8_t* code, uint32_t code_size, uint32_t offset) {
  const int64_t target = int64_t{offset} + operand<int32_t>(code + offset + 4);
  return target >= 0 && target <= int64_t{code_size} ? static_cast<uint32_t>(target) : offset;
}

bool is_at(const uint8_t* code, uint32_t code_size, uint32_t offset, uint8_t opcode) {
  return offset < code_size && code[offset] == opcode && krv_script_op_sizes[opcode] <= code_size - offset;
}

}  // namespace

krv_fast_path_site krv_decode_fast_path_site(const uint8_t* code, uint32_t code_size, uint32_t offset) {
  using fields = krv_numeric_fast_path;
  krv_fast_path_site site{};
  site.offset = offset;
  const uint8_t* header = code + offset;
  const uint32_t length = operand<uint32_t>(header + 4);
  if (length < krv_fast_path_span || length > code_size - offset) return site;
  site.length = length;
  const int16_t count = operand<int16_t>(header + fields::step_count);
  if (count <= 0 || static_cast<uint32_t>(count) > fields::max_steps) return site;
  // The stack depth after each step, as the step evaluator would find it.
  uint32_t height = 0;
  bool only_locals = true;
  for (int16_t i = 0; i < count; ++i) {
    const uint8_t* step = header + fields::steps + i * fields::step_size;
    const uint8_t kind = step[0];
    if (kind == KRV_STEP_CONSTANT) {
      if (operand<uint32_t>(step + 4) >= fields::max_constants) return site;
      ++height;
    } else if (is_slot(kind)) {
      only_locals = only_locals && kind == KRV_STEP_LOCAL;
      ++height;
    } else if (kind == KRV_STEP_NEGATE) {
      if (height == 0) return site;
    } else if (is_operator(kind)) {
      if (height < 2) return site;
      --height;
    } else {
      return site;
    }
  }
  if (height != 1) return site;
  site.form = KRV_FAST_SITE_STEPS;
  krv_fast_path_site integer = site;
  if (only_locals && decode_integer(header, static_cast<uint32_t>(count), integer)) {
    integer.form = KRV_FAST_SITE_INTEGER;
    return integer;
  }
  return site;
}

void krv_fast_path_site_continuations(const uint8_t* code, uint32_t code_size, krv_fast_path_site& site) {
  const uint32_t after = site.offset + site.length;
  site.next[0] = site.next[1] = after;
  if (site.to_local == 0 && is_at(code, code_size, after, KRV_OP_JUMP_FALSE)) {
    site.next[1] = after + krv_script_op_sizes[KRV_OP_JUMP_FALSE];
    site.next[0] = past_jump(code, code_size, after);
  }
  for (uint32_t& next : site.next)
    if (is_at(code, code_size, next, KRV_OP_JUMP)) next = past_jump(code, code_size, next);
}
