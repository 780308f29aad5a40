// Memory, atomic and array-check opcodes of the scalar interpreter on bound buffers.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "kernel/support/program_builder.h"
#include "kernel/support/cell_bits.h"

namespace {


TEST(KernelScalarMemory, LoadsProduceTheRegisterFormOfTheirElementType) {
  // The same eight bytes read through every element type at index 1 (offset by x = 1 from index 0).
  const uint64_t pattern = 0x80FF7F0181828384u;
  struct row {
    uint16_t op;
    uint32_t element_size;
    uint64_t expected;
  };
  const uint64_t noise = 0x1111111100000000u;
  const row rows[] = {
      {KOP_LD_I8, 1, i64_bits(int8_t(0x84))},  {KOP_LD_U8, 1, 0x84},
      {KOP_LD_I16, 2, i64_bits(int16_t(0x8384))}, {KOP_LD_U16, 2, 0x8384},
      {KOP_LD_I32, 4, i64_bits(int32_t(0x81828384))}, {KOP_LD_U32, 4, 0x81828384},
      {KOP_LD_I64, 8, pattern}, {KOP_LD_U64, 8, pattern}, {KOP_LD_F64, 8, pattern},
      {KOP_LD_F32, 4, noise | 0x81828384},
  };
  for (const row& r : rows) {
    std::vector<uint8_t> memory(2 * r.element_size + 8, 0);
    std::memcpy(memory.data() + r.element_size, &pattern, 8);
    krvk_test_program k;
    const uint16_t slot = k.pointer_param("buf", KRVK_U8);
    const uint16_t dst = k.reg();
    const uint16_t idx = k.reg();
    k.emit(r.op, dst, slot, idx, 1);
    k.emit(KOP_END);
    krvk_test_run run(k.program());
    run.bind_raw(slot, kptr{memory.data(), 2, r.element_size, memory.size()});
    run.reg(dst) = noise;
    ASSERT_EQ(run.run(0, 1), 0) << krvk_opcode_names[r.op];
    EXPECT_EQ(run.reg(dst), r.expected) << krvk_opcode_names[r.op];
  }
}

TEST(KernelScalarMemory, ElementFieldAndRawFormsAddressTheSameBytes) {
  // Records of 12 bytes; the field at byte 4 is an i32.
  std::vector<uint8_t> records(36, 0);
  const int32_t value = -123456;
  std::memcpy(records.data() + 2 * 12 + 4, &value, 4);
  krvk_test_program k;
  const uint16_t slot = k.pointer_param("recs", KRVK_U8);
  const uint16_t idx = k.reg();
  const uint16_t field = k.reg();
  const uint16_t field_u = k.reg();
  const uint16_t addr = k.reg();
  const uint16_t raw = k.reg();
  const uint16_t out = k.reg();
  k.emit(KOP_LDF_I32, field, slot, idx, 4);
  k.emit(KOP_LDFU_I32, field_u, slot, idx, 4);
  k.emit(KOP_ADDR, addr, slot, idx);
  k.emit(KOP_LDR_I32, raw, addr, 0, 4);
  k.emit(KOP_ADDI_I32, out, raw, 0, 1);
  k.emit(KOP_STF_I32, out, slot, idx, 8);  // next field
  k.emit(KOP_STR_I16, out, addr, 0, 0);  // low two bytes at the record start
  k.emit(KOP_END);
  krvk_test_run run(k.program());
  run.bind_raw(slot, kptr{records.data(), 3, 12, records.size()});
  run.reg(idx) = 2;
  ASSERT_EQ(run.run(0, 1), 0);
  EXPECT_EQ(static_cast<int64_t>(run.reg(field)), value);
  EXPECT_EQ(run.reg(field_u), run.reg(field));
  EXPECT_EQ(run.reg(addr), reinterpret_cast<uintptr_t>(records.data() + 24));
  EXPECT_EQ(static_cast<int64_t>(run.reg(raw)), value);
  int32_t stored = 0;
  std::memcpy(&stored, records.data() + 24 + 8, 4);
  EXPECT_EQ(stored, value + 1);
  int16_t low = 0;
  std::memcpy(&low, records.data() + 24, 2);
  EXPECT_EQ(low, static_cast<int16_t>(value + 1));
}

TEST(KernelScalarMemory, StoresWriteTheLowBytesAtAnyAlignment) {
  std::vector<uint8_t> bytes(16, 0xEE);
  krvk_test_program k;
  const uint16_t slot = k.pointer_param("b", KRVK_U8);
  const uint16_t val = k.reg();
  const uint16_t idx = k.reg();
  k.emit(KOP_ST_U32, val, slot, idx, 0);
  k.emit(KOP_END);
  krvk_test_run run(k.program());
  // Four-byte elements starting one byte into the buffer: element 1 sits at the unaligned offset 5.
  run.bind_raw(slot, kptr{bytes.data() + 1, 3, 4, 12});
  run.reg(val) = 0xFFFFFFFF11223344u;
  run.reg(idx) = 1;
  ASSERT_EQ(run.run(0, 1), 0);
  const std::vector<uint8_t> expected = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x44, 0x33, 0x22,
                                         0x11, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(bytes, expected);
}

TEST(KernelScalarMemory, CheckedAccessesTrapWithIndexAndCount) {
  std::vector<int32_t> data(10, 7);
  struct row {
    const char* what;
    uint16_t op;
    uint64_t index;
    uint64_t x;
    int64_t value;
  };
  const row rows[] = {
      {"LD_I32 index 5 offset -6", KOP_LD_I32, 5, i64_bits(-6), -1},
      {"LD_I32 index 10", KOP_LD_I32, 10, 0, 10},
      {"ST_I32 index 9 offset 1", KOP_ST_I32, 9, 1, 10},
      {"LDF_I32 index 11", KOP_LDF_I32, 11, 0, 11},
      {"STF_F32 index 10", KOP_STF_F32, 10, 0, 10},
      {"ADDR index 10", KOP_ADDR, 10, 0, 10},
      {"AADD_32 index 12", KOP_AADD_32, 12, 8, 12},
  };
  for (const row& r : rows) {
    krvk_test_program k;
    const uint16_t slot = k.pointer_param("data", KRVK_I32);
    const uint16_t val = k.reg();
    const uint16_t idx = k.reg();
    k.emit(KOP_NOP);
    k.emit(r.op, val, slot, idx, r.x);
    k.emit(KOP_END);
    krvk_test_run run(k.program());
    run.bind(slot, data);
    run.reg(val) = 99;
    run.reg(idx) = r.index;
    run.trap().fvalue = 0.25;
    EXPECT_EQ(run.run(3, 4), KRVK_TRAP_INDEX) << r.what;
    EXPECT_EQ(run.trap().pc, 1u) << r.what;
    EXPECT_EQ(run.trap().gid, 3u) << r.what;
    EXPECT_EQ(run.trap().value, r.value) << r.what;
    EXPECT_EQ(run.trap().limit, 10u) << r.what;
    EXPECT_EQ(run.trap().fvalue, 0.25) << r.what << ": fields the trap does not name keep their value";
    EXPECT_EQ(run.reg(val), 99u) << r.what;
  }
  EXPECT_EQ(data, std::vector<int32_t>(10, 7)) << "a trapping access writes nothing";
}

TEST(KernelScalarMemory, CopyOverlapsAndZeroClears) {
  std::vector<uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8};
  krvk_test_program k;
  const uint16_t dst = k.reg();
  const uint16_t src = k.reg();
  k.emit(KOP_COPY, dst, src, 0, 5);
  k.emit(KOP_ZERO, src, 0, 0, 1);
  k.emit(KOP_END);
  krvk_test_run run(k.program());
  run.reg(dst) = reinterpret_cast<uintptr_t>(bytes.data() + 2);
  run.reg(src) = reinterpret_cast<uintptr_t>(bytes.data());
  ASSERT_EQ(run.run(0, 1), 0);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0, 2, 1, 2, 3, 4, 5, 8}));
}

TEST(KernelScalarMemory, AtomicAddsReturnTheOldValueAndRefuseMisalignment) {
  alignas(8) uint8_t memory[24] = {};
  const uint32_t start32 = 0xFFFFFFFE;
  std::memcpy(memory, &start32, 4);
  const uint64_t start64 = 40;
  std::memcpy(memory + 8, &start64, 8);
  struct row {
    const char* what;
    uint16_t op;
    size_t offset;  // byte offset of the target within memory
    uint64_t addend;
    uint8_t code;
    uint64_t old_value;
  };
  const row rows[] = {
      {"AADDR_32 zero-extends", KOP_AADDR_32, 0, 1, 0, 0xFFFFFFFE},
      {"AADDR_I32 sign-extends", KOP_AADDR_I32, 0, 1, 0, i64_bits(-1)},
      {"AADDR_64", KOP_AADDR_64, 8, 2, 0, 40},
      {"AADDR_32 misaligned", KOP_AADDR_32, 2, 1, KRVK_TRAP_MISALIGNED, 0},
      {"AADDR_64 misaligned", KOP_AADDR_64, 12, 1, KRVK_TRAP_MISALIGNED, 0},
  };
  for (const row& r : rows) {
    krvk_test_program k;
    const uint16_t dst = k.reg();
    const uint16_t base = k.reg();
    const uint16_t addend = k.reg();
    k.emit(r.op, dst, base, addend, r.offset);
    k.emit(KOP_END);
    krvk_test_run run(k.program());
    run.reg(base) = reinterpret_cast<uintptr_t>(memory);
    run.reg(addend) = r.addend;
    run.reg(dst) = 0x77;
    EXPECT_EQ(run.run(0, 1), r.code) << r.what;
    if (r.code == 0) {
      EXPECT_EQ(run.reg(dst), r.old_value) << r.what;
    } else {
      EXPECT_EQ(run.trap().value, static_cast<int64_t>(reinterpret_cast<uintptr_t>(memory + r.offset))) << r.what;
      EXPECT_EQ(run.trap().limit, r.op == KOP_AADDR_64 ? 8u : 4u) << r.what;
      EXPECT_EQ(run.reg(dst), 0x77u) << r.what;
    }
  }
  uint32_t final32 = 0;
  std::memcpy(&final32, memory, 4);
  EXPECT_EQ(final32, 0u) << "0xFFFFFFFE + 1 + 1 wraps; misaligned adds added nothing";
  uint64_t final64 = 0;
  std::memcpy(&final64, memory + 8, 8);
  EXPECT_EQ(final64, 42u);
}

TEST(KernelScalarMemory, SlotAtomicAddTakesItsAddendFromTheImmediateRegister) {
  std::vector<int64_t> counters(4, 100);
  krvk_test_program k;
  const uint16_t slot = k.pointer_param("counters", KRVK_I64);
  const uint16_t dst = k.reg();
  const uint16_t addend = k.reg();
  k.emit(KOP_AADD_64, dst, slot, 0 /* gid */, addend);
  k.emit(KOP_END);
  krvk_test_run run(k.program());
  run.bind(slot, counters);
  run.reg(addend) = i64_bits(-1);
  ASSERT_EQ(run.run(1, 4), 0);
  EXPECT_EQ(counters, (std::vector<int64_t>{100, 99, 99, 99}));
  EXPECT_EQ(run.reg(dst), 100u);
}

TEST(KernelScalarMemory, ArrayIndexCheck) {
  krvk_test_program k;
  const uint16_t idx = k.reg();
  k.emit(KOP_CHKIDX, idx, 0, 0, 8);
  k.emit(KOP_END);
  krvk_test_run run(k.program());
  run.reg(idx) = 7;
  EXPECT_EQ(run.run(0, 1), 0);
  run.reg(idx) = i64_bits(-2);
  EXPECT_EQ(run.run(0, 1), KRVK_TRAP_ARRAY_INDEX);
  EXPECT_EQ(run.trap().value, -2);
  EXPECT_EQ(run.trap().limit, 8u);
}

}  // namespace
