// The 64-lane interpreter (the batch engine): runs one kernel program over a group of up to 64
// consecutive work items in lock step, each instruction for every lane before the next instruction.
//
// Register r of lane l lives at wide[r * 64 + l]: one register's lanes are contiguous, so every lane
// loop is a plain counted loop over adjacent words. Lanes n..63 of a group are neither read nor written.
// Pointer slots and immediates are shared by all lanes; only register operands vary per lane.
//
// Results equal the scalar interpreter's for every work item: both use the operations of kernel_ops.h.
// Conditional jumps follow the uniform branch rule: when all lanes agree the group jumps (or not)
// together; when they disagree the call returns KRVK_TRAP_DIVERGED with only `trap->pc` written, and the
// caller finishes each lane on the scalar interpreter from that jump (krvk_batch_runner).
//
// A trap in lane k stops the group with lanes 0..k-1 having carried out the trapping instruction and
// lanes k+1.. not; `gid` is gid_begin + k. Aborts and invalid opcodes report the group's first work item.
// The interpreter never allocates and never throws.
#pragma once
#include <cstdint>
#include <cstring>

#include "kernel/compiler/program.h"
#include "kernel/runtime/run_records.h"

inline constexpr uint32_t KRVK_LANES = 64;

// Runs work items gid_begin .. gid_begin + count - 1 (count 1..64) from instruction 0 to END. Never
// writes the builtin gid registers: the caller fills their lanes. abort may be null. Returns 0, a trap
// code 1..7 with `trap` filled, or KRVK_TRAP_DIVERGED (8) with only `trap->pc` set.
uint8_t krvk_interpret_wide(const krvk_program* program, uint64_t* wide, const kptr* ptrs, uint64_t gid_begin,
                            uint32_t count, const volatile unsigned char* abort, ktrap* trap) noexcept;

// Typed memory accessors of the lane loops: one value at any alignment (a byte copy of its width).
inline uint16_t krvk_load_u16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint32_t krvk_load_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline float krvk_load_f32(const uint8_t* p) {
  float v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline double krvk_load_f64(const uint8_t* p) {
  double v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void krvk_store_u8(uint8_t* p, uint8_t v) { *p = v; }
inline void krvk_store_u16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, sizeof v); }
inline void krvk_store_u32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }
inline void krvk_store_u64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, sizeof v); }
inline void krvk_store_f32(uint8_t* p, float v) { std::memcpy(p, &v, sizeof v); }
inline void krvk_store_f64(uint8_t* p, double v) { std::memcpy(p, &v, sizeof v); }
