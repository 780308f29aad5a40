// The script bytecode interpreter: runs one frame of a task over the task's value stack.
//
// The machine is an accumulator machine: the last element of the task's value stack is the accumulator
// (A). Loads overwrite A, two-operand operators pop the right operand and combine it with the new top,
// and calls, nested blocks and returns set the frame's status word and leave; the task continuation
// (task_continue.h) acts on the status and runs whichever frame is then on top. A script call therefore
// never recurses into the interpreter.
//
// Invariants the loop keeps for any code, verified or not: it reads no byte outside the block's code,
// no local, constant, frame, argument record or sink that does not exist, and it never pops the value
// stack's last element (the accumulator), so A always exists while a frame runs. Malformed code gets a
// catchable runtime error ("invalid variable." for values, "index out of range!" for arguments,
// "invalid instruction: " + opcode for code) and writes nothing.
#pragma once
#include <cstdint>

class krv_vm_context;
class krv_program_block;

// Runs `frame` (whose block is `block`) from its saved offset until the code ends, the status word
// becomes non-zero or an instruction hands over to the continuation. Returns the status: 2..32 with the
// frame in progress and its offset saved at the next instruction; 64 or more at the end of the code
// (in progress 0, offset 0); any status found before the end is returned with the offset saved.
uint32_t vm_execute_block(krv_program_block& block, krv_vm_context& frame);
