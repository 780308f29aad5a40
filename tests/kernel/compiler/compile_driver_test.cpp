#include "kernel/compiler/compile_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using unit_ptr = std::shared_ptr<krvk_compiled_unit>;

unit_ptr compile(const std::string& text, const std::string& name, const std::vector<unit_ptr>& imports = {}) {
  kerror err;
  unit_ptr unit = krvk_compile_source(text, name, err, imports);
  EXPECT_NE(unit, nullptr) << name << ": " << err.message;
  return unit;
}

// A unit as the script side may hold it: only its source list matters to an importer.
unit_ptr unit_with_sources(std::vector<krvk_source> sources) {
  auto unit = std::make_shared<krvk_compiled_unit>();
  unit->sources = std::move(sources);
  return unit;
}

std::vector<std::string> source_names(const krvk_compiled_unit& unit) {
  std::vector<std::string> names;
  for (const krvk_source& source : unit.sources) names.push_back(source.name);
  return names;
}

const std::string kLib = "kernel struct V { f32 a; }\ninline f32 twice(f32 x) { return x * 2.0f; }\n";

TEST(KernelCompileDriver, WithoutImportsTheMainSourceIsTheOnlySource) {
  kerror err;
  err.message = "untouched";
  unit_ptr unit = krvk_compile_source("kernel void k(f32* p) { p[gid] = 1.0f; }", "main.k", err, {});
  ASSERT_NE(unit, nullptr);
  ASSERT_EQ(unit->sources.size(), 1u);
  EXPECT_EQ(unit->sources[0].name, "main.k");
  EXPECT_EQ(unit->sources[0].text, "kernel void k(f32* p) { p[gid] = 1.0f; }");
  EXPECT_EQ(err.message, "untouched");  // written only on failure
}

TEST(KernelCompileDriver, ImportedSourcesAreMergedOnceDependenciesFirst) {
  unit_ptr lib = compile(kLib, "lib.k");
  unit_ptr a = compile("inline f32 fa() { return twice(1.0f); }", "a.k", {lib});
  unit_ptr b = compile("inline f32 fb() { return twice(2.0f); }", "b.k", {lib});
  unit_ptr main = compile("kernel void k(V* v) { v[gid].a = fa() + fb(); }", "main.k", {a, b});
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(source_names(*main), (std::vector<std::string>{"lib.k", "a.k", "b.k", "main.k"}));
}

std::vector<std::string> source_names(const std::vector<krvk_source>& sources) {
  std::vector<std::string> names;
  for (const krvk_source& source : sources) names.push_back(source.name);
  return names;
}

TEST(KernelCompileDriver, DuplicatesNeedTheSameTextAndTheSameName) {
  unit_ptr lib = compile(kLib, "lib.k");
  unit_ptr renamed = unit_with_sources({{kLib, "copy.k"}});
  unit_ptr edited = unit_with_sources({{kLib + "\n", "lib.k"}});
  EXPECT_EQ(source_names(krvk_merge_sources({lib, renamed, edited, lib}, "", "main.k")),
            (std::vector<std::string>{"lib.k", "copy.k", "lib.k", "main.k"}));
  EXPECT_EQ(source_names(krvk_merge_sources({lib}, kLib, "lib.k")), (std::vector<std::string>{"lib.k", "lib.k"}));

  // A source that is merged twice declares its names twice, and they collide.
  for (const unit_ptr& twice : {renamed, edited}) {
    kerror err;
    EXPECT_EQ(krvk_compile_source("", "main.k", err, {lib, twice}), nullptr);
    EXPECT_EQ(err.message, "'V' is already declared in this kernel source");
    EXPECT_EQ(err.line, 1u);
  }
  kerror err;
  EXPECT_EQ(krvk_compile_source(kLib, "lib.k", err, {lib}), nullptr);
  EXPECT_EQ(err.message, "'V' is already declared in this kernel source");
}

TEST(KernelCompileDriver, ImportedKernelsStayInTheirUnitWhileStructsAndHelpersCarryOver) {
  unit_ptr lib = compile(kLib + "kernel void lib_kernel(V* v) { v[gid].a = twice(v[gid].a); }", "lib.k");
  ASSERT_NE(lib, nullptr);
  ASSERT_EQ(lib->kernels.size(), 1u);
  unit_ptr main = compile("kernel void k(V* v) { v[gid].a = twice(1.5f); }", "main.k", {lib});
  ASSERT_NE(main, nullptr);
  ASSERT_EQ(main->kernels.size(), 1u);
  EXPECT_EQ(main->kernels[0]->name, "k");
  ASSERT_EQ(main->structs.size(), 1u);
  EXPECT_EQ(main->structs[0].name, "V");
  EXPECT_EQ(main->structs[0].source_file, "lib.k");
}

struct import_failure {
  std::string import_text;
  std::string message;
  std::string file;
  uint32_t line;
  uint32_t column;
  std::string quoted_line;
};

TEST(KernelCompileDriver, DiagnosticsInAnImportedSourceNameThatSource) {
  const import_failure cases[] = {
      {"kernel void k() {}\n  x @", "unexpected character '@'", "lib.k", 2, 5, "  x @"},
      {"kernel void k() {\n  x = ;\n}", "expected an expression but found ';'", "lib.k", 2, 7, "  x = ;"},
      {"#line 30 \"gen.k\"\ninline f32 h() { return 0x; }", "invalid number", "gen.k", 30, 25,
       "inline f32 h() { return 0x; }"},
  };
  for (const import_failure& c : cases) {
    SCOPED_TRACE(c.import_text);
    unit_ptr lib = unit_with_sources({{c.import_text, "lib.k"}});
    kerror err;
    unit_ptr unit = krvk_compile_source("kernel void main_kernel() {}", "main.k", err, {lib});
    EXPECT_EQ(unit, nullptr);
    EXPECT_EQ(err.message, c.message);
    EXPECT_EQ(err.file, c.file);
    EXPECT_EQ(err.line, c.line);
    EXPECT_EQ(err.column, c.column);
    EXPECT_EQ(err.source_line, c.quoted_line);
  }
}

TEST(KernelCompileDriver, SourcesUnderOneNameShareAFileIndexButKeepTheirOwnLines) {
  unit_ptr first = unit_with_sources({{"kernel void a() {}\nkernel void b() {}", "<kernel>"}});
  krvk_front_end front;
  krvk_parse_sources({{"kernel void a() {}\nkernel void b() {}", "<kernel>"}, {"\nkernel void c() {}", "<kernel>"}},
                     front);
  EXPECT_EQ(front.map.file_names, std::vector<std::string>{"<kernel>"});
  const krvk_func_decl& c = front.syntax.functions.at(2);
  EXPECT_EQ(c.name.text, "c");
  EXPECT_EQ(c.name.line, 2u);
  EXPECT_EQ(front.map.source_lines.at(c.name.source_line_index), "kernel void c() {}");

  kerror err;
  EXPECT_EQ(krvk_compile_source("\nkernel void c() { x = ; }", "<kernel>", err, {first}), nullptr);
  EXPECT_EQ(err.file, "<kernel>");
  EXPECT_EQ(err.line, 2u);
  EXPECT_EQ(err.source_line, "kernel void c() { x = ; }");
}

TEST(KernelCompileDriver, ImportedTokensRunStraightIntoTheMainSource) {
  krvk_front_end front;
  krvk_parse_sources({{kLib, "lib.k"}, {"inline f32 g() { return 1.0f; }", "mid.k"}, {"kernel void k() {}", "main.k"}},
                     front);
  size_t end_tokens = std::count_if(front.tokens.begin(), front.tokens.end(),
                                    [](const krvk_token& t) { return t.kind == KRVK_TOKEN_END; });
  EXPECT_EQ(end_tokens, 1u);
  EXPECT_EQ(front.tokens.back().kind, KRVK_TOKEN_END);
  EXPECT_EQ(front.tokens.at(front.main_first_token).text, "kernel");
  EXPECT_EQ(front.map.file_names.at(front.tokens.at(front.main_first_token).file_index), "main.k");

  const std::vector<krvk_func_decl>& functions = front.syntax.functions;
  ASSERT_EQ(functions.size(), 3u);
  EXPECT_EQ(functions[0].from_import, 1);  // twice, from lib.k
  EXPECT_EQ(functions[1].from_import, 1);  // g, from mid.k
  EXPECT_EQ(functions[2].from_import, 0);  // k, the main source
  EXPECT_EQ(front.syntax.structs.at(0).name.text, "V");
}

}  // namespace
