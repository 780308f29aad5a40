// Random kernel sources on native code against the scalar interpreter, bit for bit, each compiled with
// the default back-end passes and with none, over the whole domain and over ranges that start inside
// it. All kernels of a run are built in one gcc call.
//
// A fixed range of seeds runs in every build; KRV_RANDOM_KERNELS=N runs N seeds from
// KRV_RANDOM_KERNELS_FIRST (default 0) instead.
//
// Cases with special floats (NaNs, infinities, signed zeros, constants such as -1.0f and 0.0f / 0.0f,
// math built-ins) are built by gcc and, when it is installed, by clang, and compared bit for bit but for
// the NaN that + or * makes of two NaN operands: the processor keeps its first operand's, and either
// engine's compiler may put either operand first.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kernel/compiler/back_end.h"
#include "kernel/compiler/compile_driver.h"
#include "kernel/compiler/opcodes.h"
#include "kernel/native/jit_cache.h"
#include "kernel/support/c_batch.h"
#include "kernel/support/engine_compare.h"
#include "kernel/support/random_kernel_source.h"

namespace {

struct random_native_case {
  uint64_t seed;
  krvk_random_kernel kernel;
  std::shared_ptr<krvk_compiled_unit> unit;
  std::string symbol;
};

// The state a launch of the case would start from: its buffers and scalars in declaration order.
krvk_engine_state case_state(const krvk_program& program, const krvk_random_kernel& kernel) {
  krvk_engine_state state(program, kernel.width, kernel.height, 0, 0);
  size_t next_buffer = 0, next_scalar = 0;
  for (const krvk_param& param : program.parameters) {
    if (param.type.is_pointer) {
      state.buffers[param.pointer_slot] = kernel.buffers.at(next_buffer++).bytes;
    } else {
      state.regs[param.reg] = kernel.scalars.at(next_scalar++).bits;
    }
  }
  state.rebind();
  return state;
}

// Whether the interpreter's run of [begin, end) from `start` gives what `native` holds after native code's.
bool interpreter_agrees(const krvk_program& program, const krvk_engine_state& start, uint64_t begin, uint64_t end,
                        uint8_t native_code, const krvk_engine_state& native) {
  const unsigned char no_abort = 0;
  krvk_engine_state interpreted(start);
  const uint8_t code = interpreted.run_interpreter(program, begin, end, &no_abort);
  testing::TestPartResultArray differences;
  testing::ScopedFakeTestPartResultReporter quiet(testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD,
                                                  &differences);
  krvk_expect_same_run(program, code, interpreted, native_code, native);
  return differences.size() == 0;
}

// Compares native code with the interpreter; where they differ, the interpreter runs again with the
// operands of one float add or multiply, or of two, exchanged (a compiler fixes one order for each
// instruction). A run that agrees then differed in the NaN of two NaN operands only; else the
// comparison reports the difference.
void compare_up_to_nan_operand_order(krvk_program& program, krvk_native_fn fn, const krvk_engine_state& start,
                                     uint64_t begin, uint64_t end) {
  const unsigned char no_abort = 0;
  krvk_engine_state native(start);
  const uint8_t native_code = native.run_native(program, fn, begin, end, &no_abort);
  if (interpreter_agrees(program, start, begin, end, native_code, native)) return;
  std::vector<size_t> commutative;
  for (size_t i = 0; i < program.code.size(); ++i) {
    const uint16_t op = program.code[i].op;
    if (op == KOP_ADD_F32 || op == KOP_ADD_F64 || op == KOP_MUL_F32 || op == KOP_MUL_F64) commutative.push_back(i);
  }
  const auto exchange = [&](size_t i) { std::swap(program.code[i].b, program.code[i].c); };
  bool agrees = false;
  for (size_t i = 0; i < commutative.size() && !agrees; ++i) {
    exchange(commutative[i]);
    agrees = interpreter_agrees(program, start, begin, end, native_code, native);
    for (size_t j = i + 1; j < commutative.size() && !agrees; ++j) {
      exchange(commutative[j]);
      agrees = interpreter_agrees(program, start, begin, end, native_code, native);
      exchange(commutative[j]);
    }
    exchange(commutative[i]);
  }
  if (!agrees) krvk_compare_engines(program, fn, start, begin, end);
}

struct seed_range {
  uint64_t first, count;
};

seed_range seeds(uint64_t count) {
  const char* n = std::getenv("KRV_RANDOM_KERNELS");
  if (n == nullptr) return {0, count};
  const char* from = std::getenv("KRV_RANDOM_KERNELS_FIRST");
  return {from != nullptr ? std::strtoull(from, nullptr, 10) : 0, std::strtoull(n, nullptr, 10)};
}

// Every case of the seeds compiled with the default back-end passes and with none, added to `batch`.
std::vector<random_native_case> make_cases(seed_range range, bool special_floats, krvk_c_batch& batch) {
  const krvk_back_end_passes no_passes{};
  std::vector<random_native_case> cases;
  for (uint64_t seed = range.first; seed < range.first + range.count; ++seed) {
    const krvk_random_kernel kernel = krvk_random_kernel_case(seed, special_floats);
    for (const krvk_back_end_passes* passes : {&krvk_default_back_end_passes(), &no_passes}) {
      kerror err;
      auto unit = krvk_compile_source(kernel.source, "random.k", err, {}, *passes);
      EXPECT_NE(unit, nullptr) << "seed " << seed << ": " << err.message << "\n" << kernel.source;
      if (unit == nullptr) return {};
      const std::string symbol = batch.add_kernel(*unit->kernels.at(0));
      cases.push_back({seed, kernel, unit, symbol});
    }
  }
  return cases;
}

TEST(NativeRandomKernels, SpecialFloatsMatchTheInterpreterWithGccAndClang) {
  const seed_range range = seeds(100);
  std::vector<std::string> compilers = {"gcc"};
  if (krvk_probe_compiler("clang")) compilers.push_back("clang");
  for (const std::string& compiler : compilers) {
    krvk_c_batch batch;
    std::vector<random_native_case> cases = make_cases(range, true, batch);
    ASSERT_FALSE(cases.empty());
    std::string error;
    ASSERT_TRUE(batch.build(error, krvk_c_batch::jit_flags(), compiler)) << error;
    for (random_native_case& c : cases) {
      SCOPED_TRACE(compiler + ", seed " + std::to_string(c.seed) + "\n" + c.kernel.source);
      krvk_program& program = *c.unit->kernels[0];
      const krvk_engine_state start = case_state(program, c.kernel);
      const uint64_t items = c.kernel.width * c.kernel.height;
      compare_up_to_nan_operand_order(program, batch.kernel(c.symbol), start, 0, items);
      if (HasFailure()) return;
    }
  }
}

TEST(NativeRandomKernels, MatchTheInterpreterWithAndWithoutTheOptimiser) {
  const seed_range range = seeds(150);
  krvk_c_batch batch;
  std::vector<random_native_case> cases = make_cases(range, false, batch);
  ASSERT_FALSE(cases.empty());
  std::string error;
  ASSERT_TRUE(batch.build(error)) << error;

  uint64_t trapped = 0;
  for (const random_native_case& c : cases) {
    const krvk_program& program = *c.unit->kernels[0];
    SCOPED_TRACE("seed " + std::to_string(c.seed) + "\n" + c.kernel.source);
    const krvk_native_fn fn = batch.kernel(c.symbol);
    ASSERT_NE(fn, nullptr);
    const krvk_engine_state start = case_state(program, c.kernel);
    const uint64_t items = c.kernel.width * c.kernel.height;
    for (const auto& [begin, end] : {std::pair<uint64_t, uint64_t>{0, items}, {items / 3, items}, {items - 1, items}}) {
      SCOPED_TRACE("[" + std::to_string(begin) + ", " + std::to_string(end) + ")");
      krvk_compare_engines(program, fn, start, begin, end);
      if (begin == 0) {
        krvk_engine_state probe(start);
        const unsigned char no_abort = 0;
        trapped += probe.run_interpreter(program, begin, end, &no_abort) != 0 ? 1 : 0;
      }
      if (HasFailure()) return;
    }
  }
  // Some cases must trap, or the comparison of trap records proves nothing.
  if (range.count >= 100) {
    EXPECT_GT(trapped, 3u);
  }
}

}  // namespace
