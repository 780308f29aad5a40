// The blocks of a program in their canonical order: the root, then depth first each block's children
// in child order, then its body block. The verifier and the disassembler list blocks in this order, and
// the text form numbers them by it.
//
// The walk keeps its own stack, so nesting of any depth costs no call stack. A block reached twice is
// listed once, where first seen, with the parent it was first seen under.
#pragma once
#include <cstdint>
#include <vector>

#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/interp/program_records.h"

// One block in canonical order and where it sits.
struct krv_block_place {
  const krv_program_block* block;
  uint32_t parent;  // canonical index of the parent; the root's is its own, 0
  uint32_t depth;   // levels below the root
  bool is_body;     // the parent's body block rather than one of its children
};

// Every block reachable from the root, with its place.
std::vector<krv_block_place> krv_program_walk(const krv_program& program);
// Every block reachable from the root.
std::vector<const krv_program_block*> krv_program_blocks(const krv_program& program);
