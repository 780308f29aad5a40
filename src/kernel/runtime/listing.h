// The bytecode listing: the readable text of one compiled kernel, as the script methods `disasm` of
// "std.kernel" and "std.kernel_unit" return it. A header gives the signature, register and pointer-slot
// counts, the builtin and accumulator registers, the frame and the constants; then the prologue code
// (if any) and the main code follow, one instruction per line with its source line. The text is exact
// to the character (tests and scripts compare it), and never depends on the host's locale.
#pragma once
#include <cstdint>
#include <string>

#include "kernel/compiler/program.h"

std::string krvk_disasm(const krvk_program& program);
// The instruction lines of one program's code; a prologue's closing END is not shown.
std::string krvk_disasm_code(const krvk_program& program);
// "r" + the register number, then "(" + its name + ")" when it has one.
std::string krvk_disasm_operand(const krvk_program& program, int64_t reg);
