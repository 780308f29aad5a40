#include "kernel/compiler/diagnostics.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct position {
  uint32_t line;
  uint32_t column;
  uint16_t file_index;
  uint32_t source_line_index;
};

kerror catch_error(const krvk_source_map& map, const position& pos, const std::string& message) {
  try {
    krvk_throw_error(map, pos, message);
  } catch (const kerror& error) {
    return error;
  }
  ADD_FAILURE() << "krvk_throw_error returned";
  return {};
}

TEST(KernelSourceMap, InternFileAppendsOnlyNewNames) {
  krvk_source_map map;
  EXPECT_EQ(map.intern_file("a.k"), 0);
  EXPECT_EQ(map.intern_file("b.k"), 1);
  EXPECT_EQ(map.intern_file("a.k"), 0);
  EXPECT_EQ(map.intern_file(""), 2);
  ASSERT_EQ(map.file_names.size(), 3u);
  EXPECT_EQ(map.file_names[1], "b.k");
}

TEST(KernelSourceMap, FileIndexNeverWrapsPastSixteenBits) {
  krvk_source_map map;
  map.file_names.resize(65536);
  for (size_t i = 0; i < map.file_names.size(); ++i) map.file_names[i] = "f" + std::to_string(i);
  EXPECT_EQ(map.intern_file("f65535"), 65535);
  try {
    map.intern_file("one too many");
    FAIL() << "no error for the 65537th file";
  } catch (const kerror& error) {
    EXPECT_EQ(error.message, "too many source files in one compilation (at most 65536)");
  }
  EXPECT_EQ(map.file_names.size(), 65536u);
}

TEST(KernelDiagnostics, ErrorCarriesPositionFileAndSourceLine) {
  krvk_source_map map;
  map.file_names = {"main.k", "lib.k"};
  map.source_lines = {"kernel k() {", "  x = 1;", "}"};
  struct row {
    position pos;
    const char* file;
    const char* source_line;
  };
  const row rows[] = {
      {{7, 3, 1, 1}, "lib.k", "  x = 1;"},
      {{1, 1, 0, 0}, "main.k", "kernel k() {"},
      {{12, 5, 2, 2}, "", "}"},  // file index outside the list: no file, position kept
      {{4, 9, 0, 3}, "main.k", ""},  // line index outside the list: no quoted line
  };
  for (const row& r : rows) {
    const kerror error = catch_error(map, r.pos, "unexpected 'x'");
    EXPECT_EQ(error.file, r.file);
    EXPECT_EQ(error.line, r.pos.line);
    EXPECT_EQ(error.column, r.pos.column);
    EXPECT_EQ(error.message, "unexpected 'x'");
    EXPECT_EQ(error.source_line, r.source_line);
  }
}

TEST(KernelDiagnostics, DefaultErrorIsEmpty) {
  const kerror error;
  EXPECT_TRUE(error.file.empty() && error.message.empty() && error.source_line.empty());
  EXPECT_EQ(error.line, 0u);
  EXPECT_EQ(error.column, 0u);
}

}  // namespace
