// Seeded random finished kernel programs in bytecode, for differential tests between engines that run
// the same program (scalar interpreter, 64-lane interpreter, native code).
//
// `krvk_random_bytecode_case(seed)` assembles one program with its memory, scalar arguments and domain.
// The same seed gives the same case everywhere (splitmix64, no standard distributions).
//
// What a case promises, so that every engine must give bit-identical results:
// * every register keeps one type and holds its canonical form; registers of the pools are written at
//   the start of every work item before anything reads them, parameters and constants are never written;
// * work items are independent: stores, copies, clears and atomic adds touch only the work item's own
//   elements, and the input buffers are never written; so memory effects do not depend on the order of
//   work items, and a trapping work item traps the same way when run alone;
// * accumulators fold with operators whose result does not depend on grouping (no float `+`);
// * hardware float arithmetic has one operand that is never NaN (see never_nan);
// * loops are counted (the counter and its bound are never written by the body) and end in LOOP;
// * with `may_trap`, a few instructions can trap (division by data, loads past the end, unguarded
//   float-to-integer conversions, index checks, misaligned atomics); without it none can.
// Conditional jumps test per-lane data, so groups diverge; some loops have per-lane trip counts.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "kernel/support/program_builder.h"
#include "kernel/support/splitmix64.h"

// The memory of one pointer slot, in 8-byte words so atomics and 8-byte elements are aligned.
struct krvk_random_memory {
  std::vector<uint64_t> words;
  uint64_t count = 0;  // elements
  uint64_t stride = 0;  // bytes per element
};

struct krvk_random_bytecode {
  krvk_test_program builder{"random"};
  std::vector<krvk_random_memory> memory;  // one per pointer slot, initial contents
  std::vector<std::pair<uint16_t, uint64_t>> scalars;  // parameter register, value bits
  uint64_t width = 1;  // domain
  uint64_t height = 1;
  bool may_trap = false;

  const krvk_program& program() const { return const_cast<krvk_test_program&>(builder).program(); }
  uint64_t items() const { return width * height; }

  // The register file a launch would start from: constants, scalar arguments and domain sizes.
  std::vector<uint64_t> initial_registers() const {
    const krvk_program& p = program();
    std::vector<uint64_t> regs(p.register_count, 0);
    for (const krvk_const& c : p.constants) regs[c.reg] = c.bits;
    for (const auto& [reg, bits] : scalars) regs[reg] = bits;
    regs[p.gsize_reg] = items();
    regs[p.gsize_x_reg] = width;
    regs[p.gsize_y_reg] = height;
    return regs;
  }

  // Pointer slots over a copy of the memory (which must outlive them).
  static std::vector<kptr> slots_over(std::vector<krvk_random_memory>& copy) {
    std::vector<kptr> slots;
    for (krvk_random_memory& m : copy) {
      slots.push_back(kptr{reinterpret_cast<uint8_t*>(m.words.data()), m.count, m.stride, m.words.size() * 8});
    }
    return slots;
  }
};

class krvk_random_bytecode_maker {
 public:
  explicit krvk_random_bytecode_maker(uint64_t seed) : state_(seed * 0xD1B54A32D192ED03ull + 0x9E3779B97F4A7C15ull) {}

  krvk_random_bytecode make() {
    c_.may_trap = chance(3);
    c_.width = 1 + below(chance(2) ? 200 : 9);
    if (chance(3)) {
      c_.builder.two_d();
      c_.height = 1 + below(40);
    }
    make_slots();
    make_registers();
    make_accumulators();
    start_work_item();
    block(0, 4 + static_cast<int>(below(10)));
    finish_work_item();
    if (b().program().prologue) b().program().prologue->register_count = b().program().register_count;
    return std::move(c_);
  }

 private:
  // Register classes: each register of a program belongs to exactly one.
  enum cls { I32, U32, I64, U64, F32, F64, BOOL, CLASS_COUNT };
  static constexpr int kElementTypes = 10;  // i8 u8 i16 u16 i32 u32 i64 u64 f32 f64
  static constexpr uint64_t kRecordBytes = 64;  // per-item record for field, raw, copy and clear forms

  uint64_t next() { return krv_splitmix64_next(state_); }
  uint64_t below(uint64_t n) { return next() % n; }
  bool chance(uint64_t one_in) { return below(one_in) == 0; }
  template <class T>
  const T& pick(const std::vector<T>& v) { return v[below(v.size())]; }

  krvk_test_program& b() { return c_.builder; }
  uint32_t here() { return static_cast<uint32_t>(b().program().code.size()); }
  void patch(uint32_t at, uint32_t target) { b().program().code[at].x = target; }

  static cls element_class(int e) {
    static constexpr cls classes[kElementTypes] = {I32, U32, I32, U32, I32, U32, I64, U64, F32, F64};
    return classes[e];
  }
  static uint64_t element_size(int e) { return e < 8 ? uint64_t{1} << (e / 2) : (e == 8 ? 4 : 8); }

  // A value of the class in its canonical register form, biased towards the edges that trap.
  uint64_t value_of(cls k) {
    const uint64_t r = next();
    switch (k) {
      case I32: {
        static constexpr int32_t edges[] = {0, -1, 1, INT32_MIN, INT32_MAX, 7, -100};
        const int32_t v = chance(3) ? edges[below(7)] : static_cast<int32_t>(r % 2001) - 1000;
        return static_cast<uint64_t>(static_cast<int64_t>(v));
      }
      case U32: return chance(4) ? below(3) : (chance(2) ? r % 5000 : r & 0xFFFFFFFFu);
      case I64: {
        static constexpr int64_t edges[] = {0, -1, INT64_MIN, INT64_MAX, 3};
        return static_cast<uint64_t>(chance(3) ? edges[below(5)] : static_cast<int64_t>(r % 100001) - 50000);
      }
      case U64: return chance(4) ? below(3) : (chance(2) ? r % 100000 : r);
      case F32: {
        const float v = chance(6) ? 0.0f : static_cast<float>(static_cast<int64_t>(r % 20001) - 10000) / 64.0f;
        return std::bit_cast<uint32_t>(v);
      }
      case F64: {
        const double v = chance(6) ? 0.0 : static_cast<double>(static_cast<int64_t>(r % 2000001) - 1000000) / 1024.0;
        return std::bit_cast<uint64_t>(v);
      }
      default: return r & 1;
    }
  }

  // ---- memory ------------------------------------------------------------------------------------------

  krvk_random_memory buffer(uint64_t count, uint64_t stride) {
    krvk_random_memory m;
    m.count = count;
    m.stride = stride;
    m.words.assign((count * stride + 7) / 8 + 1, 0);
    return m;
  }

  void make_slots() {
    const uint64_t items = c_.items();
    static constexpr uint8_t prims[kElementTypes] = {KRVK_I8, KRVK_U8, KRVK_I16, KRVK_U16, KRVK_I32,
                                                    KRVK_U32, KRVK_I64, KRVK_U64, KRVK_F32, KRVK_F64};
    for (int e = 0; e < kElementTypes; ++e) {  // inputs: never written, a few elements past the domain
      input_[e] = b().pointer_param("in" + std::to_string(e), prims[e], true);
      krvk_random_memory m = buffer(items + 4, element_size(e));
      uint8_t* bytes = reinterpret_cast<uint8_t*>(m.words.data());
      for (uint64_t i = 0; i < m.count; ++i) {
        const uint64_t v = value_of(element_class(e));
        std::memcpy(bytes + i * m.stride, &v, m.stride);
      }
      c_.memory.push_back(std::move(m));
    }
    for (int e = 0; e < kElementTypes; ++e) {  // outputs: one element per work item
      output_[e] = b().pointer_param("out" + std::to_string(e), prims[e]);
      c_.memory.push_back(buffer(items, element_size(e)));
    }
    record_ = b().pointer_param("record", KRVK_U8);
    c_.memory.push_back(buffer(items, kRecordBytes));
    atomics32_ = b().pointer_param("atomics32", KRVK_U32);
    c_.memory.push_back(buffer(items, 4));
    atomics64_ = b().pointer_param("atomics64", KRVK_U64);
    c_.memory.push_back(buffer(items, 8));
  }

  // ---- registers ---------------------------------------------------------------------------------------

  uint16_t constant_of(cls k, uint64_t bits) {
    static constexpr uint8_t prims[CLASS_COUNT] = {KRVK_I32, KRVK_U32, KRVK_I64, KRVK_U64, KRVK_F32, KRVK_F64, KRVK_BOOL};
    const uint16_t r = b().constant(prims[k], bits);
    readable_[k].push_back(r);
    return r;
  }

  void make_registers() {
    for (int k = 0; k < CLASS_COUNT; ++k) {
      for (int i = 0; i < 3; ++i) pool_[k].push_back(b().reg());
      readable_[k] = pool_[k];
      constant_of(static_cast<cls>(k), value_of(static_cast<cls>(k)));
    }
    const uint16_t a = b().scalar_param("a", KRVK_I32);
    c_.scalars.push_back({a, value_of(I32)});
    readable_[I32].push_back(a);
    const uint16_t s = b().scalar_param("s", KRVK_F32);
    c_.scalars.push_back({s, value_of(F32)});
    readable_[F32].push_back(s);
    readable_[U64].push_back(b().program().gid_reg);
    if (b().program().two_d) {
      readable_[U64].push_back(b().program().gid_x_reg);
      readable_[U64].push_back(b().program().gid_y_reg);
    }
    one_ = b().constant(KRVK_U64, 1);
    for (uint16_t& r : loop_counter_) r = b().reg("i");
    for (uint16_t& r : loop_bound_) r = b().reg("n");
    record_address_ = b().reg("rec");
    second_address_ = b().reg("rec2");
    atomic_address_ = b().reg("at");
    // A launch-uniform value computed once per runner, as hoisting leaves it.
    if (chance(2)) {
      auto prologue = std::make_shared<krvk_program>();
      prologue->name = "random (prologue)";
      const uint16_t uniform = b().reg("u");
      const uint16_t factor = readable_[I64].back();  // the class's constant
      prologue->code = {krvk_insn{KOP_MUL_X64, uniform, factor, factor, 0}, krvk_insn{KOP_END, 0, 0, 0, 0}};
      b().program().prologue = prologue;
      readable_[I64].push_back(uniform);
    }
  }

  // Accumulators: operators whose fold does not depend on grouping.
  void make_accumulators() {
    struct choice {
      cls k;
      uint8_t prim;
      uint8_t op;
      uint16_t fold;
    };
    static const std::vector<choice> choices = {
        {I32, KRVK_I32, KRVK_REDUCE_ADD, KOP_ADD_I32}, {U32, KRVK_U32, KRVK_REDUCE_MAX, KOP_MAX_U},
        {I64, KRVK_I64, KRVK_REDUCE_MIN, KOP_MIN_S},   {U64, KRVK_U64, KRVK_REDUCE_XOR, KOP_XOR_X},
        {F32, KRVK_F32, KRVK_REDUCE_MIN, KOP_MIN_F32}, {F64, KRVK_F64, KRVK_REDUCE_MAX, KOP_MAX_F64},
        {BOOL, KRVK_BOOL, KRVK_REDUCE_OR, KOP_OR_X},   {U64, KRVK_U64, KRVK_REDUCE_ADD, KOP_ADD_X64},
        {I32, KRVK_I32, KRVK_REDUCE_AND, KOP_AND_X},
    };
    const uint64_t count = below(3);
    for (uint64_t i = 0; i < count; ++i) {
      const choice& ch = pick(choices);
      const uint16_t reg = i == 0 ? b().program().acc_reg : b().reg("acc" + std::to_string(i));
      b().program().accumulators.push_back(krvk_acc{reg, ch.prim, ch.op, 0, ""});
      folds_.push_back({ch.fold, reg, ch.k});
    }
  }

  // ---- code ----------------------------------------------------------------------------------------------

  void start_work_item() {
    for (int k = 0; k < CLASS_COUNT; ++k) {
      for (uint16_t r : pool_[k]) initialise(static_cast<cls>(k), r);
    }
    const uint16_t gid = b().program().gid_reg;
    b().emit(chance(2) ? KOP_ADDR : KOP_ADDRU, record_address_, record_, gid);
    b().emit(KOP_ADDI_X64, second_address_, record_address_, 0, 32);
    b().emit(KOP_ADDR, atomic_address_, atomics64_, gid);
  }

  // A pool register's first value in a work item: an input element, a constant or the gid.
  void initialise(cls k, uint16_t r) {
    const uint16_t gid = b().program().gid_reg;
    std::vector<int> elements;
    for (int e = 0; e < kElementTypes; ++e) {
      if (element_class(e) == k) elements.push_back(e);
    }
    if (k != BOOL && chance(4) == false) {
      const int e = pick(elements);
      b().emit(krvk_memory_opcode(static_cast<uint16_t>(e), chance(2) ? 0 : 1), r, input_[e], gid, below(4));
      return;
    }
    switch (k) {
      case BOOL: b().emit(KOP_CMPLT_U, r, pick(readable_[U64]), pick(readable_[U64])); return;
      case F64: b().emit(KOP_CVT_U_F64, r, gid); return;
      case F32: b().emit(KOP_CVT_U_F32, r, gid); return;
      case I32: b().emit(KOP_TRUNC_I32, r, gid); return;
      case U32: b().emit(KOP_TRUNC_U32, r, gid); return;
      default: b().emit(KOP_MOV, r, readable_[k][pool_[k].size()]); return;  // the class's constant
    }
  }

  uint16_t src(cls k) { return pick(readable_[k]); }
  uint16_t dst(cls k) { return pick(pool_[k]); }
  cls any_class() { return static_cast<cls>(below(CLASS_COUNT)); }
  cls number_class() { return static_cast<cls>(below(BOOL)); }

  void block(int depth, int statements) {
    for (int i = 0; i < statements; ++i) statement(depth);
  }

  void statement(int depth) {
    const uint64_t roll = below(depth < 2 ? 20 : 16);
    if (roll < 5) return arithmetic();
    if (roll < 7) return unary();
    if (roll < 9) return conversion();
    if (roll < 10) return division();
    if (roll < 12) return memory();
    if (roll < 13) return atomic();
    if (roll < 14) return copy_or_clear();
    if (roll < 15) return odd_one();
    if (roll < 16) return compare();
    if (roll < 18) return branch(depth);
    return loop(depth);
  }

  void arithmetic() {
    static const std::vector<uint16_t> ops[CLASS_COUNT] = {
        {KOP_ADD_I32, KOP_SUB_I32, KOP_MUL_I32, KOP_AND_X, KOP_OR_X, KOP_XOR_X, KOP_SHL_I32, KOP_SHR_I32, KOP_MIN_S, KOP_MAX_S},
        {KOP_ADD_U32, KOP_SUB_U32, KOP_MUL_U32, KOP_AND_X, KOP_OR_X, KOP_XOR_X, KOP_SHL_U32, KOP_SHR_U32, KOP_MIN_U, KOP_MAX_U},
        {KOP_ADD_X64, KOP_SUB_X64, KOP_MUL_X64, KOP_AND_X, KOP_SHL_X64, KOP_SHR_I64, KOP_MIN_S, KOP_MAX_S},
        {KOP_ADD_X64, KOP_SUB_X64, KOP_MUL_X64, KOP_XOR_X, KOP_SHL_X64, KOP_SHR_U64, KOP_MIN_U, KOP_MAX_U},
        {KOP_ADD_F32, KOP_SUB_F32, KOP_MUL_F32, KOP_DIV_F32, KOP_MOD_F32, KOP_MIN_F32, KOP_MAX_F32, KOP_MATH2_F32},
        {KOP_ADD_F64, KOP_SUB_F64, KOP_MUL_F64, KOP_DIV_F64, KOP_MOD_F64, KOP_MIN_F64, KOP_MAX_F64, KOP_MATH2_F64},
        {KOP_AND_X, KOP_OR_X, KOP_XOR_X},
    };
    const cls k = any_class();
    const uint16_t op = pick(ops[k]);
    const uint64_t selector = op == KOP_MATH2_F32 || op == KOP_MATH2_F64 ? KRVK_MATH_POW + below(2) : 0;
    const bool hardware_float = (k == F32 || k == F64) && op != KOP_MOD_F32 && op != KOP_MOD_F64 &&
                                op != KOP_MATH2_F32 && op != KOP_MATH2_F64 && op != KOP_MIN_F32 &&
                                op != KOP_MIN_F64 && op != KOP_MAX_F32 && op != KOP_MAX_F64;
    b().emit(op, dst(k), src(k), hardware_float ? never_nan(k) : src(k), selector);
  }
  // Of two NaN operands the processor returns the one in its first operand, and compilers order the
  // operands of commutative operations as they like: the payload of such a result belongs to the
  // compiler, not the engine. Hardware float arithmetic therefore takes one operand that is never NaN
  // (a constant or a parameter).
  uint16_t never_nan(cls k) {
    const size_t pooled = pool_[k].size();
    return readable_[k][pooled + below(readable_[k].size() - pooled)];
  }

  void unary() {
    const cls k = number_class();
    const uint16_t d = dst(k);
    const uint16_t s = src(k);
    switch (k) {
      case I32: {
        static const std::vector<uint16_t> ops = {KOP_NEG_I32, KOP_ABS_I32, KOP_TRUNC_I8, KOP_TRUNC_I16, KOP_TRUNC_I32};
        if (chance(3)) return divide_by_constant(KOP_DIVC_I32, KOP_MODC_I32, d, s);
        if (chance(4)) {
          b().emit(KOP_ADDI_I32, d, s, 0, next());
          return;
        }
        b().emit(pick(ops), d, s);
        return;
      }
      case U32: {
        static const std::vector<uint16_t> ops = {KOP_NEG_U32, KOP_NOT_U32, KOP_TRUNC_U8, KOP_TRUNC_U16, KOP_TRUNC_U32};
        if (chance(3)) return divide_by_constant(KOP_DIVC_U32, KOP_MODC_U32, d, s);
        if (chance(4)) {
          b().emit(KOP_ADDI_U32, d, s, 0, next());
          return;
        }
        b().emit(pick(ops), d, s);
        return;
      }
      case I64: b().emit(pick(std::vector<uint16_t>{KOP_NEG_X64, KOP_ABS_I64, KOP_NOT_X}), d, s); return;
      case U64:
        if (chance(2)) b().emit(KOP_ADDI_X64, d, s, 0, next());
        else b().emit(KOP_NOT_X, d, s);
        return;
      case F32:
        if (chance(2)) b().emit(KOP_MATH1_F32, d, s, static_cast<uint16_t>(below(KRVK_MATH_POW)));
        else b().emit(pick(std::vector<uint16_t>{KOP_NEG_F32, KOP_ABS_F32, KOP_SQRT_F32}), d, s);
        return;
      default:
        if (chance(2)) b().emit(KOP_MATH1_F64, d, s, static_cast<uint16_t>(below(KRVK_MATH_POW)));
        else b().emit(pick(std::vector<uint16_t>{KOP_NEG_F64, KOP_ABS_F64, KOP_SQRT_F64}), d, s);
        return;
    }
  }

  void divide_by_constant(uint16_t div_op, uint16_t mod_op, uint16_t d, uint16_t s) {
    const uint64_t divisor = 2 + below(65534);
    const uint64_t multiplier = ~uint64_t{0} / divisor + 1;
    b().emit(chance(2) ? div_op : mod_op, d, s, static_cast<uint16_t>(divisor), multiplier);
  }

  void conversion() {
    switch (below(9)) {
      case 0: b().emit(chance(2) ? KOP_CVT_S_F32 : KOP_CVT_S_F64, dst(chance(2) ? F32 : F64) , src(I32)); fix_float_conversion(); return;
      case 1: b().emit(KOP_CVT_U_F64, dst(F64), src(chance(2) ? U32 : U64)); return;
      case 2: b().emit(KOP_CVT_U_F32, dst(F32), src(U64)); return;
      case 3: b().emit(KOP_CVT_F32_F64, dst(F64), src(F32)); return;
      case 4: b().emit(KOP_CVT_F64_F32, dst(F32), src(F64)); return;
      case 5: b().emit(chance(2) ? KOP_BOOL_F32 : KOP_BOOL_F64, dst(BOOL), chance(2) ? src(F32) : src(F64)); fix_bool_source(); return;
      case 6: b().emit(KOP_TRUNC_I32, dst(I32), src(I64)); return;
      case 7: b().emit(KOP_MOV, dst(I64), src(I32)); return;
      default: float_to_int(); return;
    }
  }
  // The two mixed emits above pick the destination and source classes apart; make them agree.
  void fix_float_conversion() {
    krvk_insn& insn = b().program().code.back();
    insn.op = is_in(insn.a, F32) ? KOP_CVT_S_F32 : KOP_CVT_S_F64;
  }
  void fix_bool_source() {
    krvk_insn& insn = b().program().code.back();
    insn.op = is_in(insn.b, F32) ? KOP_BOOL_F32 : KOP_BOOL_F64;
  }
  bool is_in(uint16_t r, cls k) {
    for (uint16_t x : readable_[k]) {
      if (x == r) return true;
    }
    return false;
  }

  // Float to integer: from data when the case may trap, else from an i32 that went through a float.
  void float_to_int() {
    static constexpr uint8_t targets[] = {KRVK_I8, KRVK_U8, KRVK_I16, KRVK_U16, KRVK_I32, KRVK_U32, KRVK_I64, KRVK_U64};
    static constexpr cls target_class[] = {I32, U32, I32, U32, I32, U32, I64, U64};
    if (c_.may_trap) {
      const int t = static_cast<int>(below(8));
      const bool f32 = chance(2);
      b().emit(f32 ? KOP_CVT_F32_INT : KOP_CVT_F64_INT, dst(target_class[t]), src(f32 ? F32 : F64), targets[t]);
      return;
    }
    const uint16_t through = dst(F64);
    b().emit(KOP_CVT_S_F64, through, src(I32));
    b().emit(KOP_CVT_F64_INT, dst(I64), through, KRVK_I64);
  }

  // Integer division and remainder; safe divisors unless the case may trap.
  void division() {
    static const std::vector<uint16_t> ops[4] = {{KOP_DIV_I32, KOP_MOD_I32}, {KOP_DIV_U32, KOP_MOD_U32},
                                                 {KOP_DIV_I64, KOP_MOD_I64}, {KOP_DIV_U64, KOP_MOD_U64}};
    const cls k = static_cast<cls>(below(4));
    uint16_t divisor = src(k);
    if (!c_.may_trap) {  // a positive divisor: (d & 0xFF) | 1
      divisor = dst(k);
      b().emit(KOP_AND_X, divisor, src(k), constant_of(k, 0xFF));
      b().emit(KOP_OR_X, divisor, divisor, constant_of(k, 1));
    }
    b().emit(pick(ops[k]), dst(k), src(k), divisor);
  }

  // Loads and stores of every element type and access form, at the work item's own elements.
  void memory() {
    const uint16_t gid = b().program().gid_reg;
    const int e = static_cast<int>(below(kElementTypes));
    const cls k = element_class(e);
    const uint64_t size = element_size(e);
    const uint64_t field = below(kRecordBytes - size + 1);  // any alignment
    const bool store = chance(2);
    const uint16_t base = store ? 5 : 0;
    const uint16_t value = store ? src(k) : dst(k);
    switch (below(5)) {
      case 0:  // element form; loads read the inputs, maybe past the end when the case may trap
        if (store) {
          b().emit(krvk_memory_opcode(e, 5 + below(2)), value, output_[e], gid, 0);
        } else {
          const uint64_t offset = c_.may_trap && chance(3) ? below(12) : below(4);
          const uint16_t variant = offset < 4 ? static_cast<uint16_t>(below(2)) : 0;  // past the end: checked only
          b().emit(krvk_memory_opcode(e, variant), value, input_[e], gid, offset);
        }
        return;
      case 1:
      case 2:  // field forms in the record
        b().emit(krvk_memory_opcode(e, base + 2 + below(2)), value, record_, gid, field);
        return;
      default:  // raw forms through the record's address
        b().emit(krvk_memory_opcode(e, base + 4), value, chance(2) ? record_address_ : second_address_, 0,
                 below(kRecordBytes / 2 - size + 1));
        return;
    }
  }

  void atomic() {
    const uint16_t gid = b().program().gid_reg;
    switch (below(5)) {
      case 0: b().emit(KOP_AADD_32, dst(U32), atomics32_, gid, src(U32)); return;
      case 1: b().emit(KOP_AADD_I32, dst(I32), atomics32_, gid, src(I32)); return;
      case 2: b().emit(KOP_AADD_64, dst(U64), atomics64_, gid, src(U64)); return;
      case 3: {
        const uint64_t offset = c_.may_trap && chance(3) ? 2 : 0;
        b().emit(chance(2) ? KOP_AADDR_32 : KOP_AADDR_I32, dst(chance(2) ? U32 : I32), atomic_address_, src(U32), offset);
        fix_atomic_value();
        return;
      }
      default: b().emit(KOP_AADDR_64, dst(U64), atomic_address_, src(U64), c_.may_trap && chance(3) ? 4 : 0); return;
    }
  }
  // AADDR_32 returns a zero-extended old value, AADDR_I32 a sign-extended one.
  void fix_atomic_value() {
    krvk_insn& insn = b().program().code.back();
    insn.op = is_in(insn.a, U32) ? KOP_AADDR_32 : KOP_AADDR_I32;
  }

  void copy_or_clear() {
    const uint64_t size = below(33);
    if (chance(2)) {
      const bool forward = chance(2);
      b().emit(KOP_COPY, forward ? second_address_ : record_address_, forward ? record_address_ : second_address_, 0, size);
    } else {
      b().emit(KOP_ZERO, chance(2) ? record_address_ : second_address_, 0, 0, size);
    }
  }

  // The rarer instructions: index checks, self moves, no-ops.
  void odd_one() {
    switch (below(3)) {
      case 0: {
        const bool uses_x = b().program().two_d && chance(2);
        uint64_t bound = uses_x ? c_.width : c_.items();
        if (c_.may_trap && chance(2)) bound = bound > 1 ? bound - 1 : 0;
        b().emit(KOP_CHKIDX, uses_x ? b().program().gid_x_reg : b().program().gid_reg, 0, 0, bound);
        return;
      }
      case 1: {
        const uint16_t r = dst(any_class());
        b().emit(KOP_MOV, r, r);  // register allocation leaves these behind
        return;
      }
      default: b().emit(KOP_NOP); return;
    }
  }

  void compare() {
    static const std::vector<uint16_t> relations = {KOP_CMPLT_S, KOP_CMPLE_S, KOP_CMPGT_S, KOP_CMPGE_S};
    const cls k = number_class();
    uint16_t op;
    if (chance(3)) {
      op = k == F32 ? (chance(2) ? KOP_CMPEQ_F32 : KOP_CMPNE_F32)
                    : k == F64 ? (chance(2) ? KOP_CMPEQ_F64 : KOP_CMPNE_F64) : (chance(2) ? KOP_CMPEQ_X : KOP_CMPNE_X);
    } else {
      op = static_cast<uint16_t>(pick(relations) + relation_column(k));
    }
    b().emit(op, dst(BOOL), src(k), src(k));
    if (chance(3)) b().emit(KOP_LNOT, dst(BOOL), src(BOOL));
  }
  // Offset of a class's opcode within the S, U, F32, F64 columns of a relation block.
  static uint16_t relation_column(cls k) { return k == F32 ? 2 : k == F64 ? 3 : (k == U32 || k == U64) ? 1 : 0; }

  // A conditional jump on per-lane data that skips forward; returns its index for patching.
  uint32_t conditional_jump() {
    if (chance(4)) return b().emit(chance(2) ? KOP_JT : KOP_JF, src(BOOL), 0, 0, 0);
    const cls k = number_class();
    if (chance(3)) {
      static const std::vector<uint16_t> x = {KOP_JTEQ_X, KOP_JTNE_X, KOP_JFEQ_X, KOP_JFNE_X};
      static const std::vector<uint16_t> f32 = {KOP_JTEQ_F32, KOP_JTNE_F32, KOP_JFEQ_F32, KOP_JFNE_F32};
      static const std::vector<uint16_t> f64 = {KOP_JTEQ_F64, KOP_JTNE_F64, KOP_JFEQ_F64, KOP_JFNE_F64};
      return b().emit(pick(k == F32 ? f32 : k == F64 ? f64 : x), src(k), src(k), 0, 0);
    }
    static const std::vector<uint16_t> relations = {KOP_JTLT_S, KOP_JTLE_S, KOP_JTGT_S, KOP_JTGE_S,
                                                    KOP_JFLT_S, KOP_JFLE_S, KOP_JFGT_S, KOP_JFGE_S};
    return b().emit(static_cast<uint16_t>(pick(relations) + relation_column(k)), src(k), src(k), 0, 0);
  }

  void branch(int depth) {
    const uint32_t skip = conditional_jump();
    block(depth + 1, 1 + static_cast<int>(below(4)));
    if (chance(2)) {  // else part
      const uint32_t over = b().emit(KOP_JMP);
      patch(skip, here());
      block(depth + 1, 1 + static_cast<int>(below(3)));
      patch(over, here());
    } else {
      patch(skip, here());
    }
  }

  // for (i = 0; i < n; ++i) with n uniform or per lane (0..3 from the data).
  void loop(int depth) {
    const uint16_t i = loop_counter_[depth];
    const uint16_t n = loop_bound_[depth];
    if (chance(2)) {
      b().emit(KOP_AND_X, n, src(U64), constant_of(U64, 3));
    } else {
      b().emit(KOP_MOV, n, constant_of(U64, below(4)));
    }
    b().emit(KOP_MOV, i, constant_of(U64, 0));
    const uint32_t top = b().emit(KOP_JFLT_U, i, n, 0, 0);
    block(depth + 1, 1 + static_cast<int>(below(4)));
    b().emit(KOP_ADD_X64, i, i, one_);
    b().emit(KOP_LOOP, 0, 0, 0, top);
    patch(top, here());
  }

  // Leaves every pool register in the work item's own output elements, folds the accumulators, ends.
  void finish_work_item() {
    const uint16_t gid = b().program().gid_reg;
    static constexpr int store_element[CLASS_COUNT] = {4, 5, 6, 7, 8, 9, 1};
    for (int k = 0; k < CLASS_COUNT; ++k) {
      for (size_t i = 0; i < pool_[k].size(); ++i) {
        const int e = store_element[k];
        const uint64_t field = (8 * (i + 3 * static_cast<uint64_t>(k))) % (kRecordBytes - 8);
        if (i == 0) b().emit(krvk_memory_opcode(e, 5), pool_[k][i], output_[e], gid, 0);
        else b().emit(krvk_memory_opcode(e, 7), pool_[k][i], record_, gid, field);
      }
    }
    for (const fold& f : folds_) b().emit(f.op, f.acc, f.acc, src(f.k));
    b().emit(KOP_END);
  }

  struct fold {
    uint16_t op;
    uint16_t acc;
    cls k;
  };

  uint64_t state_;
  krvk_random_bytecode c_;
  uint16_t input_[kElementTypes] = {};
  uint16_t output_[kElementTypes] = {};
  uint16_t record_ = 0;
  uint16_t atomics32_ = 0;
  uint16_t atomics64_ = 0;
  std::vector<uint16_t> pool_[CLASS_COUNT];  // written per work item
  std::vector<uint16_t> readable_[CLASS_COUNT];  // pools, constants, parameters, builtins
  uint16_t one_ = 0;
  uint16_t loop_counter_[3] = {};
  uint16_t loop_bound_[3] = {};
  uint16_t record_address_ = 0;  // the work item's record
  uint16_t second_address_ = 0;  // 32 bytes into it
  uint16_t atomic_address_ = 0;  // the work item's 64-bit atomic element
  std::vector<fold> folds_;
};

inline krvk_random_bytecode krvk_random_bytecode_case(uint64_t seed) { return krvk_random_bytecode_maker(seed).make(); }
