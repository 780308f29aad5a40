// The disassembler: a program written back in the assembler's text form (script_text.h).
//
// The output is canonical: records are named by kind and position (S0 sources, N0 natives, C0 cells,
// K0 classes, B0 blocks in canonical block order), labels by the code offset they mark (L24), and
// attributes appear only when they differ from their defaults. Assembling the output of a program that
// came from the text form gives the same bytes (host addresses aside), and disassembling that gives the
// same text. What the text form cannot say is left out: class method values that are not functions,
// constants of other types than none, int, float and string, the runtime caches of slot references, and
// any parent of a block but the first (the text form gives each block one). A program built in code
// may also break the text form's own limits (script_text.h), such as unused member-cache entries.
//
// Time is linear in the program: records are named through address indexes, and code is decoded one
// instruction at a time.
#pragma once
#include <string>

#include "runtime/exec/interp/program_records.h"

std::string krv_disassemble(const krv_program& program);
