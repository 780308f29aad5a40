// The verifier of assembled programs: what the interpreter may assume about the code it runs.
//
// Every block's code must decode into instructions of opcodes 1..73 with their documented sizes, with
// every byte that no operand uses zero. Jumps must land on an instruction start (or the end of the
// code); the length of a fast-path form must cover its header and end on an instruction start of the
// same block. Indexes must name existing locals, constants, program strings, child blocks, member-cache
// entries, slot references and default blocks; host pointers must be records the program keeps. Source
// positions must sit on instruction starts and name a source the program keeps.
//
// Beyond the code, the block rules the interpreter and the task code trust: parameters and captured
// values fit in the locals, and so does the first defaulted parameter; a resume-at-end block has an
// instruction starting 8 bytes before its end; a continue offset is an instruction start; the numeric
// fast path's steps name existing locals, constants (of the 6) and slot references, with 0..16 steps
// and no stray header bytes; a kind-20 slot reference builds on an earlier entry; blocks nest at most
// krv_max_block_nesting levels; a native's minimum argument count is not above its maximum; no class
// inherits from itself. Every walk here is iterative and every lookup hashed: time grows linearly with
// the program.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/exec/interp/program_records.h"

enum class krv_problem_record : uint8_t { block, native, klass };

// One problem, placed on the record it concerns, so a caller can name it in its own terms (the text
// form names the line it came from).
struct krv_program_problem {
  krv_problem_record kind = krv_problem_record::block;
  const void* record = nullptr;  // the krv_program_block, krv_function_def or krv_class_def
  int64_t offset = -1;           // a block's code offset; -1 when the problem is the record as a whole
  std::string text;
};

// Every problem found; empty when the program is sound.
std::vector<krv_program_problem> krv_program_problems(const krv_program& program);
// The same problems one line each, records numbered as the disassembler names them: blocks in
// canonical order (program_blocks.h), natives and classes by position ("block 2 @16: jump: jump lands
// inside an instruction", "native 0: ...").
std::vector<std::string> krv_verify_program(const krv_program& program);
