// Scalar interpreter, 64-lane interpreter and native code on the same random programs of both generators
// (hand-assembled bytecode and compiled kernel sources), bit for bit: directly over the same chunks, and
// through launches with each engine forced (scalar mode, batch mode, auto mode with ready native code)
// on several runners. All native kernels are built in one gcc call.
//
// Native code leaves the upper half of an f32 accumulator unspecified, so f32 values compare by their
// low 32 bits. A trapping case compares the trap record between the two sequential engines; the lock-step
// engine must trap too (which lane's trap it meets first is the differential test's subject).
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "kernel/compiler/kernel_runner.h"
#include "kernel/native/jit_cache.h"
#include "kernel/runtime/launch.h"
#include "kernel/runtime/settings.h"
#include "kernel/support/c_batch.h"
#include "kernel/support/job_pool.h"
#include "kernel/support/random_bytecode_runs.h"
#include "kernel/support/random_kernel_source.h"

namespace {

// Accumulator values with each f32 cut to its low 32 bits.
std::vector<uint64_t> comparable(const krvk_program& program, std::vector<uint64_t> values) {
  for (size_t i = 0; i < values.size(); ++i) {
    if (program.accumulators[i % program.accumulators.size()].prim == KRVK_F32) values[i] &= 0xFFFFFFFFu;
  }
  return values;
}

enum class forced { scalar, batch, native };

struct launch_outcome {
  bool trapped = false;
  std::vector<std::vector<uint8_t>> memory;
  std::vector<uint64_t> results;
};

// One launch of `program` with the engine forced; `bind` fills slots and registers, `memory` gives the
// bytes it bound, read back after the launch.
template <class BIND>
launch_outcome launch_forced(const std::shared_ptr<const krvk_compiled_unit>& unit, const krvk_program& program,
                             uint64_t width, uint64_t height, forced engine, krvk_native_fn native,
                             krvk_job_pool& pool, BIND bind) {
  const uint32_t mode = engine == forced::scalar ? KRVK_MODE_SCALAR : engine == forced::batch ? KRVK_MODE_BATCH : KRVK_MODE_AUTO;
  const uint32_t saved_mode = krvk_kernel_mode.exchange(mode);
  const uint32_t saved_jit = krvk_jit_mode.exchange(KRVK_JIT_AUTO);
  krvk_jit_slot& slot = *program.jit_slot;
  slot.function = native;
  slot.state.store(engine == forced::native ? KRVK_JIT_READY : KRVK_JIT_NONE, std::memory_order_release);
  launch_outcome out;
  auto launch = std::make_shared<krvk_launch>();
  launch->prepare(unit, &program, width, height);
  bind(*launch, out.memory);
  launch->start_helpers(static_cast<int>(pool.size()), pool.enqueue());
  launch->wait();
  out.trapped = launch->trap_recorded.load() != 0;
  if (!out.trapped) out.results = comparable(program, launch->collect_results());
  slot.state.store(KRVK_JIT_NONE, std::memory_order_release);
  krvk_kernel_mode.exchange(saved_mode);
  krvk_jit_mode.exchange(saved_jit);
  return out;
}

void expect_same_launches(const std::vector<launch_outcome>& runs) {
  for (size_t e = 1; e < runs.size(); ++e) {
    SCOPED_TRACE("engine " + std::to_string(e));
    ASSERT_EQ(runs[e].trapped, runs[0].trapped);
    if (runs[0].trapped) continue;
    EXPECT_EQ(runs[e].results, runs[0].results);
    EXPECT_EQ(runs[e].memory, runs[0].memory);
  }
}

constexpr forced kEngines[] = {forced::scalar, forced::batch, forced::native};

TEST(AllEngines, RandomBytecode) {
  std::vector<krvk_random_bytecode> cases;
  std::vector<std::string> symbols;
  krvk_c_batch batch;
  for (uint64_t seed = 0; seed < 120; ++seed) {
    cases.push_back(krvk_random_bytecode_case(seed));
    symbols.push_back(batch.add_kernel(cases.back().program()));
  }
  std::string error;
  ASSERT_TRUE(batch.build(error)) << error;
  krvk_job_pool pool(3);
  for (size_t i = 0; i < cases.size(); ++i) {
    const krvk_random_bytecode& c = cases[i];
    const krvk_program& program = c.program();
    const krvk_native_fn native = batch.kernel(symbols[i]);
    ASSERT_NE(native, nullptr);
    const uint64_t chunk = i % 2 == 0 ? (c.items() + 255) / 256 : 1 + i % 100;
    SCOPED_TRACE("seed " + std::to_string(i) + ", chunk " + std::to_string(chunk));

    const krvk_chunked_run scalar = krvk_run_ranges(c, chunk);
    const krvk_chunked_run on_native = krvk_run_ranges(c, chunk, native);
    const krvk_chunked_run wide = krvk_run_batch(c, chunk);
    if (scalar.code == 0) {
      ASSERT_EQ(on_native.code, 0);
      ASSERT_EQ(wide.code, 0);
      for (size_t k = 0; k < scalar.chunk_values.size(); ++k) {
        EXPECT_EQ(comparable(program, on_native.chunk_values[k]), comparable(program, scalar.chunk_values[k]));
        EXPECT_EQ(wide.chunk_values[k], scalar.chunk_values[k]);
      }
      for (size_t s = 0; s < scalar.memory.size(); ++s) {
        EXPECT_EQ(on_native.memory[s].words, scalar.memory[s].words) << "slot " << s;
        EXPECT_EQ(wide.memory[s].words, scalar.memory[s].words) << "slot " << s;
      }
    } else {
      ASSERT_EQ(on_native.code, scalar.code);
      krvk_expect_same_trap(scalar.trap, on_native.trap);
      EXPECT_NE(wide.code, 0);
    }

    auto unit = std::make_shared<krvk_compiled_unit>();
    unit->kernels.push_back(std::const_pointer_cast<krvk_program>(cases[i].builder.share()));
    std::vector<launch_outcome> runs;
    for (const forced engine : kEngines) {
      runs.push_back(launch_forced(unit, program, c.width, c.height, engine, native, pool,
                                   [&](krvk_launch& launch, std::vector<std::vector<uint8_t>>& memory) {
                                     std::vector<krvk_random_memory> copy = c.memory;
                                     for (const krvk_random_memory& m : copy) {
                                       const uint8_t* bytes = reinterpret_cast<const uint8_t*>(m.words.data());
                                       memory.emplace_back(bytes, bytes + m.words.size() * 8);
                                     }
                                     for (size_t s = 0; s < memory.size(); ++s) {
                                       launch.pointer_slots[s] = kptr{memory[s].data(), copy[s].count, copy[s].stride,
                                                                      memory[s].size()};
                                     }
                                     for (const auto& [reg, bits] : c.scalars) launch.registers[reg] = bits;
                                   }));
    }
    expect_same_launches(runs);
  }
}

TEST(AllEngines, CompiledRandomKernels) {
  std::vector<krvk_random_kernel> kernels;
  std::vector<std::shared_ptr<krvk_compiled_unit>> units;
  std::vector<std::string> symbols;
  krvk_c_batch batch;
  for (uint64_t seed = 0; seed < 120; ++seed) {
    kernels.push_back(krvk_random_kernel_case(seed));
    units.push_back(compile_unit(kernels.back().source));
    ASSERT_NE(units.back(), nullptr);
    symbols.push_back(batch.add_kernel(*units.back()->kernels[0]));
  }
  std::string error;
  ASSERT_TRUE(batch.build(error)) << error;
  krvk_job_pool pool(3);
  for (size_t i = 0; i < kernels.size(); ++i) {
    const krvk_random_kernel& kernel = kernels[i];
    SCOPED_TRACE("seed " + std::to_string(i) + "\n" + kernel.source);
    const krvk_program& program = *units[i]->kernels[0];
    std::vector<launch_outcome> runs;
    for (const forced engine : kEngines) {
      runs.push_back(launch_forced(units[i], program, kernel.width, kernel.height, engine, batch.kernel(symbols[i]), pool,
                                   [&](krvk_launch& launch, std::vector<std::vector<uint8_t>>& memory) {
                                     for (const krvk_random_buffer& b : kernel.buffers) memory.push_back(b.bytes);
                                     size_t next_buffer = 0, next_scalar = 0;
                                     for (const krvk_param& param : program.parameters) {
                                       if (param.type.is_pointer) {
                                         std::vector<uint8_t>& bytes = memory[next_buffer++];
                                         launch.pointer_slots[param.pointer_slot] =
                                             kptr{bytes.data(), bytes.size() / param.element_size, param.element_size, bytes.size()};
                                       } else {
                                         launch.registers[param.reg] = kernel.scalars[next_scalar++].bits;
                                       }
                                     }
                                   }));
    }
    expect_same_launches(runs);
  }
}

// Rounding a signalling NaN gives the quiet NaN of the same sign and payload on every engine, as IEEE
// operations do (the C library's floor, ceil and trunc return a signalling NaN unchanged; the batch and
// native engines round with an instruction that quiets it). The other NaNs and the infinities pass
// unchanged.
TEST(AllEngines, RoundingOfNaNsAgrees) {
  const std::vector<std::string> functions = {"floor", "ceil", "trunc", "round"};
  // Signalling NaNs of both signs (quieted), a quiet NaN with a payload and an infinity (unchanged).
  const std::vector<uint64_t> f64_in = {0x7ff0000000000001u, 0xfff4000000000000u, 0x7ff8000000000002u,
                                        0x7ff0000000000000u};
  const std::vector<uint64_t> f64_out = {0x7ff8000000000001u, 0xfffc000000000000u, 0x7ff8000000000002u,
                                         0x7ff0000000000000u};
  const std::vector<uint32_t> f32_in = {0x7f800001u, 0xffa00000u, 0x7fc00002u, 0xff800000u};
  const std::vector<uint32_t> f32_out = {0x7fc00001u, 0xffe00000u, 0x7fc00002u, 0xff800000u};
  std::vector<std::shared_ptr<krvk_compiled_unit>> units;
  std::vector<std::string> symbols;
  krvk_c_batch batch;
  for (const std::string& fn : functions) {
    for (const char* type : {"f64", "f32"}) {
      units.push_back(compile_unit("kernel void r(" + std::string(type) + "* y) { y[gid] = " + fn + "(y[gid]); }"));
      ASSERT_NE(units.back(), nullptr);
      symbols.push_back(batch.add_kernel(*units.back()->kernels[0]));
    }
  }
  std::string error;
  ASSERT_TRUE(batch.build(error)) << error;
  krvk_job_pool pool(1);
  for (size_t i = 0; i < units.size(); ++i) {
    const bool f64 = i % 2 == 0;
    SCOPED_TRACE(functions[i / 2] + (f64 ? " f64" : " f32"));
    std::vector<uint8_t> input, expected;
    const auto append = [](std::vector<uint8_t>& bytes, const auto& values) {
      const auto* first = reinterpret_cast<const uint8_t*>(values.data());
      bytes.insert(bytes.end(), first, first + values.size() * sizeof(values[0]));
    };
    f64 ? append(input, f64_in) : append(input, f32_in);
    f64 ? append(expected, f64_out) : append(expected, f32_out);
    const krvk_program& program = *units[i]->kernels[0];
    const size_t element = f64 ? 8 : 4;
    for (const forced engine : kEngines) {
      SCOPED_TRACE(engine == forced::scalar ? "scalar" : engine == forced::batch ? "batch" : "native");
      const launch_outcome run = launch_forced(
          units[i], program, input.size() / element, 1, engine, batch.kernel(symbols[i]), pool,
          [&](krvk_launch& launch, std::vector<std::vector<uint8_t>>& memory) {
            memory.push_back(input);
            launch.pointer_slots[0] = kptr{memory[0].data(), memory[0].size() / element, element, memory[0].size()};
          });
      ASSERT_FALSE(run.trapped);
      EXPECT_EQ(run.memory.at(0), expected);
    }
  }
}

// Negation flips the sign bit of what it is given, a NaN that the operation before it made included, on
// every engine, with native code built by gcc and, when it is installed, by clang (the first compiler the
// JIT looks for after cl): no compiler may fold -(x / y) into (-x) / y, -(-x / y) into x / y, nor
// -(x * y) + y into y - x * y.
TEST(AllEngines, NegationOfAMadeNaNAgrees) {
  const struct {
    const char* body;
    size_t nans;  // of the six results
  } rows[] = {{"-(a[gid] / b[gid])", 2}, {"-(a[gid] * b[gid])", 2}, {"-(-a[gid] / b[gid])", 2},
              {"-(a[gid] * b[gid]) + b[gid]", 3}};
  // 0/0, inf/inf, inf*0 and 0*inf make a NaN (so does -inf + inf); the others are ordinary.
  const std::vector<double> a_in = {0.0, INFINITY, INFINITY, 0.0, 6.0, -0.0};
  const std::vector<double> b_in = {0.0, INFINITY, 0.0, INFINITY, 3.0, 5.0};
  std::vector<std::string> compilers = {"gcc"};
  if (krvk_probe_compiler("clang")) compilers.push_back("clang");
  std::vector<std::shared_ptr<krvk_compiled_unit>> units;
  for (const auto& row : rows) {
    for (const char* type : {"f64", "f32"}) {
      const std::string t = type;
      units.push_back(compile_unit("kernel void n(" + t + "* y, " + t + "* a, " + t + "* b) { y[gid] = " + row.body + "; }"));
      ASSERT_NE(units.back(), nullptr);
    }
  }
  krvk_job_pool pool(1);
  for (const std::string& compiler : compilers) {
    krvk_c_batch batch;
    std::vector<std::string> symbols;
    for (const auto& unit : units) symbols.push_back(batch.add_kernel(*unit->kernels[0]));
    std::string error;
    ASSERT_TRUE(batch.build(error, krvk_c_batch::jit_flags(), compiler)) << error;
    for (size_t i = 0; i < units.size(); ++i) {
      const bool f64 = i % 2 == 0;
      SCOPED_TRACE(compiler + ": " + rows[i / 2].body + (f64 ? " f64" : " f32"));
      const size_t element = f64 ? 8 : 4;
      std::vector<std::vector<uint8_t>> inputs(2);
      for (size_t k = 0; k < a_in.size(); ++k) {
        for (int side = 0; side < 2; ++side) {
          const double value = side == 0 ? a_in[k] : b_in[k];
          const float narrow = static_cast<float>(value);
          const auto* bytes = f64 ? reinterpret_cast<const uint8_t*>(&value) : reinterpret_cast<const uint8_t*>(&narrow);
          inputs[side].insert(inputs[side].end(), bytes, bytes + element);
        }
      }
      const krvk_program& program = *units[i]->kernels[0];
      std::vector<launch_outcome> runs;
      for (const forced engine : kEngines) {
        runs.push_back(launch_forced(units[i], program, a_in.size(), 1, engine, batch.kernel(symbols[i]), pool,
                                     [&](krvk_launch& launch, std::vector<std::vector<uint8_t>>& memory) {
                                       memory = {std::vector<uint8_t>(inputs[0].size()), inputs[0], inputs[1]};
                                       for (size_t p = 0; p < memory.size(); ++p)
                                         launch.pointer_slots[program.parameters[p].pointer_slot] =
                                             kptr{memory[p].data(), a_in.size(), element, memory[p].size()};
                                     }));
      }
      const uint8_t* made = runs[0].memory.at(0).data();
      size_t nans = 0;
      for (size_t k = 0; k < a_in.size(); ++k)
        nans += f64 ? std::isnan(reinterpret_cast<const double*>(made)[k]) : std::isnan(reinterpret_cast<const float*>(made)[k]);
      EXPECT_EQ(nans, rows[i / 2].nans);
      expect_same_launches(runs);
    }
  }
}

}  // namespace
