// The records through which every kernel engine (scalar interpreter, 64-lane interpreter, native code)
// receives its registers, its pointer parameters and its place to report a trap.
//
// Generated C declares the same three records, so their layout is part of the native-code ABI: fields
// in this order, natural alignment, no packing, little-endian. Only the low 8 bits of `ktrap::code`
// carry the trap code; every reader masks it.
#pragma once
#include <cstddef>
#include <cstdint>

// One register cell. Narrow signed integers are held sign-extended, unsigned integers and bool
// zero-extended, an f32 in the low 32 bits (the upper half carries no meaning).
union kreg {
  int64_t i;
  uint64_t u;
  double d;
  float f;
  uint8_t* p;
};
static_assert(sizeof(kreg) == 8 && alignof(kreg) == 8);

// One pointer slot: a pointer parameter or the per-work-item frame.
struct kptr {
  uint8_t* base;  // address of element 0
  uint64_t count;  // number of elements, the bound of every checked access
  uint64_t stride;  // bytes between elements (field, address and atomic forms)
  uint64_t bytes;  // total size in bytes; the engines never read it
};
static_assert(sizeof(kptr) == 32);
static_assert(offsetof(kptr, base) == 0 && offsetof(kptr, count) == 8 && offsetof(kptr, stride) == 16 &&
              offsetof(kptr, bytes) == 24);

// Where a run reports the fault that ended it.
struct ktrap {
  uint32_t code;  // krvk_trap_code in the low 8 bits
  uint32_t pc;  // index of the trapping instruction
  uint64_t gid;  // work item that trapped
  int64_t value;  // offending integer: index, dividend, register value or address
  double fvalue;  // offending float (code 4)
  uint64_t limit;  // broken bound: element count, array size, divisor or alignment
};
static_assert(sizeof(ktrap) == 40);
static_assert(offsetof(ktrap, code) == 0 && offsetof(ktrap, pc) == 4 && offsetof(ktrap, gid) == 8 &&
              offsetof(ktrap, value) == 16 && offsetof(ktrap, fvalue) == 24 && offsetof(ktrap, limit) == 32);

enum krvk_trap_code : uint8_t {
  KRVK_TRAP_NONE = 0,
  KRVK_TRAP_INDEX = 1,  // index out of bounds of a pointer parameter or of the frame
  KRVK_TRAP_DIV_ZERO = 2,  // integer division or modulo by zero
  KRVK_TRAP_DIV_OVERFLOW = 3,  // most negative value / -1
  KRVK_TRAP_F2I = 4,  // float value does not fit into the integer type
  KRVK_TRAP_ARRAY_INDEX = 5,  // local array index out of bounds (CHKIDX)
  KRVK_TRAP_MISALIGNED = 6,  // atomic access not aligned
  KRVK_TRAP_ABORTED = 7,  // abort requested at a loop back edge, or an invalid opcode
  KRVK_TRAP_DIVERGED = 8,  // returned by the 64-lane interpreter only; never stored in a ktrap
};
