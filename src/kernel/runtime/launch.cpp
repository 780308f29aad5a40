#include "kernel/runtime/launch.h"

#include <algorithm>
#include <new>

#include "kernel/native/jit_slot.h"
#include "kernel/runtime/batch_chunk.h"
#include "kernel/runtime/reductions.h"
#include "kernel/runtime/scalar_interpreter.h"
#include "kernel/runtime/settings.h"

namespace {

constexpr uint64_t kMaxChunks = 256;
constexpr uint32_t kMaxBatchRegisters = 512;
constexpr uint64_t kMinAutoBatchChunk = 8;

enum class krvk_engine : uint8_t { native, batch, scalar };

// The private state of one call of run_lanes. Construction makes every copy the runner needs and runs
// the prologue; it is the only part that allocates (and may throw std::bad_alloc). The wide file of the
// batch engine is allocated later, at the runner's first batch chunk, so a runner that finds no chunk
// never pays for it.
class lane_runner {
 public:
  explicit lane_runner(krvk_launch& launch)
      : launch_(launch),
        program_(*launch.program),
        mode_(krvk_kernel_mode.load()),
        ptrs_(launch.pointer_slots),
        base_(launch.registers) {
    choose_engine();
    if (program_.frame_bytes != 0) {
      frame_.assign((uint64_t{program_.frame_bytes} + 7) / 8, 0);
      ptrs_[program_.frame_slot] = kptr{reinterpret_cast<uint8_t*>(frame_.data()), 1, program_.frame_bytes,
                                        program_.frame_bytes};
    }
    if (program_.prologue != nullptr && !base_.empty()) {
      ktrap scratch{};
      krvk_interpret(program_.prologue.get(), base_.data(), slots(), 0, 1, nullptr, &scratch, 0);
    }
    working_ = base_;
    const std::vector<krvk_acc>& accs = program_.accumulators;
    identities_.resize(accs.size());
    for (size_t i = 0; i < accs.size(); ++i) identities_[i] = krvk_reduce_identity(accs[i].op, accs[i].prim);
    chunk_values_.resize(accs.size());
    batch_.program = &program_;
    batch_.ptrs = slots();
    batch_.scalar_regs = working_.data();
    batch_.base_regs = base_.data();
    batch_.identities = identities_.data();
    batch_.width = launch.width;
    batch_.abort = launch.abort_byte();
    batch_.trap = &trap_;
  }

  // Claims and runs chunks until none is left, the launch stops, or this runner traps.
  void run() noexcept {
    const uint64_t reductions = identities_.size();
    while (launch_.abort.load(std::memory_order_acquire) == 0) {
      const uint64_t c = launch_.next_chunk.fetch_add(1, std::memory_order_acq_rel);
      if (c >= launch_.chunk_count) return;
      const uint64_t begin = c * launch_.chunk_size;
      const uint64_t end = std::min(begin + launch_.chunk_size, launch_.total);
      const uint8_t code = run_chunk(begin, end);
      if (code != 0) {
        launch_.record_trap(code, trap_);
        return;
      }
      std::copy_n(chunk_values_.data(), reductions, launch_.reduction_slots.data() + c * reductions);
      launch_.chunks_done.fetch_add(1, std::memory_order_acq_rel);
    }
  }

 private:
  // Made once: native when auto mode finds ready native code, else batch when the program suits the
  // 64-lane interpreter and the chunks are long enough (or batch is asked for), else scalar.
  void choose_engine() {
    const krvk_jit_slot* slot = program_.jit_slot.get();
    if (mode_ == KRVK_MODE_AUTO && krvk_jit_mode.load() != KRVK_JIT_OFF && slot != nullptr &&
        slot->state.load(std::memory_order_acquire) == KRVK_JIT_READY) {
      engine_ = krvk_engine::native;
      native_ = slot->function;
    } else if (program_.frame_bytes == 0 && mode_ != KRVK_MODE_SCALAR && base_.size() <= kMaxBatchRegisters &&
               (launch_.chunk_size >= kMinAutoBatchChunk || mode_ == KRVK_MODE_BATCH)) {
      engine_ = krvk_engine::batch;
    } else {
      engine_ = krvk_engine::scalar;
    }
  }

  const kptr* slots() const { return ptrs_.empty() ? nullptr : ptrs_.data(); }

  void reset_accumulators() {
    const std::vector<krvk_acc>& accs = program_.accumulators;
    for (size_t i = 0; i < accs.size(); ++i) working_[accs[i].reg] = identities_[i];
  }
  void read_accumulators() {
    const std::vector<krvk_acc>& accs = program_.accumulators;
    for (size_t i = 0; i < accs.size(); ++i) chunk_values_[i] = working_[accs[i].reg];
  }

  // Runs one chunk on this runner's engine; returns 0 with chunk_values_ filled, or a trap code with
  // trap_ filled.
  uint8_t run_chunk(uint64_t begin, uint64_t end) noexcept {
    if (engine_ == krvk_engine::batch && batch_.wide == nullptr && !batch_.allocate()) {
      engine_ = krvk_engine::scalar;  // no memory for the wide file: the scalar engine needs none
    }
    uint8_t code = 0;
    switch (engine_) {
      case krvk_engine::native: {
        reset_accumulators();
        ktrap native_trap{};
        code = static_cast<uint8_t>(native_(reinterpret_cast<kreg*>(working_.data()), slots(), begin, end,
                                            launch_.abort_byte(), &native_trap));
        if (code != 0) {
          trap_ = native_trap;
          trap_.code = code;
        }
        break;
      }
      case krvk_engine::scalar:
        reset_accumulators();
        code = krvk_interpret(&program_, working_.data(), slots(), begin, end, launch_.abort_byte(), &trap_, 0);
        break;
      case krvk_engine::batch:
        code = batch_.run_chunk(begin, end, chunk_values_.data());
        if (code == 0 && mode_ == KRVK_MODE_AUTO && batch_.should_switch_to_scalar()) engine_ = krvk_engine::scalar;
        return code;
    }
    if (code == 0) read_accumulators();
    return code;
  }

  krvk_launch& launch_;
  const krvk_program& program_;
  const uint32_t mode_;  // the kernel mode as this runner read it, once
  krvk_engine engine_ = krvk_engine::scalar;
  krvk_native_fn native_ = nullptr;
  std::vector<kptr> ptrs_;  // private copy, with this runner's frame
  std::vector<uint64_t> frame_;  // (frame bytes + 7) / 8 words, reused by every work item
  std::vector<uint64_t> base_;  // the launch's file after the prologue
  std::vector<uint64_t> working_;  // the file the engines run on; kept between chunks
  std::vector<uint64_t> identities_;  // per reduction
  std::vector<uint64_t> chunk_values_;  // per reduction, of the chunk just run
  ktrap trap_{};  // the interpreters' trap record
  krvk_batch_runner batch_;
};

}  // namespace

uint64_t krvk_chunk_size(uint64_t total) noexcept { return total == 0 ? 1 : (total + kMaxChunks - 1) / kMaxChunks; }

krvk_launch::krvk_launch() = default;

void krvk_launch::prepare(std::shared_ptr<const krvk_compiled_unit> compiled_unit, const krvk_program* kernel,
                          uint64_t domain_width, uint64_t height) {
  unit = std::move(compiled_unit);
  program = kernel;
  width = domain_width == 0 ? 1 : domain_width;
  total = domain_width * height;

  registers.assign(kernel->register_count, 0);
  for (const krvk_const& constant : kernel->constants) registers[constant.reg] = constant.bits;
  registers[kernel->gsize_reg] = total;
  registers[kernel->gsize_x_reg] = domain_width;
  registers[kernel->gsize_y_reg] = height;

  pointer_slots.assign(kernel->pointer_count + (kernel->frame_bytes != 0 ? 1 : 0), kptr{nullptr, 0, 0, 0});

  chunk_size = krvk_chunk_size(total);
  chunk_count = total == 0 ? 0 : (total - 1 + chunk_size) / chunk_size;

  const std::vector<krvk_acc>& accs = kernel->accumulators;
  reduction_slots.resize(chunk_count * accs.size());
  for (uint64_t c = 0; c < chunk_count; ++c) {
    for (size_t i = 0; i < accs.size(); ++i) {
      reduction_slots[c * accs.size() + i] = krvk_reduce_identity(accs[i].op, accs[i].prim);
    }
  }
}

void krvk_launch::run_lanes() noexcept {
  active_runners.fetch_add(1, std::memory_order_acq_rel);
  try {
    lane_runner runner(*this);
    runner.run();
  } catch (...) {
    // Only setup allocates. Out of memory there while chunks are still unclaimed: nobody may be left
    // to run them (this may be the waiting thread), and a partial result must not pass for a whole one.
    // When all were claimed, or the launch already stopped, nothing is lost by leaving.
    if (next_chunk.load(std::memory_order_acquire) < chunk_count && abort.load(std::memory_order_acquire) == 0) {
      failed.store(1, std::memory_order_release);
      stop();
    }
  }
  leave();
}

void krvk_launch::stop() noexcept {
  abort.exchange(1, std::memory_order_acq_rel);
  next_chunk.exchange(chunk_count, std::memory_order_acq_rel);
}

void krvk_launch::record_trap(uint8_t code, const ktrap& runner_trap) noexcept {
  // Code 7 is a requested stop only when the abort byte is already set; otherwise it came from an
  // invalid opcode (or an unusable start) and is a trap like any other.
  const bool requested_stop = code == KRVK_TRAP_ABORTED && abort.load(std::memory_order_acquire) != 0;
  if (!requested_stop && trap_recorded.exchange(1, std::memory_order_acq_rel) == 0) trap = runner_trap;
  stop();
}

void krvk_launch::leave() noexcept {
  if (active_runners.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  std::lock_guard<std::mutex> lock(mutex);
  finished.notify_all();
}

int krvk_launch::start_helpers(int n, const std::function<bool(std::function<void()>)>& enqueue) {
  if (!enqueue) return 0;
  std::shared_ptr<krvk_launch> self = shared_from_this();
  int accepted = 0;
  for (int i = 0; i < n; ++i) {
    if (!enqueue([self] { self->run_lanes(); })) break;
    ++accepted;
  }
  return accepted;
}

bool krvk_launch::is_finished() const noexcept {
  const bool nothing_left = next_chunk.load(std::memory_order_acquire) >= chunk_count ||
                            abort.load(std::memory_order_acquire) != 0;
  return nothing_left && active_runners.load(std::memory_order_acquire) == 0;
}

void krvk_launch::wait() {
  run_lanes();
  if (is_finished()) return;
  std::unique_lock<std::mutex> lock(mutex);
  finished.wait(lock, [this] { return is_finished(); });
}

std::vector<uint64_t> krvk_launch::collect_results() const {
  if (failed.load(std::memory_order_acquire) != 0) return {};
  const std::vector<krvk_acc>& accs = program->accumulators;
  std::vector<uint64_t> results(accs.size());
  for (size_t i = 0; i < accs.size(); ++i) {
    uint64_t value = krvk_reduce_identity(accs[i].op, accs[i].prim);
    for (uint64_t c = 0; c < chunk_count; ++c) {
      value = krvk_reduce_combine(accs[i].op, accs[i].prim, value, reduction_slots[c * accs.size() + i]);
    }
    results[i] = value;
  }
  return results;
}
