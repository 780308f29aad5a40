#include "kernel/compiler/opcodes.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(KernelOpcodes, NumbersNamesAndSignaturesAtKnownIndices) {
  struct row {
    uint16_t op;
    const char* name;
    const char* signature;
  };
  const row rows[] = {
      {0, "NOP", ""},           {1, "END", ""},             {4, "LOOP", "J"},
      {5, "JT", "RJ"},          {9, "ADD_X64", "DRR"},      {22, "DIV_I32", "DRR"},
      {36, "ADDI_X64", "DRO"},  {37, "DIVC_U32", "DRK"},    {40, "MODC_I32", "DRK"},
      {56, "NOT_X", "DR"},      {58, "LNOT", "DR"},         {73, "MATH1_F32", "DRT"},
      {76, "MATH2_F64", "DRRT"}, {77, "CMPEQ_X", "DRR"},    {83, "JTEQ_X", "RRJ"},
      {94, "JFNE_F64", "RRJ"},  {95, "CMPLT_S", "DRR"},     {106, "JFLT_F64", "RRJ"},
      {107, "CMPLE_S", "DRR"},  {119, "CMPGT_S", "DRR"},    {131, "CMPGE_S", "DRR"},
      {142, "JFGE_F64", "RRJ"}, {143, "TRUNC_I8", "DR"},    {153, "CVT_F32_INT", "DRT"},
      {158, "BOOL_F64", "DR"},  {159, "LD_I8", "DPRO"},     {163, "LDR_I8", "DRO"},
      {164, "ST_I8", "RPRO"},   {168, "STR_I8", "RRO"},     {167, "STFU_I8", "RPRO"},
      {239, "LD_F32", "DPRO"},  {258, "STR_F64", "RRO"},    {259, "ADDR", "DPR"},
      {260, "ADDRU", "DPR"},    {261, "COPY", "RRS"},       {262, "ZERO", "RS"},
      {263, "AADD_32", "DPRI"}, {266, "AADDR_32", "DRRO"},  {268, "AADDR_64", "DRRO"},
      {269, "CHKIDX", "RS"},
  };
  for (const row& r : rows) {
    EXPECT_STREQ(krvk_opcode_names[r.op], r.name) << r.op;
    EXPECT_STREQ(krvk_opcode_signatures[r.op], r.signature) << r.op;
  }
  EXPECT_STREQ(krvk_opcode_name(270), "?");
  EXPECT_STREQ(krvk_opcode_name(65535), "?");
  EXPECT_STREQ(krvk_opcode_signature(270), "");
}

TEST(KernelOpcodes, MemoryOpcodesFollowElementAndVariantRule) {
  const char* elements[] = {"I8", "U8", "I16", "U16", "I32", "U32", "I64", "U64", "F32", "F64"};
  const char* variants[] = {"LD", "LDU", "LDF", "LDFU", "LDR", "ST", "STU", "STF", "STFU", "STR"};
  for (uint16_t e = 0; e < 10; ++e) {
    for (uint16_t v = 0; v < 10; ++v) {
      EXPECT_EQ(krvk_opcode_names[159 + 10 * e + v], std::string(variants[v]) + "_" + elements[e]);
      EXPECT_EQ(krvk_memory_opcode(e, v), 159 + 10 * e + v);
    }
  }
}

TEST(KernelOpcodes, NamesAreUnique) {
  std::set<std::string> names;
  for (const char* name : krvk_opcode_names) names.insert(name);
  EXPECT_EQ(names.size(), 270u);
}

TEST(KernelOpcodes, PlacementRuleFillsABCThenX) {
  struct row {
    const char* signature;
    std::vector<krvk_operand_field> fields;
  };
  const row rows[] = {
      {"", {}},
      {"J", {KRVK_FIELD_X}},
      {"RJ", {KRVK_FIELD_A, KRVK_FIELD_X}},
      {"DRT", {KRVK_FIELD_A, KRVK_FIELD_B, KRVK_FIELD_C}},
      {"DRRT", {KRVK_FIELD_A, KRVK_FIELD_B, KRVK_FIELD_C, KRVK_FIELD_X}},
      {"DPRO", {KRVK_FIELD_A, KRVK_FIELD_B, KRVK_FIELD_C, KRVK_FIELD_X}},
      {"DPRI", {KRVK_FIELD_A, KRVK_FIELD_B, KRVK_FIELD_C, KRVK_FIELD_X}},
      {"RS", {KRVK_FIELD_A, KRVK_FIELD_X}},
      {"DRK", {KRVK_FIELD_A, KRVK_FIELD_B, KRVK_FIELD_C}},
      {"RRJ", {KRVK_FIELD_A, KRVK_FIELD_B, KRVK_FIELD_X}},
  };
  for (const row& r : rows) {
    krvk_operand_field fields[4];
    const uint32_t count = krvk_place_operands(r.signature, fields);
    ASSERT_EQ(count, r.fields.size()) << r.signature;
    for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(fields[i], r.fields[i]) << r.signature << " letter " << i;
  }
  const krvk_insn insn{KOP_MATH2_F64, 1, 2, 3, 15};
  EXPECT_EQ(krvk_operand_value(insn, KRVK_FIELD_C), 3u);
  EXPECT_EQ(krvk_operand_value(insn, KRVK_FIELD_X), 15u);
}

TEST(KernelOpcodes, MathFunctionNames) {
  EXPECT_STREQ(krvk_math_fn_name(0), "floor");
  EXPECT_STREQ(krvk_math_fn_name(13), "log10");
  EXPECT_STREQ(krvk_math_fn_name(14), "pow");
  EXPECT_STREQ(krvk_math_fn_name(15), "atan2");
  EXPECT_STREQ(krvk_math_fn_name(16), "?");
}

}  // namespace
