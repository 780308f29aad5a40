// Kernel bytecode: the 16-byte instruction and the 270 opcodes with their mnemonics and operand
// signatures.
//
// Every opcode carries its operand type in its name, so execution never inspects types. Opcode numbers
// are fixed (the C translation, the listing and stored tests depend on them): the memory opcodes are
// 159 + 10 * element + variant, and the compares of one relation form a block of twelve.
//
// An operand signature is a string of letters, one per operand:
//   D destination register, R source register, P pointer slot, K constant divisor, T selector
//     (math function or target krvk_prim): each takes the next free field of a, b, c, and x once all
//     three are taken;
//   I register carried in the low 16 bits of x, J jump target, O signed offset, S size or bound: always x.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

// X(mnemonic, signature) for the ten access variants of one element type, in variant order.
#define KRVK_MEMORY_OPCODES(X, T) \
  X(LD_##T, "DPRO")               \
  X(LDU_##T, "DPRO")              \
  X(LDF_##T, "DPRO")              \
  X(LDFU_##T, "DPRO")             \
  X(LDR_##T, "DRO")               \
  X(ST_##T, "RPRO")               \
  X(STU_##T, "RPRO")              \
  X(STF_##T, "RPRO")              \
  X(STFU_##T, "RPRO")             \
  X(STR_##T, "RRO")

// The block of twelve compares and compare-and-branches of one ordering relation.
#define KRVK_RELATION_OPCODES(X, REL) \
  X(CMP##REL##_S, "DRR")              \
  X(CMP##REL##_U, "DRR")              \
  X(CMP##REL##_F32, "DRR")            \
  X(CMP##REL##_F64, "DRR")            \
  X(JT##REL##_S, "RRJ")               \
  X(JT##REL##_U, "RRJ")               \
  X(JT##REL##_F32, "RRJ")             \
  X(JT##REL##_F64, "RRJ")             \
  X(JF##REL##_S, "RRJ")               \
  X(JF##REL##_U, "RRJ")               \
  X(JF##REL##_F32, "RRJ")             \
  X(JF##REL##_F64, "RRJ")

// Every opcode in number order: X(mnemonic, signature).
#define KRVK_OPCODES(X)                                                                                   \
  X(NOP, "") X(END, "") X(MOV, "DR") X(JMP, "J") X(LOOP, "J") X(JT, "RJ") X(JF, "RJ")                    \
  X(ADD_I32, "DRR") X(ADD_U32, "DRR") X(ADD_X64, "DRR") X(ADD_F32, "DRR") X(ADD_F64, "DRR")             \
  X(SUB_I32, "DRR") X(SUB_U32, "DRR") X(SUB_X64, "DRR") X(SUB_F32, "DRR") X(SUB_F64, "DRR")             \
  X(MUL_I32, "DRR") X(MUL_U32, "DRR") X(MUL_X64, "DRR") X(MUL_F32, "DRR") X(MUL_F64, "DRR")             \
  X(DIV_I32, "DRR") X(DIV_U32, "DRR") X(DIV_I64, "DRR") X(DIV_U64, "DRR") X(DIV_F32, "DRR")             \
  X(DIV_F64, "DRR")                                                                                       \
  X(MOD_I32, "DRR") X(MOD_U32, "DRR") X(MOD_I64, "DRR") X(MOD_U64, "DRR") X(MOD_F32, "DRR")             \
  X(MOD_F64, "DRR")                                                                                       \
  X(ADDI_I32, "DRO") X(ADDI_U32, "DRO") X(ADDI_X64, "DRO")                                               \
  X(DIVC_U32, "DRK") X(DIVC_I32, "DRK") X(MODC_U32, "DRK") X(MODC_I32, "DRK")                           \
  X(AND_X, "DRR") X(OR_X, "DRR") X(XOR_X, "DRR")                                                         \
  X(SHL_I32, "DRR") X(SHL_U32, "DRR") X(SHL_X64, "DRR")                                                  \
  X(SHR_I32, "DRR") X(SHR_U32, "DRR") X(SHR_I64, "DRR") X(SHR_U64, "DRR")                               \
  X(NEG_I32, "DR") X(NEG_U32, "DR") X(NEG_X64, "DR") X(NEG_F32, "DR") X(NEG_F64, "DR")                  \
  X(NOT_X, "DR") X(NOT_U32, "DR") X(LNOT, "DR")                                                           \
  X(MIN_S, "DRR") X(MIN_U, "DRR") X(MIN_F32, "DRR") X(MIN_F64, "DRR")                                   \
  X(MAX_S, "DRR") X(MAX_U, "DRR") X(MAX_F32, "DRR") X(MAX_F64, "DRR")                                   \
  X(ABS_I32, "DR") X(ABS_I64, "DR") X(ABS_F32, "DR") X(ABS_F64, "DR")                                   \
  X(SQRT_F32, "DR") X(SQRT_F64, "DR")                                                                     \
  X(MATH1_F32, "DRT") X(MATH1_F64, "DRT") X(MATH2_F32, "DRRT") X(MATH2_F64, "DRRT")                     \
  X(CMPEQ_X, "DRR") X(CMPNE_X, "DRR") X(CMPEQ_F32, "DRR") X(CMPNE_F32, "DRR") X(CMPEQ_F64, "DRR")       \
  X(CMPNE_F64, "DRR")                                                                                     \
  X(JTEQ_X, "RRJ") X(JTNE_X, "RRJ") X(JFEQ_X, "RRJ") X(JFNE_X, "RRJ")                                   \
  X(JTEQ_F32, "RRJ") X(JTNE_F32, "RRJ") X(JFEQ_F32, "RRJ") X(JFNE_F32, "RRJ")                           \
  X(JTEQ_F64, "RRJ") X(JTNE_F64, "RRJ") X(JFEQ_F64, "RRJ") X(JFNE_F64, "RRJ")                           \
  KRVK_RELATION_OPCODES(X, LT) KRVK_RELATION_OPCODES(X, LE)                                               \
  KRVK_RELATION_OPCODES(X, GT) KRVK_RELATION_OPCODES(X, GE)                                               \
  X(TRUNC_I8, "DR") X(TRUNC_U8, "DR") X(TRUNC_I16, "DR") X(TRUNC_U16, "DR") X(TRUNC_I32, "DR")          \
  X(TRUNC_U32, "DR")                                                                                      \
  X(CVT_S_F32, "DR") X(CVT_U_F32, "DR") X(CVT_S_F64, "DR") X(CVT_U_F64, "DR")                           \
  X(CVT_F32_INT, "DRT") X(CVT_F64_INT, "DRT") X(CVT_F32_F64, "DR") X(CVT_F64_F32, "DR")                 \
  X(BOOL_F32, "DR") X(BOOL_F64, "DR")                                                                     \
  KRVK_MEMORY_OPCODES(X, I8) KRVK_MEMORY_OPCODES(X, U8) KRVK_MEMORY_OPCODES(X, I16)                       \
  KRVK_MEMORY_OPCODES(X, U16) KRVK_MEMORY_OPCODES(X, I32) KRVK_MEMORY_OPCODES(X, U32)                     \
  KRVK_MEMORY_OPCODES(X, I64) KRVK_MEMORY_OPCODES(X, U64) KRVK_MEMORY_OPCODES(X, F32)                     \
  KRVK_MEMORY_OPCODES(X, F64)                                                                             \
  X(ADDR, "DPR") X(ADDRU, "DPR") X(COPY, "RRS") X(ZERO, "RS")                                             \
  X(AADD_32, "DPRI") X(AADD_I32, "DPRI") X(AADD_64, "DPRI")                                              \
  X(AADDR_32, "DRRO") X(AADDR_I32, "DRRO") X(AADDR_64, "DRRO")                                           \
  X(CHKIDX, "RS")

#define KRVK_OPCODE_ENUMERATOR(name, signature) KOP_##name,
enum krvk_opcode : uint16_t { KRVK_OPCODES(KRVK_OPCODE_ENUMERATOR) KRVK_OPCODE_COUNT };
#undef KRVK_OPCODE_ENUMERATOR

static_assert(KRVK_OPCODE_COUNT == 270);
static_assert(KOP_LD_I8 == 159 && KOP_STR_F64 == 258 && KOP_ADDR == 259 && KOP_CHKIDX == 269);

// Memory opcodes: element types (index e, size 1 << (e / 2) for e < 8, then f32 and f64) and variants.
constexpr uint16_t KRVK_MEMORY_OPCODE_BASE = KOP_LD_I8;
constexpr uint16_t krvk_memory_opcode(uint16_t element, uint16_t variant) {
  return static_cast<uint16_t>(KRVK_MEMORY_OPCODE_BASE + 10 * element + variant);
}
static_assert(krvk_memory_opcode(8, 0) == KOP_LD_F32 && krvk_memory_opcode(1, 9) == KOP_STR_U8);

// One instruction. The meaning of a, b, c and x is fixed by the opcode's signature.
struct krvk_insn {
  uint16_t op = KOP_NOP;
  uint16_t a = 0;
  uint16_t b = 0;
  uint16_t c = 0;
  uint64_t x = 0;  // jump target, offset, size, bound, selector, multiplier or register, by opcode
};
static_assert(sizeof(krvk_insn) == 16);
static_assert(offsetof(krvk_insn, a) == 2 && offsetof(krvk_insn, b) == 4 && offsetof(krvk_insn, c) == 6);
static_assert(offsetof(krvk_insn, x) == 8);

// Mnemonic and signature by opcode number; callers print "?" for numbers of 270 and more.
extern const char* const krvk_opcode_names[KRVK_OPCODE_COUNT];
extern const char* const krvk_opcode_signatures[KRVK_OPCODE_COUNT];

// Mnemonic, or "?" for a number that is no opcode.
const char* krvk_opcode_name(uint32_t op) noexcept;
// Signature, or "" for a number that is no opcode.
const char* krvk_opcode_signature(uint32_t op) noexcept;

// Where an operand is stored.
enum krvk_operand_field : uint8_t { KRVK_FIELD_A, KRVK_FIELD_B, KRVK_FIELD_C, KRVK_FIELD_X };

// Applies the placement rule to a signature: fields[i] receives the field of letter i. Returns the
// number of letters (at most 4 in every signature; longer texts are cut at 4).
uint32_t krvk_place_operands(std::string_view signature, krvk_operand_field fields[4]) noexcept;

// The raw value of a field (a, b and c widened).
uint64_t krvk_operand_value(const krvk_insn& insn, krvk_operand_field field) noexcept;

// Math selectors of MATH1 (0..13) and MATH2 (14, 15).
enum krvk_math_fn : uint8_t {
  KRVK_MATH_FLOOR, KRVK_MATH_CEIL, KRVK_MATH_ROUND, KRVK_MATH_TRUNC, KRVK_MATH_SIN, KRVK_MATH_COS,
  KRVK_MATH_TAN, KRVK_MATH_ASIN, KRVK_MATH_ACOS, KRVK_MATH_ATAN, KRVK_MATH_EXP, KRVK_MATH_LOG,
  KRVK_MATH_LOG2, KRVK_MATH_LOG10, KRVK_MATH_POW, KRVK_MATH_ATAN2, KRVK_MATH_COUNT
};

// Function name of a math selector ("floor" .. "atan2"); "?" above 15.
const char* krvk_math_fn_name(uint32_t selector) noexcept;
