#include "kernel/runtime/wide_interpreter.h"

#include <bit>
#include <cmath>
#include <type_traits>

#include "kernel/compiler/value_rules.h"
#include "kernel/runtime/kernel_ops.h"

// The lane loops are built twice, for the baseline x86-64 and for AVX2 (twice the lanes per instruction),
// and the loader picks one for the processor. AVX2 brings no fused multiply-add, so both versions round
// every operation alike and give the same bits.
#ifdef KRVK_BASELINE_LANES_ONLY
#define KRVK_LANE_CLONES
#else
#define KRVK_LANE_CLONES __attribute__((target_clones("avx2", "default")))
#endif

namespace {

// One group's view of the wide file and the fields every trap needs.
struct wide_group {
  uint64_t* wide;
  const kptr* ptrs;
  uint64_t gid_begin;
  uint32_t n;  // lanes in the group, 1..64
  ktrap* trap;
  uint32_t pc;  // index of the instruction being carried out

  uint64_t* lane(uint16_t r) const { return wide + size_t{r} * KRVK_LANES; }

  // A trap of lane k with an integer value and a limit (codes 1, 2, 3, 5, 6).
  uint8_t fail(uint8_t code, uint32_t k, uint64_t value, uint64_t limit) const {
    if (trap != nullptr) {
      trap->code = code;
      trap->pc = pc;
      trap->gid = gid_begin + k;
      trap->value = static_cast<int64_t>(value);
      trap->limit = limit;
    }
    return code;
  }
  // A float-to-integer trap of lane k: only the float is named.
  uint8_t fail_float(uint32_t k, double fvalue) const {
    if (trap != nullptr) {
      trap->code = KRVK_TRAP_F2I;
      trap->pc = pc;
      trap->gid = gid_begin + k;
      trap->fvalue = fvalue;
    }
    return KRVK_TRAP_F2I;
  }
  // Abort and invalid opcode: a group event, reported at the group's first work item.
  uint8_t aborted() const { return fail(KRVK_TRAP_ABORTED, 0, 0, 0); }
};

// ---- lane loops ------------------------------------------------------------------------------------
// Destination and sources may be the same register: each lane reads its sources before writing its own
// destination word, and no lane touches another lane's word.

template <class F>
[[gnu::always_inline]] inline void map_unary(uint64_t* d, const uint64_t* b, uint32_t n, F f) {
  for (uint32_t l = 0; l < n; ++l) d[l] = f(d[l], b[l]);
}
template <class F>
[[gnu::always_inline]] inline void map_binary(uint64_t* d, const uint64_t* b, const uint64_t* c, uint32_t n, F f) {
  for (uint32_t l = 0; l < n; ++l) d[l] = f(d[l], b[l], c[l]);
}
// Number of lanes for which a two-register condition holds.
template <class P>
[[gnu::always_inline]] inline uint32_t count_true(const uint64_t* a, const uint64_t* b, uint32_t n, P pred) {
  uint32_t taken = 0;
  for (uint32_t l = 0; l < n; ++l) taken += pred(a[l], b[l]) ? 1u : 0u;
  return taken;
}

// ---- typed memory ------------------------------------------------------------------------------------

// One element into its register form (an f32 keeps the upper half of the old lane).
template <class T>
inline uint64_t load_lane(const uint8_t* p, uint64_t old) {
  if constexpr (std::is_same_v<T, int8_t>) return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(*p)));
  else if constexpr (std::is_same_v<T, uint8_t>) return *p;
  else if constexpr (std::is_same_v<T, int16_t>) return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(krvk_load_u16(p))));
  else if constexpr (std::is_same_v<T, uint16_t>) return krvk_load_u16(p);
  else if constexpr (std::is_same_v<T, int32_t>) return krvk_sext32(krvk_load_u32(p));
  else if constexpr (std::is_same_v<T, uint32_t>) return krvk_load_u32(p);
  else if constexpr (std::is_same_v<T, float>) return krvk_with_f32(old, krvk_load_f32(p));
  else if constexpr (std::is_same_v<T, double>) return std::bit_cast<uint64_t>(krvk_load_f64(p));
  else {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
}
// The low sizeof(T) bytes of a lane.
template <class T>
inline void store_lane(uint8_t* p, uint64_t cell) {
  if constexpr (sizeof(T) == 1) krvk_store_u8(p, static_cast<uint8_t>(cell));
  else if constexpr (sizeof(T) == 2) krvk_store_u16(p, static_cast<uint16_t>(cell));
  else if constexpr (std::is_same_v<T, float>) krvk_store_f32(p, krvk_cell_f32(cell));
  else if constexpr (sizeof(T) == 4) krvk_store_u32(p, static_cast<uint32_t>(cell));
  else if constexpr (std::is_same_v<T, double>) krvk_store_f64(p, krvk_cell_f64(cell));
  else krvk_store_u64(p, cell);
}

// True when lane l holds index[0] + l for every lane (wrapping like the registers).
inline bool consecutive(const uint64_t* index, uint32_t n) {
  uint64_t differences = 0;
  for (uint32_t l = 0; l < n; ++l) differences |= index[l] - index[0] - l;
  return differences == 0;
}

// The five access variants of loads and stores, in opcode order within a type's block of ten.
enum access_variant : uint32_t { ELEMENT, ELEMENT_UNCHECKED, FIELD, FIELD_UNCHECKED, RAW };

// One load or store for every lane. Element forms index by (register + offset) x element size, field
// forms by register x stride + offset, raw forms use the address register + offset. The checked forms
// stop at the first lane whose index is not below the slot's count.
template <class T, bool STORE>
[[gnu::always_inline]] inline uint8_t access_lanes(const wide_group& g, const krvk_insn& insn, access_variant variant) {
  uint64_t* const value = g.lane(insn.a);
  const uint32_t n = g.n;
  if (variant == RAW) {
    const uint64_t* const address = g.lane(insn.b);
    for (uint32_t l = 0; l < n; ++l) {
      uint8_t* const p = krvk_cell_address(address[l] + insn.x);
      if constexpr (STORE) store_lane<T>(p, value[l]);
      else value[l] = load_lane<T>(p, value[l]);
    }
    return 0;
  }
  // Locals, not slot fields: the stores below could otherwise alias them for the compiler.
  uint8_t* const base = g.ptrs[insn.b].base;
  const uint64_t count = g.ptrs[insn.b].count;
  const uint64_t* const index = g.lane(insn.c);
  const bool element = variant == ELEMENT || variant == ELEMENT_UNCHECKED;
  const bool checked = variant == ELEMENT || variant == FIELD;
  const uint64_t stride = element ? sizeof(T) : g.ptrs[insn.b].stride;
  const uint64_t element_offset = element ? insn.x : 0;
  const uint64_t byte_offset = element ? 0 : insn.x;
  if (element && consecutive(index, n)) {
    // Lanes that index consecutive elements (gid-indexed access) read or write one block: one bounds
    // test for the group and a loop that vectorises. A group that leaves the bounds takes the per-lane
    // path below, which finds the first failing lane.
    const uint64_t first = index[0] + element_offset;
    if (!checked || (first < count && count - first >= n)) {
      uint8_t* const block = krvk_address(base, first * sizeof(T));
      for (uint32_t l = 0; l < n; ++l) {
        if constexpr (STORE) store_lane<T>(block + l * sizeof(T), value[l]);
        else value[l] = load_lane<T>(block + l * sizeof(T), value[l]);
      }
      return 0;
    }
  }
  for (uint32_t l = 0; l < n; ++l) {
    const uint64_t i = index[l] + element_offset;
    if (checked && i >= count) return g.fail(KRVK_TRAP_INDEX, l, i, count);
    uint8_t* const p = krvk_address(base, i * stride + byte_offset);
    if constexpr (STORE) store_lane<T>(p, value[l]);
    else value[l] = load_lane<T>(p, value[l]);
  }
  return 0;
}

template <class T>
[[gnu::always_inline]] inline uint8_t memory_lanes(const wide_group& g, const krvk_insn& insn, uint32_t variant) {
  if (variant < 5) return access_lanes<T, false>(g, insn, static_cast<access_variant>(variant));
  return access_lanes<T, true>(g, insn, static_cast<access_variant>(variant - 5));
}

KRVK_LANE_CLONES uint8_t memory_opcode(const wide_group& g, const krvk_insn& insn) {
  const uint32_t relative = insn.op - KRVK_MEMORY_OPCODE_BASE;
  const uint32_t variant = relative % 10;
  switch (relative / 10) {
    case 0: return memory_lanes<int8_t>(g, insn, variant);
    case 1: return memory_lanes<uint8_t>(g, insn, variant);
    case 2: return memory_lanes<int16_t>(g, insn, variant);
    case 3: return memory_lanes<uint16_t>(g, insn, variant);
    case 4: return memory_lanes<int32_t>(g, insn, variant);
    case 5: return memory_lanes<uint32_t>(g, insn, variant);
    case 6: return memory_lanes<int64_t>(g, insn, variant);
    case 7: return memory_lanes<uint64_t>(g, insn, variant);
    case 8: return memory_lanes<float>(g, insn, variant);
    default: return memory_lanes<double>(g, insn, variant);
  }
}

// Checked integer division or remainder: the first lane whose check fails traps with its dividend.
template <class CHECK, class OP>
uint8_t divide_lanes(const wide_group& g, const krvk_insn& insn, CHECK check, OP op) {
  uint64_t* const d = g.lane(insn.a);
  const uint64_t* const b = g.lane(insn.b);
  const uint64_t* const c = g.lane(insn.c);
  for (uint32_t l = 0; l < g.n; ++l) {
    const uint8_t fault = check(b[l], c[l]);
    if (fault != 0) return g.fail(fault, l, b[l], fault == KRVK_TRAP_DIV_ZERO ? 0 : c[l]);
    d[l] = op(b[l], c[l]);
  }
  return 0;
}

// Float to integer by the language's fit test; the first lane whose value does not fit traps.
template <class F>
uint8_t float_to_int_lanes(const wide_group& g, const krvk_insn& insn, F widen) {
  uint64_t* const d = g.lane(insn.a);
  const uint64_t* const b = g.lane(insn.b);
  const uint8_t target = static_cast<uint8_t>(insn.c);
  for (uint32_t l = 0; l < g.n; ++l) {
    const double value = widen(b[l]);
    uint64_t bits = 0;
    if (!krvk_f2i(value, target, bits)) return g.fail_float(l, value);
    d[l] = bits;
  }
  return 0;
}

// Sequentially consistent atomic adds, one lane after the other. The slot forms check the index first;
// all check alignment to the width.
template <uint32_t WIDTH, class EXTEND>
uint8_t atomic_add_lanes(const wide_group& g, const krvk_insn& insn, bool slot_form, EXTEND extend_old) {
  uint64_t* const d = g.lane(insn.a);
  const uint64_t* const where = g.lane(slot_form ? insn.c : insn.b);
  const uint64_t* const addend = g.lane(slot_form ? static_cast<uint16_t>(insn.x & 0xFFFF) : insn.c);
  for (uint32_t l = 0; l < g.n; ++l) {
    uint8_t* target;
    if (slot_form) {
      const kptr& slot = g.ptrs[insn.b];
      if (where[l] >= slot.count) return g.fail(KRVK_TRAP_INDEX, l, where[l], slot.count);
      target = krvk_address(slot.base, where[l] * slot.stride);
    } else {
      target = krvk_cell_address(where[l] + insn.x);
    }
    if (reinterpret_cast<uintptr_t>(target) % WIDTH != 0)
      return g.fail(KRVK_TRAP_MISALIGNED, l, reinterpret_cast<uintptr_t>(target), WIDTH);
    if constexpr (WIDTH == 4) d[l] = extend_old(krvk_atomic_add_32(target, static_cast<uint32_t>(addend[l])));
    else d[l] = krvk_atomic_add_64(target, addend[l]);
  }
  return 0;
}

}  // namespace

// Lane-loop shorthands for the dispatch switch: D, B, C are the lanes of fields a, b and c; inside an
// expression `old` is the destination lane's previous value, `b` and `c` the source lanes.
#define D g.lane(insn.a)
#define B g.lane(insn.b)
#define C g.lane(insn.c)
#define UNARY(expr) \
  map_unary(D, B, n, [=](uint64_t old, uint64_t b) -> uint64_t { (void)old; return (expr); }); break
#define BINARY(expr) \
  map_binary(D, B, C, n, [=](uint64_t old, uint64_t b, uint64_t c) -> uint64_t { (void)old; return (expr); }); break
#define F32_UNARY(expr) UNARY(krvk_with_f32(old, (expr)))
#define F32_BINARY(expr) BINARY(krvk_with_f32(old, (expr)))
#define F64_UNARY(expr) UNARY(krvk_f64_cell(expr))
#define F64_BINARY(expr) BINARY(krvk_f64_cell(expr))
#define FB krvk_cell_f32(b)
#define FC krvk_cell_f32(c)
#define DB krvk_cell_f64(b)
#define DC krvk_cell_f64(c)
#define SB static_cast<int64_t>(b)
#define SC static_cast<int64_t>(c)
// The uniform branch rule: all lanes jump, none jumps, or the group stops to diverge.
#define BRANCH(a_lanes, b_lanes, pred)                                                          \
  {                                                                                             \
    const uint32_t taken = count_true(a_lanes, b_lanes, n, [](uint64_t a, uint64_t b) {         \
      (void)b;                                                                                  \
      return (pred);                                                                            \
    });                                                                                         \
    if (taken == n) {                                                                           \
      pc = static_cast<uint32_t>(insn.x);                                                       \
      continue;                                                                                 \
    }                                                                                           \
    if (taken != 0) {                                                                           \
      if (trap != nullptr) trap->pc = pc;                                                       \
      return KRVK_TRAP_DIVERGED;                                                                \
    }                                                                                           \
    break;                                                                                      \
  }
#define COMPARE_JUMP(pred) BRANCH(D, B, pred)
#define FA krvk_cell_f32(a)
#define DA krvk_cell_f64(a)
#define RELATION_CASES(REL, op)                                                      \
  case KOP_CMP##REL##_S: BINARY(SB op SC);                                           \
  case KOP_CMP##REL##_U: BINARY(b op c);                                             \
  case KOP_CMP##REL##_F32: BINARY(FB op FC);                                         \
  case KOP_CMP##REL##_F64: BINARY(DB op DC);                                         \
  case KOP_JT##REL##_S: COMPARE_JUMP(static_cast<int64_t>(a) op static_cast<int64_t>(b)) \
  case KOP_JT##REL##_U: COMPARE_JUMP(a op b)                                         \
  case KOP_JT##REL##_F32: COMPARE_JUMP(FA op krvk_cell_f32(b))                       \
  case KOP_JT##REL##_F64: COMPARE_JUMP(DA op krvk_cell_f64(b))                       \
  case KOP_JF##REL##_S: COMPARE_JUMP(!(static_cast<int64_t>(a) op static_cast<int64_t>(b))) \
  case KOP_JF##REL##_U: COMPARE_JUMP(!(a op b))                                      \
  case KOP_JF##REL##_F32: COMPARE_JUMP(!(FA op krvk_cell_f32(b)))                    \
  case KOP_JF##REL##_F64: COMPARE_JUMP(!(DA op krvk_cell_f64(b)))
#define TRAPPING(expr)                      \
  {                                         \
    const uint8_t code = (expr);            \
    if (code != 0) return code;             \
    break;                                  \
  }

KRVK_LANE_CLONES uint8_t krvk_interpret_wide(const krvk_program* program, uint64_t* wide, const kptr* ptrs,
                                             uint64_t gid_begin, uint32_t count, const volatile unsigned char* abort, ktrap* trap) noexcept {
  const krvk_insn* const code = program->code.data();
  const uint32_t size = static_cast<uint32_t>(program->code.size());
  const uint32_t n = count;
  wide_group g{wide, ptrs, gid_begin, n, trap, 0};
  uint32_t pc = 0;
  // Finished code always reaches END; running past the last instruction (or an empty program) ends the
  // group the same way rather than reading beyond the code.
  while (pc < size) {
    const krvk_insn& insn = code[pc];
    g.pc = pc;
    const uint64_t imm = insn.x;
    switch (insn.op) {
      case KOP_NOP: break;
      case KOP_END: return 0;
      case KOP_MOV:
        // Register allocation leaves MOV rX, rX behind: identical ranges are a no-op, never a memcpy.
        if (insn.a != insn.b) std::memcpy(D, B, size_t{n} * sizeof(uint64_t));
        break;
      case KOP_JMP: pc = static_cast<uint32_t>(imm); continue;
      case KOP_LOOP:
        if (abort != nullptr && __atomic_load_n(abort, __ATOMIC_RELAXED) != 0) return g.aborted();
        pc = static_cast<uint32_t>(imm);
        continue;
      case KOP_JT: BRANCH(D, D, a != 0)
      case KOP_JF: BRANCH(D, D, a == 0)

      case KOP_ADD_I32: BINARY(krvk_add_i32(b, c));
      case KOP_ADD_U32: BINARY(krvk_add_u32(b, c));
      case KOP_ADD_X64: BINARY(krvk_add_x64(b, c));
      case KOP_ADD_F32: F32_BINARY(FB + FC);
      case KOP_ADD_F64: F64_BINARY(DB + DC);
      case KOP_SUB_I32: BINARY(krvk_sub_i32(b, c));
      case KOP_SUB_U32: BINARY(krvk_sub_u32(b, c));
      case KOP_SUB_X64: BINARY(krvk_sub_x64(b, c));
      case KOP_SUB_F32: F32_BINARY(FB - FC);
      case KOP_SUB_F64: F64_BINARY(DB - DC);
      case KOP_MUL_I32: BINARY(krvk_mul_i32(b, c));
      case KOP_MUL_U32: BINARY(krvk_mul_u32(b, c));
      case KOP_MUL_X64: BINARY(krvk_mul_x64(b, c));
      case KOP_MUL_F32: F32_BINARY(FB * FC);
      case KOP_MUL_F64: F64_BINARY(DB * DC);
      case KOP_DIV_I32: TRAPPING(divide_lanes(g, insn, krvk_div_check_i32, krvk_div_i32))
      case KOP_DIV_U32:
        TRAPPING(divide_lanes(g, insn, [](uint64_t, uint64_t c) { return krvk_div_check_u32(c); }, krvk_div_u32))
      case KOP_DIV_I64: TRAPPING(divide_lanes(g, insn, krvk_div_check_i64, krvk_div_i64))
      case KOP_DIV_U64:
        TRAPPING(divide_lanes(g, insn, [](uint64_t, uint64_t c) { return krvk_div_check_u64(c); }, krvk_div_u64))
      case KOP_DIV_F32: F32_BINARY(FB / FC);
      case KOP_DIV_F64: F64_BINARY(DB / DC);
      case KOP_MOD_I32: TRAPPING(divide_lanes(g, insn, krvk_div_check_i32, krvk_mod_i32))
      case KOP_MOD_U32:
        TRAPPING(divide_lanes(g, insn, [](uint64_t, uint64_t c) { return krvk_div_check_u32(c); }, krvk_mod_u32))
      case KOP_MOD_I64: TRAPPING(divide_lanes(g, insn, krvk_div_check_i64, krvk_mod_i64))
      case KOP_MOD_U64:
        TRAPPING(divide_lanes(g, insn, [](uint64_t, uint64_t c) { return krvk_div_check_u64(c); }, krvk_mod_u64))
      case KOP_MOD_F32: F32_BINARY(krvk_mod_f32(FB, FC));
      case KOP_MOD_F64: F64_BINARY(std::fmod(DB, DC));
      case KOP_ADDI_I32: UNARY(krvk_add_i32(b, imm));
      case KOP_ADDI_U32: UNARY(krvk_add_u32(b, imm));
      case KOP_ADDI_X64: UNARY(krvk_add_x64(b, imm));
      case KOP_DIVC_U32: UNARY(krvk_divc_u32(b, imm));
      case KOP_DIVC_I32: UNARY(krvk_divc_i32(b, imm));
      case KOP_MODC_U32: {
        const uint64_t divisor = insn.c;
        UNARY(krvk_modc_u32(b, divisor, imm));
      }
      case KOP_MODC_I32: {
        const uint64_t divisor = insn.c;
        UNARY(krvk_modc_i32(b, divisor, imm));
      }

      case KOP_AND_X: BINARY(b & c);
      case KOP_OR_X: BINARY(b | c);
      case KOP_XOR_X: BINARY(b ^ c);
      case KOP_SHL_I32: BINARY(krvk_shl_i32(b, c));
      case KOP_SHL_U32: BINARY(krvk_shl_u32(b, c));
      case KOP_SHL_X64: BINARY(krvk_shl_x64(b, c));
      case KOP_SHR_I32: BINARY(krvk_shr_i32(b, c));
      case KOP_SHR_U32: BINARY(krvk_shr_u32(b, c));
      case KOP_SHR_I64: BINARY(krvk_shr_i64(b, c));
      case KOP_SHR_U64: BINARY(krvk_shr_u64(b, c));
      case KOP_NEG_I32: UNARY(krvk_neg_i32(b));
      case KOP_NEG_U32: UNARY(krvk_neg_u32(b));
      case KOP_NEG_X64: UNARY(krvk_neg_x64(b));
      case KOP_NEG_F32: UNARY((old & 0xFFFFFFFF00000000u) | (krvk_zext32(b) ^ 0x80000000u));
      case KOP_NEG_F64: UNARY(b ^ 0x8000000000000000u);
      case KOP_NOT_X: UNARY(~b);
      case KOP_NOT_U32: UNARY(krvk_not_u32(b));
      case KOP_LNOT: UNARY(b == 0 ? 1 : 0);
      case KOP_MIN_S: BINARY(SC < SB ? c : b);
      case KOP_MIN_U: BINARY(c < b ? c : b);
      case KOP_MIN_F32: F32_BINARY(krvk_min_f32(FB, FC));
      case KOP_MIN_F64: F64_BINARY(krvk_min_f64(DB, DC));
      case KOP_MAX_S: BINARY(SC > SB ? c : b);
      case KOP_MAX_U: BINARY(c > b ? c : b);
      case KOP_MAX_F32: F32_BINARY(krvk_max_f32(FB, FC));
      case KOP_MAX_F64: F64_BINARY(krvk_max_f64(DB, DC));
      case KOP_ABS_I32: UNARY(krvk_abs_i32(b));
      case KOP_ABS_I64: UNARY(krvk_abs_i64(b));
      case KOP_ABS_F32: UNARY((old & 0xFFFFFFFF00000000u) | krvk_zext32(krvk_abs_f32(b)));
      case KOP_ABS_F64: UNARY(b & 0x7FFFFFFFFFFFFFFFu);
      case KOP_SQRT_F32: F32_UNARY(krvk_sqrt_f32(FB));
      case KOP_SQRT_F64: F64_UNARY(std::sqrt(DB));
      case KOP_MATH1_F32: {
        const uint32_t selector = static_cast<uint8_t>(insn.c);
        F32_UNARY(krvk_math1_f32(selector, FB));
      }
      case KOP_MATH1_F64: {
        const uint32_t selector = static_cast<uint8_t>(insn.c);
        F64_UNARY(krvk_math1_f64(selector, DB));
      }
      case KOP_MATH2_F32: {
        const uint32_t selector = static_cast<uint8_t>(imm);
        F32_BINARY(krvk_math2_f32(selector, FB, FC));
      }
      case KOP_MATH2_F64: {
        const uint32_t selector = static_cast<uint8_t>(imm);
        F64_BINARY(krvk_math2_f64(selector, DB, DC));
      }

      case KOP_CMPEQ_X: BINARY(b == c);
      case KOP_CMPNE_X: BINARY(b != c);
      case KOP_CMPEQ_F32: BINARY(FB == FC);
      case KOP_CMPNE_F32: BINARY(FB != FC);
      case KOP_CMPEQ_F64: BINARY(DB == DC);
      case KOP_CMPNE_F64: BINARY(DB != DC);
      case KOP_JTEQ_X: COMPARE_JUMP(a == b)
      case KOP_JTNE_X: COMPARE_JUMP(a != b)
      case KOP_JFEQ_X: COMPARE_JUMP(a != b)
      case KOP_JFNE_X: COMPARE_JUMP(a == b)
      case KOP_JTEQ_F32: COMPARE_JUMP(FA == krvk_cell_f32(b))
      case KOP_JTNE_F32: COMPARE_JUMP(FA != krvk_cell_f32(b))
      case KOP_JFEQ_F32: COMPARE_JUMP(!(FA == krvk_cell_f32(b)))
      case KOP_JFNE_F32: COMPARE_JUMP(!(FA != krvk_cell_f32(b)))
      case KOP_JTEQ_F64: COMPARE_JUMP(DA == krvk_cell_f64(b))
      case KOP_JTNE_F64: COMPARE_JUMP(DA != krvk_cell_f64(b))
      case KOP_JFEQ_F64: COMPARE_JUMP(!(DA == krvk_cell_f64(b)))
      case KOP_JFNE_F64: COMPARE_JUMP(!(DA != krvk_cell_f64(b)))
        RELATION_CASES(LT, <)
        RELATION_CASES(LE, <=)
        RELATION_CASES(GT, >)
        RELATION_CASES(GE, >=)

      case KOP_TRUNC_I8: UNARY(static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(b))));
      case KOP_TRUNC_U8: UNARY(static_cast<uint8_t>(b));
      case KOP_TRUNC_I16: UNARY(static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(b))));
      case KOP_TRUNC_U16: UNARY(static_cast<uint16_t>(b));
      case KOP_TRUNC_I32: UNARY(krvk_sext32(b));
      case KOP_TRUNC_U32: UNARY(krvk_zext32(b));
      case KOP_CVT_S_F32: F32_UNARY(static_cast<float>(SB));
      case KOP_CVT_U_F32: F32_UNARY(static_cast<float>(b));
      case KOP_CVT_S_F64: F64_UNARY(static_cast<double>(SB));
      case KOP_CVT_U_F64: F64_UNARY(static_cast<double>(b));
      case KOP_CVT_F32_INT:
        TRAPPING(float_to_int_lanes(g, insn, [](uint64_t b) { return static_cast<double>(krvk_cell_f32(b)); }))
      case KOP_CVT_F64_INT: TRAPPING(float_to_int_lanes(g, insn, [](uint64_t b) { return krvk_cell_f64(b); }))
      case KOP_CVT_F32_F64: F64_UNARY(static_cast<double>(FB));
      case KOP_CVT_F64_F32: F32_UNARY(static_cast<float>(DB));
      case KOP_BOOL_F32: UNARY(FB == 0.0f ? 0 : 1);
      case KOP_BOOL_F64: UNARY(DB == 0.0 ? 0 : 1);

      case KOP_ADDR: {
        const kptr& slot = ptrs[insn.b];
        uint64_t* const d = D;
        const uint64_t* const index = C;
        for (uint32_t l = 0; l < n; ++l) {
          if (index[l] >= slot.count) return g.fail(KRVK_TRAP_INDEX, l, index[l], slot.count);
          d[l] = reinterpret_cast<uintptr_t>(krvk_address(slot.base, index[l] * slot.stride));
        }
        break;
      }
      case KOP_ADDRU: {
        const uint64_t base = reinterpret_cast<uintptr_t>(ptrs[insn.b].base);
        const uint64_t stride = ptrs[insn.b].stride;
        map_unary(D, C, n, [=](uint64_t, uint64_t index) -> uint64_t { return base + index * stride; });
        break;
      }
      case KOP_COPY: {
        const uint64_t* const to = D;
        const uint64_t* const from = B;
        if (imm != 0) {
          for (uint32_t l = 0; l < n; ++l) std::memmove(krvk_cell_address(to[l]), krvk_cell_address(from[l]), imm);
        }
        break;
      }
      case KOP_ZERO: {
        const uint64_t* const to = D;
        if (imm != 0) {
          for (uint32_t l = 0; l < n; ++l) std::memset(krvk_cell_address(to[l]), 0, imm);
        }
        break;
      }
      case KOP_AADD_32: TRAPPING(atomic_add_lanes<4>(g, insn, true, krvk_zext32))
      case KOP_AADD_I32: TRAPPING(atomic_add_lanes<4>(g, insn, true, krvk_sext32))
      case KOP_AADD_64: TRAPPING(atomic_add_lanes<8>(g, insn, true, krvk_zext32))
      case KOP_AADDR_32: TRAPPING(atomic_add_lanes<4>(g, insn, false, krvk_zext32))
      case KOP_AADDR_I32: TRAPPING(atomic_add_lanes<4>(g, insn, false, krvk_sext32))
      case KOP_AADDR_64: TRAPPING(atomic_add_lanes<8>(g, insn, false, krvk_zext32))
      case KOP_CHKIDX: {
        const uint64_t* const index = D;
        for (uint32_t l = 0; l < n; ++l) {
          if (index[l] >= imm) return g.fail(KRVK_TRAP_ARRAY_INDEX, l, index[l], imm);
        }
        break;
      }
      default:
        // Every opcode but the loads and stores has its own case above.
        if (insn.op >= KRVK_OPCODE_COUNT) return g.aborted();
        TRAPPING(memory_opcode(g, insn))
    }
    ++pc;
  }
  return 0;
}
