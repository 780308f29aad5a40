// The blocks of a program in their canonical order: the root, then depth first each block's children
// in child order, then its body block. The verifier and the disassembler list blocks in this order, and
// the text form numbers them by it.
#pragma once
#include <vector>

#include "runtime/exec/program_block.h"
#include "runtime/exec/program_records.h"

// Every block reachable from the root, each once (a block reached twice is listed where first seen).
std::vector<const krv_program_block*> krv_program_blocks(const krv_program& program);
