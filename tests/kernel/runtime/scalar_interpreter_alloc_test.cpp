// The interpreter must never allocate: launches run it on worker threads in hot loops. This binary
// replaces the global allocation functions with counting ones and runs programs that cover every
// path (straight code, loops, 2-D stepping, memory, math, traps of every kind).
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "kernel/support/program_builder.h"

namespace {
std::atomic<uint64_t> allocation_count{0};
}  // namespace

// The replacements pair malloc with free themselves; GCC cannot see that through inlined allocators.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  allocation_count.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  allocation_count.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Allocations made while `body` runs.
template <class F>
uint64_t allocations_during(F&& body) {
  const uint64_t before = allocation_count.load();
  body();
  return allocation_count.load() - before;
}

TEST(KernelScalarAllocation, InterpretAllocatesNothing) {
  // A 2-D kernel with a loop, loads, stores, math, conversions, atomics and a final division whose
  // divisor reaches zero at the last work item.
  krvk_test_program k;
  k.two_d();
  const uint16_t data = k.pointer_param("data", KRVK_F64);
  const uint16_t counts = k.pointer_param("counts", KRVK_U32);
  const uint16_t frame = k.frame(16);
  const uint16_t one = k.constant(KRVK_U64, 1);
  const uint16_t four = k.constant(KRVK_U64, 4);
  const uint16_t eleven = k.constant(KRVK_I64, 11);
  const uint16_t zero = k.constant(KRVK_U64, 0);
  const uint16_t i = k.reg();
  const uint16_t v = k.reg();
  const uint16_t w = k.reg();
  const uint16_t old = k.reg();
  const uint16_t q = k.reg();
  k.emit(KOP_LD_F64, v, data, 0, 0);  // 0
  k.emit(KOP_MOV, i, zero, 0, 0);  // 1: i = 0
  k.emit(KOP_MATH1_F64, w, v, KRVK_MATH_SIN);  // 2: loop body
  k.emit(KOP_MATH2_F64, v, w, v, KRVK_MATH_ATAN2);  // 3
  k.emit(KOP_ADD_X64, i, i, one);  // 4
  k.emit(KOP_JFLT_U, i, four, 0, 7);  // 5
  k.emit(KOP_LOOP, 0, 0, 0, 2);  // 6
  k.emit(KOP_ST_F64, v, data, 0, 0);  // 7
  k.emit(KOP_AADD_32, old, counts, 3, one);  // 8: counts[gid_x] += 1
  k.emit(KOP_CVT_F64_INT, q, v, KRVK_I32);  // 9
  k.emit(KOP_STF_U64, q, frame, zero, 8);  // 10
  k.emit(KOP_SUB_X64, w, eleven, 0);  // 11: 11 - gid
  k.emit(KOP_DIV_I64, q, one, w);  // 12: traps at gid 11
  k.emit(KOP_END);
  std::vector<double> values(12, 0.5);
  std::vector<uint32_t> per_column(4, 0);
  krvk_test_run run(k.program());
  run.bind(data, values);
  run.bind(counts, per_column);
  run.domain(4, 3);
  volatile unsigned char abort_flag = 0;

  uint8_t code = 0;
  const uint64_t allocations = allocations_during([&] { code = run.run(0, 12, &abort_flag); });
  EXPECT_EQ(code, KRVK_TRAP_DIV_ZERO);
  EXPECT_EQ(run.trap().gid, 11u);
  EXPECT_EQ(per_column, (std::vector<uint32_t>{3, 3, 3, 3}));
  EXPECT_EQ(allocations, 0u);

  // Other trap paths: conversion, abort, index.
  uint8_t codes[3] = {};
  values[0] = std::numeric_limits<double>::quiet_NaN();
  const uint64_t trap_allocations = allocations_during([&] {
    codes[0] = run.run(0, 1, &abort_flag);
    abort_flag = 1;
    codes[1] = run.run(0, 1, &abort_flag);
    abort_flag = 0;
    codes[2] = run.run(12, 13, &abort_flag);
  });
  EXPECT_EQ(codes[0], KRVK_TRAP_F2I);
  EXPECT_EQ(codes[1], KRVK_TRAP_ABORTED);
  EXPECT_EQ(codes[2], KRVK_TRAP_INDEX);
  EXPECT_EQ(trap_allocations, 0u);
}

TEST(KernelScalarAllocation, CounterSeesAllocations) {
  // Guards the guard: the replacement functions are really in use in this binary.
  EXPECT_GT(allocations_during([] { std::vector<int> v(3); }), 0u);
}

}  // namespace
