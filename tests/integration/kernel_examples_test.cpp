// The kernel examples as a user runs them with `krvhost run`, each process under a time limit and with a
// kernel cache of its own: the engines table against its expected text (times masked), the run without
// a C compiler, a run whose engines disagree, and the ahead-of-time round trip through gcc.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <regex>
#include <string>

#include "timed_process.h"

namespace {

const std::string examples = KRV_KERNEL_EXAMPLES_DIR;

// A fresh directory under the test's temporary directory, removed with everything in it.
class scratch_dir {
 public:
  scratch_dir() {
    std::string pattern = ::testing::TempDir() + "krv_kernel_examples_XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~scratch_dir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  bool empty_dir() const { return std::filesystem::is_empty(path); }
  std::string path;
};

// `krvhost run` of an example with its own kernel cache and the given changes to the environment.
krv_process_result run_example(const std::string& script, const scratch_dir& cache, std::vector<std::string> args = {},
                               krv_environment_changes changes = {}) {
  std::vector<std::string> argv{KRV_KRVHOST_PATH, "run", script};
  argv.insert(argv.end(), args.begin(), args.end());
  changes.emplace("KRV_KERNEL_CACHE", cache.path);
  return krv_run_process(argv, changes);
}

// The output with the times of the table's rows (the last column) masked.
std::string masked(const std::string& out) {
  static const std::regex time(R"(\| [0-9]+\.[0-9]+ ms\n)");
  return std::regex_replace(out, time, "| # ms\n");
}

// KRV_KERNEL_CC names no program: the setting is rejected with its reason.
const char* const no_compiler =
    "failed: KRV_KERNEL_CC \"/nonexistent\" rejected: the probe (/nonexistent --version) could not be started";

std::string engines_table(const std::string& native_status) {
  std::string statuses;
  for (const char* name : {"fill", "saxpy", "box3", "stats", "median5", "checksum"})
    statuses += std::string("  ") + name + ": " + native_status + "\n";
  return "engine | results | jit_status | float sum (not compared) | time of the second pass\n"
         "scalar | reference | off | 0.231195 | # ms\n"
         "batch  | same bytes | off | 0.231195 | # ms\n"
         "native | same bytes | " + native_status + " | 0.231195 | # ms\n"
         "jit_status of each kernel:\n" + statuses + "all engines gave the same bytes\n";
}

TEST(KernelExamples, EveryEngineGivesTheSameBytes) {
  scratch_dir cache;
  const krv_process_result run = run_example(examples + "/kernels.krvasm", cache, {}, {{"KRV_KERNEL_CC", std::nullopt}});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(masked(run.out), engines_table("ready"));
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(cache.empty_dir());  // the built kernels stay for the next run
}

TEST(KernelExamples, WithoutACompilerTheInterpretersStillAgree) {
  scratch_dir cache;
  const krv_process_result run =
      run_example(examples + "/kernels.krvasm", cache, {}, {{"KRV_KERNEL_CC", "/nonexistent"}});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(masked(run.out), engines_table(no_compiler));
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(cache.empty_dir());
}

// The batch run given other inputs: its row says so, the others still agree, and the run fails.
TEST(KernelExamples, ADifferenceEndsTheRunWithStatusOne) {
  std::string text = krv_read_whole_file(examples + "/kernels.krvasm");
  const size_t call = text.find("# run(\"batch \", \"batch\", \"off\", 1)");
  const size_t seed = text.find("load_int 1\n", call);
  ASSERT_NE(seed, std::string::npos);
  text.replace(seed, 11, "load_int 2\n");
  scratch_dir cache;
  const std::string script = cache.path + "/differs.krvasm";
  std::ofstream(script) << text;
  const krv_process_result run = run_example(script, cache, {}, {{"KRV_KERNEL_CC", "/nonexistent"}});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.out.find("\nbatch  | DIFFERENT | off | "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\nnative | same bytes | "), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("all engines gave the same bytes"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("the engines gave different results (see the table above)"), std::string::npos) << run.err;
}

// aot_source's output built with gcc as a shared library, then loaded by aot_load before its first launch:
// every kernel runs the library's code ("aot"), with no C compiler at run time, to the scalar bytes.
TEST(KernelExamples, AheadOfTimeRoundTrip) {
  scratch_dir cache;
  const krv_process_result source = run_example(examples + "/aot_source.krvasm", cache);
  ASSERT_EQ(source.exit_code, 0) << source.err;
  EXPECT_EQ(source.out.rfind("/* Korvalang kernels, native code for std.kernel_aot_load()", 0), 0u);
  EXPECT_EQ(source.out.find("#ifdef KRVK_AOT_SHARED\nK_EXPORT const krvk_aot_entry* krvk_aot_table(unsigned* count) "
                            "{ *count = 6u; return krvk_aot_entries; }\n"),
            source.out.rfind("#ifdef KRVK_AOT_SHARED\n"));
  const std::string c_file = cache.path + "/kernels.c", library = cache.path + "/kernels.so";
  std::ofstream(c_file, std::ios::binary) << source.out;
  const krv_process_result gcc =
      krv_run_process({"gcc", "-shared", "-fPIC", "-O2", "-DKRVK_AOT_SHARED", "-o", library, c_file, "-lm"});
  ASSERT_EQ(gcc.exit_code, 0) << gcc.err;

  scratch_dir load_cache;
  const krv_process_result run =
      run_example(examples + "/aot_load.krvasm", load_cache, {library}, {{"KRV_KERNEL_CC", "/nonexistent"}});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(masked(run.out),
            "kernel_aot_load: 6 kernels\n"
            "engine | results | jit_status | float sum (not compared) | time of the second pass\n"
            "scalar | reference | off | 0.231195 | # ms\n"
            "aot    | same bytes | aot | 0.231195 | # ms\n"
            "jit_status of each kernel:\n"
            "  fill: aot\n  saxpy: aot\n  box3: aot\n  stats: aot\n  median5: aot\n  checksum: aot\n"
            "all engines gave the same bytes\n");
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(load_cache.empty_dir());
}

TEST(KernelExamples, AotLoadRefusals) {
  scratch_dir cache;
  const std::string c_file = cache.path + "/plain.c", plain = cache.path + "/plain.so";
  std::ofstream(c_file) << "int krv_no_kernels_here;\n";
  ASSERT_EQ(krv_run_process({"gcc", "-shared", "-fPIC", "-o", plain, c_file}).exit_code, 0);
  const struct {
    std::vector<std::string> args;
    std::string in_err;
  } cases[] = {
      {{}, "usage: krvhost run aot_load.krvasm LIBRARY (built from aot_source.krvasm)"},
      {{cache.path + "/missing.so"}, "kernel_aot_load: cannot load " + cache.path + "/missing.so"},
      {{plain}, plain + " is not a kernel library (no krvk_aot_table, build it with -DKRVK_AOT_SHARED)"},
  };
  for (const auto& c : cases) {
    const krv_process_result run = run_example(examples + "/aot_load.krvasm", cache, c.args);
    EXPECT_EQ(run.exit_code, 1) << c.in_err;
    EXPECT_EQ(run.out.find("engine |"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(c.in_err), std::string::npos) << run.err;
  }
}

// The three scripts carry one kernel source, and kernels.krvasm and aot_load.krvasm one set of engine
// runs: the text form has no include, so the copies are held equal here.
TEST(KernelExamples, OneKernelSourceAndOneRunner) {
  const std::string kernels = krv_read_whole_file(examples + "/kernels.krvasm");
  const std::string aot_source = krv_read_whole_file(examples + "/aot_source.krvasm");
  const std::string aot_load = krv_read_whole_file(examples + "/aot_load.krvasm");
  const auto kernel_source = [](const std::string& text) {
    const size_t start = text.find("\nstring \"// kernels.k:");
    return start == std::string::npos ? std::string() : text.substr(start, text.find('\n', start + 1) - start);
  };
  ASSERT_NE(kernel_source(kernels), "");
  EXPECT_EQ(kernel_source(aot_source), kernel_source(kernels));
  EXPECT_EQ(kernel_source(aot_load), kernel_source(kernels));
  // The runner names program strings and natives by number: those of kernels.krvasm come first in
  // aot_load.krvasm, in the same order.
  const auto lines_with = [](const std::string& text, const std::string& keyword) {
    std::string lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
      if (line.rfind(keyword + " ", 0) == 0) lines += line + "\n";
    return lines;
  };
  for (const char* keyword : {"string", "native"})
    EXPECT_EQ(lines_with(aot_load, keyword).rfind(lines_with(kernels, keyword), 0), 0u) << keyword;
  const char* const marker = "# The engine runs, the same in kernels.krvasm and aot_load.krvasm.";
  ASSERT_NE(kernels.find(marker), std::string::npos);
  EXPECT_EQ(aot_load.substr(aot_load.find(marker)), kernels.substr(kernels.find(marker)));
}

}  // namespace
