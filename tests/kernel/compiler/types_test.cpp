#include "kernel/compiler/types.h"

#include <gtest/gtest.h>

#include <string>

#include "kernel/compiler/struct_types.h"

namespace {

TEST(KernelPrim, NamesSizesAndKindsByCode) {
  struct row {
    uint8_t code;
    const char* name;
    int32_t size;
    bool is_float;
  };
  const row rows[] = {
      {0, "void", 0, false}, {1, "bool", 1, false}, {2, "i8", 1, false},   {3, "u8", 1, false},
      {4, "i16", 2, false},  {5, "u16", 2, false},  {6, "i32", 4, false},  {7, "u32", 4, false},
      {8, "i64", 8, false},  {9, "u64", 8, false},  {10, "f32", 4, true},  {11, "f64", 8, true},
      {12, "struct", 0, false}, {13, "?", 0, false}, {255, "?", 0, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(int{r.code});
    EXPECT_STREQ(krvk_prim_name(r.code), r.name);
    EXPECT_EQ(krvk_prim_size(r.code), r.size);
    EXPECT_EQ(krvk_prim_is_float(r.code), r.is_float);
  }
}

TEST(KernelPrim, FromNameIsExactAndExcludesStruct) {
  const std::pair<const char*, uint8_t> rows[] = {
      {"void", 0}, {"bool", 1}, {"i8", 2},     {"u64", 9},   {"f32", 10},  {"f64", 11},
      {"struct", 13}, {"I32", 13}, {"F32", 13}, {"int", 13}, {"", 13},    {"f32 ", 13}, {"i32x4", 13},
  };
  for (const auto& [name, code] : rows) {
    EXPECT_EQ(krvk_prim_from_name(name), code) << name;
  }
}

TEST(KernelPrim, ReduceOperatorNames) {
  const char* expected[] = {"", "+", "min", "max", "&", "|", "^", "?"};
  for (uint8_t op = 0; op < 8; ++op) EXPECT_STREQ(krvk_reduce_op_name(op), expected[op]) << int{op};
  EXPECT_STREQ(krvk_reduce_op_name(200), "?");
}

TEST(KernelVectorTypes, RecognisesExactlyScalarNumberTypesWithTwoToFourLanes) {
  struct row {
    const char* name;
    bool ok;
    uint8_t scalar;
    uint8_t lanes;
  };
  const row rows[] = {
      {"f32x4", true, KRVK_F32, 4}, {"u8x2", true, KRVK_U8, 2},   {"i64x3", true, KRVK_I64, 3},
      {"f64x2", true, KRVK_F64, 2}, {"boolx2", false, 0, 0},       {"voidx3", false, 0, 0},
      {"f32x1", false, 0, 0},       {"f32x5", false, 0, 0},        {"f32x44", false, 0, 0},
      {"f32x10", false, 0, 0},      {"f32x", false, 0, 0},         {"x2", false, 0, 0},
      {"x4", false, 0, 0},          {"structx2", false, 0, 0},     {"F32x4", false, 0, 0},
  };
  for (const row& r : rows) {
    uint8_t scalar = 99;
    uint8_t lanes = 99;
    EXPECT_EQ(krvk_parse_vector_type(r.name, scalar, lanes), r.ok) << r.name;
    if (r.ok) {
      EXPECT_EQ(scalar, r.scalar) << r.name;
      EXPECT_EQ(lanes, r.lanes) << r.name;
    }
  }
}

TEST(KernelReservedWords, KeywordsBuiltinsTypesAndVectors) {
  const char* reserved[] = {"kernel", "struct", "cstruct", "const", "inline", "reduce", "if", "else",
                            "for", "while", "break", "continue", "return", "unchecked", "sizeof", "true",
                            "false", "gid", "gsize", "gid_x", "gid_y", "gsize_x", "gsize_y", "void",
                            "u16", "f64", "f64x2", "i8x4"};
  for (const char* word : reserved) EXPECT_TRUE(krvk_is_reserved_word(word)) << word;
  const char* free_words[] = {"gidx", "min", "max", "x", "acc", "Kernel", "f32x5", "boolx2", ""};
  for (const char* word : free_words) EXPECT_FALSE(krvk_is_reserved_word(word)) << word;
}

TEST(KernelTypeName, ScalarsPointersConstAndStructs) {
  std::vector<krvk_struct> structs(1);
  structs[0].name = "P";
  struct row {
    krvk_type type;
    const char* text;
  };
  const row rows[] = {
      {{KRVK_F32, -1, 0, 0}, "f32"},
      {{KRVK_U8, -1, 1, 1}, "const u8*"},
      {{KRVK_I32, -1, 1, 0}, "i32*"},
      {{KRVK_STRUCT, 0, 1, 1}, "const P*"},
      {{KRVK_STRUCT, 0, 1, 0}, "P*"},
      {{KRVK_STRUCT, 0, 0, 0}, "P"},
      {{KRVK_STRUCT, 1, 0, 0}, "struct"},
      {{KRVK_STRUCT, -1, 1, 0}, "struct*"},
      {{KRVK_NO_TYPE, -1, 0, 0}, "?"},
  };
  for (const row& r : rows) EXPECT_EQ(krvk_type_name(structs, r.type), r.text);
}

TEST(KernelStructLookup, FirstMatchInListOrder) {
  std::vector<krvk_struct> structs(3);
  structs[0].name = "A";
  structs[1].name = "B";
  structs[2].name = "B";
  EXPECT_EQ(krvk_find_struct_index(structs, "A"), 0);
  EXPECT_EQ(krvk_find_struct_index(structs, "B"), 1);
  EXPECT_EQ(krvk_find_struct_index(structs, "C"), -1);
  EXPECT_EQ(krvk_find_struct_index({}, "A"), -1);
}

}  // namespace
