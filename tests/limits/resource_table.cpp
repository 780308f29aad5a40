// The resource table: hostile inputs at and past the limits of the module, each run in a child process
// so that its time and peak memory are its own. Prints one Markdown row per input: what it was, what
// came of it (its result or its message), the wall time and the peak resident memory.
//
//   resource_table [--quick | --only TEXT]   --quick: only the rows that take a few seconds (the test runs
//                                            those); --only: the rows whose input contains TEXT
//
// Exits non-zero when an input crashed, ran out of its time, or gave another outcome than expected.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/assembler/script_text.h"
#include "host/host_vm.h"
#include "host/log_collector.h"
#include "kernel/compiler/compile_driver.h"
#include "kernel/native/c_translator.h"
#include "kernel/native/jit_cache.h"
#include "kernel/native/jit_request.h"
#include "kernel/runtime/launch.h"
#include "kernel/runtime/settings.h"
#include "kernel/runtime/trap_messages.h"
#include "module/vm_lock.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/storage/json_object.h"

namespace {

struct row {
  const char* input;
  bool quick;  // a few seconds at most, also under ASan
  std::string expected;  // the outcome must start with this
  std::function<std::string()> run;  // the outcome, in the child
};

// A VM attached to the child's thread with the lock held, and what it logs.
struct child_vm {
  child_vm() {
    vm.attach_current_thread();
    lock.emplace();
  }
  // The first report, without the frame of asterisks that errors get.
  std::string first_line() const {
    const auto lines = log.lines();
    if (lines.empty()) return "(nothing logged)";
    std::string text = lines.front().text;
    text.erase(0, text.find_first_not_of("*\n"));
    return text.substr(0, text.find('\n'));
  }
  krv_host_vm vm{"limits"};
  krv_log_collector log{vm.log()};
  std::optional<krv_vm_lock> lock;
};

std::string parse_json(const std::string& text) {
  child_vm vm;
  krvvar_shared value = krvvar_shared::make_json();
  if (!value->json_ptr(false)->from_string(text, false)) return "refused: " + vm.first_line();
  return "parsed, " + std::to_string(value->json_ptr(false)->size()) + " entries";
}

std::string nested_json_text(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

// A "j11" value `levels` containers deep, each holding the next.
std::string read_nested_binary(int levels) {
  child_vm vm;
  std::vector<uint8_t> bytes;
  for (int i = 0; i < levels; ++i) bytes.insert(bytes.end(), {3, 'v', '1', '1', 0, 7, 3, 'j', '1', '1', 0, 1, 0, 0});
  bytes.insert(bytes.end(), {3, 'v', '1', '1', 0, 1});
  krvvar_shared value = krvvar_shared::make_none();
  if (!value->from_binary_bytes(bytes.data(), bytes.size())) return "refused: " + vm.first_line();
  return "read";
}

// A container `levels` deep, each level holding the one below twice: 2^levels paths.
krvvar_shared shared_twice(int levels) {
  krvvar_shared value = krvvar_shared::make_int(1);
  for (int i = 0; i < levels; ++i) {
    krvvar_shared outer = krvvar_shared::make_json(), first = value, second = value;
    outer->json_ptr(false)->push_value(first);
    outer->json_ptr(false)->push_value(second);
    value = outer;
  }
  return value;
}

// Two such containers built apart.
std::string compare_shared(int levels) {
  child_vm vm;
  return shared_twice(levels)->compare_equal(*shared_twice(levels)) ? "equal" : "not equal";
}

std::string print_shared(int levels) {
  child_vm vm;
  const std::string text = shared_twice(levels)->json_ptr(false)->dump(true);
  if (text.empty()) return "refused: " + vm.first_line();
  return "printed " + std::to_string(text.size()) + " bytes";
}

std::string write_shared(int levels) {
  child_vm vm;
  std::vector<uint8_t> out;
  if (!shared_twice(levels)->to_binary(out)) return "refused: " + vm.first_line();
  return "wrote " + std::to_string(out.size()) + " bytes";
}

std::string compile(const std::string& source) {
  kerror err;
  const auto unit = krvk_compile_source(source, "limits.k", err, {});
  if (unit == nullptr) return "refused: " + std::to_string(err.line) + ": " + err.message;
  size_t instructions = 0;
  for (const auto& kernel : unit->kernels) instructions += kernel->code.size();
  return "compiled, " + std::to_string(instructions) + " instructions";
}

// `count` values live at once, then summed.
std::string live_values_kernel(int count) {
  std::string source = "kernel i64 k(const i64* x) reduce(+) {\n";
  for (int i = 0; i < count; ++i) source += "  i64 v" + std::to_string(i) + " = x[gid + " + std::to_string(i) + "];\n";
  source += "  i64 s = 0;\n";
  for (int i = 0; i < count; ++i) source += "  s = s + v" + std::to_string(i) + ";\n";
  return source + "  return s;\n}\n";
}

// `count` statements each with its own constant.
std::string constants_kernel(int count) {
  std::string source = "kernel i64 k(const i64* x) reduce(+) {\n  i64 a = x[gid];\n";
  for (int i = 0; i < count; ++i) source += "  a = a ^ " + std::to_string(1000003 + i) + ";\n";
  return source + "  return a;\n}\n";
}

std::string nested_blocks_kernel(int levels) {
  return "kernel void k(i32* x) { " + std::string(levels, '{') + " x[gid] = 1; " + std::string(levels, '}') + " }\n";
}

// `statements` statements of two instructions each (a multiply and an add that no pass can merge).
std::string long_kernel(int statements) {
  std::string source = "kernel u64 k(const u64* x) reduce(+) {\n  u64 a = x[gid];\n";
  for (int i = 0; i < statements; ++i) source += "  a = a * a + 1;\n";
  return source + "  return a;\n}\n";
}

// `count` copies of `statement` after `i64 a = x[gid]; i64 b = a + 1;`.
std::string repeated_kernel(const std::string& statement, int count) {
  std::string source = "kernel i64 k(i64* x) reduce(+) {\n  i64 a = x[gid];\n  i64 b = a + 1;\n";
  source.reserve(source.size() + (statement.size() + 3) * static_cast<size_t>(count) + 32);
  for (int i = 0; i < count; ++i) source += "  " + statement + "\n";
  return source + "  return a + b;\n}\n";
}

std::string parenthesised_kernel(int levels) {
  return "kernel i32 k(const i32* x) reduce(+) { return " + std::string(levels, '(') + "x[gid]" +
         std::string(levels, ')') + "; }\n";
}

// One expression of `terms` additions: as deep a tree as the source is long.
std::string long_expression_kernel(int terms) {
  std::string source = "kernel i32 k(const i32* x) reduce(+) { return x[gid]";
  for (int i = 0; i < terms; ++i) source += " + x[gid]";
  return source + "; }\n";
}

// Compiles `source` with the passes and launches its kernel over `items` work items on the scalar and
// then the 64-lane interpreter, x[i] = i: the reductions of both.
std::string compile_and_launch(const std::string& source, uint64_t items) {
  kerror err;
  const auto unit = krvk_compile_source(source, "limits.k", err, {});
  if (unit == nullptr) return "refused: " + std::to_string(err.line) + ": " + err.message;
  const krvk_program& program = *unit->kernels.front();
  std::string outcome = "compiled, " + std::to_string(program.code.size()) + " instructions after the passes";
  krvk_jit_mode.store(KRVK_JIT_OFF);
  for (const uint32_t mode : {KRVK_MODE_SCALAR, KRVK_MODE_BATCH}) {
    krvk_kernel_mode.store(mode);
    std::vector<int64_t> x(items);
    for (uint64_t i = 0; i < items; ++i) x[i] = static_cast<int64_t>(i);
    auto launch = std::make_shared<krvk_launch>();
    launch->prepare(unit, &program, items, 1);
    launch->pointer_slots[program.parameters.front().pointer_slot] =
        kptr{reinterpret_cast<uint8_t*>(x.data()), items, sizeof(int64_t), items * sizeof(int64_t)};
    launch->wait();
    if (launch->trap_recorded.load() != 0) return outcome + "; trapped: " + krvk_trap_message(&program, launch->trap);
    outcome += std::string(mode == KRVK_MODE_SCALAR ? "; scalar: " : ", 64 lanes: ") +
               std::to_string(static_cast<int64_t>(launch->collect_results().front()));
  }
  return outcome;
}

// Builds native code of `source`'s kernel with `compiler` through the JIT's own build job (its size bound,
// discovery, a fresh private cache directory, the run limit) and reads the kernel's status: the C
// text's size, the compiler's CPU time and peak memory.
std::string native_build(const char* compiler, const std::string& source, int64_t run_limit_ms = 60'000) {
  kerror err;
  const auto unit = krvk_compile_source(source, "limits.k", err, {});
  if (unit == nullptr) return "refused: " + std::to_string(err.line) + ": " + err.message;
  char cache[] = "/tmp/krv-limits-XXXXXX";
  if (mkdtemp(cache) == nullptr) return "no cache directory";
  setenv("KRV_KERNEL_CACHE", cache, 1);
  setenv("KRV_KERNEL_CC", compiler, 1);
  krvk_jit_run_limit_ms.store(run_limit_ms);
  krvk_jit_mode.store(KRVK_JIT_SYNC);
  const krvk_program& program = *unit->kernels.front();
  program.jit_slot->state.store(KRVK_JIT_COMPILING);  // as the request that owns the build leaves it
  krvk_jit_job(program);
  const std::string status = krvk_jit_status_text(&program);
  rusage children{};
  getrusage(RUSAGE_CHILDREN, &children);
  std::filesystem::remove_all(cache);
  const double cpu = static_cast<double>(children.ru_utime.tv_sec + children.ru_stime.tv_sec) +
                     static_cast<double>(children.ru_utime.tv_usec + children.ru_stime.tv_usec) / 1e6;
  char figures[160];
  std::snprintf(figures, sizeof figures, "%zu instructions, C text %.1f MB; compiler %.1f s CPU, peak %ld MiB",
                program.code.size(), static_cast<double>(krvk_jit_source(program).size()) / 1e6, cpu,
                children.ru_maxrss / 1024);
  if (status == "ready") return std::string("built: ") + figures;
  return status.substr(0, status.find('\n')) + "; " + figures;
}

// A launch over the whole u32 range whose first work item divides by zero.
std::string launch_stopped_early() {
  kerror err;
  const auto unit = krvk_compile_source("kernel i32 k(i32 d) reduce(+) { return 1 / (d - 1 + i32(gid)); }", "limits.k", err, {});
  if (unit == nullptr) return "refused: " + err.message;
  krvk_jit_mode.store(KRVK_JIT_OFF);  // the interpreters: no compiler runs here
  auto launch = std::make_shared<krvk_launch>();
  const krvk_program& program = *unit->kernels.front();
  launch->prepare(unit, &program, 4294967295ull, 1);
  launch->registers[program.parameters.front().reg] = 1;
  launch->wait();
  if (launch->trap_recorded.load() == 0) return "no trap";
  return "trapped: " + krvk_trap_message(&program, launch->trap);
}

// A script text of a million lines, one block of loads.
std::string assemble_million_lines() {
  std::string text = "program \"lines\"\nblock main 0\n";
  for (int i = 0; i < 999'996; ++i) text += "  load_int 1\n";
  text += "  return\nend\n";
  try {
    krv_assemble_text(text);
  } catch (const std::invalid_argument& refusal) {
    return std::string("refused: ") + refusal.what();
  }
  return "assembled";
}

std::vector<row> rows() {
  return {
      {"JSON text, 100 MB array of numbers", false, "parsed", [] {
         std::string text = "[";
         while (text.size() < 100'000'000) text += "123456789,";
         text.back() = ']';
         return parse_json(text);
       }},
      {"JSON text nested 1,024 deep", true, "parsed", [] { return parse_json(nested_json_text(1024)); }},
      {"JSON text nested 1,025 deep", true, "refused", [] { return parse_json(nested_json_text(1025)); }},
      {"JSON text nested 100,000 deep", true, "refused", [] { return parse_json(nested_json_text(100000)); }},
      {"\"j11\" section nested 1,024 deep", true, "read", [] { return read_nested_binary(1024); }},
      {"\"j11\" section nested 1,025 deep", true, "refused", [] { return read_nested_binary(1025); }},
      {"\"j11\" section nested 100,000 deep", true, "refused", [] { return read_nested_binary(100000); }},
      {"equality, two containers 64 deep holding each part twice (2^64 paths)", true, "equal", [] { return compare_shared(64); }},
      {"printing a container 24 deep holding each part twice", false, "printed", [] { return print_shared(24); }},
      {"printing a container 26 deep holding each part twice (2^28 - 3 bytes: within the budget)", false, "printed", [] { return print_shared(26); }},
      {"printing a container 27 deep holding each part twice", false, "refused", [] { return print_shared(27); }},
      {"printing a container 64 deep holding each part twice", false, "refused", [] { return print_shared(64); }},
      {"binary writing of a container 64 deep holding each part twice", false, "refused", [] { return write_shared(64); }},
      {"kernel, 10,000 values live at once", false, "compiled", [] { return compile(live_values_kernel(10000)); }},
      {"kernel, 33,000 values live at once", false, "refused", [] { return compile(live_values_kernel(33000)); }},
      {"kernel, 28,000 constants", false, "compiled", [] { return compile(constants_kernel(28000)); }},
      {"kernel, 30,000 constants", false, "refused", [] { return compile(constants_kernel(30000)); }},
      {"kernel at the constant limit: 28,672 constants", false, "compiled", [] { return compile(constants_kernel(28672)); }},
      {"kernel, 28,673 constants", false, "refused", [] { return compile(constants_kernel(28673)); }},
      // Registers 7 to 32,766: a, b, one for each `a += b` and one for the returned sum; the last in use.
      {"kernel at the register limit: 32,756 statements `a += b;`", false, "compiled", [] { return compile(repeated_kernel("a += b;", 32756)); }},
      {"kernel, 32,757 statements `a += b;`", false, "refused", [] { return compile(repeated_kernel("a += b;", 32757)); }},
      // Stores take no register: six instructions around them make the largest kernel accepted.
      {"largest kernel: 4,194,298 stores `x[gid] = a;` (4,194,304 instructions), 64 work items", false, "compiled", [] { return compile_and_launch(repeated_kernel("x[gid] = a;", 4'194'298), 64); }},
      {"kernel, 4,194,299 stores `x[gid] = a;`", false, "refused", [] { return compile(repeated_kernel("x[gid] = a;", 4'194'299)); }},
      {"native build (gcc), 10,000 stores", false, "built", [] { return native_build("gcc", repeated_kernel("x[gid] = a;", 10'000)); }},
      {"native build (gcc), 100,000 stores", false, "built", [] { return native_build("gcc", repeated_kernel("x[gid] = a;", 100'000)); }},
      {"native build (gcc), 1,000,000 stores", false, "failed: kernel is too large for native code", [] { return native_build("gcc", repeated_kernel("x[gid] = a;", 1'000'000)); }},
      {"native build (gcc), 10,000 statements `a = a * 3 + b;`", false, "", [] { return native_build("gcc", repeated_kernel("a = a * 3 + b;", 10'000)); }},
      {"native build (gcc), 10,000 statements `a = a * 3 + b;`, run limit raised to 540 s", false, "", [] { return native_build("gcc", repeated_kernel("a = a * 3 + b;", 10'000), 540'000); }},
      {"native build (clang), 10,000 statements `a = a * 3 + b;`", false, "", [] { return native_build("clang", repeated_kernel("a = a * 3 + b;", 10'000)); }},
      {"kernel, 2,097,000 statements (about 4,194,000 instructions)", false, "", [] { return compile(long_kernel(2'097'000)); }},
      {"kernel, 36 MB of lone `;` (9,000,000 statements that do nothing)", false, "compiled", [] { return compile(repeated_kernel(";", 9'000'000)); }},
      {"kernel, 36 MB of `a;` (7,200,000 statements, refused at the first)", false, "refused", [] { return compile(repeated_kernel("a;", 7'200'000)); }},
      {"kernel, blocks nested 240 deep (a block and its statement: two levels each)", true, "compiled", [] { return compile(nested_blocks_kernel(240)); }},
      {"kernel, blocks nested 260 deep", true, "refused", [] { return compile(nested_blocks_kernel(260)); }},
      {"kernel, parentheses 240 deep", true, "compiled", [] { return compile(parenthesised_kernel(240)); }},
      {"kernel, parentheses 501 deep", true, "refused", [] { return compile(parenthesised_kernel(501)); }},
      {"kernel, parentheses 100,000 deep", true, "refused", [] { return compile(parenthesised_kernel(100000)); }},
      {"kernel, one expression of 100,000 additions", true, "", [] { return compile(long_expression_kernel(100000)); }},
      {"script text of 1,000,000 lines", false, "", assemble_million_lines},
      {"launch over 4,294,967,295 work items, trap in the first", true, "trapped", launch_stopped_early},
  };
}

struct measured {
  std::string outcome;
  double seconds = 0;
  long peak_kib = 0;
};

// Runs `r` in a child with a time bound; a crash or a timeout becomes the outcome.
measured run_in_child(const row& r, int seconds_allowed) {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return {"pipe failed"};
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_ends[0]);
    alarm(static_cast<unsigned>(seconds_allowed));
    std::string outcome;
    try {
      outcome = r.run();
    } catch (const std::exception& e) {
      outcome = std::string("exception: ") + e.what();
    }
    if (write(pipe_ends[1], outcome.data(), outcome.size()) < 0) _exit(3);
    _exit(0);
  }
  close(pipe_ends[1]);
  measured m;
  char buffer[4096];
  for (ssize_t got; (got = read(pipe_ends[0], buffer, sizeof buffer)) > 0;) m.outcome.append(buffer, static_cast<size_t>(got));
  close(pipe_ends[0]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.peak_kib = usage.ru_maxrss;
  if (WIFSIGNALED(status)) m.outcome = "killed by signal " + std::to_string(WTERMSIG(status));
  else if (WEXITSTATUS(status) != 0) m.outcome = "exit status " + std::to_string(WEXITSTATUS(status));
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  // --only TEXT: the rows whose input contains TEXT.
  const char* only = argc > 2 && std::strcmp(argv[1], "--only") == 0 ? argv[2] : nullptr;
  int faults = 0;
  std::printf("| input | outcome | time (s) | peak memory (MiB) |\n|---|---|---|---|\n");
  for (const row& r : rows()) {
    if ((quick && !r.quick) || (only != nullptr && std::strstr(r.input, only) == nullptr)) continue;
    const measured m = run_in_child(r, quick ? 60 : 600);
    const bool as_expected = m.outcome.starts_with(r.expected) && !m.outcome.starts_with("killed") &&
                             !m.outcome.starts_with("exit status");
    faults += !as_expected;
    std::printf("| %s | %s%s | %.2f | %ld |\n", r.input, m.outcome.c_str(), as_expected ? "" : " **UNEXPECTED**",
                m.seconds, m.peak_kib / 1024);
    std::fflush(stdout);
  }
  return faults == 0 ? 0 : 1;
}
