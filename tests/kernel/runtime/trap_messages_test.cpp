#include "kernel/runtime/trap_messages.h"

#include <gtest/gtest.h>

#include <clocale>
#include <locale>
#include <cmath>
#include <limits>

#include "kernel/support/program_builder.h"

namespace {

// A program whose instructions are the trapping candidates: a load from "src", a store to the frame,
// a remainder, a division, a conversion to i32 and one to an unknown type.
struct trap_fixture {
  krvk_test_program k;
  trap_fixture() {
    k.reg();  // r7, the operand of every instruction below
    const uint16_t src = k.pointer_param("src", KRVK_F32, true);
    const uint16_t frame = k.frame(64);
    k.emit(KOP_LD_F32, 7, src, 0, 0);  // 0
    k.emit(KOP_ST_U8, 7, frame, 0, 0);  // 1
    k.emit(KOP_MOD_U64, 7, 7, 7);  // 2
    k.emit(KOP_DIV_I64, 7, 7, 7);  // 3
    k.emit(KOP_CVT_F64_INT, 7, 7, KRVK_I32);  // 4
    k.emit(KOP_CVT_F32_INT, 7, 7, 13);  // 5
    k.emit(KOP_LD_F32, 7, 5, 0, 0);  // 6: a slot no parameter has
    k.emit(KOP_END);
  }
};

ktrap make_trap(uint32_t code, uint32_t pc, int64_t value = 0, uint64_t limit = 0, double fvalue = 0) {
  return ktrap{code, pc, 0, value, fvalue, limit};
}

TEST(KernelTrapMessages, ExactTexts) {
  trap_fixture f;
  const krvk_program* p = &f.k.program();
  const double inf = std::numeric_limits<double>::infinity();
  struct row {
    ktrap trap;
    const char* text;
  };
  const row rows[] = {
      {make_trap(1, 0, 12, 10), "index 12 is out of bounds of 'src' (10 elements)"},
      {make_trap(1, 0, -1, 10), "index -1 is out of bounds of 'src' (10 elements)"},
      {make_trap(1, 1, 3, 1), "index 3 is out of bounds of 'frame' (1 elements)"},
      {make_trap(1, 6, 0, 0), "index 0 is out of bounds of '?' (0 elements)"},
      {make_trap(1, 99, 4, 2), "index 4 is out of bounds of '?' (2 elements)"},
      {make_trap(2, 2), "integer modulo by zero"},
      {make_trap(2, 3), "integer division by zero"},
      {make_trap(2, 99), "integer division by zero"},
      {make_trap(3, 3, INT64_MIN, ~0ull), "integer division overflow (-9223372036854775808 / -1)"},
      {make_trap(4, 4, 0, 0, 3e9), "float value 3e+09 does not fit into i32"},
      {make_trap(4, 4, 0, 0, -2147483649.5), "float value -2.14748e+09 does not fit into i32"},
      {make_trap(4, 4, 0, 0, 1.5), "float value 1.5 does not fit into i32"},
      {make_trap(4, 4, 0, 0, inf), "float value inf does not fit into i32"},
      {make_trap(4, 5, 0, 0, 300.0), "float value 300 does not fit into ?"},
      {make_trap(4, 99, 0, 0, 0.000123), "float value 0.000123 does not fit into ?"},
      {make_trap(5, 0, 8, 8), "array index 8 is out of bounds (array size 8)"},
      {make_trap(5, 0, -3, 4), "array index -3 is out of bounds (array size 4)"},
      {make_trap(6, 0, 0x1001, 8), "atomic access to an address that is not aligned to 8 bytes"},
      {make_trap(7, 0), "aborted"},
      {make_trap(0, 0), "unknown error"},
      {make_trap(8, 0), "unknown error"},
      {make_trap(0x105, 0, 9, 9), "array index 9 is out of bounds (array size 9)"},  // low 8 bits only
  };
  for (const row& r : rows) EXPECT_EQ(krvk_trap_message(p, r.trap), r.text);
}

// A decimal comma and digit grouping, as a host's locale might set them for the whole process.
struct comma_numpunct : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

TEST(KernelTrapMessages, FloatTextIgnoresTheHostLocale) {
  trap_fixture f;
  const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new comma_numpunct));
  const char* c_locale = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");  // when installed
  const std::string text = krvk_trap_message(&f.k.program(), make_trap(4, 4, 0, 0, 12345.5));
  if (c_locale != nullptr) std::setlocale(LC_NUMERIC, "C");
  std::locale::global(previous);
  EXPECT_EQ(text, "float value 12345.5 does not fit into i32");
}

TEST(KernelTrapMessages, InterpreterTrapsReadAsTheirTexts) {
  // End to end: the record a run fills produces the text a launch reports.
  krvk_test_program k;
  const uint16_t data = k.pointer_param("data", KRVK_I32);
  const uint16_t value = k.reg();
  k.emit(KOP_LD_I32, value, data, 0, 2);
  k.emit(KOP_END);
  std::vector<int32_t> values(4, 0);
  krvk_test_run run(k.program());
  run.bind(data, values);
  ASSERT_EQ(run.run(0, 4), KRVK_TRAP_INDEX);
  EXPECT_EQ(krvk_trap_message(&k.program(), run.trap()), "index 4 is out of bounds of 'data' (4 elements)");
}

}  // namespace
