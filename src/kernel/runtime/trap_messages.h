// Texts of kernel traps. The launch prefixes them with the kernel name and work item, the constant
// evaluator with "constant expression: ". Only the low 8 bits of the trap code are looked at; the
// instruction at the trap's pc (when it lies inside the code) supplies the parameter, mnemonic or type
// that some texts name.
#pragma once
#include <string>

#include "kernel/compiler/program.h"
#include "kernel/runtime/run_records.h"

std::string krvk_trap_message(const krvk_program* program, const ktrap& trap);
