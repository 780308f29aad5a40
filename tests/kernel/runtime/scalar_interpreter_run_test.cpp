// Work-item stepping, start instruction, abort polling and accumulation of the scalar interpreter.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "kernel/support/program_builder.h"

namespace {

TEST(KernelScalarRun, EmptyRangeWritesNothing) {
  krvk_test_program k;
  k.emit(KOP_ADDI_X64, 2, 2, 0, 1);
  k.emit(KOP_END);
  krvk_test_run run(k.program());
  run.reg(0) = 77;
  EXPECT_EQ(run.run(5, 5), 0);
  EXPECT_EQ(run.run(6, 5), 0);
  EXPECT_EQ(run.reg(0), 77u);
  EXPECT_EQ(run.reg(2), 0u);
}

TEST(KernelScalarRun, RegistersCarryOverBetweenWorkItems) {
  // acc += gid for every work item: 10 + 11 + 12 + 13.
  krvk_test_program k;
  k.scalar_result(KRVK_U64, KRVK_REDUCE_ADD, "u64 reduce(+)");
  k.emit(KOP_ADD_X64, 2, 2, 0);
  k.emit(KOP_END);
  krvk_test_run run(k.program());
  EXPECT_EQ(run.run(10, 14), 0);
  EXPECT_EQ(run.reg(2), 46u);
  EXPECT_EQ(run.reg(0), 13u);
}

TEST(KernelScalarRun, FirstWorkItemStartsAtStartPcLaterOnesAtZero) {
  // Instruction 0 adds 100, instruction 1 adds 1: a start at 1 skips the 100 only for the first item.
  krvk_test_program k;
  const uint16_t sum = k.reg();
  k.emit(KOP_ADDI_X64, sum, sum, 0, 100);
  k.emit(KOP_ADDI_X64, sum, sum, 0, 1);
  k.emit(KOP_END);
  krvk_test_run run(k.program());
  EXPECT_EQ(run.run(0, 2, nullptr, 1), 0);
  EXPECT_EQ(run.reg(sum), 102u);
  EXPECT_EQ(run.run(0, 1, nullptr, 3), KRVK_TRAP_ABORTED) << "a start outside the code is refused";
}

TEST(KernelScalarRun, TwoDimensionalStepsAcrossRowEnds) {
  // Each work item stores gid_x + 10 * gid_y at out[gid - gid_begin].
  krvk_test_program k;
  k.two_d();
  const uint16_t out = k.pointer_param("out", KRVK_U64);
  const uint16_t ten = k.constant(KRVK_U64, 10);
  const uint16_t begin = k.reg();
  const uint16_t t = k.reg();
  const uint16_t slot_index = k.reg();
  k.emit(KOP_MUL_X64, t, 4, ten);
  k.emit(KOP_ADD_X64, t, t, 3);
  k.emit(KOP_SUB_X64, slot_index, 0, begin);
  k.emit(KOP_ST_U64, t, out, slot_index, 0);
  k.emit(KOP_END);
  struct row {
    uint64_t width;
    uint64_t begin;
    uint64_t end;
    std::vector<uint64_t> cells;  // gid_x + 10 * gid_y per item
  };
  const row rows[] = {
      {3, 4, 7, {11, 12, 20}},
      {1, 0, 3, {0, 10, 20}},
      {4, 3, 9, {3, 10, 11, 12, 13, 20}},
      {5, 2, 3, {2}},
  };
  for (const row& r : rows) {
    krvk_test_run run(k.program());
    std::vector<uint64_t> cells(r.end - r.begin, 999);
    run.bind(out, cells);
    run.domain(r.width, 3);
    run.reg(begin) = r.begin;
    ASSERT_EQ(run.run(r.begin, r.end), 0);
    EXPECT_EQ(cells, r.cells) << "width " << r.width << " from " << r.begin;
    EXPECT_EQ(run.reg(5), r.width) << "gsize_x is never written";
  }
}

TEST(KernelScalarRun, TwoDimensionalRunWithoutWidthIsRefused) {
  krvk_test_program k;
  k.two_d();
  k.emit(KOP_END);
  krvk_test_run run(k.program());
  run.domain(0, 5);
  EXPECT_EQ(run.run(0, 3), KRVK_TRAP_ABORTED);
}

// An endless loop: LOOP jumps to itself.
krvk_test_program endless_loop() {
  krvk_test_program k;
  const uint16_t counter = k.reg();
  k.emit(KOP_ADDI_X64, counter, counter, 0, 1);
  k.emit(KOP_LOOP, 0, 0, 0, 0);
  k.emit(KOP_END);
  return k;
}

TEST(KernelScalarRun, AbortByteStopsALoopAtItsBackEdge) {
  krvk_test_program k = endless_loop();
  krvk_test_run run(k.program());
  volatile unsigned char abort_flag = 1;
  EXPECT_EQ(run.run(8, 9, &abort_flag), KRVK_TRAP_ABORTED);
  EXPECT_EQ(run.trap().pc, 1u);
  EXPECT_EQ(run.trap().gid, 8u);
  EXPECT_EQ(run.trap().value, 0);
  EXPECT_EQ(run.trap().limit, 0u);
  EXPECT_EQ(run.reg(7), 1u) << "the stop is seen at the first back edge";
}

TEST(KernelScalarRun, AbortSetByAnotherThreadEndsARunningLoop) {
  krvk_test_program k = endless_loop();
  krvk_test_run run(k.program());
  volatile unsigned char abort_flag = 0;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    abort_flag = 1;
  });
  const uint8_t code = run.run(0, 1, &abort_flag);
  stopper.join();
  EXPECT_EQ(code, KRVK_TRAP_ABORTED);
  EXPECT_GT(run.reg(7), 1u) << "the loop ran until the stop request";
}

TEST(KernelScalarRun, LoopWithoutAbortFlagRunsToTheEnd) {
  // for (i = 0; i < 1000; ++i) {} with a null abort pointer.
  krvk_test_program k;
  const uint16_t i = k.reg();
  const uint16_t limit = k.constant(KRVK_U64, 1000);
  k.emit(KOP_ADDI_X64, i, i, 0, 1);
  k.emit(KOP_JFLT_U, i, limit, 0, 3);
  k.emit(KOP_LOOP, 0, 0, 0, 0);
  k.emit(KOP_END);
  krvk_test_run run(k.program());
  EXPECT_EQ(run.run(0, 1, nullptr), 0);
  EXPECT_EQ(run.reg(i), 1000u);
}

TEST(KernelScalarRun, TrapEndsTheRangeAfterEarlierItemsFinished) {
  // out[gid] = 100 / (gid - 3): items 0..2 finish, item 3 divides by zero.
  krvk_test_program k;
  const uint16_t out = k.pointer_param("out", KRVK_I64);
  const uint16_t three = k.constant(KRVK_I64, 3);
  const uint16_t hundred = k.constant(KRVK_I64, 100);
  const uint16_t d = k.reg();
  const uint16_t q = k.reg();
  k.emit(KOP_SUB_X64, d, 0, three);
  k.emit(KOP_DIV_I64, q, hundred, d);
  k.emit(KOP_ST_I64, q, out, 0, 0);
  k.emit(KOP_END);
  std::vector<int64_t> results(6, 0);
  krvk_test_run run(k.program());
  run.bind(out, results);
  EXPECT_EQ(run.run(0, 6), KRVK_TRAP_DIV_ZERO);
  EXPECT_EQ(run.trap().gid, 3u);
  EXPECT_EQ(run.trap().pc, 1u);
  EXPECT_EQ(run.trap().value, 100);
  EXPECT_EQ(results, (std::vector<int64_t>{-33, -50, -100, 0, 0, 0}));
}

}  // namespace
