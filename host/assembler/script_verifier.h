// The verifier of assembled programs: what the interpreter may assume about the code it runs.
//
// Every block's code must decode into instructions of opcodes 1..73 with their documented sizes, with
// every byte that no operand uses zero. Jumps must land on an instruction start (or the end of the
// code); the length of a fast-path form must cover its header and end on an instruction start. Indexes
// must name existing locals, constants, program strings, child blocks, member-cache entries and default
// blocks; host pointers must be records the program keeps. Source positions must sit on instruction
// starts and name a source the program keeps.
#pragma once
#include <string>
#include <vector>

#include "runtime/exec/program_records.h"

// The problems found, one line each ("block 2 @16: jump lands inside an instruction"); empty when the
// program is sound. Blocks are numbered in canonical order (program_blocks.h).
std::vector<std::string> krv_verify_program(const krv_program& program);
