// The instruction encoding of compiled script code: opcodes 1..73, their sizes and operand fields.
//
// The host's compiler (our assembler) writes this encoding and the interpreter reads it; both take the
// sizes and operand offsets from this one table, so they cannot drift apart. Every instruction starts
// with its one-byte opcode; operands sit at fixed offsets from the instruction start, little-endian;
// bytes that no operand uses are zero. Jumps carry an i32 displacement from the start of the jump
// instruction itself. Opcodes 72 and 73 are headers (200 and 32 bytes) followed by generic code that
// does the same work; the u32 at offset 4 is the length of the whole form.
//
// The opcodes are written down once, in KRV_SCRIPT_OPCODES, and everything indexed by opcode is
// expanded from that list: the krv_script_op enumerators, the info table below and the interpreter's
// handler table. The list is numbered 1, 2, ... in its own order (static_asserted), so each expansion
// puts opcode n at index n and none can lose or swap an entry.
//
// Where the encoding could be read two ways, docs/script_encoding.md records the reading chosen here:
// opcodes 4 and 5 carry the frame depth at 4 and the slot or constant index at 8; opcode 73 carries the
// method name at 8 and its member-cache entry at 12.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// Every opcode, in opcode order: X(number, enumerator, mnemonic, size, operand fields...). The
// mnemonic names the opcode in the text form and labels its interpreter handler (op_ + mnemonic); the
// size is that of the whole instruction (of the header for 72 and 73); the operand fields follow in
// field order, written with the krv_script_encoding helpers below. Where their order needs saying:
// 4 and 5 take depth, then slot or constant; 61 name, member-cache entry, class, quiet; 62 flag, class,
// quiet; 72 the length and the result target (kind, depth, index), the steps and constants that follow
// in the 200-byte header being laid out in krv_numeric_fast_path; 73 length, method name, member-cache
// entry, member index of the self form, argument count, self form, enabled, accessing class
// (krv_cached_call_fields).
#define KRV_SCRIPT_OPCODES(X) \
  X( 1, KRV_OP_LOAD_LOCAL,         load_local,         8,   index)                                         \
  X( 2, KRV_OP_LOAD_LOCAL_FLAGS,   load_local_flags,   8,   index)                                         \
  X( 3, KRV_OP_LOAD_CONST,         load_const,         8,   index)                                         \
  X( 4, KRV_OP_LOAD_FRAME_LOCAL,   load_frame_local,   12,  u32_at(4), u32_at(8))                          \
  X( 5, KRV_OP_LOAD_FRAME_CONST,   load_frame_const,   12,  u32_at(4), u32_at(8))                          \
  X( 6, KRV_OP_LOAD_GLOBAL,        load_global,        8,   index)                                         \
  X( 7, KRV_OP_LOAD_GLOBAL_CONST,  load_global_const,  8,   index)                                         \
  X( 8, KRV_OP_LOAD_INT,           load_int,           16,  at(8, K::int64))                               \
  X( 9, KRV_OP_LOAD_FLOAT,         load_float,         16,  at(8, K::float64))                             \
  X(10, KRV_OP_LOAD_STRING,        load_string,        8,   index)                                         \
  X(11, KRV_OP_LOAD_FUNCTION,      load_function,      8,   index)                                         \
  X(12, KRV_OP_LOAD_NATIVE,        load_native,        16,  at(8, K::native))                              \
  X(13, KRV_OP_LOAD_CELL,          load_cell,          16,  at(8, K::cell))                                \
  X(14, KRV_OP_LOAD_NONE,          load_none,          1)                                                  \
  X(15, KRV_OP_CAPTURE,            capture,            2,   flag)                                          \
  X(16, KRV_OP_CAPTURE_REF,        capture_ref,        1)                                                  \
  X(17, KRV_OP_PUSH_NONE,          push_none,          1)                                                  \
  X(18, KRV_OP_DUP,                dup,                1)                                                  \
  X(19, KRV_OP_POP,                pop,                8)                                                  \
  X(20, KRV_OP_ASSIGN,             assign,             1)                                                  \
  X(21, KRV_OP_NEGATE,             negate,             1)                                                  \
  X(22, KRV_OP_NOT,                not,                1)                                                  \
  X(23, KRV_OP_MAKE_REF,           make_ref,           1)                                                  \
  X(24, KRV_OP_DEREF,              deref,              1)                                                  \
  X(25, KRV_OP_ADD,                add,                1)                                                  \
  X(26, KRV_OP_SUB,                sub,                1)                                                  \
  X(27, KRV_OP_MUL,                mul,                1)                                                  \
  X(28, KRV_OP_DIV,                div,                1)                                                  \
  X(29, KRV_OP_AND,                and,                1)                                                  \
  X(30, KRV_OP_OR,                 or,                 1)                                                  \
  X(31, KRV_OP_XOR,                xor,                1)                                                  \
  X(32, KRV_OP_INC,                inc,                2,   flag)                                          \
  X(33, KRV_OP_DEC,                dec,                2,   flag)                                          \
  X(34, KRV_OP_EQ,                 eq,                 2,   flag)                                          \
  X(35, KRV_OP_GT,                 gt,                 2,   flag)                                          \
  X(36, KRV_OP_LT,                 lt,                 2,   flag)                                          \
  X(37, KRV_OP_TO_BOOL,            to_bool,            1)                                                  \
  X(38, KRV_OP_ARGS_OPEN,          args_open,          8,   index)                                         \
  X(39, KRV_OP_ARG,                arg,                8,   index)                                         \
  X(40, KRV_OP_ARG_COPY,           arg_copy,           8,   index)                                         \
  X(41, KRV_OP_ARG_CELL,           arg_cell,           8,   index)                                         \
  X(42, KRV_OP_CALL_NATIVE,        call_native,        16,  at(8, K::native))                              \
  X(43, KRV_OP_ARGS_RELEASE,       args_release,       1)                                                  \
  X(44, KRV_OP_CALL_PREPARE,       call_prepare,       2,   flag)                                          \
  X(45, KRV_OP_CALL_ARG,           call_arg,           8,   index)                                         \
  X(46, KRV_OP_CALL,               call,               1)                                                  \
  X(47, KRV_OP_RUN_CHILD,          run_child,          8,   index)                                         \
  X(48, KRV_OP_DEFAULT_ARG,        default_arg,        2,   flag)                                          \
  X(49, KRV_OP_CATCH,              catch,              8,   index)                                         \
  X(50, KRV_OP_RUN_BODY,           run_body,           1)                                                  \
  X(51, KRV_OP_SET_CONTEXT,        set_context,        1)                                                  \
  X(52, KRV_OP_LOAD_CONTEXT,       load_context,       1)                                                  \
  X(53, KRV_OP_CONTEXT_MEMBER,     context_member,     12,  index, u8_at(8))                               \
  X(54, KRV_OP_NEW_INSTANCE,       new_instance,       1)                                                  \
  X(55, KRV_OP_JUMP,               jump,               8,   jump)                                          \
  X(56, KRV_OP_JUMP_FALSE,         jump_false,         8,   jump)                                          \
  X(57, KRV_OP_JUMP_TRUE,          jump_true,          8,   jump)                                          \
  X(58, KRV_OP_RETURN,             return,             1)                                                  \
  X(59, KRV_OP_BREAK,              break,              1)                                                  \
  X(60, KRV_OP_CONTINUE,           continue,           1)                                                  \
  X(61, KRV_OP_MEMBER,             member,             32,  index, u32_at(8), klass_at(16), u8_at(24))     \
  X(62, KRV_OP_INDEX_READ,         index_read,         24,  flag, klass_at(8), u8_at(16))                  \
  X(63, KRV_OP_MEMBER_OR_ZERO,     member_or_zero,     8,   index)                                         \
  X(64, KRV_OP_KEYED_READ,         keyed_read,         1)                                                  \
  X(65, KRV_OP_APPEND,             append,             1)                                                  \
  X(66, KRV_OP_NEW_JSON,           new_json,           1)                                                  \
  X(67, KRV_OP_RELEASE_CONTENTS,   release_contents,   1)                                                  \
  X(68, KRV_OP_INDEX_WRITE,        index_write,        16,  klass_at(8))                                   \
  X(69, KRV_OP_INDEX_READ_KEEP,    index_read_keep,    16,  klass_at(8))                                   \
  X(70, KRV_OP_MOD,                mod,                1)                                                  \
  X(71, KRV_OP_BIT_NOT,            bit_not,            1)                                                  \
  X(72, KRV_OP_NUMERIC_FAST_PATH,  numeric_fast_path,  200, length, u8_at(8), u8_at(9), u32_at(12))        \
  X(73, KRV_OP_CACHED_METHOD_CALL, cached_method_call, 32,  length, u32_at(8), u32_at(12), u32_at(16),     \
                                                            u8_at(20), u8_at(21), u8_at(22), klass_at(24))

#define KRV_SCRIPT_OP_ENUMERATOR(number, name, ...) name = number,
enum krv_script_op : uint8_t { KRV_SCRIPT_OPCODES(KRV_SCRIPT_OP_ENUMERATOR) };
#undef KRV_SCRIPT_OP_ENUMERATOR

namespace krv_script_encoding {

// The opcode numbers in list order; the list must number its entries 1, 2, ... so that list position
// and opcode agree in every table expanded from it.
#define KRV_SCRIPT_OP_NUMBER(number, ...) number,
inline constexpr uint8_t listed_numbers[] = {KRV_SCRIPT_OPCODES(KRV_SCRIPT_OP_NUMBER)};
#undef KRV_SCRIPT_OP_NUMBER

constexpr bool numbered_in_list_order() {
  for (size_t position = 0; position < std::size(listed_numbers); ++position)
    if (listed_numbers[position] != position + 1) return false;
  return true;
}
static_assert(numbered_in_list_order(), "KRV_SCRIPT_OPCODES must list opcodes 1, 2, ... in order");

}  // namespace krv_script_encoding

inline constexpr uint8_t krv_script_op_last = std::size(krv_script_encoding::listed_numbers);

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

constexpr krv_operand_field at(uint8_t offset, krv_operand_kind kind) { return {offset, kind}; }
constexpr krv_operand_field u8_at(uint8_t offset) { return {offset, K::u8}; }
constexpr krv_operand_field u32_at(uint8_t offset) { return {offset, K::u32}; }
constexpr krv_operand_field klass_at(uint8_t offset) { return {offset, K::klass}; }
constexpr krv_operand_field index{4, K::u32};
constexpr krv_operand_field flag{1, K::u8};
constexpr krv_operand_field jump{4, K::jump};
constexpr krv_operand_field length{4, K::length};

// Indexed by opcode; entry 0 stands for every invalid opcode.
#define KRV_SCRIPT_OP_INFO(number, name, mnemonic, size, ...) op(#mnemonic, size __VA_OPT__(, ) __VA_ARGS__),
constexpr auto table = std::to_array<krv_script_op_info>({op("", 0), KRV_SCRIPT_OPCODES(KRV_SCRIPT_OP_INFO)});
#undef KRV_SCRIPT_OP_INFO
static_assert(table.size() == krv_script_op_last + 1, "one entry per opcode after entry 0");

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
