#include "kernel/runtime/scalar_interpreter.h"

#include <bit>
#include <cstring>

#include "kernel/compiler/value_rules.h"
#include "kernel/runtime/kernel_ops.h"

namespace {

uint8_t raise_trap(ktrap* trap, uint8_t code, uint32_t pc, uint64_t gid, int64_t value, uint64_t limit) {
  if (trap != nullptr) {
    trap->code = code;
    trap->pc = pc;
    trap->gid = gid;
    trap->value = value;
    trap->limit = limit;
  }
  return code;
}

// A float-to-integer trap names only the float; value and limit keep what they held.
uint8_t raise_float_trap(ktrap* trap, uint32_t pc, uint64_t gid, double fvalue) {
  if (trap != nullptr) {
    trap->code = KRVK_TRAP_F2I;
    trap->pc = pc;
    trap->gid = gid;
    trap->fvalue = fvalue;
  }
  return KRVK_TRAP_F2I;
}

}  // namespace

// Threaded dispatch: every handler ends by jumping through the label table to the next handler, which
// gives each opcode its own indirect branch. The opcode and the three 16-bit fields are fetched as one
// 8-byte word and taken apart in registers: the loop is bound by loads, and this saves three per
// instruction.
static_assert(std::endian::native == std::endian::little, "instruction words are taken apart little-endian");
#define FIELD_A static_cast<uint16_t>(fields >> 16)
#define FIELD_B static_cast<uint16_t>(fields >> 32)
#define FIELD_C static_cast<uint16_t>(fields >> 48)
#define R_A regs[FIELD_A]
#define R_B regs[FIELD_B]
#define R_C regs[FIELD_C]
#define IMM (ip->x)
#define PC static_cast<uint32_t>(ip - code)
#define DISPATCH()                                                  \
  do {                                                              \
    std::memcpy(&fields, ip, sizeof fields);                        \
    const uint16_t op = static_cast<uint16_t>(fields);             \
    if (op >= KRVK_OPCODE_COUNT) goto invalid_opcode;               \
    goto* dispatch_table[op];                                       \
  } while (0)
#define NEXT()  \
  do {          \
    ++ip;       \
    DISPATCH(); \
  } while (0)
#define JUMP(target)         \
  do {                       \
    ip = code + (target);    \
    DISPATCH();              \
  } while (0)
#define BRANCH_IF(cond) \
  do {                  \
    if (cond) JUMP(IMM);\
    NEXT();             \
  } while (0)
#define TRAP(code_, value_, limit_) return raise_trap(trap, code_, PC, g, static_cast<int64_t>(value_), limit_)
// Integer division and remainder: the check decides the trap, the dividend is its value.
#define DIVIDE(check, op)                                                              \
  do {                                                                                 \
    const uint8_t fault = check;                                                       \
    if (fault != 0) TRAP(fault, R_B, fault == KRVK_TRAP_DIV_ZERO ? 0 : R_C);           \
    R_A = op(R_B, R_C);                                                                \
    NEXT();                                                                            \
  } while (0)
#define F32_RESULT(expr)                  \
  do {                                    \
    R_A = krvk_with_f32(R_A, (expr));     \
    NEXT();                               \
  } while (0)
#define F64_RESULT(expr)             \
  do {                               \
    R_A = krvk_f64_cell(expr);       \
    NEXT();                          \
  } while (0)
#define CELL_RESULT(expr) \
  do {                    \
    R_A = (expr);         \
    NEXT();               \
  } while (0)
#define FB krvk_cell_f32(R_B)
#define FC krvk_cell_f32(R_C)
#define DB krvk_cell_f64(R_B)
#define DC krvk_cell_f64(R_C)
#define SB static_cast<int64_t>(R_B)
#define SC static_cast<int64_t>(R_C)

// The twelve compares and compare-and-branches of one relation: CMP writes [b] REL [c] into [a]; the
// JT form jumps when [a] REL [b] holds, the JF form when it does not (so JF jumps on NaN).
#define RELATION_HANDLERS(REL, op)                                                                  \
  op_CMP##REL##_S : CELL_RESULT(SB op SC);                                                          \
  op_CMP##REL##_U : CELL_RESULT(R_B op R_C);                                                        \
  op_CMP##REL##_F32 : CELL_RESULT(FB op FC);                                                        \
  op_CMP##REL##_F64 : CELL_RESULT(DB op DC);                                                        \
  op_JT##REL##_S : BRANCH_IF(static_cast<int64_t>(R_A) op static_cast<int64_t>(R_B));               \
  op_JT##REL##_U : BRANCH_IF(R_A op R_B);                                                           \
  op_JT##REL##_F32 : BRANCH_IF(krvk_cell_f32(R_A) op krvk_cell_f32(R_B));                          \
  op_JT##REL##_F64 : BRANCH_IF(krvk_cell_f64(R_A) op krvk_cell_f64(R_B));                          \
  op_JF##REL##_S : BRANCH_IF(!(static_cast<int64_t>(R_A) op static_cast<int64_t>(R_B)));            \
  op_JF##REL##_U : BRANCH_IF(!(R_A op R_B));                                                        \
  op_JF##REL##_F32 : BRANCH_IF(!(krvk_cell_f32(R_A) op krvk_cell_f32(R_B)));                       \
  op_JF##REL##_F64 : BRANCH_IF(!(krvk_cell_f64(R_A) op krvk_cell_f64(R_B)));

// The ten access variants of one element type.
#define CHECKED_INDEX(slot, index)                                      \
  const kptr& slot = ptrs[FIELD_B];                                       \
  if (index >= slot.count) TRAP(KRVK_TRAP_INDEX, index, slot.count)
#define MEMORY_HANDLERS(T, ctype)                                                                   \
  op_LD_##T : {                                                                                     \
    const uint64_t index = R_C + IMM;                                                               \
    CHECKED_INDEX(slot, index);                                                                     \
    CELL_RESULT(krvk_load_element<ctype>(krvk_address(slot.base, index * sizeof(ctype)), R_A));     \
  }                                                                                                 \
  op_LDU_##T : {                                                                                    \
    const kptr& slot = ptrs[FIELD_B];                                                                 \
    CELL_RESULT(krvk_load_element<ctype>(krvk_address(slot.base, (R_C + IMM) * sizeof(ctype)), R_A)); \
  }                                                                                                 \
  op_LDF_##T : {                                                                                    \
    const uint64_t index = R_C;                                                                     \
    CHECKED_INDEX(slot, index);                                                                     \
    CELL_RESULT(krvk_load_element<ctype>(krvk_address(slot.base, index * slot.stride + IMM), R_A)); \
  }                                                                                                 \
  op_LDFU_##T : {                                                                                   \
    const kptr& slot = ptrs[FIELD_B];                                                                 \
    CELL_RESULT(krvk_load_element<ctype>(krvk_address(slot.base, R_C * slot.stride + IMM), R_A));   \
  }                                                                                                 \
  op_LDR_##T : CELL_RESULT(krvk_load_element<ctype>(krvk_cell_address(R_B + IMM), R_A));           \
  op_ST_##T : {                                                                                     \
    const uint64_t index = R_C + IMM;                                                               \
    CHECKED_INDEX(slot, index);                                                                     \
    krvk_store_element<ctype>(krvk_address(slot.base, index * sizeof(ctype)), &R_A);                 \
    NEXT();                                                                                         \
  }                                                                                                 \
  op_STU_##T : {                                                                                    \
    const kptr& slot = ptrs[FIELD_B];                                                                 \
    krvk_store_element<ctype>(krvk_address(slot.base, (R_C + IMM) * sizeof(ctype)), &R_A);           \
    NEXT();                                                                                         \
  }                                                                                                 \
  op_STF_##T : {                                                                                    \
    const uint64_t index = R_C;                                                                     \
    CHECKED_INDEX(slot, index);                                                                     \
    krvk_store_element<ctype>(krvk_address(slot.base, index * slot.stride + IMM), &R_A);             \
    NEXT();                                                                                         \
  }                                                                                                 \
  op_STFU_##T : {                                                                                   \
    const kptr& slot = ptrs[FIELD_B];                                                                 \
    krvk_store_element<ctype>(krvk_address(slot.base, R_C * slot.stride + IMM), &R_A);               \
    NEXT();                                                                                         \
  }                                                                                                 \
  op_STR_##T : {                                                                                    \
    krvk_store_element<ctype>(krvk_cell_address(R_B + IMM), &R_A);                                   \
    NEXT();                                                                                         \
  }

// Atomic fetch-and-add at an address that must be aligned to the width; the old value is the result.
#define ALIGNED_TARGET(target, address_expr, width)                                                  \
  uint8_t* const target = (address_expr);                                                           \
  if (reinterpret_cast<uintptr_t>(target) % (width) != 0)                                           \
  TRAP(KRVK_TRAP_MISALIGNED, reinterpret_cast<uintptr_t>(target), (width))
#define ATOMIC_ADD_32(address_expr, addend, extend_old)                                              \
  do {                                                                                               \
    ALIGNED_TARGET(target, address_expr, 4);                                                         \
    CELL_RESULT(extend_old(krvk_atomic_add_32(target, static_cast<uint32_t>(addend))));              \
  } while (0)
#define ATOMIC_ADD_64(address_expr, addend)                                                          \
  do {                                                                                               \
    ALIGNED_TARGET(target, address_expr, 8);                                                         \
    CELL_RESULT(krvk_atomic_add_64(target, addend));                                                 \
  } while (0)
#define SLOT_ELEMENT_ADDRESS(index) krvk_address(ptrs[FIELD_B].base, (index) * ptrs[FIELD_B].stride)

uint8_t krvk_interpret(const krvk_program* program, uint64_t* regs, const kptr* ptrs, uint64_t gid_begin,
                       uint64_t gid_end, const volatile unsigned char* abort, ktrap* trap,
                       uint32_t start_pc) noexcept {
#define KRVK_HANDLER_ADDRESS(name, signature) &&op_##name,
  static const void* const dispatch_table[KRVK_OPCODE_COUNT] = {KRVK_OPCODES(KRVK_HANDLER_ADDRESS)};
#undef KRVK_HANDLER_ADDRESS

  const std::vector<krvk_insn>& program_code = program->code;
  if (gid_begin >= gid_end || program_code.empty()) return 0;
  const krvk_insn* const code = program_code.data();
  uint64_t g = gid_begin;
  // A start outside the code, or a 2-D run without a width, cannot run any work item; they are
  // refused as an abort rather than read past the code or divided by zero.
  if (start_pc >= program_code.size()) return raise_trap(trap, KRVK_TRAP_ABORTED, start_pc, g, 0, 0);

  const uint16_t gid_reg = program->gid_reg;
  const uint16_t gid_x_reg = program->gid_x_reg;
  const uint16_t gid_y_reg = program->gid_y_reg;
  const bool two_d = program->two_d != 0;
  uint64_t width = 0;
  uint64_t col = 0;
  uint64_t row = 0;
  if (two_d) {
    width = regs[program->gsize_x_reg];
    if (width == 0) return raise_trap(trap, KRVK_TRAP_ABORTED, start_pc, g, 0, 0);
    col = g % width;
    row = g / width;
    regs[gid_x_reg] = col;
    regs[gid_y_reg] = row;
  }
  regs[gid_reg] = g;

  const krvk_insn* ip = code + start_pc;
  uint64_t fields = 0;  // op | a << 16 | b << 32 | c << 48 of the instruction at ip
  DISPATCH();

op_NOP:
  NEXT();
op_END:
  if (++g >= gid_end) return 0;
  regs[gid_reg] = g;
  if (two_d) {
    if (++col == width) {
      col = 0;
      ++row;
    }
    regs[gid_x_reg] = col;
    regs[gid_y_reg] = row;
  }
  JUMP(0);
op_MOV:
  CELL_RESULT(R_B);
op_JMP:
  JUMP(IMM);
op_LOOP:
  if (abort != nullptr && __atomic_load_n(abort, __ATOMIC_RELAXED) != 0) TRAP(KRVK_TRAP_ABORTED, 0, 0);
  JUMP(IMM);
op_JT:
  BRANCH_IF(R_A != 0);
op_JF:
  BRANCH_IF(R_A == 0);

op_ADD_I32: CELL_RESULT(krvk_add_i32(R_B, R_C));
op_ADD_U32: CELL_RESULT(krvk_add_u32(R_B, R_C));
op_ADD_X64: CELL_RESULT(krvk_add_x64(R_B, R_C));
op_ADD_F32: F32_RESULT(FB + FC);
op_ADD_F64: F64_RESULT(DB + DC);
op_SUB_I32: CELL_RESULT(krvk_sub_i32(R_B, R_C));
op_SUB_U32: CELL_RESULT(krvk_sub_u32(R_B, R_C));
op_SUB_X64: CELL_RESULT(krvk_sub_x64(R_B, R_C));
op_SUB_F32: F32_RESULT(FB - FC);
op_SUB_F64: F64_RESULT(DB - DC);
op_MUL_I32: CELL_RESULT(krvk_mul_i32(R_B, R_C));
op_MUL_U32: CELL_RESULT(krvk_mul_u32(R_B, R_C));
op_MUL_X64: CELL_RESULT(krvk_mul_x64(R_B, R_C));
op_MUL_F32: F32_RESULT(FB * FC);
op_MUL_F64: F64_RESULT(DB * DC);
op_DIV_I32: DIVIDE(krvk_div_check_i32(R_B, R_C), krvk_div_i32);
op_DIV_U32: DIVIDE(krvk_div_check_u32(R_C), krvk_div_u32);
op_DIV_I64: DIVIDE(krvk_div_check_i64(R_B, R_C), krvk_div_i64);
op_DIV_U64: DIVIDE(krvk_div_check_u64(R_C), krvk_div_u64);
op_DIV_F32: F32_RESULT(FB / FC);
op_DIV_F64: F64_RESULT(DB / DC);
op_MOD_I32: DIVIDE(krvk_div_check_i32(R_B, R_C), krvk_mod_i32);
op_MOD_U32: DIVIDE(krvk_div_check_u32(R_C), krvk_mod_u32);
op_MOD_I64: DIVIDE(krvk_div_check_i64(R_B, R_C), krvk_mod_i64);
op_MOD_U64: DIVIDE(krvk_div_check_u64(R_C), krvk_mod_u64);
op_MOD_F32: F32_RESULT(krvk_mod_f32(FB, FC));
op_MOD_F64: F64_RESULT(std::fmod(DB, DC));
op_ADDI_I32: CELL_RESULT(krvk_add_i32(R_B, IMM));
op_ADDI_U32: CELL_RESULT(krvk_add_u32(R_B, IMM));
op_ADDI_X64: CELL_RESULT(krvk_add_x64(R_B, IMM));
op_DIVC_U32: CELL_RESULT(krvk_divc_u32(R_B, IMM));
op_DIVC_I32: CELL_RESULT(krvk_divc_i32(R_B, IMM));
op_MODC_U32: CELL_RESULT(krvk_modc_u32(R_B, FIELD_C, IMM));
op_MODC_I32: CELL_RESULT(krvk_modc_i32(R_B, FIELD_C, IMM));

op_AND_X: CELL_RESULT(R_B & R_C);
op_OR_X: CELL_RESULT(R_B | R_C);
op_XOR_X: CELL_RESULT(R_B ^ R_C);
op_SHL_I32: CELL_RESULT(krvk_shl_i32(R_B, R_C));
op_SHL_U32: CELL_RESULT(krvk_shl_u32(R_B, R_C));
op_SHL_X64: CELL_RESULT(krvk_shl_x64(R_B, R_C));
op_SHR_I32: CELL_RESULT(krvk_shr_i32(R_B, R_C));
op_SHR_U32: CELL_RESULT(krvk_shr_u32(R_B, R_C));
op_SHR_I64: CELL_RESULT(krvk_shr_i64(R_B, R_C));
op_SHR_U64: CELL_RESULT(krvk_shr_u64(R_B, R_C));
op_NEG_I32: CELL_RESULT(krvk_neg_i32(R_B));
op_NEG_U32: CELL_RESULT(krvk_neg_u32(R_B));
op_NEG_X64: CELL_RESULT(krvk_neg_x64(R_B));
op_NEG_F32: CELL_RESULT((R_A & 0xFFFFFFFF00000000u) | (krvk_zext32(R_B) ^ 0x80000000u));
op_NEG_F64: CELL_RESULT(R_B ^ 0x8000000000000000u);
op_NOT_X: CELL_RESULT(~R_B);
op_NOT_U32: CELL_RESULT(krvk_not_u32(R_B));
op_LNOT: CELL_RESULT(R_B == 0 ? 1 : 0);
op_MIN_S: CELL_RESULT(SC < SB ? R_C : R_B);
op_MIN_U: CELL_RESULT(R_C < R_B ? R_C : R_B);
op_MIN_F32: F32_RESULT(krvk_min_f32(FB, FC));
op_MIN_F64: F64_RESULT(krvk_min_f64(DB, DC));
op_MAX_S: CELL_RESULT(SC > SB ? R_C : R_B);
op_MAX_U: CELL_RESULT(R_C > R_B ? R_C : R_B);
op_MAX_F32: F32_RESULT(krvk_max_f32(FB, FC));
op_MAX_F64: F64_RESULT(krvk_max_f64(DB, DC));
op_ABS_I32: CELL_RESULT(krvk_abs_i32(R_B));
op_ABS_I64: CELL_RESULT(krvk_abs_i64(R_B));
op_ABS_F32: CELL_RESULT((R_A & 0xFFFFFFFF00000000u) | krvk_zext32(krvk_abs_f32(R_B)));
op_ABS_F64: CELL_RESULT(R_B & 0x7FFFFFFFFFFFFFFFu);
op_SQRT_F32: F32_RESULT(krvk_sqrt_f32(FB));
op_SQRT_F64: F64_RESULT(std::sqrt(DB));
op_MATH1_F32: F32_RESULT(krvk_math1_f32(static_cast<uint8_t>(FIELD_C), FB));
op_MATH1_F64: F64_RESULT(krvk_math1_f64(static_cast<uint8_t>(FIELD_C), DB));
op_MATH2_F32: F32_RESULT(krvk_math2_f32(static_cast<uint8_t>(IMM), FB, FC));
op_MATH2_F64: F64_RESULT(krvk_math2_f64(static_cast<uint8_t>(IMM), DB, DC));

op_CMPEQ_X: CELL_RESULT(R_B == R_C);
op_CMPNE_X: CELL_RESULT(R_B != R_C);
op_CMPEQ_F32: CELL_RESULT(FB == FC);
op_CMPNE_F32: CELL_RESULT(FB != FC);
op_CMPEQ_F64: CELL_RESULT(DB == DC);
op_CMPNE_F64: CELL_RESULT(DB != DC);
op_JTEQ_X: BRANCH_IF(R_A == R_B);
op_JTNE_X: BRANCH_IF(R_A != R_B);
op_JFEQ_X: BRANCH_IF(R_A != R_B);
op_JFNE_X: BRANCH_IF(R_A == R_B);
op_JTEQ_F32: BRANCH_IF(krvk_cell_f32(R_A) == krvk_cell_f32(R_B));
op_JTNE_F32: BRANCH_IF(krvk_cell_f32(R_A) != krvk_cell_f32(R_B));
op_JFEQ_F32: BRANCH_IF(!(krvk_cell_f32(R_A) == krvk_cell_f32(R_B)));
op_JFNE_F32: BRANCH_IF(!(krvk_cell_f32(R_A) != krvk_cell_f32(R_B)));
op_JTEQ_F64: BRANCH_IF(krvk_cell_f64(R_A) == krvk_cell_f64(R_B));
op_JTNE_F64: BRANCH_IF(krvk_cell_f64(R_A) != krvk_cell_f64(R_B));
op_JFEQ_F64: BRANCH_IF(!(krvk_cell_f64(R_A) == krvk_cell_f64(R_B)));
op_JFNE_F64: BRANCH_IF(!(krvk_cell_f64(R_A) != krvk_cell_f64(R_B)));
  RELATION_HANDLERS(LT, <)
  RELATION_HANDLERS(LE, <=)
  RELATION_HANDLERS(GT, >)
  RELATION_HANDLERS(GE, >=)

op_TRUNC_I8: CELL_RESULT(static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(R_B))));
op_TRUNC_U8: CELL_RESULT(static_cast<uint8_t>(R_B));
op_TRUNC_I16: CELL_RESULT(static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(R_B))));
op_TRUNC_U16: CELL_RESULT(static_cast<uint16_t>(R_B));
op_TRUNC_I32: CELL_RESULT(krvk_sext32(R_B));
op_TRUNC_U32: CELL_RESULT(krvk_zext32(R_B));
op_CVT_S_F32: F32_RESULT(static_cast<float>(SB));
op_CVT_U_F32: F32_RESULT(static_cast<float>(R_B));
op_CVT_S_F64: F64_RESULT(static_cast<double>(SB));
op_CVT_U_F64: F64_RESULT(static_cast<double>(R_B));
op_CVT_F32_INT: {
  const double value = FB;
  uint64_t bits = 0;
  if (!krvk_f2i(value, static_cast<uint8_t>(FIELD_C), bits)) return raise_float_trap(trap, PC, g, value);
  CELL_RESULT(bits);
}
op_CVT_F64_INT: {
  const double value = DB;
  uint64_t bits = 0;
  if (!krvk_f2i(value, static_cast<uint8_t>(FIELD_C), bits)) return raise_float_trap(trap, PC, g, value);
  CELL_RESULT(bits);
}
op_CVT_F32_F64: F64_RESULT(static_cast<double>(FB));
op_CVT_F64_F32: F32_RESULT(static_cast<float>(DB));
op_BOOL_F32: CELL_RESULT(FB == 0.0f ? 0 : 1);
op_BOOL_F64: CELL_RESULT(DB == 0.0 ? 0 : 1);

  MEMORY_HANDLERS(I8, int8_t)
  MEMORY_HANDLERS(U8, uint8_t)
  MEMORY_HANDLERS(I16, int16_t)
  MEMORY_HANDLERS(U16, uint16_t)
  MEMORY_HANDLERS(I32, int32_t)
  MEMORY_HANDLERS(U32, uint32_t)
  MEMORY_HANDLERS(I64, int64_t)
  MEMORY_HANDLERS(U64, uint64_t)
  MEMORY_HANDLERS(F32, float)
  MEMORY_HANDLERS(F64, double)

op_ADDR: {
  const uint64_t index = R_C;
  CHECKED_INDEX(slot, index);
  CELL_RESULT(reinterpret_cast<uintptr_t>(krvk_address(slot.base, index * slot.stride)));
}
op_ADDRU:
  CELL_RESULT(reinterpret_cast<uintptr_t>(SLOT_ELEMENT_ADDRESS(R_C)));
op_COPY:
  if (IMM != 0) std::memmove(krvk_cell_address(R_A), krvk_cell_address(R_B), IMM);
  NEXT();
op_ZERO:
  if (IMM != 0) std::memset(krvk_cell_address(R_A), 0, IMM);
  NEXT();
op_AADD_32: {
  const uint64_t index = R_C;
  CHECKED_INDEX(slot, index);
  ATOMIC_ADD_32(SLOT_ELEMENT_ADDRESS(index), regs[IMM & 0xFFFF], krvk_zext32);
}
op_AADD_I32: {
  const uint64_t index = R_C;
  CHECKED_INDEX(slot, index);
  ATOMIC_ADD_32(SLOT_ELEMENT_ADDRESS(index), regs[IMM & 0xFFFF], krvk_sext32);
}
op_AADD_64: {
  const uint64_t index = R_C;
  CHECKED_INDEX(slot, index);
  ATOMIC_ADD_64(SLOT_ELEMENT_ADDRESS(index), regs[IMM & 0xFFFF]);
}
op_AADDR_32:
  ATOMIC_ADD_32(krvk_cell_address(R_B + IMM), R_C, krvk_zext32);
op_AADDR_I32:
  ATOMIC_ADD_32(krvk_cell_address(R_B + IMM), R_C, krvk_sext32);
op_AADDR_64:
  ATOMIC_ADD_64(krvk_cell_address(R_B + IMM), R_C);
op_CHKIDX:
  if (R_A >= IMM) TRAP(KRVK_TRAP_ARRAY_INDEX, R_A, IMM);
  NEXT();

invalid_opcode:
  TRAP(KRVK_TRAP_ABORTED, 0, 0);
}
