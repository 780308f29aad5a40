// Reference blocks: the out-of-line counts of an intrusively shared object.
//
// Every shared object links to one 24-byte block that holds its strong and weak counts. Handles are one
// pointer to a block and are never null: the immortal `krvptr_empty_block` stands for "no object", and
// an immortal block (strong == krvptr_immortal_count) is never counted, so handle operations need no
// null test. The layout is shared with the host, which holds the same handles.
//
// Invariants:
// - `object` is null once the object has been released or destroyed; a block never points at a
//   destroyed object.
// - A block is freed by whichever of the last strong release, the last weak release or the object's
//   detachment finds strong == 0, weak == 0 and no object.
// - Counts are plain integers: handles are copied and released by the VM-lock holder only.
#pragma once
#include <cstddef>
#include <cstdint>

class krvptr_base_internal;
struct krv_thread_local;

inline constexpr uint32_t krvptr_immortal_count = 0xFFFFFFFFu;
// Pool slot value of a block that lives on the heap rather than in a page of the block pool.
inline constexpr uint8_t krvptr_heap_slot = 255;

struct krvptr_ref_block {
  krvptr_base_internal* object;  // the object's krvptr_base_internal part; null once released
  uint32_t strong;               // strong handles; krvptr_immortal_count marks an uncounted block
  uint32_t weak;                 // weak handles
  uint8_t alive;                 // 1 while the block is in use, 0 once freed or its object released
  uint8_t pool_slot;             // index in its pool page, krvptr_heap_slot for a heap block
  uint8_t reserved[6];           // zero

  bool immortal() const noexcept { return strong == krvptr_immortal_count; }
  bool unused() const noexcept { return strong == 0 && weak == 0 && object == nullptr; }
};
static_assert(sizeof(krvptr_ref_block) == 24);
static_assert(offsetof(krvptr_ref_block, strong) == 8);
static_assert(offsetof(krvptr_ref_block, weak) == 12);
static_assert(offsetof(krvptr_ref_block, alive) == 16);
static_assert(offsetof(krvptr_ref_block, pool_slot) == 17);

// The block of every empty handle. Constant-initialised, so handles made during static initialisation
// of any translation unit can already point at it.
extern constinit krvptr_ref_block krvptr_empty_block;

// Allocation and release of blocks are defined by the VM core (module/ref_block_allocation.cpp), which
// knows whether the calling thread may use its VM's block pool.

// A new block with zero counts, alive 1 and no object. `may_use_vm_pool` is the object's answer to
// krvptr_base_internal::may_use_vm_pool; whether a pool can serve is decided here.
krvptr_ref_block* krvptr_ref_block_allocate(bool may_use_vm_pool);
// The same for a caller that has the calling thread's record at hand (makers of many values look it up
// once for all their allocations).
krvptr_ref_block* krvptr_ref_block_allocate(bool may_use_vm_pool, const krv_thread_local& record);

// Frees a block (null: nothing). Marks it dead first, so stale weak handles can never revive it.
void krvptr_ref_block_free(krvptr_ref_block* block) noexcept;
// The same with the calling thread's record at hand.
void krvptr_ref_block_free(krvptr_ref_block* block, const krv_thread_local& record) noexcept;

// Frees the block when no handle and no object refers to it any more.
void krvptr_ref_block_free_if_unused(krvptr_ref_block* block) noexcept;
