// The assembler's text form: a program written as lines, for tests, examples and `krvhost`.
//
//   program "demo"
//   string "hello"                       # program string 0
//   source S0 "scripts/main.krv"         # a source file; "in S1" names the file that includes it
//   line S0 3 "  print(x)"               # the text of line 3
//   native N0 "print" 0 999              # a native definition (its callable is bound by the host)
//   cell C0 int 5                        # a value cell: none, int N, float X, string "..." or class K (declared above)
//   class K0 "Point" base K1 ctor B2 default B3 deinit B4 abstract "area"
//   member K0 "x" 0                      # symbol: name, member index, then "method" / "private"
//   method K0 1 B5                       # method value 1 of the class is a function of block B5
//   block B0 4 locals 2 caches 1         # id, kind; "child B0" or "body B0" for nested blocks;
//     flag 1 4                           #   attributes: locals params captured first_default continue
//     const int 7                        #   method_flags caches resume_at_end has_catch noexcept class K0
//     slotref 0 0 1 0                    #   kind depth index name
//     pos S0 3 2                         #   source position of the next instruction
//   top:
//     load_const 0
//     jump_true top                      # jumps and fast-path lengths name labels
//     call_native @N0                    # @native, $cell, %class (or null)
//     numeric_fast_path end 0 0 0 step 3 0 0 step 3 0 1 step 4 0 0 int 2 float 0.5
//   end:
//   end
//
// The first block without a parent is the root (a task block by convention); children are numbered in
// the order they are declared. Class links to blocks may name blocks declared later. Every instruction
// takes its operands in the opcode table's field order (script_opcodes.h). A class's method indexes run
// from 0 to the number of `method` lines given for it, each once; `caches N` may ask for at most as many
// entries as the block has member and cached_method_call instructions; a `pos` applies to the next
// instruction and must have one.
//
// Texts come from users and are hostile until proven otherwise. Lines end at LF, CRLF or a lone CR; a
// leading UTF-8 byte-order mark is skipped. Counts are held to script_limits.h, blocks nest at most
// 1,000 levels, time and memory grow linearly with the text, and no step recurses per nesting level.
// The program is verified (script_verifier.h) before it is handed out, so every text either gives a
// sound program or is refused with "line N: ..." naming a line of that text: for a verifier finding,
// the line of the instruction or block it concerns, under the user's block name.
#pragma once
#include <cstddef>
#include <string_view>
#include <vector>

#include "runtime/exec/interp/program_records.h"
#include "runtime/memory/handles.h"

// The verified program the text describes; std::invalid_argument "line N: ..." for anything malformed
// or unsound. Messages quote at most 64 bytes of a token, with control bytes escaped.
krvptr_strong<krv_program> krv_assemble_text(std::string_view text);
// The same without the verifier: a program that may break the block rules, for tests of what the
// interpreter refuses at run time. Never for texts that users write.
krvptr_strong<krv_program> krv_assemble_text_unverified(std::string_view text);

// A verified program with the line of the text that declares each of its natives: native_lines[i] is
// the line of program->natives[i], counted as refusals count them, so a host that binds the natives can
// name the line of one it does not know.
struct krv_assembled_text {
  krvptr_strong<krv_program> program;
  std::vector<size_t> native_lines;
};
// krv_assemble_text, keeping the natives' lines.
krv_assembled_text krv_assemble_text_with_lines(std::string_view text);
