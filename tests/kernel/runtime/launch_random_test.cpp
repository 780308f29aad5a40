// Compiled random kernels (the compiler's differential sources) launched with each interpreter forced,
// on several runners: buffers, reductions and whether a trap was stored must not depend on the engine.
// A trapping launch stops wherever its runners happen to be, so only the fact of the trap is compared.
// Their domains are small (chunks of one work item), so each is also run as one batch chunk over the
// whole domain, in groups of up to 64 lanes.
#include <gtest/gtest.h>

#include <string>

#include "kernel/compiler/kernel_runner.h"
#include "kernel/runtime/batch_chunk.h"
#include "kernel/runtime/launch.h"
#include "kernel/runtime/reductions.h"
#include "kernel/runtime/scalar_interpreter.h"
#include "kernel/runtime/settings.h"
#include "kernel/support/job_pool.h"
#include "kernel/support/random_kernel_source.h"

namespace {

struct launch_outcome {
  bool trapped = false;
  std::vector<std::vector<uint8_t>> buffers;
  std::vector<uint64_t> results;
};

// Binds the case's buffers (copies kept in `out`) and scalars into a prepared launch.
void bind_case(krvk_launch& launch, const krvk_random_kernel& kernel, launch_outcome& out) {
  for (const krvk_random_buffer& b : kernel.buffers) out.buffers.push_back(b.bytes);
  size_t next_buffer = 0, next_scalar = 0;
  for (const krvk_param& param : launch.program->parameters) {
    if (param.type.is_pointer) {
      std::vector<uint8_t>& bytes = out.buffers[next_buffer++];
      launch.pointer_slots[param.pointer_slot] =
          kptr{bytes.data(), bytes.size() / param.element_size, param.element_size, bytes.size()};
    } else {
      launch.registers[param.reg] = kernel.scalars[next_scalar++].bits;
    }
  }
}

// The whole domain as one batch chunk on the launch's prepared registers and slots.
launch_outcome batch_whole_domain(const std::shared_ptr<krvk_compiled_unit>& unit, const krvk_random_kernel& kernel) {
  const krvk_program& program = *unit->kernels[0];
  launch_outcome out;
  krvk_launch launch;
  launch.prepare(unit, &program, kernel.width, kernel.height);
  bind_case(launch, kernel, out);
  std::vector<uint64_t> base = launch.registers;
  ktrap trap{};
  if (program.prologue) krvk_interpret(program.prologue.get(), base.data(), launch.pointer_slots.data(), 0, 1, nullptr, &trap, 0);
  std::vector<uint64_t> working = base;
  std::vector<uint64_t> identities;
  for (const krvk_acc& acc : program.accumulators) identities.push_back(krvk_reduce_identity(acc.op, acc.prim));
  krvk_batch_runner runner;
  runner.program = &program;
  runner.ptrs = launch.pointer_slots.data();
  runner.scalar_regs = working.data();
  runner.base_regs = base.data();
  runner.identities = identities.data();
  runner.width = launch.width;
  runner.trap = &trap;
  EXPECT_TRUE(runner.allocate());
  std::vector<uint64_t> values(identities.size());
  out.trapped = runner.run_chunk(0, launch.total, values.data()) != 0;
  for (size_t i = 0; i < values.size(); ++i) {  // as collect_results combines a single chunk
    const krvk_acc& acc = program.accumulators[i];
    out.results.push_back(krvk_reduce_combine(acc.op, acc.prim, identities[i], values[i]));
  }
  return out;
}

launch_outcome launch_case(const std::shared_ptr<krvk_compiled_unit>& unit, const krvk_random_kernel& kernel,
                           uint32_t mode, krvk_job_pool& pool) {
  const uint32_t saved = krvk_kernel_mode.exchange(mode);
  const krvk_program& program = *unit->kernels[0];
  launch_outcome out;
  auto launch = std::make_shared<krvk_launch>();
  launch->prepare(unit, &program, kernel.width, kernel.height);
  bind_case(*launch, kernel, out);
  launch->start_helpers(static_cast<int>(pool.size()), pool.enqueue());
  launch->wait();
  out.trapped = launch->trap_recorded.load() != 0;
  if (!out.trapped) out.results = launch->collect_results();
  krvk_kernel_mode.exchange(saved);
  return out;
}

TEST(LaunchRandomKernels, EnginesAgreeOnCompiledRandomKernels) {
  krvk_job_pool pool(3);
  uint64_t trapped = 0, wide = 0;
  for (uint64_t seed = 0; seed < 200; ++seed) {
    const krvk_random_kernel kernel = krvk_random_kernel_case(seed);
    SCOPED_TRACE("seed " + std::to_string(seed) + "\n" + kernel.source);
    auto unit = compile_unit(kernel.source);
    ASSERT_NE(unit, nullptr);
    const launch_outcome scalar = launch_case(unit, kernel, KRVK_MODE_SCALAR, pool);
    trapped += scalar.trapped ? 1 : 0;
    for (const uint32_t mode : {KRVK_MODE_BATCH, KRVK_MODE_AUTO}) {
      const launch_outcome other = launch_case(unit, kernel, mode, pool);
      ASSERT_EQ(other.trapped, scalar.trapped) << "mode " << mode;
      if (scalar.trapped) continue;
      EXPECT_EQ(other.buffers, scalar.buffers) << "mode " << mode;
      EXPECT_EQ(other.results, scalar.results) << "mode " << mode;
    }
    if (unit->kernels[0]->frame_bytes != 0) continue;  // a frame is one per runner, not one per lane
    ++wide;
    const launch_outcome batch = batch_whole_domain(unit, kernel);
    ASSERT_EQ(batch.trapped, scalar.trapped);
    if (scalar.trapped) continue;
    EXPECT_EQ(batch.buffers, scalar.buffers);
    EXPECT_EQ(batch.results, scalar.results);
  }
  EXPECT_GT(trapped, 2u);
  EXPECT_GT(wide, 50u);
}

}  // namespace
