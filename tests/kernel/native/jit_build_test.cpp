// Native code built by the system gcc: a JIT build that runs like the interpreter and is found again by
// a second process without compiling; ahead-of-time files, their shared libraries and their C++
// registration; the statuses of kernels once a table is loaded.
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "kernel/compiler/kernel_runner.h"
#include "kernel/native/aot.h"
#include "kernel/native/c_translator.h"
#include "kernel/native/jit_request.h"
#include "kernel/runtime/settings.h"
#include "kernel/support/engine_compare.h"
#include "kernel/support/jit_scratch.h"
#include "platform/process.h"

namespace {

const char* const kSaxpy = "kernel void saxpy(f32* y, const f32* x, f32 a) { y[gid] = a * x[gid] + y[gid]; }\n";

int count_builds(const std::string& log) {
  int count = 0;
  for (size_t at = log.find("-shared"); at != std::string::npos; at = log.find("-shared", at + 1)) ++count;
  return count;
}

int run(const std::vector<std::string>& argv, std::string* output = nullptr) {
  return krv_platform::run_process(argv, output, std::chrono::minutes(2));
}

// Builds saxpy through the JIT and checks it against the interpreter; run in this process and, by the
// test below, in a second one.
void build_and_compare_saxpy() {
  const auto unit = compile_unit(kSaxpy);
  std::string error;
  const krvk_native_fn built = krvk_jit_compile(krvk_jit_source(*unit->kernels[0]), error);
  ASSERT_NE(built, nullptr) << error;
  krvk_compare_engines(*unit->kernels[0], built, krvk_engine_state(*unit->kernels[0], 1000, 1, 1000, 7), 0, 1000);
}

TEST(JitSecondProcess, BuildsOrLoads) {
  if (std::getenv("KRVK_JIT_SECOND_PROCESS") == nullptr) GTEST_SKIP() << "run by JitBuild.CacheAcrossProcesses";
  build_and_compare_saxpy();
}

TEST(JitBuild, CacheAcrossProcesses) {
  scratch_dir scratch;
  const std::string log = scratch / "calls.log";
  const std::string wrapper = scratch / "cc-wrapper";
  write_script(wrapper, "echo \"$*\" >> '" + log + "'\nexec gcc \"$@\"\n");
  jit_environment env({{"KRV_KERNEL_CC", wrapper}, {"KRV_KERNEL_CACHE", scratch / "cache"},
                       {"KRVK_JIT_SECOND_PROCESS", "1"}});
  build_and_compare_saxpy();
  ASSERT_EQ(count_builds(read_text(log)), 1);
  const std::vector<std::string> cached = names_in(scratch.path() / "cache");
  ASSERT_EQ(cached.size(), 1u);
  const std::vector<std::string> second = {"/proc/self/exe", "--gtest_filter=JitSecondProcess.BuildsOrLoads"};
  std::string output;
  EXPECT_EQ(run(second, &output), 0) << output;
  EXPECT_EQ(count_builds(read_text(log)), 1);  // loaded from the cache
  std::filesystem::remove(scratch.path() / "cache" / cached[0]);
  EXPECT_EQ(run(second, &output), 0) << output;
  EXPECT_EQ(count_builds(read_text(log)), 2);  // built again
  EXPECT_EQ(names_in(scratch.path() / "cache"), cached);
}

std::string hex(const char* format, uint64_t value) {
  char text[40];
  std::snprintf(text, sizeof text, format, static_cast<unsigned long long>(value));
  return text;
}

class AheadOfTime : public ::testing::Test {
 protected:
  void SetUp() override { saved_mode_ = krvk_jit_mode.load(); }
  void TearDown() override { krvk_jit_mode = saved_mode_; }

  // Builds `source` into scratch/name with gcc and the given extra flags; the path.
  std::string build(const std::string& name, const std::string& source, std::vector<std::string> flags) {
    const std::string c_path = scratch_ / (name + ".c");
    const std::string out = scratch_ / name;
    write_text(c_path, source);
    std::vector<std::string> argv = {"gcc", "-O2", "-fno-strict-aliasing", "-ffp-contract=off", "-fno-math-errno",
                                     "-o", out, c_path, "-lm"};
    argv.insert(argv.begin() + 1, flags.begin(), flags.end());
    std::string output;
    EXPECT_EQ(run(argv, &output), 0) << output;
    return out;
  }

  scratch_dir scratch_;
  uint32_t saved_mode_ = 0;
};

TEST_F(AheadOfTime, FileLayout) {
  const auto unit = compile_unit(std::string(kSaxpy) + "kernel void twice(f32* y) { y[gid] = y[gid] * 2.0f; }\n" +
                                 "kernel void doubled(f32* y) { y[gid] = y[gid] * 2.0f; }\n");
  const krvk_program& saxpy = *unit->kernels[0];
  const uint64_t saxpy_hash = krvk_kernel_hash(saxpy);
  const uint64_t twice_hash = krvk_kernel_hash(*unit->kernels[1]);
  EXPECT_EQ(krvk_kernel_hash(*unit->kernels[2]), twice_hash);  // names do not enter the hash
  EXPECT_NE(saxpy_hash, twice_hash);
  EXPECT_NE(saxpy_hash, 0u);
  const std::string text = krvk_aot_source({&saxpy, unit->kernels[1].get(), unit->kernels[2].get(), &saxpy});
  const std::string saxpy_name = hex("krvk_aot_%016llx", saxpy_hash);
  const std::string twice_name = hex("krvk_aot_%016llx", twice_hash);
  krvk_c_translator translator(saxpy);
  const std::vector<std::pair<std::string, size_t>> expected_counts = {
      {"static int krvk_aot_", 2},
      {krvk_c_kernel_comment(saxpy) + krvk_c_translate_kernel(translator, "static int " + saxpy_name), 1},
      {"/* kernel doubled", 0},
      {"static const krvk_aot_entry krvk_aot_entries[] = {\n\t{ " + hex("0x%016llxULL", saxpy_hash) + ", " +
           saxpy_name + " },\n\t{ " + hex("0x%016llxULL", twice_hash) + ", " + twice_name + " },\n};\n",
       1},
      {"#ifdef KRVK_AOT_SHARED\nK_EXPORT const krvk_aot_entry* krvk_aot_table(unsigned* count) { *count = 2u; "
       "return krvk_aot_entries; }\n#endif\n",
       1},
      {"#pragma GCC diagnostic ignored \"-Wunused-but-set-variable\"\n", 1},
  };
  for (const auto& [piece, count] : expected_counts) {
    size_t found = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++found;
    EXPECT_EQ(found, count) << piece;
  }
  EXPECT_EQ(text.rfind(
                "/* Korvalang kernels, native code for std.kernel_aot_load() or a build of the interpreter "
                "(krvk-jit-1).\n   Generated by std.kernel_aot_source(); a kernel only uses it when its bytecode is "
                "unchanged.\n   Shared library:  cc -O2 -shared -fPIC -fno-strict-aliasing -ffp-contract=off "
                "-fno-math-errno -DKRVK_AOT_SHARED -o kernels.so kernels.c\n                    (cl /O2 /fp:precise "
                "/LD /DKRVK_AOT_SHARED kernels.c), then std.kernel_aot_load(\"kernels.so\")\n   In the interpreter / "
                "a firmware: compile this file as C++ (kernels.cpp) with the same floating point flags\n"
                "                    (no fused multiply add: -ffp-contract=off), it registers its kernels at "
                "startup. */\n#ifdef __GNUC__\n",
                0),
            0u);
  const std::string tail =
      "#ifdef __cplusplus\n}\n#ifndef KRVK_AOT_SHARED\nextern \"C\" void krvk_aot_register(uint64_t hash, void* fn);\n"
      "namespace { struct krvk_aot_init { krvk_aot_init() { for (unsigned i = 0; i < 2u; i++) "
      "krvk_aot_register(krvk_aot_entries[i].hash, (void*)krvk_aot_entries[i].fn); } } krvk_aot_init_instance; }\n"
      "#endif\n#endif\n";
  EXPECT_EQ(text.substr(text.size() - std::min(text.size(), tail.size())), tail);

  // Compiled as C++ into a program that defines the registration: each entry registers once.
  write_text(scratch_ / "kernels.cpp", text);
  write_text(scratch_ / "main.cpp",
             "#include <cstdint>\n#include <cstdio>\n"
             "extern \"C\" void krvk_aot_register(uint64_t hash, void* fn) {\n"
             "  std::printf(\"%016llx %d\\n\", (unsigned long long)hash, fn != nullptr);\n}\n"
             "int main() { return 0; }\n");
  std::string output;
  ASSERT_EQ(run({"g++", "-O2", "-ffp-contract=off", "-o", scratch_ / "registers", scratch_ / "kernels.cpp",
                 scratch_ / "main.cpp"},
                &output),
            0)
      << output;
  ASSERT_EQ(run({scratch_ / "registers"}, &output), 0);
  EXPECT_EQ(output, hex("%016llx 1\n", saxpy_hash) + hex("%016llx 1\n", twice_hash));
}

TEST_F(AheadOfTime, LoadedTablesAndStatuses) {
  const auto unit = compile_unit(std::string(kSaxpy) + "kernel void twice(f32* y) { y[gid] = y[gid] * 2.0f; }\n");
  const auto& saxpy = unit->kernels[0];
  const auto& twice = unit->kernels[1];
  // twice is made ready by the JIT first.
  jit_environment env({{"KRV_KERNEL_CC", "gcc"}, {"KRV_KERNEL_CACHE", scratch_ / "cache"}});
  krvk_jit_mode = KRVK_JIT_SYNC;
  krvk_jit_request(unit, twice.get(), nullptr);
  ASSERT_EQ(krvk_jit_status_text(twice.get()), "ready");

  const std::vector<std::string> shared = {"-shared", "-fPIC", "-DKRVK_AOT_SHARED"};
  const std::string table = build("kernels.so", krvk_aot_source({saxpy.get(), twice.get()}), shared);
  const std::string empty = build("empty.so", krvk_aot_source({}), shared);
  const std::string plain = build("plain.so", krvk_aot_source({saxpy.get()}), {"-shared", "-fPIC"});
  std::string error;
  EXPECT_EQ(krvk_aot_load(empty, error), 0);
  EXPECT_EQ(krvk_jit_status_text(saxpy.get()), "none");
  EXPECT_EQ(krvk_aot_load(plain, error), -1);
  EXPECT_EQ(error, plain + " is not a kernel library (no krvk_aot_table, build it with -DKRVK_AOT_SHARED)");
  EXPECT_EQ(krvk_aot_load(scratch_ / "missing.so", error), -1);
  EXPECT_EQ(error, "cannot load " + scratch_ / "missing.so");
  EXPECT_EQ(krvk_aot_load(table, error), 2);

  // Loading touches no slot; each kernel takes its function at its next request.
  EXPECT_EQ(krvk_jit_status_text(saxpy.get()), "none");
  krvk_jit_mode = KRVK_JIT_AUTO;
  for (const auto& program : unit->kernels) krvk_jit_request(unit, program.get(), nullptr);
  EXPECT_EQ(krvk_jit_status_text(saxpy.get()), "aot");
  EXPECT_EQ(krvk_jit_status_text(twice.get()), "ready");
  krvk_compare_engines(*saxpy, saxpy->jit_slot->function, krvk_engine_state(*saxpy, 500, 1, 500, 3), 0, 500);

  // A kernel compiled from changed source has a new hash and finds nothing.
  const auto changed = compile_unit("kernel void saxpy(f32* y, const f32* x, f32 a) { y[gid] = a * x[gid]; }\n");
  krvk_jit_request(changed, changed->kernels[0].get(), nullptr);
  EXPECT_EQ(krvk_jit_status_text(changed->kernels[0].get()), "none");
}

}  // namespace
