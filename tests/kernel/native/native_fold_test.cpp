// What a C compiler could compute or rewrite on its own, against the scalar interpreter bit for bit:
// math built-ins of a constant or of a rewritable form (cos(atan(x)), pow(x, 2.0)), arithmetic with a
// constant that a compiler turns into a copy or a negation (x * 1.0f, x * -1.0f, x * f32(k) of a loop
// counter k it unrolls), conversions and absolute values it drops (f32(f64(x)), |x| * |x|) and
// operations it computes itself (0.0f / 0.0f of a local array, f32(0) / f32(0)). Each kernel runs on NaNs
// (quiet and signalling, both signs, with payloads), infinities, huge values and the inputs at which the
// C library and a compiler's own arithmetic part. Native code is built by gcc and, when it is installed, by
// clang, each with the JIT's flags, with the plain flags of the ahead-of-time example, with -O3
// -march=native (fused multiply-add where the processor has it), with the flags a user may add that
// let a compiler contract, take reciprocals and ignore the sign of zero, and with -mavx512fp16 (gcc then
// evaluates _Float16 in its own type, __FLT_EVAL_METHOD__ 16, which leaves float and double alone). A
// flag set whose code needs a processor feature is built everywhere and run only where the processor
// has the feature.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "kernel/compiler/kernel_runner.h"
#include "kernel/native/ieee_check.h"
#include "kernel/native/jit_cache.h"
#include "kernel/support/c_batch.h"
#include "kernel/support/engine_compare.h"

namespace {

struct fold_row {
  const char* type;  // of the buffers and of `t`
  const char* locals;  // statements before the store
  const char* value;  // stored at o[gid]
};

constexpr fold_row kRows[] = {
    {"f32", "", "cos(atan(a[gid]))"},
    {"f64", "", "cos(atan(a[gid]))"},
    {"f32", "", "sin(atan(a[gid]))"},
    {"f64", "", "sin(atan(a[gid]))"},
    {"f32", "f32 t[1] = {0.91070628f};", "asin(t[0])"},
    {"f32", "f32 t[1] = {1.17176242f};", "log10(t[0])"},
    {"f64", "f64 t[1] = {1.3019782775352045};", "log10(t[0])"},
    {"f64", "", "pow(a[gid], -1.0)"},
    {"f64", "", "pow(a[gid], 2.0)"},
    {"f32", "", "pow(a[gid], 0.0f)"},
    {"f32", "", "pow(a[gid], 0.5f)"},
    {"f64", "", "pow(0.5, a[gid])"},
    {"f32", "", "a[gid] * -1.0f"},
    {"f32", "", "a[gid] / -1.0f"},
    {"f32", "", "a[gid] * 1.0f"},
    {"f64", "", "a[gid] - 0.0"},
    {"f64", "", "a[gid] + -0.0"},
    {"f32", "", "f32(f64(a[gid]))"},
    {"f32", "", "abs(a[gid]) * abs(a[gid])"},
    {"f32", "f32 s = 0.5f; for (i32 k = 1; k < 2; k++) s = a[gid] * f32(k);", "s"},
    {"f32", "f32 s = 0.5f; for (i32 k = -1; k < 0; k++) s = a[gid] / f32(k);", "s"},
    {"f32", "f32 s = 0.5f; for (i32 k = 0; k < 1; k++) s = a[gid] - f32(k);", "s"},
    {"f32", "f32 s = 0.5f; for (i32 k = 0; k < 1; k++) s = f32(k) / f32(k);", "s"},
    {"f32", "f32 t[2] = {0.0f, 0.0f};", "t[0] / t[1]"},
    {"f64", "f64 t[2] = {0.0, 0.0};", "t[0] / t[1]"},
    // Fused into one rounding under -march=native or -ffp-contract=fast; a reciprocal under -freciprocal-math.
    {"f32", "o[gid] = a[gid] * 0.3f; f32 xv = a[gid]; f32 yv = o[gid];", "1.1f * xv - yv"},
    {"f64", "o[gid] = a[gid] * 0.3; f64 xv = a[gid]; f64 yv = o[gid];", "1.1 * xv - yv"},
    {"f32", "", "a[gid] / 13.0f"},
    {"f64", "", "a[gid] / 3.0"},
    // A constant seen through a store and a reload; a value learnt from an equality test (a[0] is a NaN).
    {"f32", "o[gid] = -1.0f;", "a[gid] / o[gid]"},
    {"f32", "o[gid] = 1.0f; o[gid] *= a[gid];", "o[gid]"},
    {"f32", "for (i32 k = -1; k < 0; k++) { o[gid] = f32(k); o[gid] = a[gid] / o[gid]; }", "o[gid]"},
    {"f32", "o[gid] = 0.25f; if (a[gid] == 0.5f) o[gid] = a[0] / (a[gid] - 1.5f);", "o[gid]"},
    {"f64", "o[gid] = 0.25; if (a[gid] != 0.5) return; o[gid] = a[0] / (a[gid] - 1.5);", "o[gid]"},
    // A copy on one path and a multiply on the other: clang would multiply by 1 on the copy's path.
    {"f32", "f32 v = a[0]; if (a[gid] > 0.0f) v *= a[gid];", "v"},
    // What a compiler that assumes no NaN or allows unsafe math rewrites: NaN tests, sqrt(x) * sqrt(x) into x.
    {"f32", "", "a[gid] == a[gid] ? a[gid] : 0.0f"},
    {"f32", "", "a[gid] != a[gid] ? 1.0f : 2.0f"},
    {"f32", "", "sqrt(a[gid]) * sqrt(a[gid])"},
    {"f64", "", "sqrt(a[gid]) * sqrt(a[gid])"},
};

// Signalling NaNs of both signs, quiet NaNs with and without a payload, infinities, huge and tiny
// values, and the two inputs at which pow(x, -1.0) and pow(x, 2.0) differ from 1/x and x*x.
const std::vector<uint32_t> kF32Inputs = {0x7fa00001u, 0xffa00002u, 0x7fc00003u, 0xffc00000u, 0x7f800000u,
                                          0xff800000u, 0x7149f2cau, 0xf149f2cau, 0x3f000000u, 0x80000000u,
                                          0x7f7fffffu, 0x503c28a1u, 0x2515aee7u};
const std::vector<uint64_t> kF64Inputs = {
    0x7ff4000000000001u, 0xfff0000000000002u, 0x7ff8000000000003u, 0xfff8000000000000u, 0x7ff0000000000000u,
    0xfff0000000000000u, 0x46293e5939a08ceau, 0xc6293e5939a08ceau, 0x3fe0000000000000u, 0x8000000000000000u,
    0x7fefffffffffffffu, 0x420785142d3f0a28u, 0x3ca2b5dce2156bbau};

std::string kernel_source(const fold_row& row) {
  const std::string t = row.type;
  return "kernel void k(" + t + "* o, const " + t + "* a) { " + row.locals + " o[gid] = " + row.value + "; }";
}

// Flags a compiler builds the kernels with, and what the library must do.
struct flag_set {
  const char* compiler;  // "gcc" or "clang" for flags only one knows; null: every compiler
  std::vector<std::string> flags;
  const char* needs;  // a processor feature the code may use (as /proc/cpuinfo names it); null: none
  bool link_apart;  // compiled with the flags, linked without them (no crtfastmath.o)
  const char* refusal;  // the case the library's self-check must fail; null: it keeps every bit
};

// Whether the "flags" line of /proc/cpuinfo names the feature: the processor has it and the kernel
// lets programs use it. Read as text, so the answer does not depend on what the test's compiler knows.
bool processor_has(const std::string& feature) {
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);)
    if (line.rfind("flags", 0) == 0) return (line + " ").find(" " + feature + " ") != std::string::npos;
  return false;
}

template <class T>
std::vector<uint8_t> bytes_of(const std::vector<T>& values) {
  std::vector<uint8_t> bytes(values.size() * sizeof(T));
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

TEST(NativeFolding, EveryCompilerAndFlagSetGivesTheInterpretersBits) {
  // The inputs are the reason for the test: check that they are the values named above.
  ASSERT_EQ(std::bit_cast<double>(kF64Inputs[11]), 12627117479.879959);
  ASSERT_EQ(std::bit_cast<double>(kF64Inputs[12]), 1.2982949201289291e-16);
  ASSERT_EQ(std::bit_cast<float>(kF32Inputs[6]), 1e30f);
  std::vector<std::shared_ptr<krvk_compiled_unit>> units;
  for (const fold_row& row : kRows) {
    units.push_back(compile_unit(kernel_source(row)));
    ASSERT_NE(units.back(), nullptr) << kernel_source(row);
  }
  std::vector<std::string> compilers = {"gcc"};
  if (krvk_probe_compiler("clang")) compilers.push_back("clang");
  const std::vector<std::string> library = {"-shared", "-fPIC", "-w"};
  const std::vector<flag_set> flag_sets = {
      {nullptr, {"-O2", "-fno-strict-aliasing", "-ffp-contract=off", "-fno-math-errno"}, nullptr, false, nullptr},
      {nullptr, {"-O2"}, nullptr, false, nullptr},
      {nullptr, {"-O3", "-march=native"}, nullptr, false, nullptr},
      {nullptr, {"-O2", "-march=native", "-ffp-contract=fast", "-freciprocal-math", "-fno-signed-zeros", "-fno-trapping-math"},
       nullptr, false, nullptr},
      // gcc evaluates _Float16 in its own type here (__FLT_EVAL_METHOD__ 16), float and double as before.
      {nullptr, {"-O3", "-mavx512fp16", "-ffp-contract=fast"}, "avx512fp16", false, nullptr},
      // Unsafe math that no macro reveals; linked apart, no crtfastmath.o sets flush-to-zero.
      {"gcc", {"-O2", "-funsafe-math-optimizations", "-fno-associative-math"}, nullptr, true, nullptr},
      {"gcc", {"-O2", "-funsafe-math-optimizations", "-fno-reciprocal-math"}, nullptr, true, nullptr},
      {"gcc", {"-O2", "-funsafe-math-optimizations", "-fsigned-zeros"}, nullptr, true, nullptr},
      {"gcc", {"-O2", "-ffast-math", "-fno-finite-math-only", "-fsigned-zeros"}, nullptr, true, nullptr},
      {"gcc", {"-O2", "-fassociative-math", "-freciprocal-math", "-fno-signed-zeros", "-fno-trapping-math"}, nullptr,
       false, nullptr},
      // No pragma holds these: the library's self-check must refuse it.
      {"clang", {"-O2", "-ffast-math", "-fhonor-nans"}, nullptr, true, "sqrtf(10.0f) gave 0x404a62c1 where 0x404a62c2"},
      {"clang", {"-O2", "-fno-honor-nans"}, nullptr, false, "NaN == NaN (f64) gave 0x1 where 0x0"},
  };
  for (const std::string& compiler : compilers) {
    for (const flag_set& set : flag_sets) {
      if (set.compiler != nullptr && compiler != set.compiler) continue;
      std::vector<std::string> flags = set.flags;
      std::string shown = compiler;
      for (const std::string& flag : flags) shown += " " + flag;
      flags.insert(flags.end(), library.begin(), library.end());
      krvk_c_batch batch;
      std::vector<std::string> symbols;
      for (const auto& unit : units) symbols.push_back(batch.add_kernel(*unit->kernels[0]));
      batch.add_text(krvk_ieee_check_text);
      std::string error;
      ASSERT_TRUE(batch.build(error, flags, compiler, set.link_apart)) << shown << ": " << error;
      if (set.needs != nullptr && !processor_has(set.needs)) {
        std::cout << "not run (built only): " << shown << ": this processor has no " << set.needs << "\n";
        continue;
      }
      const auto answers = reinterpret_cast<krvk_ieee_answers_fn>(batch.symbol(krvk_ieee_check_symbol));
      ASSERT_NE(answers, nullptr) << shown;
      const std::string refusal = krvk_ieee_refusal(answers);
      if (set.refusal != nullptr) {
        EXPECT_NE(refusal.find(set.refusal), std::string::npos) << shown << ": " << refusal;
        continue;
      }
      EXPECT_EQ(refusal, "") << shown;
      for (size_t i = 0; i < units.size(); ++i) {
        SCOPED_TRACE(shown + ": " + kernel_source(kRows[i]));
        const krvk_program& program = *units[i]->kernels[0];
        const bool f32 = std::string(kRows[i].type) == "f32";
        const uint64_t items = f32 ? kF32Inputs.size() : kF64Inputs.size();
        krvk_engine_state start(program, items, 1, items, 0);
        start.buffers[program.parameters[1].pointer_slot] = f32 ? bytes_of(kF32Inputs) : bytes_of(kF64Inputs);
        start.rebind();
        krvk_compare_engines(program, batch.kernel(symbols[i]), start, 0, items);
      }
    }
  }
}

}  // namespace
