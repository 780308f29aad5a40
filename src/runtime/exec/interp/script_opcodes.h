// The instruction encoding of compiled script code: opcodes 1..73, their sizes and operand fields.
//
// The host's compiler (our assembler) writes this encoding and the interpreter reads it; both take the
// sizes and operand offsets from this one table, so they cannot drift apart. Every instruction starts
// with its one-byte opcode; operands sit at fixed offsets from the instruction start, little-endian;
// bytes that no operand uses are zero. Jumps carry an i32 displacement from the start of the jump
// instruction itself. Opcodes 72 and 73 are headers (200 and 32 bytes) followed by generic code that
// does the same work; the u32 at offset 4 is the length of the whole form.
//
// Where the encoding could be read two ways, docs/script_encoding.md records the reading chosen here:
// opcodes 4 and 5 carry the frame depth at 4 and the slot or constant index at 8; opcode 73 carries the
// method name at 8 and its member-cache entry at 12.
#pragma once
#include <array>
#include <cstdint>
#include <string_view>

enum krv_script_op : uint8_t {
  KRV_OP_LOAD_LOCAL = 1,
  KRV_OP_LOAD_LOCAL_FLAGS = 2,
  KRV_OP_LOAD_CONST = 3,
  KRV_OP_LOAD_FRAME_LOCAL = 4,
  KRV_OP_LOAD_FRAME_CONST = 5,
  KRV_OP_LOAD_GLOBAL = 6,
  KRV_OP_LOAD_GLOBAL_CONST = 7,
  KRV_OP_LOAD_INT = 8,
  KRV_OP_LOAD_FLOAT = 9,
  KRV_OP_LOAD_STRING = 10,
  KRV_OP_LOAD_FUNCTION = 11,
  KRV_OP_LOAD_NATIVE = 12,
  KRV_OP_LOAD_CELL = 13,
  KRV_OP_LOAD_NONE = 14,
  KRV_OP_CAPTURE = 15,
  KRV_OP_CAPTURE_REF = 16,
  KRV_OP_PUSH_NONE = 17,
  KRV_OP_DUP = 18,
  KRV_OP_POP = 19,
  KRV_OP_ASSIGN = 20,
  KRV_OP_NEGATE = 21,
  KRV_OP_NOT = 22,
  KRV_OP_MAKE_REF = 23,
  KRV_OP_DEREF = 24,
  KRV_OP_ADD = 25,
  KRV_OP_SUB = 26,
  KRV_OP_MUL = 27,
  KRV_OP_DIV = 28,
  KRV_OP_AND = 29,
  KRV_OP_OR = 30,
  KRV_OP_XOR = 31,
  KRV_OP_INC = 32,
  KRV_OP_DEC = 33,
  KRV_OP_EQ = 34,
  KRV_OP_GT = 35,
  KRV_OP_LT = 36,
  KRV_OP_TO_BOOL = 37,
  KRV_OP_ARGS_OPEN = 38,
  KRV_OP_ARG = 39,
  KRV_OP_ARG_COPY = 40,
  KRV_OP_ARG_CELL = 41,
  KRV_OP_CALL_NATIVE = 42,
  KRV_OP_ARGS_RELEASE = 43,
  KRV_OP_CALL_PREPARE = 44,
  KRV_OP_CALL_ARG = 45,
  KRV_OP_CALL = 46,
  KRV_OP_RUN_CHILD = 47,
  KRV_OP_DEFAULT_ARG = 48,
  KRV_OP_CATCH = 49,
  KRV_OP_RUN_BODY = 50,
  KRV_OP_SET_CONTEXT = 51,
  KRV_OP_LOAD_CONTEXT = 52,
  KRV_OP_CONTEXT_MEMBER = 53,
  KRV_OP_NEW_INSTANCE = 54,
  KRV_OP_JUMP = 55,
  KRV_OP_JUMP_FALSE = 56,
  KRV_OP_JUMP_TRUE = 57,
  KRV_OP_RETURN = 58,
  KRV_OP_BREAK = 59,
  KRV_OP_CONTINUE = 60,
  KRV_OP_MEMBER = 61,
  KRV_OP_INDEX_READ = 62,
  KRV_OP_MEMBER_OR_ZERO = 63,
  KRV_OP_KEYED_READ = 64,
  KRV_OP_APPEND = 65,
  KRV_OP_NEW_JSON = 66,
  KRV_OP_RELEASE_CONTENTS = 67,
  KRV_OP_INDEX_WRITE = 68,
  KRV_OP_INDEX_READ_KEEP = 69,
  KRV_OP_MOD = 70,
  KRV_OP_BIT_NOT = 71,
  KRV_OP_NUMERIC_FAST_PATH = 72,
  KRV_OP_CACHED_METHOD_CALL = 73,
};

inline constexpr uint8_t krv_script_op_last = KRV_OP_CACHED_METHOD_CALL;

// What an operand field holds; decides how the assembler fills it and how the disassembler prints it.
enum class krv_operand_kind : uint8_t {
  none,
  u8,        // a flag or small count
  u32,       // an index or count
  jump,      // i32 displacement from the instruction start, written from a label
  length,    // u32 length of a whole fast-path form (header plus generic code), written from a label
  int64,     // i64 literal
  float64,   // f64 literal
  native,    // host pointer to a krv_function_def
  cell,      // host pointer to a krvvar
  klass,     // host pointer to the accessing krv_class_def (may be null)
};

// Bytes an operand of `kind` takes.
constexpr uint32_t krv_operand_width(krv_operand_kind kind) {
  switch (kind) {
    case krv_operand_kind::none: return 0;
    case krv_operand_kind::u8: return 1;
    case krv_operand_kind::u32:
    case krv_operand_kind::jump:
    case krv_operand_kind::length: return 4;
    default: return 8;
  }
}

struct krv_operand_field {
  uint8_t offset;
  krv_operand_kind kind;
};

inline constexpr uint32_t krv_max_operands = 8;

struct krv_script_op_info {
  std::string_view name;  // mnemonic of the text form; empty for opcode 0
  uint32_t size;          // bytes of the instruction (of the header for 72 and 73)
  std::array<krv_operand_field, krv_max_operands> operands;  // in field order; kind none ends the list
};

namespace krv_script_encoding {

using K = krv_operand_kind;
constexpr krv_operand_field no{0, K::none};

constexpr krv_script_op_info op(std::string_view name, uint32_t size, krv_operand_field a = no,
                                krv_operand_field b = no, krv_operand_field c = no, krv_operand_field d = no,
                                krv_operand_field e = no, krv_operand_field f = no, krv_operand_field g = no,
                                krv_operand_field h = no) {
  return {name, size, {a, b, c, d, e, f, g, h}};
}

constexpr krv_operand_field u8_at(uint8_t offset) { return {offset, K::u8}; }
constexpr krv_operand_field u32_at(uint8_t offset) { return {offset, K::u32}; }
constexpr krv_operand_field index{4, K::u32};
constexpr krv_operand_field flag{1, K::u8};
constexpr krv_operand_field jump{4, K::jump};
constexpr krv_operand_field klass_at8{8, K::klass};

// Indexed by opcode; entry 0 stands for every invalid opcode.
constexpr std::array<krv_script_op_info, krv_script_op_last + 1> table = {{
    op("", 0),
    op("load_local", 8, index),
    op("load_local_flags", 8, index),
    op("load_const", 8, index),
    op("load_frame_local", 12, u32_at(4), u32_at(8)),  // depth, slot
    op("load_frame_const", 12, u32_at(4), u32_at(8)),  // depth, constant
    op("load_global", 8, index),
    op("load_global_const", 8, index),
    op("load_int", 16, {8, K::int64}),
    op("load_float", 16, {8, K::float64}),
    op("load_string", 8, index),
    op("load_function", 8, index),
    op("load_native", 16, {8, K::native}),
    op("load_cell", 16, {8, K::cell}),
    op("load_none", 1),
    op("capture", 2, flag),
    op("capture_ref", 1),
    op("push_none", 1),
    op("dup", 1),
    op("pop", 8),
    op("assign", 1),
    op("negate", 1),
    op("not", 1),
    op("make_ref", 1),
    op("deref", 1),
    op("add", 1),
    op("sub", 1),
    op("mul", 1),
    op("div", 1),
    op("and", 1),
    op("or", 1),
    op("xor", 1),
    op("inc", 2, flag),
    op("dec", 2, flag),
    op("eq", 2, flag),
    op("gt", 2, flag),
    op("lt", 2, flag),
    op("to_bool", 1),
    op("args_open", 8, index),
    op("arg", 8, index),
    op("arg_copy", 8, index),
    op("arg_cell", 8, index),
    op("call_native", 16, {8, K::native}),
    op("args_release", 1),
    op("call_prepare", 2, flag),
    op("call_arg", 8, index),
    op("call", 1),
    op("run_child", 8, index),
    op("default_arg", 2, flag),
    op("catch", 8, index),
    op("run_body", 1),
    op("set_context", 1),
    op("load_context", 1),
    op("context_member", 12, index, u8_at(8)),
    op("new_instance", 1),
    op("jump", 8, jump),
    op("jump_false", 8, jump),
    op("jump_true", 8, jump),
    op("return", 1),
    op("break", 1),
    op("continue", 1),
    op("member", 32, index, u32_at(8), {16, K::klass}, u8_at(24)),  // name, cache entry, class, quiet
    op("index_read", 24, flag, klass_at8, u8_at(16)),                // flag, class, quiet
    op("member_or_zero", 8, index),
    op("keyed_read", 1),
    op("append", 1),
    op("new_json", 1),
    op("release_contents", 1),
    op("index_write", 16, klass_at8),
    op("index_read_keep", 16, klass_at8),
    op("mod", 1),
    op("bit_not", 1),
    // Length and result target (kind, depth, index); the steps and constants that follow in the
    // 200-byte header are laid out in krv_numeric_fast_path.
    op("numeric_fast_path", 200, {4, K::length}, u8_at(8), u8_at(9), u32_at(12)),
    // Length, method name, member-cache entry, member index of the self form, argument count, self
    // form, enabled, accessing class (krv_cached_call_fields).
    op("cached_method_call", 32, {4, K::length}, u32_at(8), u32_at(12), u32_at(16), u8_at(20), u8_at(21), u8_at(22),
       {24, K::klass}),
}};

}  // namespace krv_script_encoding

// The encoding of `opcode`; opcode 0 and anything above 73 give entry 0 (size 0, no name).
constexpr const krv_script_op_info& krv_script_op_info_of(uint8_t opcode) {
  return krv_script_encoding::table[opcode <= krv_script_op_last ? opcode : 0];
}

// The size of every opcode byte's instruction, 0 for invalid opcodes: the interpreter's per-instruction
// lookup, one byte each instead of a whole table entry.
inline constexpr std::array<uint8_t, 256> krv_script_op_sizes = [] {
  std::array<uint8_t, 256> sizes{};
  for (uint32_t opcode = 0; opcode < 256; ++opcode)
    sizes[opcode] = static_cast<uint8_t>(krv_script_op_info_of(static_cast<uint8_t>(opcode)).size);
  return sizes;
}();

// The fields of the cached method call's header (opcode 73), as the table lists them.
struct krv_cached_call_fields {
  static constexpr uint8_t name = 8;          // u32: program string of the method name
  static constexpr uint8_t cache_entry = 12;  // u32: entry of the block's member-cache table
  static constexpr uint8_t self_member = 16;  // u32: member index of the self form
  static constexpr uint8_t arg_count = 20;    // u8
  static constexpr uint8_t self_form = 21;    // u8: call a method of the frame's own instance
  static constexpr uint8_t enabled = 22;      // u8
  static constexpr uint8_t klass = 24;        // u64: the accessing class
};
static_assert(krv_script_op_info_of(KRV_OP_CACHED_METHOD_CALL).operands[2].offset == krv_cached_call_fields::cache_entry);
static_assert(krv_script_op_info_of(KRV_OP_CACHED_METHOD_CALL).operands[7].offset == krv_cached_call_fields::klass);

// The numeric fast-path header (opcode 72), offsets from the instruction start.
struct krv_numeric_fast_path {
  static constexpr uint8_t target_kind = 8;    // u8: 0 the accumulator, else 1 + a slot kind
  static constexpr uint8_t target_depth = 9;   // u8
  static constexpr uint8_t target_index = 12;  // u32
  static constexpr uint8_t step_count = 16;    // i16
  static constexpr uint8_t float_mask = 18;    // u16: bit i set when constant i is a double
  static constexpr uint8_t steps = 20;         // 16 steps of 8 bytes: u8 kind, u8 depth, 2 zero, u32 index
  static constexpr uint8_t constants = 152;    // 6 constants of 8 bytes (i64 or f64 bits)
  static constexpr uint32_t max_steps = 16;
  static constexpr uint32_t max_constants = 6;
  static constexpr uint32_t step_size = 8;
};
// Four zero bytes separate the last step (ending at 148) from the constants.
static_assert(krv_numeric_fast_path::steps + krv_numeric_fast_path::max_steps * 8 + 4 == krv_numeric_fast_path::constants);
static_assert(krv_numeric_fast_path::constants + krv_numeric_fast_path::max_constants * 8 ==
              krv_script_op_info_of(KRV_OP_NUMERIC_FAST_PATH).size);
