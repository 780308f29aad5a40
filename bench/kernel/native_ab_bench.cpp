// Native code of two builds side by side in one run: the kernels of examples/kernels and a negation
// feeding an add in the hot loop (`-(s * x) + c`, f32 and f64), as two ahead-of-time C files written by
// two builds' krvhost, each kernel built here into a library of its own (as the JIT builds it) by the same
// C compiler with the JIT's flags, and run interleaved on the same inputs.
//
//   kernel_native_ab_bench --print-source > ab.k          (the kernels, for both builds)
//   OLD/krvhost run bench/kernel/aot_of_source.krvasm "$(cat ab.k)" > before.c
//   NEW/krvhost run bench/kernel/aot_of_source.krvasm "$(cat ab.k)" > after.c
//   KRV_KERNEL_CC=clang kernel_native_ab_bench before.c after.c --benchmark_repetitions=10
//       --benchmark_enable_random_interleaving=true    (one line)
//
// The compiler is KRV_KERNEL_CC (gcc when unset). Each kernel runs over 64K items (256 x 256 for the
// 2-D one) on one thread; the two builds must write the same bytes, else the program stops. At the end
// it prints each kernel's after / before ratio from the fastest repetition of each.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "fastest_run_reporter.h"
#include "kernel/compiler/compile_driver.h"
#include "kernel/native/jit_slot.h"
#include "kernel/runtime/reductions.h"
#include "kernel/runtime/scalar_interpreter.h"
#include "kernel/support/c_batch.h"
#include "platform/process.h"

namespace {

constexpr uint64_t kItems = 65536;
constexpr uint64_t kSide = 256;

// A negation feeding an add, and the subtraction that gives the same value but for a NaN's sign: what an
// exact negation costs in a loop over items and in a chain of 64 dependent steps per item (negate /
// subtract within one build).
constexpr const char* kNegationKernels = R"(
kernel void negate32(f32* y, const f32* x, f32 s, f32 c) { y[gid] = -(s * x[gid]) + c; }
kernel void negate64(f64* y, const f64* x, f64 s, f64 c) { y[gid] = -(s * x[gid]) + c; }
kernel void subtract32(f32* y, const f32* x, f32 s, f32 c) { y[gid] = c - s * x[gid]; }
kernel void subtract64(f64* y, const f64* x, f64 s, f64 c) { y[gid] = c - s * x[gid]; }
kernel void negate_chain(f32* y, const f32* x, f32 s, f32 c) {
  f32 v = x[gid];
  for (i32 k = 0; k < 64; k++) v = -(s * v) + c;
  y[gid] = v;
}
kernel void subtract_chain(f32* y, const f32* x, f32 s, f32 c) {
  f32 v = x[gid];
  for (i32 k = 0; k < 64; k++) v = c - s * v;
  y[gid] = v;
}
)";

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "kernel_native_ab_bench: %s\n", why.c_str());
  std::exit(1);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The kernel source of examples/kernels/kernels.krvasm (its first string), unescaped.
std::string example_source() {
  const std::string text = read_file(KRV_EXAMPLE_KERNELS);
  const size_t start = text.find("\nstring \"");
  if (start == std::string::npos) fail("no source string in " KRV_EXAMPLE_KERNELS);
  std::string source;
  for (size_t i = start + 9; i < text.size() && text[i] != '"'; ++i) {
    if (text[i] != '\\') {
      source += text[i];
      continue;
    }
    const char next = text[++i];
    source += next == 'n' ? '\n' : next == 't' ? '\t' : next;
  }
  return source;
}

std::string bench_source() { return example_source() + kNegationKernels; }

// One build's kernels: each kernel of its ahead-of-time file built as a library of its own, as the JIT
// builds it (the file's head with the prelude, then the one function, exported under one name), so that
// where a kernel's loop lies in memory does not depend on the kernels written before it.
struct built_file {
  std::map<std::string, krvk_native_fn> kernels;
};

krvk_native_fn build_kernel(const std::string& c_text, const std::string& directory, const std::string& stem) {
  const char* configured = std::getenv("KRV_KERNEL_CC");
  const std::string compiler = configured != nullptr && configured[0] != '\0' ? configured : "gcc";
  const std::string c_path = directory + "/" + stem + ".c";
  const std::string library_path = directory + "/" + stem + ".so";
  std::ofstream(c_path, std::ios::binary) << c_text;
  std::vector<std::string> args = {compiler};
  for (const std::string& flag : krvk_c_batch::jit_flags()) args.push_back(flag);
  args.insert(args.end(), {"-o", library_path, c_path, "-lm"});
  std::string output;
  if (krv_platform::run_process(args, &output, std::chrono::minutes(5)) != 0) fail(compiler + " failed:\n" + output);
  void* library = dlopen(library_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) fail(dlerror());
  const auto entry = reinterpret_cast<krvk_native_fn>(dlsym(library, "krvk_bench_entry"));
  if (entry == nullptr) fail(c_path + " has no krvk_bench_entry");
  return entry;
}

built_file build_file(const std::string& c_path, const std::string& directory, const std::string& tag) {
  const std::string text = read_file(c_path);
  const std::regex comment(R"(\n/\* kernel (\w+) \()");
  const std::regex head(R"(static (K_HELD )?int krvk_aot_[0-9a-f]{16})");
  const size_t table = text.find("\ntypedef struct { uint64_t hash;");
  std::vector<std::pair<std::string, size_t>> starts;  // kernel name, offset of its comment
  for (auto it = std::sregex_iterator(text.begin(), text.end(), comment); it != std::sregex_iterator(); ++it) {
    starts.emplace_back((*it)[1].str(), static_cast<size_t>(it->position()));
  }
  if (starts.empty() || table == std::string::npos || table < starts.back().second) fail(c_path + " has no kernels");
  built_file built;
  for (size_t i = 0; i < starts.size(); ++i) {
    const size_t end = i + 1 < starts.size() ? starts[i + 1].second : table;
    const std::string function = text.substr(starts[i].second, end - starts[i].second);
    const std::string alone = text.substr(0, starts[0].second) +
                              std::regex_replace(function, head, "K_EXPORT int krvk_bench_entry",
                                                 std::regex_constants::format_first_only);
    built.kernels[starts[i].first] = build_kernel(alone, directory, tag + "_" + starts[i].first);
  }
  return built;
}

// The register file and buffers of one kernel over kItems items, the same for both builds.
struct kernel_run {
  const krvk_program* program = nullptr;
  std::vector<uint64_t> regs;
  std::vector<std::vector<uint8_t>> buffers;
  std::vector<kptr> ptrs;
  uint64_t items = kItems;
};

uint64_t scalar_bits(uint8_t prim, double value) {
  uint64_t bits = 0;
  if (prim == KRVK_F32) {
    const float f = static_cast<float>(value);
    std::memcpy(&bits, &f, 4);
  } else if (prim == KRVK_F64) {
    std::memcpy(&bits, &value, 8);
  } else {
    bits = static_cast<uint64_t>(value);
  }
  return bits;
}

kernel_run prepare(const krvk_program& program) {
  kernel_run run;
  run.program = &program;
  run.regs.assign(program.register_count, 0);
  for (const krvk_const& constant : program.constants) run.regs[constant.reg] = constant.bits;
  const bool two_d = program.two_d != 0;
  run.regs[program.gsize_reg] = kItems;
  run.regs[program.gsize_x_reg] = two_d ? kSide : kItems;
  run.regs[program.gsize_y_reg] = two_d ? kSide : 1;
  for (const krvk_acc& acc : program.accumulators) run.regs[acc.reg] = krvk_reduce_identity(acc.op, acc.prim);
  const size_t slots = program.pointer_count + (program.frame_bytes != 0 ? 1 : 0);
  run.buffers.resize(slots);
  run.ptrs.resize(slots);
  uint64_t salt = 1;
  for (const krvk_param& param : program.parameters) {
    if (!param.type.is_pointer) {
      run.regs[param.reg] = scalar_bits(param.type.prim, param.type.prim == KRVK_U32 ? 7.0 : 0.75);
      continue;
    }
    std::vector<uint8_t>& bytes = run.buffers[param.pointer_slot];
    bytes.resize(kItems * param.element_size);
    for (uint64_t i = 0; i < kItems; ++i) {
      const double value = static_cast<double>((i * 2654435761u + salt) % 1000) / 1000.0 - 0.5;
      const uint64_t bits = scalar_bits(param.type.prim, value);
      std::memcpy(&bytes[i * param.element_size], &bits, param.element_size);
    }
    salt += 17;
  }
  if (program.frame_bytes != 0) run.buffers[program.frame_slot].assign(program.frame_bytes, 0);
  for (size_t i = 0; i < slots; ++i) {
    const bool frame = program.frame_bytes != 0 && i == program.frame_slot;
    const uint64_t stride = frame ? run.buffers[i].size() : run.buffers[i].size() / kItems;
    run.ptrs[i] = kptr{run.buffers[i].data(), stride == 0 ? 0 : run.buffers[i].size() / stride, stride,
                       run.buffers[i].size()};
  }
  if (program.prologue != nullptr) {
    for (const krvk_const& constant : program.prologue->constants) run.regs[constant.reg] = constant.bits;
    const unsigned char no_abort = 0;
    ktrap trap{};
    krvk_interpret(program.prologue.get(), run.regs.data(), run.ptrs.data(), 0, 1, &no_abort, &trap, 0);
  }
  return run;
}

int call(krvk_native_fn fn, kernel_run& run) {
  const unsigned char no_abort = 0;
  ktrap trap{};
  return fn(reinterpret_cast<kreg*>(run.regs.data()), run.ptrs.data(), 0, run.items, &no_abort, &trap);
}

// The kernels of one source, run by both builds; a kernel missing from either file stops the program.
struct ab_setup {
  std::shared_ptr<krvk_compiled_unit> unit;
  built_file before, after;
  std::vector<std::string> names;

  ab_setup(const std::string& before_c, const std::string& after_c) {
    kerror err;
    unit = krvk_compile_source(bench_source(), "ab.k", err, {});
    if (unit == nullptr) fail("kernel compile error: " + err.message);
    std::string directory = (std::filesystem::temp_directory_path() / "krvk_ab_XXXXXX").string();
    if (mkdtemp(directory.data()) == nullptr) fail("cannot make a temporary directory");
    before = build_file(before_c, directory, "before");
    after = build_file(after_c, directory, "after");
    std::filesystem::remove_all(directory);
    for (const auto& program : unit->kernels) {
      if (before.kernels.count(program->name) == 0 || after.kernels.count(program->name) == 0) {
        fail("kernel " + program->name + " is missing from a file: write both with aot_of_source.krvasm");
      }
      names.push_back(program->name);
      check_same_bytes(*program);
    }
  }

  void check_same_bytes(const krvk_program& program) {
    kernel_run one = prepare(program), two = prepare(program);
    if (call(before.kernels[program.name], one) != 0 || call(after.kernels[program.name], two) != 0) {
      fail(program.name + " trapped");
    }
    bool same = one.buffers == two.buffers;
    for (const krvk_acc& acc : program.accumulators) {  // an f32 by its low half: native code leaves the other
      const uint64_t mask = acc.prim == KRVK_F32 ? 0xFFFFFFFFu : ~uint64_t{0};
      same = same && (one.regs[acc.reg] & mask) == (two.regs[acc.reg] & mask);
    }
    if (!same) fail(program.name + ": the two builds wrote other bytes");
  }

  const krvk_program& program(const std::string& name) const {
    for (const auto& p : unit->kernels) {
      if (p->name == name) return *p;
    }
    fail("no kernel " + name);
  }
};

void run_kernel(benchmark::State& state, const ab_setup* setup, std::string name, bool after) {
  kernel_run run = prepare(setup->program(name));
  const krvk_native_fn fn = (after ? setup->after : setup->before).kernels.at(name);
  for (auto _ : state) {
    if (call(fn, run) != 0) state.SkipWithError("trapped");
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * run.items));
}

// The console table, then after / before per kernel from the fastest repetition of each.
class ab_reporter : public krv_fastest_run_reporter {
 public:
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [name, time] : fastest_runs()) {
      const std::string stem = name.substr(0, name.rfind('/'));
      if (const double after = fastest(stem + "/after"); name.ends_with("/before") && after > 0) {
        std::printf("%-16s before %9.1f us, after %9.1f us, after / before %.3f\n", stem.c_str(), time / 1000,
                    after / 1000, after / time);
      }
    }
    for (const char* kind : {"32", "64", "_chain"}) {
      for (const char* build : {"/before", "/after"}) {
        const double negate = fastest(std::string("BM_negate") + kind + build);
        const double subtract = fastest(std::string("BM_subtract") + kind + build);
        if (negate > 0 && subtract > 0) std::printf("negate%s / subtract%s%s %.3f\n", kind, kind, build, negate / subtract);
      }
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--print-source") {
    std::fputs(bench_source().c_str(), stdout);
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (argc != 3) fail("usage: kernel_native_ab_bench --print-source | BEFORE.c AFTER.c [benchmark flags]");
  static const ab_setup setup(argv[1], argv[2]);
  for (const std::string& name : setup.names) {
    for (const bool after : {false, true}) {
      benchmark::RegisterBenchmark(("BM_" + name + (after ? "/after" : "/before")).c_str(), run_kernel, &setup, name,
                                   after);
    }
  }
  ab_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
