// The limits of the script assembler: how large a program written by hand may make the things whose
// cost does not follow from the length of its text.
//
// A count in a block header or an operand is a u32, but what it costs (a flag byte per local, a handle
// per argument, a stack frame per nesting level in the tools that read programs) is paid for the whole
// count. These limits keep every text's cost in proportion to its size while staying far above what a
// compiled script uses. docs/script_encoding.md lists them.
#pragma once
#include <cstdint>

// Local slots of one block (each costs a flag byte here and a cell in every frame of the block).
inline constexpr uint32_t krv_max_locals = 65536;
// Arguments one argument record may be opened for (opcode 38 sizes the record to the count).
inline constexpr uint32_t krv_max_call_args = 65536;
// Levels of nested blocks below the root (children and body blocks alike).
inline constexpr uint32_t krv_max_block_nesting = 1000;
// Bytes of a script file that `krvhost run` reads. The limits above keep a program's cost in proportion
// to its text, so this bounds the whole run's assembling; 64 MiB is several million instructions.
inline constexpr uint64_t krv_max_script_file_bytes = uint64_t{64} << 20;
