// Fuzz target kernel_source: the input compiled as kernel source, once with the default back-end passes
// and once without. Both compile or both refuse; a unit that compiles has each of its kernels run on the
// scalar interpreter over a few work items, optimised and plain, on equal buffers and parameters: the
// trap (or none), the work item that trapped, the memory and the accumulators must come out the same.
// A watchdog sets the abort byte of a run that takes too long; an aborted run is not compared.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "kernel/compiler/compile_driver.h"
#include "kernel/runtime/reductions.h"
#include "kernel/support/program_builder.h"

namespace {

constexpr uint64_t work_items = 8;
constexpr uint64_t elements_per_buffer = 16;
constexpr auto run_budget = std::chrono::milliseconds(250);

// Sets `abort` once an armed run passes its budget. One thread for the whole process.
class watchdog {
 public:
  watchdog() : thread_([this] { watch(); }) { thread_.detach(); }
  void arm() {
    std::lock_guard lock(mutex_);
    __atomic_store_n(&abort, 0, __ATOMIC_RELAXED);
    deadline_ = std::chrono::steady_clock::now() + run_budget;
    armed_ = true;
    wake_.notify_one();
  }
  void disarm() {
    std::lock_guard lock(mutex_);
    armed_ = false;
  }
  bool fired() const { return __atomic_load_n(&abort, __ATOMIC_RELAXED) != 0; }

  unsigned char abort = 0;

 private:
  void watch() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return armed_; });
      if (wake_.wait_until(lock, deadline_, [this] { return !armed_; })) continue;
      __atomic_store_n(&abort, 1, __ATOMIC_RELAXED);
      armed_ = false;
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::chrono::steady_clock::time_point deadline_;
  bool armed_ = false;
  std::thread thread_;
};

struct kernel_outcome {
  uint8_t code = 0;
  ktrap trap{};
  std::vector<std::vector<uint8_t>> buffers;
  std::vector<uint64_t> accumulators;
};

// One run of `program` over the work items, on buffers filled from `fill` and every scalar parameter 1.
kernel_outcome run_kernel(const krvk_program& program, uint8_t fill, watchdog& dog) {
  kernel_outcome out;
  krvk_test_run run(program);
  for (const krvk_param& param : program.parameters) {
    if (param.reg != 0) run.reg(param.reg) = 1;
    if (!param.type.is_pointer) continue;
    const uint64_t stride = std::max<uint32_t>(param.element_size, 1);
    out.buffers.emplace_back(stride * elements_per_buffer);
    std::vector<uint8_t>& buffer = out.buffers.back();
    for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(fill + i * 7);
  }
  size_t next_buffer = 0;
  for (const krvk_param& param : program.parameters) {
    if (!param.type.is_pointer) continue;
    std::vector<uint8_t>& buffer = out.buffers[next_buffer++];
    run.bind_raw(param.pointer_slot, kptr{buffer.data(), elements_per_buffer, buffer.size() / elements_per_buffer, buffer.size()});
  }
  for (const krvk_acc& acc : program.accumulators) run.reg(acc.reg) = krvk_reduce_identity(acc.op, acc.prim);
  run.domain(program.two_d ? work_items / 2 : work_items, program.two_d ? 2 : 1);
  out.code = run.run(0, work_items, &dog.abort);
  out.trap = run.trap();
  for (const krvk_acc& acc : program.accumulators) out.accumulators.push_back(run.reg(acc.reg));
  return out;
}

void compare_runs(const krvk_program& optimised, const krvk_program& plain, uint8_t fill, watchdog& dog) {
  dog.arm();
  const kernel_outcome first = run_kernel(optimised, fill, dog);
  const kernel_outcome second = run_kernel(plain, fill, dog);
  dog.disarm();
  if (dog.fired() || first.code == KRVK_TRAP_ABORTED || second.code == KRVK_TRAP_ABORTED) return;
  KRV_FUZZ_CHECK(first.code == second.code);
  KRV_FUZZ_CHECK(first.buffers == second.buffers);
  KRV_FUZZ_CHECK(first.accumulators == second.accumulators);
  if (first.code != 0) KRV_FUZZ_CHECK(first.trap.gid == second.trap.gid);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static watchdog* dog = new watchdog();
  const std::string source(reinterpret_cast<const char*>(data), size);
  kerror optimised_error, plain_error;
  const auto optimised = krvk_compile_source(source, "fuzz.k", optimised_error, {});
  const auto plain = krvk_compile_source(source, "fuzz.k", plain_error, {}, krvk_back_end_passes{});
  KRV_FUZZ_CHECK((optimised == nullptr) == (plain == nullptr));
  if (optimised == nullptr) {
    KRV_FUZZ_CHECK(optimised_error.message == plain_error.message && !optimised_error.message.empty());
    return 0;
  }
  KRV_FUZZ_CHECK(optimised->kernels.size() == plain->kernels.size());
  const uint8_t fill = static_cast<uint8_t>(size);
  for (size_t k = 0; k < optimised->kernels.size(); ++k) compare_runs(*optimised->kernels[k], *plain->kernels[k], fill, *dog);
  return 0;
}
