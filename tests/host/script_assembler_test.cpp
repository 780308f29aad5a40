// The script assembler: instruction sizes and byte layouts, the text form, the verifier and the
// disassembler, and round trips between them.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/assembler/program_blocks.h"
#include "host/assembler/script_builder.h"
#include "host/assembler/script_disassembler.h"
#include "host/assembler/script_text.h"
#include "host/assembler/script_verifier.h"
#include "script_text_samples.h"

namespace {

// Instruction sizes as the encoding documents them, written out independently of the opcode table.
std::map<int, uint32_t> documented_sizes() {
  std::map<int, uint32_t> sizes;
  auto set = [&](uint32_t size, std::initializer_list<int> opcodes) {
    for (int opcode : opcodes) sizes[opcode] = size;
  };
  set(1, {14, 16, 17, 18, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 37, 43, 46, 50, 51, 52, 54, 58, 59, 60, 64, 65, 66,
          67, 70, 71});
  set(2, {15, 32, 33, 34, 35, 36, 44, 48});
  set(8, {1, 2, 3, 6, 7, 10, 11, 19, 38, 39, 40, 41, 45, 47, 49, 55, 56, 57, 63});
  set(12, {4, 5, 53});
  set(16, {8, 9, 12, 13, 42, 68, 69});
  set(24, {62});
  set(32, {61, 73});
  set(200, {72});
  return sizes;
}

// A program whose root block has one of everything an operand may name, so any single instruction
// with zero operands, its labels and the program's records verifies.
struct one_instruction {
  explicit one_instruction(uint8_t opcode) : builder("sizes") {
    krv_block_builder& root = builder.root();
    root.set_locals(1);
    root.block().first_default = 0;
    root.block().param_count = 1;
    root.add_constant(krvvar_shared::make_int(1));
    root.add_member_cache_entry();
    root.add_child(KRV_BLOCK_FUNCTION);
    root.add_body(0);
    builder.add_string("name");
    const void* native = &builder.add_native("f", 0, 1);
    const void* cell = builder.add_cell(krvvar_shared::make_none());
    krv_label start = root.label(), end = root.label();
    root.bind(start);
    std::vector<krv_operand> operands;
    for (const krv_operand_field& field : krv_script_op_info_of(opcode).operands) {
      switch (field.kind) {
        case krv_operand_kind::none: continue;
        case krv_operand_kind::float64: operands.push_back(0.0); break;
        case krv_operand_kind::jump: operands.push_back(start); break;
        case krv_operand_kind::length: operands.push_back(end); break;
        case krv_operand_kind::native: operands.push_back(native); break;
        case krv_operand_kind::cell: operands.push_back(cell); break;
        case krv_operand_kind::klass: operands.push_back(static_cast<const void*>(nullptr)); break;
        default: operands.push_back(int64_t{0}); break;
      }
    }
    if (opcode == KRV_OP_NUMERIC_FAST_PATH)
      root.emit_numeric_fast_path(operands, {});
    else
      root.emit(static_cast<krv_script_op>(opcode), operands);
    root.bind(end);
    program = builder.finish();
  }
  krv_program_builder builder;
  krvptr_strong<krv_program> program;
};

TEST(ScriptAssembler, EveryOpcodeAssemblesToItsDocumentedSizeAndVerifies) {
  const std::map<int, uint32_t> sizes = documented_sizes();
  ASSERT_EQ(sizes.size(), 73u);
  for (const auto& [opcode, size] : sizes) {
    one_instruction single(static_cast<uint8_t>(opcode));
    EXPECT_EQ(single.program->root->code.size(), size) << "opcode " << opcode;
    EXPECT_EQ(krv_verify_program(*single.program), std::vector<std::string>{}) << "opcode " << opcode;
  }
  EXPECT_EQ(krv_script_op_info_of(0).size, 0u);
  EXPECT_EQ(krv_script_op_info_of(74).size, 0u);
}

// The root's code of a one-block program; a block asks for a member-cache entry only when an
// instruction uses one.
std::vector<uint8_t> bytes_of(const std::string& code) {
  const bool caches = code.starts_with("member ") || code.starts_with("cached_method_call ");
  krvptr_strong<krv_program> program = krv_assemble_text("string \"a\"\nstring \"b\"\nstring \"c\"\nstring \"d\"\nstring \"e\"\nnative N0 \"f\" 0 0\nblock B0 4 locals 1" +
                                                         std::string(caches ? " caches 1" : "") + "\n" + code + "\nend\n");
  return program->root->code;
}

std::vector<uint8_t> le(std::initializer_list<int> bytes) { return std::vector<uint8_t>(bytes.begin(), bytes.end()); }

TEST(ScriptAssembler, OperandsSitAtTheirOffsetsAndUnusedBytesAreZero) {
  struct row {
    const char* code;
    std::vector<uint8_t> bytes;
  };
  const row table[] = {
      {"load_local 0", le({1, 0, 0, 0, 0, 0, 0, 0})},
      {"pop", le({19, 0, 0, 0, 0, 0, 0, 0})},
      {"inc 1", le({32, 1})},
      {"load_int -2", le({8, 0, 0, 0, 0, 0, 0, 0, 0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})},
      {"load_frame_local 2 5", le({4, 0, 0, 0, 2, 0, 0, 0, 5, 0, 0, 0})},
      {"context_member 7 1", le({53, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0})},
      {"args_open 258", le({38, 0, 0, 0, 2, 1, 0, 0})},
      {"member 3 0 null 1", le({61, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0})},
      {"index_read 1 null 1", le({62, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0})},
      {"cached_method_call end 4 0 9 2 1 1 null\nend:",
       le({73, 0, 0, 0, 32, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
      // Jumps count from their own start: forward over one 8-byte instruction, backward to offset 0.
      {"top:\njump_false next\npop\nnext:\njump top",
       le({56, 0, 0, 0, 16, 0, 0, 0, 19, 0, 0, 0, 0, 0, 0, 0, 55, 0, 0, 0, 0xf0, 0xff, 0xff, 0xff})},
  };
  for (const row& r : table) EXPECT_EQ(bytes_of(r.code), r.bytes) << r.code;
  const std::vector<uint8_t> load_float = bytes_of("load_float 1.5");
  ASSERT_EQ(load_float.size(), 16u);
  double value = 0;
  std::memcpy(&value, load_float.data() + 8, 8);
  EXPECT_EQ(value, 1.5);
}

TEST(ScriptAssembler, TheNumericFastPathHeaderCarriesItsStepsAndConstants) {
  const std::vector<uint8_t> code =
      bytes_of("numeric_fast_path done 2 1 7 step 1 2 3 step 3 0 1 step 4 0 0 int -1 float 0.5\nload_local 0\ndone:");
  ASSERT_EQ(code.size(), 208u);
  auto u32_at = [&](size_t at) {
    uint32_t v;
    std::memcpy(&v, code.data() + at, 4);
    return v;
  };
  EXPECT_EQ(code[0], 72);
  EXPECT_EQ(u32_at(4), 208u);  // header and generic code
  EXPECT_EQ(code[8], 2);
  EXPECT_EQ(code[9], 1);
  EXPECT_EQ(u32_at(12), 7u);
  EXPECT_EQ(code[16] | code[17] << 8, 3);  // step count
  EXPECT_EQ(code[18] | code[19] << 8, 2);  // float mask: constant 1
  EXPECT_EQ(std::vector<uint8_t>(code.begin() + 20, code.begin() + 28), le({1, 2, 0, 0, 3, 0, 0, 0}));
  int64_t first;
  double second;
  std::memcpy(&first, code.data() + 152, 8);
  std::memcpy(&second, code.data() + 160, 8);
  EXPECT_EQ(first, -1);
  EXPECT_EQ(second, 0.5);
  EXPECT_EQ(code[200], 1);  // the generic code follows the header
}

TEST(ScriptAssembler, TheTextFormRoundTripsThroughVerifierAndDisassembler) {
  krvptr_strong<krv_program> first = krv_assemble_text(round_trip_text);
  EXPECT_EQ(krv_verify_program(*first), std::vector<std::string>{});
  const std::string listing = krv_disassemble(*first);
  EXPECT_EQ(listing, round_trip_text);

  krvptr_strong<krv_program> second = krv_assemble_text(listing);
  const std::vector<const krv_program_block*> a = krv_program_blocks(*first), b = krv_program_blocks(*second);
  ASSERT_EQ(a.size(), 4u);
  ASSERT_EQ(b.size(), a.size());
  for (size_t i = 0; i < a.size(); ++i) {
    // Host pointers differ between the two programs; everything else is the same byte for byte.
    if (i != 0) {
      EXPECT_EQ(a[i]->code, b[i]->code) << "block " << i;
    }
  }
  EXPECT_EQ(krv_disassemble(*second), listing);

  // What the records say.
  const krv_program_block& root = *first->root;
  EXPECT_EQ(root.children[0]->children[0]->class_def.get(), first->classes[1].get());
  EXPECT_EQ(first->classes[1]->constructor.get(), root.children[0]->children[0].get());
  EXPECT_EQ(first->classes[1]->bases[0].get(), first->classes[0].get());
  EXPECT_EQ(root.body->kind, KRV_BLOCK_LOOP);
  ASSERT_EQ(root.positions.size(), 2u);
  EXPECT_EQ(root.positions.at(8).get()->source.get()->included_by.get(), first->sources[0].get());
}

TEST(ScriptAssembler, TheCppBuilderRoundTripsThroughTheTextForm) {
  krv_program_builder builder("built");
  krv_block_builder& root = builder.root();
  root.set_locals(1);
  krv_label back = root.label(), out = root.label();
  root.bind(back);
  root.emit(KRV_OP_LOAD_LOCAL, {int64_t{0}});
  root.emit(KRV_OP_JUMP_TRUE, {out});
  root.emit(KRV_OP_INC, {int64_t{0}});
  root.emit(KRV_OP_JUMP, {back});
  root.bind(out);
  krv_block_builder& function = root.add_child(KRV_BLOCK_FUNCTION);
  function.emit(KRV_OP_LOAD_FLOAT, {-0.25});
  function.emit(KRV_OP_RETURN, {});
  root.emit(KRV_OP_LOAD_FUNCTION, {int64_t{0}});
  krvptr_strong<krv_program> built = builder.finish();
  ASSERT_EQ(krv_verify_program(*built), std::vector<std::string>{});

  krvptr_strong<krv_program> again = krv_assemble_text(krv_disassemble(*built));
  EXPECT_EQ(again->root->code, built->root->code);
  EXPECT_EQ(again->root->children[0]->code, built->root->children[0]->code);
  EXPECT_EQ(krv_disassemble(*again), krv_disassemble(*built));
}

TEST(ScriptAssembler, TheVerifierFindsWhatTheInterpreterMustNotMeet) {
  struct row {
    const char* code;
    std::function<void(krv_program&)> spoil;
    std::string problem;
  };
  const auto patch = [](size_t at, uint8_t value) {
    return [at, value](krv_program& program) { program.root->code[at] = value; };
  };
  auto foreign = krvptr_strong<krv_function_def>::from_raw(new krv_function_def());
  const row table[] = {
      {"load_int 1\njump L\nL:", patch(20, 4), "block 0 @16: jump: jump lands inside an instruction"},
      {"load_local 0\npop", patch(8, 74), "block 0 @8: invalid opcode 74"},
      {"load_local 0\npop", patch(8, 0), "block 0 @8: invalid opcode 0"},
      {"load_local 0", patch(2, 1), "block 0 @0: load_local: unused byte 2 is not zero"},
      {"load_local 0", patch(4, 1), "block 0 @0: load_local: no such local"},
      {"run_child 0", [](krv_program& program) { program.root->children.clear(); },
       "block 0 @0: run_child: no such child block"},
      {"run_body", [](krv_program& program) { program.root->body.reset_empty(); }, "block 0 @0: run_body: the block has no body"},
      {"load_string 0", [](krv_program& program) { program.strings.clear(); },
       "block 0 @0: load_string: no such program string"},
      {"numeric_fast_path E 0 0 0 step 0 0 0\nE:", patch(20 + 4, 1), "block 0 @0: numeric_fast_path: step 0 names no local"},
      {"numeric_fast_path E 0 0 0\nE:", patch(16, 17), "block 0 @0: numeric_fast_path: step count 17 outside 0..16"},
      {"numeric_fast_path E 0 0 0\nE:", patch(16 + 1, 0x80), "block 0 @0: numeric_fast_path: step count -32768 outside 0..16"},
      {"numeric_fast_path E 0 0 0\nE:", patch(19, 0x40),
       "block 0 @0: numeric_fast_path: header bytes that no step or constant uses are not zero"},
      {"numeric_fast_path E 0 0 0\nE:", patch(150, 1),
       "block 0 @0: numeric_fast_path: header bytes that no step or constant uses are not zero"},
      // From offset 1, a length of 4 GiB - 1 lands on offset 0 once its target is cut to 32 bits.
      {"load_none\nnumeric_fast_path E 0 0 0\nE:",
       [](krv_program& program) { std::memcpy(program.root->code.data() + 1 + 4, "\xff\xff\xff\xff", 4); },
       "block 0 @1: numeric_fast_path: length ends inside an instruction"},
      {"load_local 0", [](krv_program& program) { program.root->param_count = 2; },
       "block 0: parameters and captured values take 2 locals, the block has 1"},
      {"load_none", [](krv_program& program) { program.root->resume_at_end = 1; },
       "block 0: resume_at_end needs an instruction starting 8 bytes before the end of the code"},
      {"load_local 0", [](krv_program& program) { program.root->continue_offset = 4; },
       "block 0: continue offset 4 is not an instruction start"},
      {"load_local 0", [](krv_program& program) { program.natives[0]->min_args = 2; },
       "native 0: takes at least 2 arguments but at most 0"},
      {"load_local 0",
       [](krv_program& program) {
         program.classes[0]->bases.push_back(krvptr_weak<krv_class_def>::from_raw(program.classes[1].get()));
       },
       "class 0: inherits from itself"},
      {"cached_method_call E 0 0 0 0 0 1 null\nload_none\nE:", patch(4, 2),
       "block 0 @0: cached_method_call: length shorter than the header"},
      {"cached_method_call E 0 0 0 0 0 1 null\npop\nE:", patch(4, 36),
       "block 0 @0: cached_method_call: length ends inside an instruction"},
      {"call_native @N0",
       [&](krv_program& program) {
         const uint64_t address = reinterpret_cast<uintptr_t>(foreign.get());
         std::memcpy(program.root->code.data() + 8, &address, 8);
       },
       "block 0 @0: call_native: native definition not kept by the program"},
      {"load_local 0", [](krv_program& program) { program.root->positions[5]; },
       "block 0 @5: source position off an instruction start"},
      {"load_local 0",
       [](krv_program& program) {
         auto stray = krvptr_strong<krv_source_position>::from_raw(new krv_source_position());
         program.positions.push_back(stray);
         program.root->positions[0] = krvptr_weak<krv_source_position>(stray);
       },
       "block 0 @0: source position without a source the program keeps"},
      {"load_local 0\nload_local 0", [](krv_program& program) { program.root->code.resize(12); },
       "block 0: code pointers do not cover the block's code"},
  };
  for (const row& r : table) {
    krvptr_strong<krv_program> program =
        krv_assemble_text(std::string("string \"s\"\nnative N0 \"f\" 0 0\nclass K0 \"A\"\nclass K1 \"B\" base K0\n") +
                          "block B0 4 locals 1" + (std::strstr(r.code, "cached_method_call") ? " caches 1" : "") + "\n" + r.code +
                          "\nend\nblock B1 0 child B0\nend\nblock B2 0 body B0\nend\n");
    if (r.spoil) r.spoil(*program);
    const std::vector<std::string> problems = krv_verify_program(*program);
    ASSERT_FALSE(problems.empty()) << r.code << " / " << r.problem;
    EXPECT_EQ(problems.front(), r.problem) << r.code << " / " << r.problem;
  }
}

TEST(ScriptAssembler, MalformedTextIsRefusedWithItsLine) {
  struct row {
    const char* text;
    const char* message;
  };
  const row table[] = {
      {"block B0 4\n  frobnicate\nend", "line 2: unknown instruction 'frobnicate'"},
      {"block B0 4\n  load_local\nend", "line 2: missing operand after 'load_local'"},
      {"block B0 4\n  load_local 1 2\nend", "line 2: unexpected '2'"},
      {"block B0 4\n  inc 256\nend", "line 2: inc: operand 256 out of range"},
      {"block B0 4\n  load_frame_local 2 0x\nend", "line 2: expected an integer, got '0x'"},
      {"block B0 4\n  jump nowhere\nend", "line 3: label 'nowhere' is never bound"},
      {"block B0 4\nL:\nL:\nend", "line 3: label 'L' is bound twice"},
      {"block B0 4\n  call_native @N9\nend", "line 2: unknown native 'N9'"},
      {"block B0 4\nend\nblock B1 4\nend", "line 3: a second block without a parent"},
      {"block B0 4\n  load_string \"x\nend", "line 2: unterminated string"},
      {"string \"a\"\nprogram \"late\"", "line 2: 'program' must come first"},
      {"block B0 4\n", "line 1: block B0 has no end"},
      {"class K0 \"A\" ctor B7\nblock B0 4\nend", "line 1: unknown block 'B7'"},
      {"block B0 4 locals 1\n  flag 3 4\nend", "line 2: flag of a local the block does not have"},
  };
  for (const row& r : table) {
    try {
      krv_assemble_text(r.text);
      ADD_FAILURE() << "accepted: " << r.text;
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()), r.message) << r.text;
    }
  }
}

// Lines as refusals count them (LF, CRLF, a lone CR, past a byte-order mark), in the program's order,
// one for each native even when two natives share a name.
TEST(ScriptAssembler, EachNativeKeepsTheLineThatDeclaresIt) {
  struct row {
    const char* text;
    std::vector<size_t> lines;
  };
  const row table[] = {
      {"block B0 4\nend", {}},
      {"native N0 \"print\" 0 9\n\n# a comment\nnative N1 \"std.x\" 0 0\nblock B0 4\nend", {1, 4}},
      {"\xEF\xBB\xBFnative N0 \"a\" 0 0\r\nnative N1 \"b\" 0 0\rnative N2 \"c\" 0 0\nblock B0 4\nend", {1, 2, 3}},
      {"program \"p\"\nnative N1 \"same\" 0 0\nnative N0 \"same\" 1 1\nblock B0 4\nend", {2, 3}},
  };
  for (const row& r : table) EXPECT_EQ(krv_assemble_text_with_lines(r.text).native_lines, r.lines) << r.text;
}

}  // namespace
