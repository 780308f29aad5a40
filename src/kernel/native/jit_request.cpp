#include "kernel/native/jit_request.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

#include "kernel/native/aot.h"
#include "kernel/native/c_translator.h"
#include "kernel/native/jit_builder.h"
#include "kernel/native/jit_cache.h"
#include "kernel/runtime/settings.h"

namespace {

// Moves the slot from compiling back to none, so that a later launch asks again.
void give_back(krvk_jit_slot& slot) {
  uint32_t compiling = KRVK_JIT_COMPILING;
  slot.state.compare_exchange_strong(compiling, KRVK_JIT_NONE, std::memory_order_acq_rel);
}

// The one claim on a slot moved to compiling by an auto request. Exactly one of three settles it: the
// job starting to run, the request seeing the job refused, or the last copy of the job being destroyed
// unrun; the latter two give the slot back.
class pending_build {
 public:
  explicit pending_build(std::shared_ptr<krvk_jit_slot> slot) : slot_(std::move(slot)) {}
  ~pending_build() { settle_unrun(); }
  pending_build(const pending_build&) = delete;
  pending_build& operator=(const pending_build&) = delete;

  // True for the caller that settles the claim by running the job.
  bool start() { return !settled_.exchange(true); }
  void settle_unrun() {
    if (!settled_.exchange(true)) give_back(*slot_);
  }

 private:
  std::shared_ptr<krvk_jit_slot> slot_;
  std::atomic<bool> settled_{false};
};

// How a background build runs: at the lowest priority, and abandoned once the builder stops (the process
// is ending): nobody launches the kernel any more, so its compiler is killed instead of being waited for.
krvk_build_options background_build() {
  return {krvk_jit_background_niceness, &krvk_jit_builder::instance().abandon()};
}

void wait_while_compiling(const krvk_jit_slot& slot) {
  for (;;) {
    const uint32_t state = slot.state.load(std::memory_order_acquire);
    if (state != KRVK_JIT_COMPILING && state != KRVK_JIT_PUBLISHING) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

krvk_enqueue_fn krvk_jit_background() {
  return [](std::function<void()> job) { return krvk_jit_builder::instance().submit(std::move(job)); };
}

void krvk_jit_request(const std::shared_ptr<const krvk_unit>& unit, const krvk_program* program,
                      const krvk_enqueue_fn& enqueue) {
  krvk_jit_pass_on_warnings();
  const uint32_t policy = krvk_jit_mode.load();
  if (policy == KRVK_JIT_OFF || program == nullptr || program->jit_slot == nullptr) return;
  krvk_jit_slot& slot = *program->jit_slot;
  krvk_aot_lookup(*program, slot);
  uint32_t none = KRVK_JIT_NONE;
  if (!slot.state.compare_exchange_strong(none, KRVK_JIT_COMPILING, std::memory_order_acq_rel)) {
    if (policy == KRVK_JIT_SYNC) wait_while_compiling(slot);
    return;
  }
  if (policy == KRVK_JIT_SYNC) {
    // A process ending at once abandons this build as it does the build thread's (jit_builder.h).
    krvk_jit_job(*program, {0, &krvk_jit_builder::instance().abandon()});
    return;
  }
  auto claim = std::make_shared<pending_build>(program->jit_slot);
  const bool accepted = enqueue && enqueue([unit, program, claim] {
    if (claim->start()) krvk_jit_job(*program, background_build());
  });
  if (!accepted) claim->settle_unrun();
}

void krvk_jit_job(const krvk_program& program, const krvk_build_options& options) {
  krvk_jit_slot& slot = *program.jit_slot;
  std::string message;
  krvk_native_fn function = nullptr;
  try {
    if (program.code.size() > krvk_jit_max_instructions) {
      message = "kernel is too large for native code (" + std::to_string(program.code.size()) +
                " instructions, at most " + std::to_string(krvk_jit_max_instructions) + ")";
    } else {
      function = krvk_jit_compile(krvk_jit_source(program), message, options);
    }
  } catch (const std::exception& error) {
    message = error.what();
  } catch (...) {
    give_back(slot);
    throw;
  }
  if (function == nullptr && options.abandon != nullptr && options.abandon->load() != 0) {
    give_back(slot);  // not a failure of the kernel: a later launch, if any, asks again
    return;
  }
  uint32_t compiling = KRVK_JIT_COMPILING;
  if (!slot.state.compare_exchange_strong(compiling, KRVK_JIT_PUBLISHING, std::memory_order_acq_rel)) return;
  if (function != nullptr) {
    slot.function = function;
    slot.from_aot = 0;
    slot.state.store(KRVK_JIT_READY, std::memory_order_release);
  } else {
    slot.message = message;
    slot.state.store(KRVK_JIT_FAILED, std::memory_order_release);
  }
}

std::string krvk_jit_status_text(const krvk_program* program) {
  krvk_jit_pass_on_warnings();
  if (krvk_jit_mode.load() == KRVK_JIT_OFF) return "off";
  if (program == nullptr || program->jit_slot == nullptr) return "none";
  const krvk_jit_slot& slot = *program->jit_slot;
  switch (slot.state.load(std::memory_order_acquire)) {
    case KRVK_JIT_COMPILING:
    case KRVK_JIT_PUBLISHING:
      return "compiling";
    case KRVK_JIT_READY:
      return slot.from_aot != 0 ? "aot" : "ready";
    case KRVK_JIT_FAILED:
      return "failed: " + slot.message;
    default:
      return "none";
  }
}
