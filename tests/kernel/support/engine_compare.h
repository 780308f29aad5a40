// Test-side differential runs: one kernel program on the scalar interpreter and on native code, from
// the same inputs, compared bit for bit.
//
// `krvk_engine_state` owns everything a run reads and writes: the register file (constants, domain
// sizes, accumulator identities, random scalar parameters) and one random buffer per pointer parameter,
// plus the frame. Copies rebind their pointer slots to their own buffers, so each engine runs on an
// identical copy. Random values are kept finite and small enough that kernels do interesting work:
// integers in a few thousand around zero, floats with two decimal digits, struct bytes below 0x40 (which
// makes every float and double inside them finite).
//
// A program with a prologue (launch-uniform code) gets it run on the scalar interpreter into the
// register file first, as a lane runner does, before either engine runs the main program.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernel/compiler/program.h"
#include "kernel/runtime/reductions.h"
#include "kernel/runtime/scalar_interpreter.h"

inline uint64_t krvk_random_cell(uint8_t prim, std::mt19937_64& rng) {
  std::uniform_int_distribution<int64_t> small(-3000, 3000);
  const int64_t n = small(rng);
  switch (prim) {
    case KRVK_BOOL: return static_cast<uint64_t>(n & 1);
    case KRVK_I8: return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(n)));
    case KRVK_U8: return static_cast<uint8_t>(n);
    case KRVK_I16: case KRVK_I32: case KRVK_I64: return static_cast<uint64_t>(n);
    case KRVK_U16: case KRVK_U32: case KRVK_U64: return static_cast<uint64_t>(n < 0 ? -n : n);
    case KRVK_F32: {
      const float f = static_cast<float>(n) / 100.0f;
      uint32_t bits = 0;
      std::memcpy(&bits, &f, sizeof bits);
      return bits;
    }
    case KRVK_F64: {
      const double d = static_cast<double>(n) / 100.0;
      uint64_t bits = 0;
      std::memcpy(&bits, &d, sizeof bits);
      return bits;
    }
    default: return 0;
  }
}

struct krvk_engine_state {
  // Sets up a domain of width x height over `elements` elements per buffer.
  krvk_engine_state(const krvk_program& program, uint64_t width, uint64_t height, uint64_t elements, uint64_t seed)
      : regs(program.register_count, 0) {
    std::mt19937_64 rng(seed);
    for (const krvk_param& param : program.parameters) {
      if (!param.type.is_pointer) {
        regs[param.reg] = krvk_random_cell(param.type.prim, rng);
        continue;
      }
      std::vector<uint8_t> bytes(elements * param.element_size);
      const int32_t size = krvk_prim_size(param.type.prim);
      if (size > 0) {
        for (uint64_t i = 0; i < elements; ++i) {
          const uint64_t cell = krvk_random_cell(param.type.prim, rng);
          std::memcpy(&bytes[i * size], &cell, size);
        }
      } else {
        for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(rng() & 0x3F);
      }
      buffers.resize(std::max<size_t>(buffers.size(), param.pointer_slot + 1));
      buffers[param.pointer_slot] = std::move(bytes);
      element_sizes.resize(buffers.size());
      element_sizes[param.pointer_slot] = param.element_size;
    }
    const size_t slots = program.pointer_count + (program.frame_bytes != 0 ? 1 : 0);
    buffers.resize(slots);
    element_sizes.resize(slots);
    if (program.frame_bytes != 0) {
      buffers[program.frame_slot].assign(program.frame_bytes, 0);
      element_sizes[program.frame_slot] = 0;  // the frame is one element of frame_bytes
    }
    for (const krvk_const& constant : program.constants) regs[constant.reg] = constant.bits;
    regs[program.gsize_reg] = width * height;
    regs[program.gsize_x_reg] = width;
    regs[program.gsize_y_reg] = height;
    for (const krvk_acc& acc : program.accumulators) regs[acc.reg] = krvk_reduce_identity(acc.op, acc.prim);
    rebind();
  }

  krvk_engine_state(const krvk_engine_state& other)
      : regs(other.regs), buffers(other.buffers), element_sizes(other.element_sizes) {
    rebind();
  }
  krvk_engine_state& operator=(const krvk_engine_state&) = delete;

  void rebind() {
    ptrs.assign(buffers.size(), kptr{nullptr, 0, 0, 0});
    for (size_t i = 0; i < buffers.size(); ++i) {
      std::vector<uint8_t>& bytes = buffers[i];
      const uint64_t stride = element_sizes[i] != 0 ? element_sizes[i] : bytes.size();
      ptrs[i] = kptr{bytes.data(), stride == 0 ? 0 : bytes.size() / stride, stride, bytes.size()};
    }
  }

  // Runs a program's prologue, if it has one, into the register file.
  void run_prologue(const krvk_program& program, uint64_t gid) {
    if (program.prologue == nullptr) return;
    for (const krvk_const& constant : program.prologue->constants) regs[constant.reg] = constant.bits;
    const unsigned char no_abort = 0;
    ktrap prologue_trap{};
    krvk_interpret(program.prologue.get(), regs.data(), ptrs.data(), gid, gid + 1, &no_abort, &prologue_trap, 0);
  }

  uint8_t run_interpreter(const krvk_program& program, uint64_t gid_begin, uint64_t gid_end,
                          const volatile unsigned char* abort) {
    run_prologue(program, gid_begin);
    return krvk_interpret(&program, regs.data(), ptrs.data(), gid_begin, gid_end, abort, &trap, 0);
  }

  uint8_t run_native(const krvk_program& program, krvk_native_fn fn, uint64_t gid_begin, uint64_t gid_end,
                     const volatile unsigned char* abort) {
    run_prologue(program, gid_begin);
    static_assert(sizeof(kreg) == sizeof(uint64_t));
    return static_cast<uint8_t>(
        fn(reinterpret_cast<kreg*>(regs.data()), ptrs.data(), gid_begin, gid_end, abort, &trap));
  }

  std::vector<uint64_t> regs;
  std::vector<std::vector<uint8_t>> buffers;  // one per pointer slot, the frame last
  std::vector<uint32_t> element_sizes;  // stride of each slot; 0 for the frame
  std::vector<kptr> ptrs;
  ktrap trap{};

  // An address inside one of the buffers as (slot, offset), so runs on different copies compare;
  // (-1, address) for an address outside them.
  std::pair<int64_t, uint64_t> locate(uint64_t address) const {
    for (size_t i = 0; i < buffers.size(); ++i) {
      const uint64_t base = reinterpret_cast<uintptr_t>(buffers[i].data());
      if (address >= base && address - base < buffers[i].size()) return {static_cast<int64_t>(i), address - base};
    }
    return {-1, address};
  }
};

// The fields of a trap that its code writes, compared; then memory and, after a clean run, the
// accumulators (an f32 accumulator by its low 32 bits: native code leaves the upper half unspecified).
inline void krvk_expect_same_run(const krvk_program& program, uint8_t expected_code, const krvk_engine_state& expected,
                                 uint8_t actual_code, const krvk_engine_state& actual) {
  ASSERT_EQ(actual_code, expected_code) << "trap code";
  if (expected_code != 0) {
    EXPECT_EQ(actual.trap.code & 0xFF, expected.trap.code & 0xFF);
    EXPECT_EQ(actual.trap.pc, expected.trap.pc);
    EXPECT_EQ(actual.trap.gid, expected.trap.gid);
    if (expected_code == 4) {
      EXPECT_EQ(std::memcmp(&actual.trap.fvalue, &expected.trap.fvalue, sizeof(double)), 0) << "fvalue";
    } else if (expected_code == 6) {  // the value is an address in each run's own buffers
      EXPECT_EQ(actual.locate(actual.trap.value), expected.locate(expected.trap.value));
      EXPECT_EQ(actual.trap.limit, expected.trap.limit);
    } else {
      EXPECT_EQ(actual.trap.value, expected.trap.value);
      EXPECT_EQ(actual.trap.limit, expected.trap.limit);
    }
  }
  for (size_t i = 0; i < expected.buffers.size(); ++i) EXPECT_EQ(actual.buffers[i], expected.buffers[i]) << "slot " << i;
  if (expected_code != 0) return;
  for (const krvk_acc& acc : program.accumulators) {
    const uint64_t mask = acc.prim == KRVK_F32 ? 0xFFFFFFFFu : ~uint64_t{0};
    EXPECT_EQ(actual.regs[acc.reg] & mask, expected.regs[acc.reg] & mask) << "accumulator r" << acc.reg;
  }
}

// One differential run of [gid_begin, gid_end) from the same state on both engines.
inline void krvk_compare_engines(const krvk_program& program, krvk_native_fn fn, const krvk_engine_state& start,
                                 uint64_t gid_begin, uint64_t gid_end) {
  const unsigned char no_abort = 0;
  krvk_engine_state interpreted(start);
  krvk_engine_state native(start);
  const uint8_t expected = interpreted.run_interpreter(program, gid_begin, gid_end, &no_abort);
  const uint8_t actual = native.run_native(program, fn, gid_begin, gid_end, &no_abort);
  krvk_expect_same_run(program, expected, interpreted, actual, native);
}
