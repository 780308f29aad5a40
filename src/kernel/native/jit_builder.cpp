#include "kernel/native/jit_builder.h"

#include <sys/resource.h>
#include <unistd.h>

namespace {

thread_local bool build_thread = false;  // set on the builder's thread for its whole life

}  // namespace

bool krvk_jit_builder::on_build_thread() noexcept { return build_thread; }

krvk_jit_builder& krvk_jit_builder::instance() {
  static krvk_jit_builder builder;
  return builder;
}

krvk_jit_builder::~krvk_jit_builder() { stop(); }

bool krvk_jit_builder::submit(job work) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (abandon_.load(std::memory_order_acquire) != 0 || queue_.size() >= krvk_jit_builder_queue_limit) return false;
  queue_.push_back(std::move(work));
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  wake_.notify_one();
  return true;
}

void krvk_jit_builder::stop() { stop(false); }

void krvk_jit_builder::stop_for_good() { stop(true); }

void krvk_jit_builder::stop(bool for_good) {
  std::lock_guard<std::mutex> one_stop(stop_mutex_);
  for_good_ = for_good_ || for_good;
  std::thread ending;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Sequentially consistent: a sync build counts itself in flight and then reads the flag, and a
    // process ending waits for that count to fall (krvk_jit_abandon_every_build), so one of the two sees the other.
    abandon_.store(1, std::memory_order_seq_cst);
    ending = std::move(thread_);
  }
  wake_.notify_all();
  if (ending.joinable()) ending.join();
  std::deque<job> unrun;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    unrun.swap(queue_);
    if (!for_good_) abandon_.store(0, std::memory_order_release);
  }
  unrun.clear();  // outside the lock: destroying a job gives its slot back
}

void krvk_jit_builder::run() {
  build_thread = true;
  // The translation and the hashing of a build run here: at the lowest priority they give way to the
  // launches that run meanwhile, as the compiler does (best effort: a refusal leaves the priority).
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), krvk_jit_builder_niceness);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return !queue_.empty() || abandon_.load(std::memory_order_acquire) != 0; });
    if (abandon_.load(std::memory_order_acquire) != 0) return;
    job work = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    work();
    work = nullptr;  // the unit it holds is let go before the next build
    lock.lock();
  }
}
