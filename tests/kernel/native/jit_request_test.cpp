// Native-code requests and slot states with injected enqueue functions and a fake compiler (a shell
// script that copies a prepared library): the policies, refused and dropped jobs, one build for a sync
// race, failures that are not retried, and a table that publishes over a running build.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "kernel/compiler/kernel_runner.h"
#include "kernel/native/aot.h"
#include "kernel/native/jit_request.h"
#include "kernel/runtime/settings.h"
#include "kernel/support/jit_scratch.h"

namespace {

int table_entry(kreg*, const kptr*, uint64_t, uint64_t, const volatile unsigned char*, ktrap*) { return 0; }

class JitRequest : public ::testing::Test {
 protected:
  void SetUp() override { saved_mode_ = krvk_jit_mode.load(); }
  void TearDown() override { krvk_jit_mode = saved_mode_; }

  // A fresh kernel (and so a fresh slot) under a working fake compiler, or under none.
  void start(uint32_t mode, bool with_compiler = true) {
    krvk_jit_mode = mode;
    const std::string script = root_ / "fakecc";
    write_script(script, fake_compiler_prelude(log_) + fake_compiler_probe("exit 0") +
                             "cp '" KRVK_TEST_ENTRY_LIB "' \"$out\"\n");
    env_ = std::make_unique<jit_environment>(std::map<std::string, std::optional<std::string>>{
        {"KRV_KERNEL_CC", with_compiler ? script : ""}, {"KRV_KERNEL_CACHE", root_ / "cache"}});
    unit_ = compile_unit("kernel void twice(f32* y) { y[gid] = y[gid] * 2.0f; }\n");
    program_ = unit_->kernels[0];
  }
  void request() { krvk_jit_request(unit_, program_.get(), enqueue_); }
  std::string status() const { return krvk_jit_status_text(program_.get()); }
  int builds() const {
    int count = 0;
    for (const std::string& line : lines(read_text(log_))) count += line.find("-shared") != std::string::npos;
    return count;
  }
  static std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  scratch_dir root_;
  std::string log_ = root_ / "calls.log";
  std::unique_ptr<jit_environment> env_;
  std::shared_ptr<krvk_compiled_unit> unit_;
  std::shared_ptr<krvk_program> program_;
  krvk_enqueue_fn enqueue_;
  uint32_t saved_mode_ = 0;
};

struct auto_case {
  const char* name;
  // Returns whether it accepts; may keep the job in `held`.
  std::function<bool(std::function<void()>, std::vector<std::function<void()>>& held)> enqueue;
  bool empty_enqueue;
  const char* after_request;  // status once the first request returned
  bool run_held;  // run the held jobs (else destroy them unrun)
  const char* after_jobs;  // status once the held jobs ran or were destroyed
  int offers;  // enqueue calls after a second request
};

TEST_F(JitRequest, AutoPolicyJobs) {
  auto hold = [](std::function<void()> job, std::vector<std::function<void()>>& held) {
    held.push_back(std::move(job));
    return true;
  };
  const std::vector<auto_case> cases = {
      {"held, then run", hold, false, "compiling", true, "ready", 1},
      {"refused", [](auto, auto&) { return false; }, false, "none", true, "none", 2},
      {"no pool", nullptr, true, "none", true, "none", 0},
      {"accepted and dropped", [](auto, auto&) { return true; }, false, "none", true, "none", 2},
      {"held, then destroyed unrun", hold, false, "compiling", false, "none", 2},
  };
  for (const auto_case& c : cases) {
    SCOPED_TRACE(c.name);
    start(KRVK_JIT_AUTO);
    std::vector<std::function<void()>> held;
    int offers = 0;
    enqueue_ = c.empty_enqueue ? krvk_enqueue_fn() : krvk_enqueue_fn([&](std::function<void()> job) {
      ++offers;
      return c.enqueue(std::move(job), held);
    });
    request();
    EXPECT_EQ(status(), c.after_request);
    // The job keeps the unit alive after the script drops it.
    const std::weak_ptr<krvk_compiled_unit> unit_alive = unit_;
    unit_.reset();
    EXPECT_EQ(unit_alive.expired(), held.empty());
    if (c.run_held) {
      for (const auto& job : held) job();
    }
    held.clear();
    EXPECT_EQ(status(), c.after_jobs);
    EXPECT_TRUE(unit_alive.expired());
    krvk_jit_request(nullptr, program_.get(), enqueue_);
    EXPECT_EQ(offers, c.offers);
    for (const auto& job : held) job();
  }
}

TEST_F(JitRequest, PolicyOffChangesNothing) {
  start(KRVK_JIT_OFF);
  bool offered = false;
  enqueue_ = [&](std::function<void()>) { return offered = true; };
  request();
  EXPECT_FALSE(offered);
  EXPECT_EQ(program_->jit_slot->state.load(), KRVK_JIT_NONE);
  program_->jit_slot->state = KRVK_JIT_READY;
  EXPECT_EQ(status(), "off");
  EXPECT_EQ(krvk_jit_status_text(nullptr), "off");
  krvk_jit_mode = KRVK_JIT_AUTO;
  EXPECT_EQ(krvk_jit_status_text(nullptr), "none");
}

// Many launches of one kernel under sync: one builds, the others wait, all return with it ready.
TEST_F(JitRequest, SyncRaceBuildsOnce) {
  start(KRVK_JIT_SYNC);
  std::vector<std::thread> threads;
  std::atomic<int> ready_on_return{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      request();
      ready_on_return += program_->jit_slot->state.load(std::memory_order_acquire) == KRVK_JIT_READY;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(ready_on_return.load(), 8);
  EXPECT_EQ(builds(), 1);
  EXPECT_EQ(status(), "ready");
  kreg regs[1] = {};
  EXPECT_EQ(program_->jit_slot->function(regs, nullptr, 0, 0, nullptr, nullptr), 0);
  EXPECT_EQ(regs[0].u, 0x6b726b76u);
}

TEST_F(JitRequest, FailureIsKeptAndNotRetried) {
  start(KRVK_JIT_SYNC, /*with_compiler=*/false);
  request();
  EXPECT_EQ(status(), "failed: no C compiler found (set KRV_KERNEL_CC)");
  krvk_jit_mode = KRVK_JIT_AUTO;
  int offers = 0;
  enqueue_ = [&](std::function<void()>) { return ++offers, true; };
  request();
  EXPECT_EQ(offers, 0);
  EXPECT_EQ(status(), "failed: no C compiler found (set KRV_KERNEL_CC)");
}

// A table loaded while the JIT builds publishes first; the build's result is dropped.
TEST_F(JitRequest, TablePublicationWinsOverRunningBuild) {
  start(KRVK_JIT_AUTO);
  std::vector<std::function<void()>> held;
  enqueue_ = [&](std::function<void()> job) {
    held.push_back(std::move(job));
    return true;
  };
  request();
  ASSERT_EQ(status(), "compiling");
  krvk_aot_registry& registry = krvk_aot_registry::instance();
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.map[krvk_kernel_hash(*program_)] = table_entry;
  }
  registry.generation++;
  request();
  EXPECT_EQ(status(), "aot");
  for (const auto& job : held) job();
  EXPECT_EQ(status(), "aot");
  EXPECT_EQ(program_->jit_slot->function, &table_entry);
  EXPECT_EQ(builds(), 1);  // the build ran; its result was dropped
}

}  // namespace
