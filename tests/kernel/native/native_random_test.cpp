// Random kernel sources on native code against the scalar interpreter, bit for bit, each compiled with
// the default back-end passes and with none, over the whole domain and over ranges that start inside
// it. All kernels of a run are built in one gcc call.
//
// A fixed range of seeds runs in every build; KRV_RANDOM_KERNELS=N runs N seeds from
// KRV_RANDOM_KERNELS_FIRST (default 0) instead.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kernel/compiler/back_end.h"
#include "kernel/compiler/compile_driver.h"
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

TEST(NativeRandomKernels, MatchTheInterpreterWithAndWithoutTheOptimiser) {
  uint64_t first = 0, count = 150;
  if (const char* n = std::getenv("KRV_RANDOM_KERNELS")) {
    count = std::strtoull(n, nullptr, 10);
    const char* from = std::getenv("KRV_RANDOM_KERNELS_FIRST");
    first = from != nullptr ? std::strtoull(from, nullptr, 10) : 0;
  }
  const krvk_back_end_passes no_passes{};
  krvk_c_batch batch;
  std::vector<random_native_case> cases;
  for (uint64_t seed = first; seed < first + count; ++seed) {
    const krvk_random_kernel kernel = krvk_random_kernel_case(seed);
    for (const krvk_back_end_passes* passes : {&krvk_default_back_end_passes(), &no_passes}) {
      kerror err;
      auto unit = krvk_compile_source(kernel.source, "random.k", err, {}, *passes);
      ASSERT_NE(unit, nullptr) << "seed " << seed << ": " << err.message << "\n" << kernel.source;
      const std::string symbol = batch.add_kernel(*unit->kernels.at(0));
      cases.push_back({seed, kernel, unit, symbol});
    }
  }
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
  if (count >= 100) {
    EXPECT_GT(trapped, 3u);
  }
}

}  // namespace
