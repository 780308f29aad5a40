// Random kernel sources compiled and run on the scalar interpreter over their whole domain.
//
// A fixed range of seeds runs in every build; KRV_RANDOM_KERNELS=N runs N seeds from
// KRV_RANDOM_KERNELS_FIRST (default 0) instead, for longer searches on demand.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "kernel/compiler/kernel_runner.h"
#include "kernel/support/random_kernel_source.h"

namespace {

struct seed_range {
  uint64_t first;
  uint64_t count;
};

seed_range seeds_to_run() {
  const char* count = std::getenv("KRV_RANDOM_KERNELS");
  const char* first = std::getenv("KRV_RANDOM_KERNELS_FIRST");
  if (count == nullptr) return {0, 300};
  return {first != nullptr ? std::strtoull(first, nullptr, 10) : 0, std::strtoull(count, nullptr, 10)};
}

// What one run leaves behind: the buffers, the accumulator and the trap record.
struct random_run {
  uint8_t code = 0;
  std::vector<std::vector<uint8_t>> buffers;
  uint64_t accumulator = 0;
  ktrap trap{};
};

random_run run_case(const krvk_program& program, const krvk_random_kernel& kernel) {
  random_run out;
  out.buffers.reserve(kernel.buffers.size());
  krvk_kernel_call call(program);
  for (const krvk_random_buffer& buffer : kernel.buffers) call.buffer(out.buffers.emplace_back(buffer.bytes));
  for (const krvk_random_scalar& scalar : kernel.scalars) call.scalar(scalar.bits);
  out.code = call.run(kernel.width, kernel.height);
  out.trap = call.trap();
  if (!program.accumulators.empty()) out.accumulator = call.result<uint64_t>();
  return out;
}

TEST(RandomKernels, CompileAndRunToTheEnd) {
  const seed_range range = seeds_to_run();
  uint64_t trapped = 0, safe = 0;
  for (uint64_t seed = range.first; seed < range.first + range.count; ++seed) {
    const krvk_random_kernel kernel = krvk_random_kernel_case(seed);
    SCOPED_TRACE("seed " + std::to_string(seed) + "\n" + kernel.source);
    auto unit = compile_unit(kernel.source);
    ASSERT_NE(unit, nullptr);
    const random_run run = run_case(kernel_named(*unit, "fuzz"), kernel);
    if (!kernel.may_trap) {
      EXPECT_EQ(run.code, 0) << krvk_trap_message(unit->kernels[0].get(), run.trap);
      ++safe;
    }
    trapped += run.code != 0 ? 1 : 0;
  }
  // The trapping cases must actually trap now and then, or they test nothing of the trap paths.
  if (range.count >= 300) {
    EXPECT_GT(trapped, 5u);
    EXPECT_GT(safe, range.count / 2);
  }
}

TEST(RandomKernels, SameSeedSameCase) {
  const krvk_random_kernel a = krvk_random_kernel_case(42), b = krvk_random_kernel_case(42);
  EXPECT_EQ(a.source, b.source);
  ASSERT_EQ(a.buffers.size(), b.buffers.size());
  for (size_t i = 0; i < a.buffers.size(); ++i) EXPECT_EQ(a.buffers[i].bytes, b.buffers[i].bytes);
  EXPECT_NE(a.source, krvk_random_kernel_case(43).source);
}

}  // namespace
