// The native-code state of one kernel program, and the signature every native kernel has.
//
// A native kernel runs the work items [gid_begin, gid_end) on the caller's register file and pointer
// slots, polls the abort byte at loop back edges, and returns 0 or the trap code with `trap` filled.
// Only on success are the accumulator registers written back.
//
// The slot's state moves only by compare-and-swap. The function pointer and the message are written
// only while the state is the transient "publishing" value and are read only after the state was seen
// as ready (function) or failed (message), so the state's acquire/release ordering publishes them.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "kernel/runtime/run_records.h"

using krvk_native_fn = int (*)(kreg* regs, const kptr* ptrs, uint64_t gid_begin, uint64_t gid_end,
                               const volatile unsigned char* abort, ktrap* trap);

// Slot states; the numbers are fixed, publishing (4) is not between compiling and ready.
enum krvk_jit_state : uint32_t {
  KRVK_JIT_NONE = 0,
  KRVK_JIT_COMPILING = 1,
  KRVK_JIT_READY = 2,
  KRVK_JIT_FAILED = 3,
  KRVK_JIT_PUBLISHING = 4,
};

struct krvk_jit_slot {
  krvk_native_fn function = nullptr;  // set while publishing, valid once the state is ready
  std::atomic<uint32_t> state{KRVK_JIT_NONE};
  std::string message;  // why the build failed, valid once the state is failed
  uint8_t from_aot = 0;  // the function came from an ahead-of-time table
  // The hash and the registry generation may be refreshed by concurrent launches of the same program;
  // they are atomic so those refreshes do not race.
  std::atomic<uint64_t> kernel_hash{0};  // 0 until first computed
  std::atomic<uint32_t> generation_seen{0};  // ahead-of-time registry generation at the last lookup
};
