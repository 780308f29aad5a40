// The disassembler: a program written back in the assembler's text form (script_text.h).
//
// The output is canonical: records are named by kind and position (S0 sources, N0 natives, C0 cells,
// K0 classes, B0 blocks in canonical block order), labels by the code offset they mark (L24), and
// attributes appear only when they differ from their defaults. Assembling the output gives the same
// bytes, and disassembling that gives the same text.
#pragma once
#include <string>

#include "runtime/exec/program_records.h"

std::string krv_disassemble(const krv_program& program);
