// Native-code requests and slot states with injected enqueue functions and a fake compiler that copies
// a prepared library: the policies, refused and dropped jobs, one build for a sync race, failures that
// are not retried, and a table that publishes over a running build.
#include <sys/stat.h>

#include <filesystem>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "kernel/compiler/compile_driver.h"
#include "kernel/native/aot.h"
#include "kernel/native/jit_request.h"
#include "kernel/runtime/launch.h"
#include "kernel/runtime/settings.h"
#include "kernel/support/jit_scratch.h"
#include "runtime/objects/log.h"

namespace {

int table_entry(kreg*, const kptr*, uint64_t, uint64_t, const volatile unsigned char*, ktrap*) { return 0; }

using job_list = std::vector<std::function<void()>>;

const char* const kTwice = "kernel void twice(f32* y) { y[gid] = y[gid] * 2.0f; }";

// A fresh kernel (so a fresh slot) under the given policy, with a working fake compiler or none.
struct request_setup {
  explicit request_setup(uint32_t mode, bool with_compiler = true, const char* source = kTwice)
      : saved_mode(krvk_jit_mode.exchange(mode)), unit(krvk_compile_source(source, "k.k", error, {})) {
    write_script(root / "fakecc", fake_compiler(log) + "cp '" KRVK_TEST_ENTRY_LIB "' \"$out\"\n");
    env.emplace(env_values{{"KRV_KERNEL_CC", with_compiler ? root / "fakecc" : ""}, {"KRV_KERNEL_CACHE", root / "c"}});
  }
  ~request_setup() { krvk_jit_mode = saved_mode; }
  void request(const krvk_enqueue_fn& enqueue) { krvk_jit_request(unit, program.get(), enqueue); }
  std::string status() const { return krvk_jit_status_text(program.get()); }
  int builds() const {  // logged calls after the probe
    const std::string calls = read_text(log);
    return static_cast<int>(std::count(calls.begin(), calls.end(), '\n')) - 1;
  }

  uint32_t saved_mode;
  scratch_dir root;
  std::string log = root / "log";
  std::optional<jit_environment> env;
  kerror error;
  std::shared_ptr<krvk_compiled_unit> unit;  // its own: the test compiler's helpers keep theirs for good
  std::shared_ptr<krvk_program> program = unit->kernels[0];
};

TEST(JitRequest, AutoPolicyJobs) {
  struct auto_case {
    const char* name;
    std::function<bool(std::function<void()>, job_list&)> enqueue;  // null: no worker pool
    const char* after_request;
    bool run_held;  // run the jobs the enqueue kept, else destroy them unrun
    const char* after_jobs;
    int offers;  // enqueue calls once a second request is made
  };
  auto hold = [](std::function<void()> job, job_list& held) { return held.push_back(std::move(job)), true; };
  const std::vector<auto_case> cases = {
      {"held, then run", hold, "compiling", true, "ready", 1},
      {"refused", [](auto, auto&) { return false; }, "none", true, "none", 2},
      {"no pool", nullptr, "none", true, "none", 0},
      {"accepted and dropped", [](auto, auto&) { return true; }, "none", true, "none", 2},
      {"held, then destroyed unrun", hold, "compiling", false, "none", 2},
  };
  for (const auto_case& c : cases) {
    SCOPED_TRACE(c.name);
    request_setup setup(KRVK_JIT_AUTO);
    job_list held;
    int offers = 0;
    const krvk_enqueue_fn enqueue =
        c.enqueue ? krvk_enqueue_fn([&](std::function<void()> job) { return ++offers, c.enqueue(std::move(job), held); })
                  : krvk_enqueue_fn();
    setup.request(enqueue);
    EXPECT_EQ(setup.status(), c.after_request);
    const std::weak_ptr<krvk_compiled_unit> unit = setup.unit;
    setup.unit.reset();
    EXPECT_EQ(unit.expired(), held.empty());  // a queued job keeps the unit alive
    for (const auto& job : held) {
      if (c.run_held) job();
    }
    held.clear();
    EXPECT_EQ(setup.status(), c.after_jobs);
    setup.request(enqueue);
    EXPECT_EQ(offers, c.offers);
  }
}

TEST(JitRequest, OffSyncFailureAndTables) {
  {
    request_setup setup(KRVK_JIT_OFF);
    setup.request([](std::function<void()>) -> bool { throw std::logic_error("offered"); });
    EXPECT_EQ(setup.program->jit_slot->state.load(), KRVK_JIT_NONE);
    setup.program->jit_slot->state = KRVK_JIT_READY;
    EXPECT_EQ(setup.status(), "off");
  }
  {  // Many launches of one kernel under sync: one builds, the others wait, all return with it ready.
    request_setup setup(KRVK_JIT_SYNC);
    std::vector<std::thread> threads;
    std::atomic<int> ready{0};
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&] {
        setup.request(nullptr);
        ready += setup.program->jit_slot->state.load(std::memory_order_acquire) == KRVK_JIT_READY;
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(ready.load(), 8);
    EXPECT_EQ(setup.builds(), 1);
    EXPECT_EQ(setup.status(), "ready");
  }
  {  // A failure stays, and later requests do not build again.
    request_setup setup(KRVK_JIT_SYNC, /*with_compiler=*/false);
    setup.request(nullptr);
    krvk_jit_mode = KRVK_JIT_AUTO;
    setup.request([](std::function<void()>) -> bool { throw std::logic_error("offered"); });
    EXPECT_EQ(setup.status(), "failed: no C compiler found (set KRV_KERNEL_CC)");
  }
  {  // A kernel past the size handed to the compiler fails without a build; launches interpret it.
    std::string source = "kernel void big(f32* y) {\n";
    for (size_t i = 0; i < krvk_jit_max_instructions; ++i) source += "y[gid] = 1.0f;\n";
    request_setup setup(KRVK_JIT_SYNC, true, (source + "}\n").c_str());
    ASSERT_GT(setup.program->code.size(), krvk_jit_max_instructions);
    setup.request(nullptr);
    EXPECT_EQ(setup.status(), "failed: kernel is too large for native code (" +
                                  std::to_string(setup.program->code.size()) + " instructions, at most 131072)");
    EXPECT_LT(setup.builds(), 1);  // no compiler run (nor probe)
  }
  {  // A table loaded while the JIT builds publishes first; the build's result is dropped.
    request_setup setup(KRVK_JIT_AUTO, true, "kernel void thrice(f32* y) { y[gid] = y[gid] * 3.0f; }");
    job_list held;
    setup.request([&](std::function<void()> job) { return held.push_back(std::move(job)), true; });
    krvk_aot_registry& registry = krvk_aot_registry::instance();
    {
      std::lock_guard<std::mutex> lock(registry.mutex);
      registry.map[krvk_kernel_hash(*setup.program)] = table_entry;
    }
    registry.generation++;
    setup.request(nullptr);
    EXPECT_EQ(setup.status(), "aot");
    held.at(0)();
    EXPECT_EQ(setup.status(), "aot");
    EXPECT_EQ(setup.program->jit_slot->function, &table_entry);
    EXPECT_EQ(setup.builds(), 1);  // the build ran; its result was dropped
  }
}

// Launches run on an interpreter until the slot is ready, then on its function: the prepared library's
// entry does not touch memory, so only interpreted launches double y.
TEST(JitRequest, LaunchesUseTheSlotOnceReady) {
  const auto launch_twice = [](request_setup& setup, const krvk_enqueue_fn& enqueue) {
    std::vector<float> y = {1, 2, 3, 4};
    auto launch = std::make_shared<krvk_launch>();
    launch->prepare(setup.unit, setup.program.get(), y.size(), 1);
    launch->pointer_slots[0] = kptr{reinterpret_cast<uint8_t*>(y.data()), y.size(), sizeof(float), sizeof(float) * 4};
    setup.request(enqueue);
    launch->wait();
    return y;
  };
  const std::vector<float> doubled = {2, 4, 6, 8}, untouched = {1, 2, 3, 4};
  {
    request_setup setup(KRVK_JIT_AUTO);
    job_list held;
    EXPECT_EQ(launch_twice(setup, [&](std::function<void()> job) { return held.push_back(std::move(job)), true; }),
              doubled);
    EXPECT_EQ(setup.status(), "compiling");
    held.at(0)();
    EXPECT_EQ(launch_twice(setup, nullptr), untouched);
  }
  request_setup setup(KRVK_JIT_SYNC, /*with_compiler=*/false);
  EXPECT_EQ(launch_twice(setup, nullptr), doubled);
  EXPECT_EQ(setup.status(), "failed: no C compiler found (set KRV_KERNEL_CC)");
  EXPECT_EQ(launch_twice(setup, nullptr), doubled);
}

// A background build runs on the kernel's build thread, which has no script's log: the warning it meets
// (a FIFO under the kernel's library name, which must neither hang it nor be loaded) reaches the log of
// the thread that next asks about a kernel.
TEST(JitRequest, WarningsOfBackgroundBuildsReachTheNextCall) {
  struct warnings final : krv_log_listener {
    void on_warning(const std::string& text) override {
      std::lock_guard<std::mutex> lock(mutex);
      lines += text + "\n";
    }
    std::string text() {
      std::lock_guard<std::mutex> lock(mutex);
      return lines;
    }
    std::mutex mutex;
    std::string lines;
  } listener;
  request_setup built(KRVK_JIT_SYNC);
  built.request(nullptr);
  ASSERT_EQ(built.status(), "ready");
  const std::vector<std::string> cached = names_in(built.root / "c");
  ASSERT_EQ(cached.size(), 2u);
  const std::string library = built.root / ("c/" + cached[0]);  // k_<key>.so, before its .sum
  std::filesystem::remove(library);
  ASSERT_EQ(mkfifo(library.c_str(), 0600), 0);

  request_setup background(KRVK_JIT_AUTO);  // the same kernel, compiler and cache: the same key
  background.env.reset();
  background.env.emplace(env_values{{"KRV_KERNEL_CC", built.root / "fakecc"}, {"KRV_KERNEL_CACHE", built.root / "c"}});
  const auto connection = krv_default_log().connect(&listener);
  background.request(krvk_jit_background());
  for (int looks = 0; looks < 30000 && background.status() == "compiling"; ++looks) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(background.status(), "ready");
  EXPECT_EQ(listener.text(), "kernel cache entry " + library + " refused: it is a FIFO; building the kernel anew\n");
  krv_default_log().close(connection);
}

}  // namespace
