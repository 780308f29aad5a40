// The launch engine: chunking, the engine each runner chooses, reductions combined in chunk order, the
// first trap, the abort, helper jobs through injected enqueue functions (a pool, one that refuses every
// job, one that drops jobs like a stopped queue) and runners that cannot set themselves up.
//
// Which engine ran a chunk is read from memory: the probe kernel stores its gid into one shared cell and
// reads it back. On the scalar engine every work item reads its own gid; on the 64-lane engine every lane
// of a group stores before any lane loads, so all read the group's last gid; the hand-written native
// function writes a mark of its own.
//
// This binary replaces operator new so that a thread can make its allocations fail on purpose.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "classes/kernel/kernel_workers.h"
#include "host/host_vm.h"
#include "kernel/runtime/launch.h"
#include "kernel/runtime/launch_runners.h"
#include "kernel/runtime/reductions.h"
#include "kernel/runtime/settings.h"
#include "kernel/support/job_pool.h"
#include "kernel/support/program_builder.h"

namespace {
// Allocations on this thread larger than this many bytes fail with std::bad_alloc.
thread_local size_t fail_above = SIZE_MAX;
}  // namespace

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  if (size > fail_above) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
// Sanitizer runtimes replace the nothrow forms themselves unless these replace them first.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return size > fail_above ? nullptr : std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr uint64_t kNativeMark = 1'000'000;

// Sets the kernel mode and JIT policy for one test and puts the old ones back.
class settings_guard {
 public:
  explicit settings_guard(uint32_t mode, uint32_t jit = KRVK_JIT_AUTO)
      : mode_(krvk_kernel_mode.exchange(mode)), jit_(krvk_jit_mode.exchange(jit)) {}
  ~settings_guard() {
    krvk_kernel_mode.exchange(mode_);
    krvk_jit_mode.exchange(jit_);
  }

 private:
  uint32_t mode_, jit_;
};

std::shared_ptr<krvk_launch> launch_of(krvk_test_program& k, uint64_t width, uint64_t height = 1) {
  auto unit = std::make_shared<krvk_compiled_unit>();
  unit->kernels.push_back(k.share());
  auto launch = std::make_shared<krvk_launch>();
  launch->prepare(unit, &k.program(), width, height);
  return launch;
}

template <class T>
void bind(krvk_launch& launch, uint16_t slot, std::vector<T>& data) {
  launch.pointer_slots[slot] = kptr{reinterpret_cast<uint8_t*>(data.data()), data.size(), sizeof(T), data.size() * sizeof(T)};
}

// The native stand-in: marks every work item of its range.
int native_marker(kreg*, const kptr* ptrs, uint64_t begin, uint64_t end, const volatile unsigned char*, ktrap*) {
  uint64_t* seen = reinterpret_cast<uint64_t*>(ptrs[1].base);
  for (uint64_t g = begin; g < end; ++g) seen[g] = kNativeMark + g;
  return 0;
}

// probe[0] = gid; seen[gid] = probe[0]; optionally a branch on gid & 1 that splits every group.
struct probe_kernel {
  explicit probe_kernel(bool diverge = false, uint32_t frame_bytes = 0, uint32_t extra_registers = 0) {
    probe = k.pointer_param("probe", KRVK_U64);
    seen = k.pointer_param("seen", KRVK_U64);
    if (frame_bytes != 0) k.frame(frame_bytes);
    const uint16_t zero = k.constant(KRVK_U64, 0);
    const uint16_t one = k.constant(KRVK_U64, 1);
    const uint16_t v = k.reg();
    for (uint32_t i = 0; i < extra_registers; ++i) k.reg();
    k.emit(KOP_ST_U64, 0, probe, zero, 0);
    k.emit(KOP_LD_U64, v, probe, zero, 0);
    k.emit(KOP_ST_U64, v, seen, 0, 0);
    if (diverge) {
      k.emit(KOP_AND_X, v, 0, one);
      k.emit(KOP_JT, v, 0, 0, 6);
      k.emit(KOP_NOP);
    }
    k.emit(KOP_END);
  }

  // Runs a launch of `items` on the calling thread and names each chunk's engine: 'b' batch,
  // 's' scalar, 'n' native; '.' for a chunk of one work item on an interpreter (both look alike).
  std::string engines(uint64_t items, size_t fail_above_while_running = SIZE_MAX) {
    auto launch = launch_of(k, items);
    std::vector<uint64_t> cell(1), marks(items);
    bind(*launch, probe, cell);
    bind(*launch, seen, marks);
    fail_above = fail_above_while_running;
    launch->wait();
    fail_above = SIZE_MAX;
    std::string out;
    for (uint64_t c = 0; c < launch->chunk_count; ++c) {
      const uint64_t first = c * launch->chunk_size;
      const uint64_t group_end = std::min({first + 64, first + launch->chunk_size, items});
      if (marks[first] == kNativeMark + first) out += 'n';
      else if (group_end - first == 1) out += '.';
      else out += marks[first] == group_end - 1 ? 'b' : 's';
    }
    return out;
  }

  krvk_test_program k;
  uint16_t probe, seen;
};

TEST(LaunchTable, ChunksDependOnlyOnTheDomainSize) {
  struct chunking {
    uint64_t width, height, size, count;
  };
  const chunking cases[] = {{0, 5, 1, 0},       {1, 1, 1, 1},       {256, 1, 1, 256},          {257, 1, 2, 129},
                            {1000, 1, 4, 250},  {1792, 1, 7, 256},  {1793, 1, 8, 225},         {3, 600, 8, 225},
                            {65535, 65537, 16777216, 256}};
  krvk_test_program k;
  k.emit(KOP_END);
  for (const chunking& c : cases) {
    auto launch = launch_of(k, c.width, c.height);
    EXPECT_EQ(launch->total, c.width * c.height);
    EXPECT_EQ(launch->chunk_size, c.size) << c.width << " x " << c.height;
    EXPECT_EQ(launch->chunk_count, c.count) << c.width << " x " << c.height;
    EXPECT_EQ(launch->width, c.width == 0 ? 1u : c.width);
    EXPECT_EQ(launch->registers[k.program().gsize_x_reg], c.width);
  }
}

TEST(LaunchTable, EngineChoice) {
  struct choice {
    const char* name;
    uint64_t items;
    uint32_t mode;
    uint32_t jit;
    bool native_ready;
    uint32_t frame_bytes;
    uint32_t extra_registers;
    char engine;
  };
  const choice cases[] = {
      {"auto, chunks of 7", 1792, KRVK_MODE_AUTO, KRVK_JIT_AUTO, false, 0, 0, 's'},
      {"auto, chunks of 8", 1793, KRVK_MODE_AUTO, KRVK_JIT_AUTO, false, 0, 0, 'b'},
      {"batch, short chunks", 600, KRVK_MODE_BATCH, KRVK_JIT_AUTO, false, 0, 0, 'b'},
      {"batch with a frame", 1793, KRVK_MODE_BATCH, KRVK_JIT_AUTO, false, 16, 0, 's'},
      {"batch, 512 registers", 1793, KRVK_MODE_BATCH, KRVK_JIT_AUTO, false, 0, 512 - 10, 'b'},
      {"batch, 513 registers", 1793, KRVK_MODE_BATCH, KRVK_JIT_AUTO, false, 0, 513 - 10, 's'},
      {"scalar", 5000, KRVK_MODE_SCALAR, KRVK_JIT_AUTO, false, 0, 0, 's'},
      {"auto with native code", 1000, KRVK_MODE_AUTO, KRVK_JIT_AUTO, true, 0, 0, 'n'},
      {"auto with native code, JIT off", 5000, KRVK_MODE_AUTO, KRVK_JIT_OFF, true, 0, 0, 'b'},
      {"batch with native code", 5000, KRVK_MODE_BATCH, KRVK_JIT_SYNC, true, 0, 0, 'b'},
      {"scalar with native code", 5000, KRVK_MODE_SCALAR, KRVK_JIT_AUTO, true, 0, 0, 's'},
  };
  for (const choice& c : cases) {
    SCOPED_TRACE(c.name);
    settings_guard settings(c.mode, c.jit);
    probe_kernel kernel(false, c.frame_bytes, c.extra_registers);
    ASSERT_EQ(kernel.k.program().register_count, 10 + c.extra_registers);
    if (c.native_ready) {
      kernel.k.program().jit_slot->function = native_marker;
      kernel.k.program().jit_slot->state.store(KRVK_JIT_READY, std::memory_order_release);
    }
    const uint64_t size = krvk_chunk_size(c.items);
    std::string expected((c.items - 1) / size + 1, c.engine);
    if (c.items % size == 1 && c.engine != 'n') expected.back() = '.';
    EXPECT_EQ(kernel.engines(c.items), expected);
  }
}

TEST(LaunchTable, AutoModeLeavesTheBatchEngineAfter32DivergingGroupsBatchModeNever) {
  for (const uint32_t mode : {KRVK_MODE_AUTO, KRVK_MODE_BATCH}) {
    settings_guard settings(mode);
    probe_kernel kernel(true);
    const std::string engines = kernel.engines(256 * 64);  // one group per chunk, each one diverging
    EXPECT_EQ(engines, mode == KRVK_MODE_AUTO ? std::string(32, 'b') + std::string(224, 's') : std::string(256, 'b'));
  }
}

TEST(LaunchTable, WideFileOutOfMemoryFallsBackToTheScalarEngine) {
  settings_guard settings(KRVK_MODE_BATCH);
  probe_kernel kernel;
  // The runner's setup copies are smaller than 2 KiB, the wide file (10 x 64 words) is not.
  EXPECT_EQ(kernel.engines(600, 2048), std::string(200, 's'));
  EXPECT_EQ(kernel.engines(600), std::string(200, 'b'));
}

// sum of f32 x[gid] with reduce(+) and min of i32 (gid * 7 mod 1000 - 500) with reduce(min).
struct sum_kernel {
  sum_kernel() {
    k.scalar_result(KRVK_F32, KRVK_REDUCE_ADD, "f32 reduce(+)");
    low = k.reg("low");
    k.program().accumulators.push_back(krvk_acc{low, KRVK_I32, KRVK_REDUCE_MIN, 0, "low"});
    x = k.pointer_param("x", KRVK_F32, true);
    const uint16_t seven = k.constant(KRVK_U64, 7);
    const uint16_t five_hundred = k.constant(KRVK_I32, 500);
    const uint16_t v = k.reg();
    const uint16_t w = k.reg();
    k.emit(KOP_LD_F32, v, x, 0, 0);
    k.emit(KOP_ADD_F32, 2, 2, v);
    k.emit(KOP_MUL_X64, w, 0, seven);
    k.emit(KOP_MODC_U32, w, w, 1000, ~uint64_t{0} / 1000 + 1);
    k.emit(KOP_SUB_I32, w, w, five_hundred);
    k.emit(KOP_MIN_S, low, low, w);
    k.emit(KOP_END);
  }
  krvk_test_program k;
  uint16_t low, x;
};

std::vector<float> varied_floats(size_t n) {
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = static_cast<float>((i * 2654435761u) % 100003) * (i % 3 == 0 ? 1e-3f : 17.25f);
  return x;
}

TEST(LaunchTable, ReductionsDoNotDependOnRunnersOrOnTheQueue) {
  constexpr uint64_t kItems = 100'000;
  std::vector<float> x = varied_floats(kItems);
  krvk_job_pool pool(7);
  const std::function<bool(std::function<void()>)> refuse = [](std::function<void()>) { return false; };
  const std::function<bool(std::function<void()>)> drop = [](std::function<void()>) { return true; };
  struct queue_case {
    const char* name;
    std::function<bool(std::function<void()>)> enqueue;
    int accepted;
  };
  // The host's own workers, through the VM queue of this thread; a thread without a VM gets no enqueue.
  EXPECT_FALSE(krv_kernel_enqueue());
  krv_host_vm vm("launch");
  vm.start_workers(3);
  vm.attach_current_thread();
  const std::function<bool(std::function<void()>)> host_workers = krv_kernel_enqueue();
  krv_host_vm::detach_current_thread();
  const queue_case queues[] = {{"no helpers", {}, 0}, {"pool of 7", pool.enqueue(), 7}, {"refusing", refuse, 0},
                               {"dropping", drop, 7}, {"host workers", host_workers, 7}};
  for (const uint32_t mode : {KRVK_MODE_AUTO, KRVK_MODE_SCALAR}) {
    settings_guard settings(mode);
    std::vector<std::vector<uint64_t>> results;
    for (const queue_case& q : queues) {
      SCOPED_TRACE(q.name);
      sum_kernel kernel;
      auto launch = launch_of(kernel.k, kItems);
      bind(*launch, kernel.x, x);
      EXPECT_EQ(launch->start_helpers(7, q.enqueue), q.accepted);
      launch->wait();
      EXPECT_EQ(launch->trap_recorded.load(), 0);
      results.push_back(launch->collect_results());
    }
    for (const std::vector<uint64_t>& r : results) EXPECT_EQ(r, results[0]);  // bit for bit
    EXPECT_EQ(static_cast<int32_t>(results[0][1]), -500);
  }
}

// The sum kernel has 7 instructions, so one runner per 9,362 work items; a kernel that loops gets every
// runner allowed. Whatever the count, the reductions are those of one runner, bit for bit.
TEST(LaunchTable, RunnerCountFollowsTheWorkAndNeverChangesAResult) {
  sum_kernel sum;
  krvk_test_program looping;
  looping.emit(KOP_LOOP, 0, 0, 0, 0);
  looping.emit(KOP_END);
  struct runner_case {
    krvk_test_program& kernel;
    uint64_t items;
    int allowed, helpers;
  };
  const runner_case cases[] = {{sum.k, 1024, 7, 0},    {sum.k, 18'723, 7, 0},   {sum.k, 18'724, 7, 1},
                               {sum.k, 100'000, 7, 7}, {sum.k, 100'000, 3, 3},  {sum.k, 1u << 20, 0, 0},
                               {looping, 1, 7, 7},     {looping, 1u << 20, 2, 2}};
  for (const runner_case& c : cases) {
    EXPECT_EQ(krvk_helpers_worth_starting(c.kernel.program(), c.items, c.allowed), c.helpers) << c.items;
  }
  krvk_job_pool pool(7);
  for (const uint64_t items : {1'000u, 18'724u, 100'003u}) {
    std::vector<float> x = varied_floats(items);
    std::vector<std::vector<uint64_t>> results;
    for (int helpers = 0; helpers <= 7; ++helpers) {
      auto launch = launch_of(sum.k, items);
      bind(*launch, sum.x, x);
      launch->start_helpers(helpers, pool.enqueue());
      launch->wait();
      results.push_back(launch->collect_results());
    }
    for (const std::vector<uint64_t>& r : results) EXPECT_EQ(r, results[0]) << items;
  }
}

TEST(LaunchTable, NoWorkItemsGiveTheIdentities) {
  sum_kernel kernel;
  auto launch = launch_of(kernel.k, 0, 10);
  launch->wait();
  EXPECT_EQ(launch->collect_results(), (std::vector<uint64_t>{0, 0x7FFFFFFF}));
}

// q = 1 / ((gid - first) * (gid - second)): traps at both work items.
struct two_trap_kernel {
  two_trap_kernel(uint64_t first_trap, uint64_t second_trap) {
    const uint16_t a = k.constant(KRVK_U64, first_trap);
    const uint16_t b = k.constant(KRVK_U64, second_trap);
    const uint16_t one = k.constant(KRVK_U64, 1);
    const uint16_t d = k.reg();
    const uint16_t e = k.reg();
    k.emit(KOP_SUB_X64, d, 0, a);
    k.emit(KOP_SUB_X64, e, 0, b);
    k.emit(KOP_MUL_X64, d, d, e);
    k.emit(KOP_DIV_U64, e, one, d);  // 3
    k.emit(KOP_END);
  }
  krvk_test_program k;
};

TEST(LaunchTable, TwoTrappingChunksStoreOneTrap) {
  krvk_job_pool pool(4);
  for (const uint32_t mode : {KRVK_MODE_SCALAR, KRVK_MODE_BATCH}) {
    settings_guard settings(mode);
    for (int round = 0; round < 20; ++round) {
      two_trap_kernel kernel(5, 9000);
      auto launch = launch_of(kernel.k, 10'000);
      launch->start_helpers(4, pool.enqueue());
      launch->wait();
      ASSERT_EQ(launch->trap_recorded.load(), 1);
      EXPECT_EQ(launch->trap.code, KRVK_TRAP_DIV_ZERO);
      EXPECT_EQ(launch->trap.pc, 3u);
      EXPECT_TRUE(launch->trap.gid == 5 || launch->trap.gid == 9000) << launch->trap.gid;
      EXPECT_EQ(launch->abort.load(), 1);
      EXPECT_GE(launch->next_chunk.load(), launch->chunk_count);
    }
  }
}

TEST(LaunchTable, AbortStopsALoopingKernelOnBothInterpreters) {
  // Work items of the first chunk loop forever; the last work item divides by zero. Whoever runs the
  // last chunk traps, and the abort ends the loop, which is not stored as the trap.
  krvk_test_program k;
  const uint16_t ten = k.constant(KRVK_U64, 10);
  const uint16_t last = k.constant(KRVK_U64, 2559);
  const uint16_t one = k.constant(KRVK_U64, 1);
  const uint16_t d = k.reg();
  k.emit(KOP_JFLT_U, 0, ten, 0, 2);
  k.emit(KOP_LOOP, 0, 0, 0, 1);  // 1: forever
  k.emit(KOP_SUB_X64, d, 0, last);  // 2
  k.emit(KOP_DIV_U64, d, one, d);  // 3
  k.emit(KOP_END);
  krvk_job_pool pool(3);
  for (const uint32_t mode : {KRVK_MODE_SCALAR, KRVK_MODE_BATCH}) {
    settings_guard settings(mode);
    auto launch = launch_of(k, 2560);
    ASSERT_EQ(launch->chunk_size, 10u);
    launch->start_helpers(3, pool.enqueue());
    launch->wait();
    ASSERT_EQ(launch->trap_recorded.load(), 1);
    EXPECT_EQ(launch->trap.code, KRVK_TRAP_DIV_ZERO);
    EXPECT_EQ(launch->trap.gid, 2559u);
  }
}

TEST(LaunchTable, InvalidOpcodeIsStoredAsATrap) {
  krvk_test_program k;
  k.emit(KOP_NOP);
  k.emit(301);
  for (const uint32_t mode : {KRVK_MODE_SCALAR, KRVK_MODE_BATCH}) {
    settings_guard settings(mode);
    auto launch = launch_of(k, 1000);
    launch->wait();
    ASSERT_EQ(launch->trap_recorded.load(), 1);
    EXPECT_EQ(launch->trap.code, KRVK_TRAP_ABORTED);
    EXPECT_EQ(launch->trap.pc, 1u);
    EXPECT_EQ(launch->trap.gid, 0u);
  }
}

TEST(LaunchTable, LateHelperRunsItsPrologueClaimsNothingAndLeaves) {
  sum_kernel kernel;
  auto prologue = std::make_shared<krvk_program>();
  prologue->name = "k (prologue)";
  prologue->code = {krvk_insn{KOP_NOP, 0, 0, 0, 0}, krvk_insn{KOP_END, 0, 0, 0, 0}};
  kernel.k.program().prologue = prologue;
  std::vector<float> x = varied_floats(5000);
  auto launch = launch_of(kernel.k, x.size());
  bind(*launch, kernel.x, x);
  std::vector<std::function<void()>> held;
  EXPECT_EQ(launch->start_helpers(2, [&](std::function<void()> job) {
    held.push_back(std::move(job));
    return true;
  }), 2);
  launch->wait();
  const std::vector<uint64_t> results = launch->collect_results();
  EXPECT_EQ(launch.use_count(), 3);
  std::thread late([&] { held[0](); });
  late.join();
  held.clear();
  EXPECT_EQ(launch.use_count(), 1);
  EXPECT_EQ(launch->active_runners.load(), 0u);
  EXPECT_EQ(launch->collect_results(), results);
  EXPECT_EQ(launch->failed.load(), 0);
}

TEST(LaunchTable, SetupFailureNeitherHangsNorYieldsAResult) {
  sum_kernel kernel;
  std::vector<float> x = varied_floats(3000);
  {  // the waiting thread itself cannot set up: nobody runs the chunks
    auto launch = launch_of(kernel.k, x.size());
    bind(*launch, kernel.x, x);
    fail_above = 0;
    launch->wait();
    fail_above = SIZE_MAX;
    EXPECT_EQ(launch->failed.load(), 1);
    EXPECT_EQ(launch->abort.load(), 1);
    EXPECT_TRUE(launch->collect_results().empty());
    EXPECT_EQ(launch->trap_recorded.load(), 0);
  }
  {  // a helper fails before the waiting thread starts
    auto launch = launch_of(kernel.k, x.size());
    bind(*launch, kernel.x, x);
    launch->start_helpers(1, [](std::function<void()> job) {
      std::thread failing([&] {
        fail_above = 0;
        job();
        fail_above = SIZE_MAX;
      });
      failing.join();
      return true;
    });
    launch->wait();
    EXPECT_EQ(launch->failed.load(), 1);
    EXPECT_TRUE(launch->collect_results().empty());
  }
  {  // a helper that fails after every chunk was run loses nothing
    auto launch = launch_of(kernel.k, x.size());
    bind(*launch, kernel.x, x);
    std::function<void()> late;
    launch->start_helpers(1, [&](std::function<void()> job) {
      late = std::move(job);
      return true;
    });
    launch->wait();
    std::thread failing([&] {
      fail_above = 0;
      late();
      fail_above = SIZE_MAX;
    });
    failing.join();
    EXPECT_EQ(launch->failed.load(), 0);
    EXPECT_EQ(launch->collect_results().size(), 2u);
  }
}

TEST(LaunchTable, StartHelpersNeedsASharedOwner) {
  krvk_test_program k;
  k.emit(KOP_END);
  krvk_launch launch;
  launch.prepare(nullptr, &k.program(), 1, 1);
  EXPECT_EQ(launch.start_helpers(1, {}), 0);
  EXPECT_THROW(launch.start_helpers(1, [](std::function<void()>) { return true; }), std::bad_weak_ptr);
}

}  // namespace
