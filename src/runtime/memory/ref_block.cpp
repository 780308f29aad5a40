#include "runtime/memory/ref_block.h"

constinit krvptr_ref_block krvptr_empty_block{nullptr, krvptr_immortal_count, 0, 1, krvptr_heap_slot, {}};
