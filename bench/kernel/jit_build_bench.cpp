// What the JIT cache costs around the compiler: a cold build of one kernel (discovery done, empty cache:
// write the source, run gcc without a shell, rename, load) against running the same gcc command on the
// same source directly (write the file, posix_spawn, wait), in the same binary. Also figures for a
// warm-disk load (the library is in the cache directory, not yet in this process) and an in-process hit.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kernel/compiler/compile_driver.h"
#include "kernel/native/c_translator.h"
#include "kernel/native/jit_cache.h"

extern char** environ;

namespace {

const char* const kSaxpy = "kernel void saxpy(f32* y, const f32* x, f32 a) { y[gid] = a * x[gid] + y[gid]; }\n";
const char* const kBoxFilter = R"(
kernel const f32 NINTH = 1.0f / 9.0f;
inline i32 clamp_to(i32 v, i32 n) { return clamp(v, 0, n - 1); }
kernel f32 box3(f32* dst, const f32* src) reduce(+) {
  i32 x = i32(gid_x), y = i32(gid_y), w = i32(gsize_x), h = i32(gsize_y);
  f32 acc = 0.0f;
  for (i32 dy = -1; dy <= 1; dy++) {
    for (i32 dx = -1; dx <= 1; dx++) {
      acc += src[clamp_to(y + dy, h) * w + clamp_to(x + dx, w)];
    }
  }
  dst[gid] = acc * NINTH;
  return dst[gid];
}
)";

std::string jit_source(int kernel) {
  kerror error;
  const auto unit = krvk_compile_source(kernel == 0 ? kSaxpy : kBoxFilter, "bench.k", error, {});
  return krvk_jit_source(*unit->kernels[0]);
}

// A scratch directory for the run, and fresh cache directories inside it.
struct bench_dirs {
  std::filesystem::path root;
  int next = 0;

  bench_dirs() {
    std::string pattern = (std::filesystem::temp_directory_path() / "krvk_jit_bench_XXXXXX").string();
    root = mkdtemp(pattern.data());
  }
  ~bench_dirs() { std::filesystem::remove_all(root); }
  std::filesystem::path fresh() { return root / std::to_string(next++); }
};

// Points the JIT at a new, empty cache directory and discovers gcc and that directory.
void use_cache(const std::filesystem::path& dir) {
  setenv("KRV_KERNEL_CACHE", dir.c_str(), 1);
  setenv("KRV_KERNEL_CC", "gcc", 1);
  krvk_jit_forget();
  krvk_jit_discover();
}

void BM_JitColdBuild(benchmark::State& state) {
  const std::string source = jit_source(static_cast<int>(state.range(0)));
  bench_dirs dirs;
  for (auto _ : state) {
    state.PauseTiming();
    use_cache(dirs.fresh());
    state.ResumeTiming();
    std::string error;
    if (krvk_jit_compile(source, error) == nullptr) state.SkipWithError(error.c_str());
  }
}

void BM_GccDirect(benchmark::State& state) {
  const std::string source = jit_source(static_cast<int>(state.range(0)));
  bench_dirs dirs;
  for (auto _ : state) {
    const std::string stem = dirs.fresh().string();
    std::ofstream(stem + ".c", std::ios::binary) << source;
    std::vector<std::string> args = {"gcc", "-O2", "-shared", "-fPIC", "-fno-strict-aliasing", "-ffp-contract=off",
                                     "-fno-math-errno", "-w", "-o", stem + ".so", stem + ".c", "-lm"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    int status = 0;
    if (posix_spawnp(&child, "gcc", nullptr, nullptr, argv.data(), environ) != 0 || waitpid(child, &status, 0) != child ||
        status != 0) {
      state.SkipWithError("gcc failed");
    }
  }
}

// The library is in the cache directory (copied there while the clock is paused) but not yet loaded.
void BM_JitWarmDiskLoad(benchmark::State& state) {
  const std::string source = jit_source(static_cast<int>(state.range(0)));
  bench_dirs dirs;
  const std::filesystem::path built = dirs.fresh();
  use_cache(built);
  std::string error;
  krvk_jit_compile(source, error);
  const std::filesystem::path library = *std::filesystem::directory_iterator(built);
  for (auto _ : state) {
    state.PauseTiming();
    const std::filesystem::path cache = dirs.fresh();
    std::filesystem::create_directory(cache);
    std::filesystem::copy_file(library, cache / library.filename());
    use_cache(cache);
    state.ResumeTiming();
    if (krvk_jit_compile(source, error) == nullptr) state.SkipWithError(error.c_str());
  }
}

void BM_JitInProcessHit(benchmark::State& state) {
  const std::string source = jit_source(static_cast<int>(state.range(0)));
  bench_dirs dirs;
  use_cache(dirs.fresh());
  std::string error;
  krvk_jit_compile(source, error);
  for (auto _ : state) benchmark::DoNotOptimize(krvk_jit_compile(source, error));
}

// Argument: 0 saxpy, 1 the box filter.
BENCHMARK(BM_JitColdBuild)->Arg(0)->Arg(1)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GccDirect)->Arg(0)->Arg(1)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JitWarmDiskLoad)->Arg(0)->Arg(1)->Iterations(50)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_JitInProcessHit)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
