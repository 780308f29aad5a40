// Reference blocks as entries of the VM's block pool.
//
// A page builds every block once, resting as {no object, counts 0, alive 1}; the slot byte at offset 17
// is the block's pool_slot. Blocks keep the bitmap that catches double frees.
#pragma once
#include <cstddef>

#include "runtime/memory/pool.h"
#include "runtime/memory/ref_block.h"

template <>
struct krv_pool_traits<krvptr_ref_block>
    : krv_pool_bitmap_traits<krvptr_ref_block, offsetof(krvptr_ref_block, pool_slot)> {
  static void build_resting(uint8_t* entry) {
    new (entry) krvptr_ref_block{nullptr, 0, 0, 1, krvptr_heap_slot, {}};
  }
};

static_assert(krv_pool_traits<krvptr_ref_block>::layout.page_size() == 6413);
static_assert(krv_pool_traits<krvptr_ref_block>::layout.magic_offset() == 6408);
