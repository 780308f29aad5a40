// What native code costs a launch and what the JIT cache costs around the compiler.
//
// * The first auto-mode launch of saxpy over 1M items with an empty cache, on one runner while the build
//   runs on a worker thread, against the same launch with the JIT off: a build must never delay a launch.
// * A cold build of one kernel (discovery done, empty cache: write the source, run gcc without a shell,
//   rename, load) against running the same gcc command on the same source directly (write the file,
//   posix_spawn, wait), in the same binary. Also figures for a warm-disk load (the library is in the
//   cache directory, not yet in this process) and an in-process hit.
// * The child-process open that a cold build makes of its fresh library before sealing it (fork, load,
//   close, exit, wait), alone: its share of a cold build.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kernel/compiler/compile_driver.h"
#include "kernel/native/c_translator.h"
#include "kernel/native/jit_cache.h"
#include "kernel/native/jit_request.h"
#include "kernel/runtime/launch.h"
#include "kernel/runtime/settings.h"
#include "platform/library.h"
#include "reference_kernels.h"

extern char** environ;

namespace {

std::string jit_source(int kernel) {
  kerror error;
  const auto unit = krvk_compile_source(kernel == 0 ? krv_bench_saxpy_source : krv_bench_box3_source, "bench.k", error, {});
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
  setenv("KRV_KERNEL_CC", std::getenv("KRVK_BENCH_CC") ? std::getenv("KRVK_BENCH_CC") : "gcc", 1);
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

// Builds `source` into a fresh cache directory of `dirs`; that directory.
std::filesystem::path build_into_fresh_cache(bench_dirs& dirs, const std::string& source) {
  const std::filesystem::path built = dirs.fresh();
  use_cache(built);
  std::string error;
  krvk_jit_compile(source, error);
  return built;
}

// The library is in the cache directory with its seal (copied there while the clock is paused) but not
// yet loaded.
void BM_JitWarmDiskLoad(benchmark::State& state) {
  const std::string source = jit_source(static_cast<int>(state.range(0)));
  bench_dirs dirs;
  const std::filesystem::path built = build_into_fresh_cache(dirs, source);
  std::string error;
  for (auto _ : state) {
    state.PauseTiming();
    const std::filesystem::path cache = dirs.fresh();
    std::filesystem::create_directory(cache);
    for (const auto& entry : std::filesystem::directory_iterator(built))
      std::filesystem::copy_file(entry.path(), cache / entry.path().filename());
    use_cache(cache);
    state.ResumeTiming();
    if (krvk_jit_compile(source, error) == nullptr) state.SkipWithError(error.c_str());
  }
}

// The library is built and loaded in this process; each iteration opens it in a child, as a fresh build's
// library is opened before it is sealed.
void BM_JitChildProbe(benchmark::State& state) {
  const std::string source = jit_source(static_cast<int>(state.range(0)));
  bench_dirs dirs;
  std::filesystem::path library;
  for (const auto& entry : std::filesystem::directory_iterator(build_into_fresh_cache(dirs, source))) {
    if (entry.path().extension() == ".so") library = entry.path();
  }
  for (auto _ : state) {
    if (!krv_platform::probe_library(library, std::chrono::seconds(60)).empty()) state.SkipWithError("refused");
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

// One launch of saxpy over 1M items on the launching thread alone, under the given JIT policy, of a
// freshly compiled kernel (so its slot is empty) with an empty cache; an auto build goes to the kernel's
// build thread, as a script's does, and is waited for, outside the clock, before the next launch.
void BM_FirstLaunch(benchmark::State& state) {
  constexpr uint64_t kItems = 1 << 20;
  std::vector<float> x(kItems, 1.0f), y(kItems, 2.0f);
  bench_dirs dirs;
  const uint32_t saved_mode = krvk_jit_mode.exchange(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    use_cache(dirs.fresh());
    kerror error;
    std::shared_ptr<const krvk_compiled_unit> unit = krvk_compile_source(krv_bench_saxpy_source, "bench.k", error, {});
    const krvk_program* saxpy = unit->kernels[0].get();
    auto launch = std::make_shared<krvk_launch>();
    launch->prepare(unit, saxpy, kItems, 1);
    const float a = 0.5f;
    std::memcpy(&launch->registers[saxpy->parameters[2].reg], &a, sizeof a);
    launch->pointer_slots[saxpy->parameters[0].pointer_slot] = kptr{reinterpret_cast<uint8_t*>(y.data()), kItems, sizeof(float), kItems * sizeof(float)};
    launch->pointer_slots[saxpy->parameters[1].pointer_slot] = kptr{reinterpret_cast<uint8_t*>(x.data()), kItems, sizeof(float), kItems * sizeof(float)};
    state.ResumeTiming();
    krvk_jit_request(unit, saxpy, krvk_jit_background());
    launch->wait();
    state.PauseTiming();
    for (uint32_t slot = KRVK_JIT_COMPILING; slot == KRVK_JIT_COMPILING || slot == KRVK_JIT_PUBLISHING;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      slot = saxpy->jit_slot->state.load();
    }
    state.ResumeTiming();
  }
  krvk_jit_mode = saved_mode;
}

// Argument: the JIT policy, 0 auto or 2 off.
BENCHMARK(BM_FirstLaunch)->Arg(KRVK_JIT_AUTO)->Arg(KRVK_JIT_OFF)->Iterations(20)->Unit(benchmark::kMillisecond);

// Argument: 0 saxpy, 1 the box filter.
BENCHMARK(BM_JitColdBuild)->Arg(0)->Arg(1)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GccDirect)->Arg(0)->Arg(1)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JitWarmDiskLoad)->Arg(0)->Arg(1)->Iterations(50)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_JitChildProbe)->Arg(0)->Arg(1)->Iterations(50)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_JitInProcessHit)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
