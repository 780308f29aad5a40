// Native code against the scalar interpreter, bit for bit: the kernel suite and the sample kernels over
// ranges that start inside the domain, hand-made instructions at their edges, and the abort polling
// that only native code does every 1,024 back edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "kernel/compiler/kernel_runner.h"
#include "kernel/compiler/sample_kernels.h"
#include "kernel/native/native_kernel_suite.h"
#include "kernel/support/c_batch.h"
#include "kernel/support/cell_bits.h"
#include "kernel/support/engine_compare.h"
#include "kernel/support/program_builder.h"

namespace {

struct built_kernel {
  std::shared_ptr<const krvk_program> program;
  std::string symbol;
};

// Compiles every kernel of the suite and of the sample sources, and builds them all in one gcc call.
class NativeKernelSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    batch_ = new krvk_c_batch;
    std::vector<std::shared_ptr<krvk_compiled_unit>> units = {compile_unit(kNativeKernelSuite)};
    ASSERT_NE(units[0], nullptr);
    // The front-end samples that are whole programs (some exist only to be parsed).
    for (const krvk_sample_kernel& sample : krvk_sample_kernels()) {
      kerror err;
      units.push_back(krvk_compile_source(sample.source, sample.name, err, {}));
      if (units.back() == nullptr) units.pop_back();
    }
    for (const std::shared_ptr<krvk_compiled_unit>& unit : units) {
      for (const auto& program : unit->kernels) kernels_.push_back({program, batch_->add_kernel(*program)});
      units_.push_back(unit);
    }
    std::string error;
    ASSERT_TRUE(batch_->build(error)) << error;
  }
  static void TearDownTestSuite() {
    delete batch_;
    kernels_.clear();
    units_.clear();
  }
  static krvk_c_batch* batch_;
  static std::vector<built_kernel> kernels_;
  static std::vector<std::shared_ptr<krvk_compiled_unit>> units_;
};
krvk_c_batch* NativeKernelSuite::batch_ = nullptr;
std::vector<built_kernel> NativeKernelSuite::kernels_;
std::vector<std::shared_ptr<krvk_compiled_unit>> NativeKernelSuite::units_;

TEST_F(NativeKernelSuite, EveryKernelMatchesTheInterpreter) {
  ASSERT_GE(kernels_.size(), 35u);
  size_t trapped = 0;
  for (const built_kernel& kernel : kernels_) {
    SCOPED_TRACE(kernel.program->name);
    const krvk_native_fn fn = batch_->kernel(kernel.symbol);
    ASSERT_NE(fn, nullptr);
    const bool two_d = kernel.program->two_d != 0;
    // 2-D: 7 columns by 5 rows; the partial ranges start mid-row.
    const uint64_t width = two_d ? 7 : 64, height = two_d ? 5 : 1;
    const uint64_t size = width * height;
    for (uint64_t seed = 1; seed <= 3; ++seed) {
      const krvk_engine_state start(*kernel.program, width, height, size, seed);
      for (const auto& [begin, end] : {std::pair<uint64_t, uint64_t>{0, size}, {3, size - 2}, {size - 1, size}}) {
        SCOPED_TRACE(std::to_string(seed) + ": [" + std::to_string(begin) + ", " + std::to_string(end) + ")");
        krvk_engine_state interpreted(start);
        const unsigned char no_abort = 0;
        trapped += interpreted.run_interpreter(*kernel.program, begin, end, &no_abort) != 0 ? 1 : 0;
        krvk_compare_engines(*kernel.program, fn, start, begin, end);
      }
    }
  }
  // The trap kernels must trap on these inputs, or the comparison of trap records proves nothing.
  EXPECT_GE(trapped, 8u);
}

TEST_F(NativeKernelSuite, TwoDimensionalRangeStartsMidRow) {
  for (const built_kernel& kernel : kernels_) {
    if (kernel.program->name != "coordinates") continue;
    krvk_engine_state state(*kernel.program, 4, 3, 12, 1);
    const unsigned char no_abort = 0;
    ASSERT_EQ(state.run_native(*kernel.program, batch_->kernel(kernel.symbol), 5, 8, &no_abort), 0);
    uint32_t out[12];
    std::memcpy(out, state.buffers[0].data(), sizeof out);
    EXPECT_EQ(out[5], 101u);  // gid 5 of width 4: column 1, row 1
    EXPECT_EQ(out[6], 102u);
    EXPECT_EQ(out[7], 103u);
    return;
  }
  FAIL() << "no kernel coordinates";
}

// One instruction at its edge, built by hand: operands in constant registers, the result stored to
// out[0] (a u64 slot); a second slot `data` of u32 elements for the memory cases.
struct edge_case {
  const char* name;
  std::function<void(krvk_test_program&, uint16_t result, uint16_t out, uint16_t data)> build;
  uint8_t code;
  uint64_t result;  // out[0] after a clean run; f32 results are compared by their low 32 bits
  uint64_t result_mask = ~uint64_t{0};
};

// result = op(b, c) for two constant operands, with the c field and x given.
edge_case binary(const char* name, uint16_t op, uint64_t b, uint64_t c, uint8_t code, uint64_t result, uint64_t x = 0,
                 int32_t c_field = -1) {
  return {name,
          [=](krvk_test_program& p, uint16_t r, uint16_t, uint16_t) {
            const uint16_t rb = p.constant(KRVK_U64, b);
            const uint16_t rc = c_field >= 0 ? static_cast<uint16_t>(c_field) : p.constant(KRVK_U64, c);
            p.emit(op, r, rb, rc, x);
          },
          code, result};
}

uint64_t sext(int64_t v) { return static_cast<uint64_t>(v); }
uint64_t multiplier(uint64_t d) { return ~uint64_t{0} / d + 1; }

TEST(NativeInstructions, EdgesMatchTheInterpreter) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<edge_case> cases = {
      binary("DIV_I32 overflow", KOP_DIV_I32, sext(INT32_MIN), sext(-1), 3, 0),
      binary("MOD_I32 overflow", KOP_MOD_I32, sext(INT32_MIN), sext(-1), 3, 0),
      binary("DIV_I64 overflow", KOP_DIV_I64, sext(INT64_MIN), sext(-1), 3, 0),
      binary("DIV_U32 by zero", KOP_DIV_U32, 7, 0, 2, 0),
      // A divisor whose low 32 bits are zero divides by zero in 32 bits: a trap, never a hardware fault.
      binary("DIV_I32 by 2^32", KOP_DIV_I32, 5, uint64_t{1} << 32, 2, 0),
      binary("MOD_U32 by 2^32", KOP_MOD_U32, 5, uint64_t{1} << 32, 2, 0),
      binary("DIV_I32 2^31 by -1", KOP_DIV_I32, uint64_t{1} << 31, 0xFFFFFFFFu, 3, 0),
      binary("DIV_I32", KOP_DIV_I32, sext(-7), 2, 0, sext(-3)),
      binary("MOD_I64", KOP_MOD_I64, sext(-7), 2, 0, sext(-1)),
      binary("SHL_I32 by 33", KOP_SHL_I32, 1, 33, 0, 2),
      binary("SHR_I64 by 64", KOP_SHR_I64, sext(-8), 64, 0, sext(-8)),
      binary("ADD_I32 wraps", KOP_ADD_I32, 2147483647, 1, 0, sext(INT32_MIN)),
      binary("MUL_X64 wraps", KOP_MUL_X64, 0x8000000000000001ull, 3, 0, 0x8000000000000003ull),
      binary("DIVC_I32", KOP_DIVC_I32, sext(-14), 0, 0, sext(-2), multiplier(7), 7),
      binary("MODC_I32", KOP_MODC_I32, sext(-13), 0, 0, sext(-6), multiplier(7), 7),
      binary("MODC_U32", KOP_MODC_U32, 4294967295u, 0, 0, 0, multiplier(65535), 65535),
      binary("MATH1_F64 log10", KOP_MATH1_F64, f64_bits(1000.0), 0, 0, f64_bits(3.0), 0, 13),
      binary("MATH1_F64 selector 20", KOP_MATH1_F64, f64_bits(2.5), 0, 0, f64_bits(0.0), 0, 20),
      binary("MATH2_F64 pow", KOP_MATH2_F64, f64_bits(2.0), f64_bits(10.0), 0, f64_bits(1024.0), 14),
      binary("MATH2_F64 selector 270", KOP_MATH2_F64, f64_bits(2.0), f64_bits(10.0), 0, f64_bits(1024.0), 270),
      binary("MATH2_F64 atan2", KOP_MATH2_F64, f64_bits(0.0), f64_bits(-1.0), 0, f64_bits(std::atan2(0.0, -1.0)), 15),
      binary("MATH2_F32 selector 3", KOP_MATH2_F32, f32_bits(2.0f), f32_bits(3.0f), 0, f32_bits(0.0f), 3),
      binary("DIV_F32 by zero", KOP_DIV_F32, f32_bits(1.0f), f32_bits(0.0f), 0, f32_bits(INFINITY)),
      binary("MIN_F32 NaN first", KOP_MIN_F32, f32_bits(NAN), f32_bits(1.0f), 0, f32_bits(NAN)),
      binary("MIN_F32 NaN second", KOP_MIN_F32, f32_bits(1.0f), f32_bits(NAN), 0, f32_bits(1.0f)),
      binary("MAX_F64 -0 +0", KOP_MAX_F64, f64_bits(-0.0), f64_bits(0.0), 0, f64_bits(-0.0)),
      binary("CVT_F64_INT 2^63 to i64", KOP_CVT_F64_INT, f64_bits(9223372036854775808.0), 0, 4, 0, 0, KRVK_I64),
      binary("CVT_F64_INT NaN to i32", KOP_CVT_F64_INT, f64_bits(nan), 0, 4, 0, 0, KRVK_I32),
      binary("CVT_F32_INT -0.9 to u8", KOP_CVT_F32_INT, f32_bits(-0.9f), 0, 0, 0, 0, KRVK_U8),
      binary("CVT_F64_INT to u64", KOP_CVT_F64_INT, f64_bits(18446744073709549568.0), 0, 0, 18446744073709549568ull, 0,
             KRVK_U64),
      binary("CVT_U_F32", KOP_CVT_U_F32, 0xFFFFFFFFFFFFFFFFull, 0, 0, f32_bits(18446744073709551616.0f), 0, 0),
      binary("BOOL_F64 NaN", KOP_BOOL_F64, f64_bits(nan), 0, 0, 1),
      {"LD_I32 past the end",
       [](krvk_test_program& p, uint16_t r, uint16_t, uint16_t data) {
         p.emit(KOP_LD_I32, r, data, p.constant(KRVK_I64, 5), 2);
       },
       1, 0},
      {"LD_I32 index -1",
       [](krvk_test_program& p, uint16_t r, uint16_t, uint16_t data) {
         p.emit(KOP_LD_I32, r, data, p.constant(KRVK_I64, sext(-1)), 0);
       },
       1, 0},
      {"LDF_U16 of element 6",
       [](krvk_test_program& p, uint16_t r, uint16_t, uint16_t data) {
         p.emit(KOP_LDF_U16, r, data, p.constant(KRVK_I64, 6), 2);
       },
       0, 0},
      {"AADD_64 at 4 mod 8",
       [](krvk_test_program& p, uint16_t r, uint16_t, uint16_t data) {
         p.emit(KOP_AADD_64, r, data, p.constant(KRVK_I64, 1), p.constant(KRVK_U64, 1));
       },
       6, 0},
      {"AADD_I32 returns the old value sign-extended",
       [](krvk_test_program& p, uint16_t r, uint16_t, uint16_t data) {
         const uint16_t index = p.constant(KRVK_I64, 2);
         p.emit(KOP_ST_U32, p.constant(KRVK_U32, 0xFFFFFFFEu), data, index, 0);
         p.emit(KOP_AADD_I32, r, data, index, p.constant(KRVK_U32, 5));
       },
       0, sext(-2)},
      {"CHKIDX",
       [](krvk_test_program& p, uint16_t, uint16_t, uint16_t) { p.emit(KOP_CHKIDX, p.constant(KRVK_U32, 10), 0, 0, 10); },
       5, 0},
      {"JFLT_F64 jumps on NaN",
       [](krvk_test_program& p, uint16_t r, uint16_t, uint16_t) {
         const uint32_t at = p.emit(KOP_JFLT_F64, p.constant(KRVK_F64, f64_bits(NAN)), p.constant(KRVK_F64, f64_bits(1.0)));
         p.emit(KOP_MOV, r, p.constant(KRVK_U64, 1));
         p.program().code[at].x = p.emit(KOP_NOP);
       },
       0, 0},
      {"f32 load keeps the low half",
       [](krvk_test_program& p, uint16_t r, uint16_t, uint16_t data) {
         p.emit(KOP_ST_F32, p.constant(KRVK_F32, f32_bits(-2.5f)), data, p.constant(KRVK_I64, 3), 0);
         p.emit(KOP_LD_F32, r, data, p.constant(KRVK_I64, 3), 0);
       },
       0, f32_bits(-2.5f)},
  };
  // Native code leaves the upper half of a register unspecified after an f32 result.
  for (edge_case& c : cases) {
    std::string name = c.name;
    for (char& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    if (name.find("F32") != std::string::npos) c.result_mask = 0xFFFFFFFFu;
  }

  krvk_c_batch batch;
  std::vector<std::unique_ptr<krvk_test_program>> programs;
  std::vector<std::string> symbols;
  for (const edge_case& c : cases) {
    auto program = std::make_unique<krvk_test_program>(c.name);
    const uint16_t out = program->pointer_param("out", KRVK_U64);
    const uint16_t data = program->pointer_param("data", KRVK_U32);
    const uint16_t result = program->reg("result");
    c.build(*program, result, out, data);
    program->emit(KOP_ST_U64, result, out, program->program().gid_reg, 0);
    program->emit(KOP_END);
    symbols.push_back(batch.add_kernel(program->program()));
    programs.push_back(std::move(program));
  }
  std::string error;
  ASSERT_TRUE(batch.build(error)) << error;
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    const krvk_program& program = programs[i]->program();
    krvk_engine_state start(program, 1, 1, 7, 5);
    for (std::vector<uint8_t>& buffer : start.buffers) std::fill(buffer.begin(), buffer.end(), 0);
    krvk_engine_state native(start);
    const unsigned char no_abort = 0;
    const uint8_t code = native.run_native(program, batch.kernel(symbols[i]), 0, 1, &no_abort);
    EXPECT_EQ(code, cases[i].code);
    uint64_t out = 0;
    std::memcpy(&out, native.buffers[0].data(), sizeof out);
    if (code == 0) {
      EXPECT_EQ(out & cases[i].result_mask, cases[i].result & cases[i].result_mask);
    }
    krvk_compare_engines(program, batch.kernel(symbols[i]), start, 0, 1);
  }
}

// i counts to n in one work item: LOOP runs n - 1 times.
std::unique_ptr<krvk_test_program> counting_loop() {
  auto p = std::make_unique<krvk_test_program>("spin");
  const uint16_t n = p->scalar_param("n", KRVK_U64);
  const uint16_t i = p->reg("i");
  p->emit(KOP_MOV, i, p->constant(KRVK_U64, 0));
  p->emit(KOP_ADDI_X64, i, i, 0, 1);
  p->emit(KOP_JTGE_U, i, n, 0, 4);
  p->emit(KOP_LOOP, 0, 0, 0, 1);
  p->emit(KOP_END);
  return p;
}

TEST(NativeInstructions, AbortIsReadAtEvery1024thBackEdgeAcrossWorkItems) {
  const auto spin = counting_loop();
  krvk_c_batch batch;
  const std::string symbol = batch.add_kernel(spin->program());
  std::string error;
  ASSERT_TRUE(batch.build(error)) << error;
  const krvk_native_fn fn = batch.kernel(symbol);
  const krvk_program& program = spin->program();
  const unsigned char abort_set = 1;
  struct run_case {
    uint64_t n;  // back edges per work item: n - 1
    uint64_t items;
    uint8_t code;
    uint64_t gid;  // of the trap
  };
  for (const run_case& c : {run_case{1024, 1, 0, 0}, run_case{1025, 1, 7, 0}, run_case{513, 2, 7, 1},
                            run_case{512, 2, 0, 0}, run_case{1, 5000, 0, 0}}) {
    SCOPED_TRACE(std::to_string(c.n) + " x " + std::to_string(c.items));
    krvk_engine_state state(program, c.items, 1, 1, 1);
    state.regs[program.parameters[0].reg] = c.n;
    state.trap = ktrap{};
    krvk_engine_state interpreted(state);
    EXPECT_EQ(state.run_native(program, fn, 0, c.items, &abort_set), c.code);
    // The interpreter polls at every back edge: it stops at the first one.
    EXPECT_EQ(interpreted.run_interpreter(program, 0, c.items, &abort_set), c.n > 1 ? 7 : 0);
    if (c.code != 0) {
      EXPECT_EQ(state.trap.pc, 3u);
      EXPECT_EQ(state.trap.gid, c.gid);
      EXPECT_EQ(state.trap.value, 0);
      EXPECT_EQ(state.trap.limit, 0u);
    }
  }
}

// The whole opcode table in one kernel: every instruction has a translation that gcc accepts, with the
// default warnings made errors, and as C++.
TEST(NativeInstructions, EveryOpcodeCompiles) {
  krvk_test_program p("all");
  const uint16_t slot = p.pointer_param("p", KRVK_U64);
  const uint16_t a = p.reg(), b = p.reg(), c = p.reg();
  for (uint16_t op = 0; op < KRVK_OPCODE_COUNT; ++op) {
    const std::string_view signature = krvk_opcode_signature(op);
    const bool jumps = signature.find('J') != std::string_view::npos;
    const bool divides = signature == "DRK";
    p.emit(op, a, signature.find('P') == 1 ? slot : b, divides ? 7 : c, jumps ? 0 : 1);
  }
  krvk_c_batch strict;
  strict.add_kernel(p.program());
  std::string error;
  EXPECT_TRUE(strict.build(error, {"-O1", "-shared", "-fPIC", "-Werror"})) << error;
  krvk_c_batch cpp;
  cpp.add_kernel(p.program());
  EXPECT_TRUE(cpp.build(error, {"-x", "c++", "-O1", "-shared", "-fPIC", "-Werror"})) << error;
}

}  // namespace
