#include "kernel/compiler/parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/compiler/lexer.h"
#include "kernel/compiler/types.h"
#include "sample_kernels.h"

namespace {

struct parsed {
  krvk_source_map map;
  std::vector<krvk_token> tokens;
  krvk_syntax_unit unit;
};

std::unique_ptr<parsed> parse(const std::string& source) {
  auto out = std::make_unique<parsed>();
  krvk_lexer lexer{&out->map, &out->tokens};
  krvk_lex(lexer, source, "main.k");
  krvk_parser parser(out->map, out->tokens, 0);
  parser.parse_unit();
  out->unit = std::move(parser.unit);
  return out;
}

kerror parse_error(const std::string& source) {
  try {
    parse(source);
  } catch (const kerror& error) {
    return error;
  }
  ADD_FAILURE() << "no diagnostic for: " << source;
  return {};
}

// Compact text of an expression tree: (op operands...) for operators, f(args) for calls.
std::string show(const krvk_expr_node* e) {
  if (!e) return "-";
  auto operands = [&](size_t from) {
    std::string out;
    for (size_t i = from; i < e->operands.size(); ++i) out += " " + show(e->operands[i].get());
    return out;
  };
  switch (e->kind) {
    case KRVK_EXPR_INT:
    case KRVK_EXPR_FLOAT:
      return e->position.text;
    case KRVK_EXPR_BOOL:
    case KRVK_EXPR_NAME:
      return e->name;
    case KRVK_EXPR_UNARY:
    case KRVK_EXPR_BINARY:
      return "(" + e->op + operands(0) + ")";
    case KRVK_EXPR_CONDITIONAL:
      return "(?" + operands(0) + ")";
    case KRVK_EXPR_CALL:
      return e->name + "(" + (e->operands.empty() ? "" : operands(0).substr(1)) + ")";
    case KRVK_EXPR_INDEX:
      return "([]" + operands(0) + ")";
    case KRVK_EXPR_FIELD:
      return "(. " + show(e->operands[0].get()) + " " + e->name + ")";
    case KRVK_EXPR_ARROW:
      return "(-> " + show(e->operands[0].get()) + " " + e->name + ")";
    case KRVK_EXPR_SIZEOF:
      return "sizeof(" + e->name + ")";
    case KRVK_EXPR_LIST:
      return "{" + (e->operands.empty() ? "" : operands(0).substr(1)) + "}";
  }
  return "?";
}

// The body statements of the only function of a unit.
const std::vector<krvk_stmt_ptr>& body_of(const parsed& p) { return p.unit.functions.at(0).body->statements; }

// One line per declaration, in the notation of krvk_sample_kernel::declarations.
std::vector<std::string> summarise(const krvk_syntax_unit& unit) {
  std::vector<std::string> out;
  for (const krvk_decl_ref& ref : unit.declaration_order) {
    if (ref.kind == KRVK_DECL_STRUCT) {
      const krvk_struct_decl& s = unit.structs.at(ref.index);
      out.push_back("struct " + s.name.text + "/" + std::to_string(s.fields.size()));
    } else if (ref.kind == KRVK_DECL_CONST) {
      out.push_back("const " + unit.constants.at(ref.index).name.text);
    } else {
      const krvk_func_decl& f = unit.functions.at(ref.index);
      std::string line = (f.is_inline ? "inline " : "kernel ") + f.name.text;
      if (f.reduce_position.is_word("reduce")) {
        std::string ops;
        for (const krvk_field_reduce& entry : f.field_reductions) {
          ops += (ops.empty() ? "" : ",") + entry.field.text + ":" + krvk_reduce_op_name(entry.op);
        }
        line += " reduce(" + (ops.empty() ? std::string(krvk_reduce_op_name(f.reduction)) : ops) + ")";
      }
      out.push_back(line);
    }
  }
  return out;
}

// Line `number` (1-based) of a source without #line directives.
std::string physical_line(const std::string& source, uint32_t number) {
  size_t start = 0;
  for (uint32_t line = 1; line < number; ++line) start = source.find('\n', start) + 1;
  return source.substr(start, source.find('\n', start) - start);
}

struct failure_case {
  std::string source;
  std::string message;
  uint32_t line;
  uint32_t column;
};

TEST(KernelParser, EverySyntaxErrorHasItsMessageAndPosition) {
  const std::string declaration =
      "expected a kernel declaration ('kernel void name(...) { }', 'kernel inline', 'kernel struct' or "
      "'kernel const') but found ";
  const std::string type =
      "expected a type (bool, i8, u8, i16, u16, i32, u32, i64, u64, f32, f64, a vector type like f32x4 or a "
      "kernel struct) but found ";
  const failure_case cases[] = {
      {"void k() { f(1; }", "expected ')' but found ';'", 1, 15},
      {"void k() { x = a[1; }", "expected ']' but found ';'", 1, 19},
      {"void k() { x = 1 }", "expected ';' but found '}'", 1, 18},
      {"void k() { a = b = c; }", "expected ';' but found '='", 1, 18},
      {"void k() { x = c ? 1; }", "expected ':' but found ';'", 1, 21},
      {"struct { f32 x; }", "expected a struct name but found '{'", 1, 8},
      {"struct S f32 x; }", "expected '{' but found 'f32'", 1, 10},
      {"struct S { f32 ; }", "expected a field name but found ';'", 1, 16},
      {"struct S { f32 x[4; }", "expected ']' but found ';'", 1, 19},
      {"const f32 = 1;", "expected a constant name but found '='", 1, 11},
      {"const f32 X 1;", "expected '=' but found '1'", 1, 13},
      {"const f32 X = {1};", "expected an expression but found '{'", 1, 15},
      {"kernel void (f32* p) {}", "expected a kernel name but found '('", 1, 13},
      {"kernel void k(f32* ) {}", "expected a parameter name but found ')'", 1, 20},
      {"kernel void k(f32* p,) {}", "expected a type (bool, i8, u8, i16, u16, i32, u32, i64, u64, f32, f64, a vector "
                                    "type like f32x4 or a kernel struct) but found ')'", 1, 22},
      {"void k() { f32(x); }", "expected a variable name but found '('", 1, 15},
      {"void k() { p->1; }", "expected a field name but found '1'", 1, 15},
      {"void k() { x = a.(b); }", "expected a field name but found '('", 1, 18},
      {"S k() reduce(a: +, 1) {} struct S { f32 a; }", "expected a field name but found '1'", 1, 20},
      {"S k() reduce(+ +) {} struct S { f32 a; }", "expected ')' but found '+'", 1, 16},
      {"x", declaration + "'x' (kernel source only contains kernel declarations)", 1, 1},
      {"kernel x", declaration + "'x'", 1, 8},
      {"kernel ;", declaration + "';'", 1, 8},
      {";; kernel", declaration + "the end of the kernel source", 1, 10},
      {"void k() {} }", declaration + "'}' (kernel source only contains kernel declarations)", 1, 13},
      {"kernel struct S { f32 x;\n", "missing '}' at the end of struct 'S'", 2, 1},
      {"kernel void k();", "expected '{' (the kernel body) but found ';'", 1, 16},
      {"kernel void k() reduce(+);", "expected '{' (the kernel body) but found ';'", 1, 26},
      {"f32 k() reduce(sum) {}", "expected a reduction operator (+, min, max, &, |, ^) but found 'sum'", 1, 16},
      {"f32 k() reduce(-) {}", "expected a reduction operator (+, min, max, &, |, ^) but found '-'", 1, 16},
      {"f32 k() reduce() {}", "expected a reduction operator (+, min, max, &, |, ^) but found ')'", 1, 16},
      {"kernel void k(int x) {}", type + "'int'", 1, 15},
      {"inline 5", type + "'5'", 1, 8},
      {"void k() { const x = 1; }", type + "'x'", 1, 18},
      {"kernel void k(f32** p) {}", "pointers to pointers are not supported in kernels", 1, 19},
      {"void k() { const f32 x = 1; }",
       "'const' is only allowed for pointer types ('const u8* p'); use 'kernel const' for constants", 1, 12},
      {"const const f32 X = 1;",
       "'const' is only allowed for pointer types ('const u8* p'); use 'kernel const' for constants", 1, 7},
      {"void k() {\n  x = 1;\n", "missing '}' for this block", 1, 10},
      {"void k() { if (a) { x = 1; }", "missing '}' for this block", 1, 10},
      {"void k() { else x = 1; }", "'else' without 'if'", 1, 12},
      {"void k() { if (a) x = 1; y = 2; else y = 3; }", "'else' without 'if'", 1, 33},
      {"void k() { x = ++y; }", "'++' is only allowed as a statement ('i++;'), not inside an expression", 1, 16},
      {"void k() { f(--y); }", "'--' is only allowed as a statement ('i++;'), not inside an expression", 1, 14},
      {"void k() { x = sizeof(y); }", "sizeof expects a type", 1, 23},
      {"void k() { x = sizeof(const u8*); }", "sizeof expects a type", 1, 23},
      {"void k() { x = sizeof(f32*); }", "expected ')' but found '*'", 1, 26},
      {"void k() { x = sizeof f32; }", "expected '(' but found 'f32'", 1, 23},
      {"void k() { x = a.b(1); }", "only named functions can be called", 1, 19},
      {"void k() { x = a[0](1); }", "only named functions can be called", 1, 20},
      {"void k() { x = (f)(1); }", "only named functions can be called", 1, 19},
      {"void k() { x = f(1)(2); }", "only named functions can be called", 1, 20},
      {"void k() { x = (f32)y; }", "C style casts are not supported, write f32(value)", 1, 17},
      {"void k() { x = (u8*)p; }", "C style casts are not supported, write u8(value)", 1, 17},
      {"void k() { x = (f32x4*)p; }", "C style casts are not supported, write f32x4(value)", 1, 17},
      {"struct P { f32 a; } void k() { x = (P*)p; }", "C style casts are not supported, write P(value)", 1, 37},
      {"void k() { x = (const u8*)p; }", "expected ')' but found 'u8'", 1, 23},
      {"void k() { x = {1, 2}; }", "expected an expression but found '{'", 1, 16},
      {"void k() { x = ; }", "expected an expression but found ';'", 1, 16},
      {"void k() { x = f(1,); }", "expected an expression but found ')'", 1, 20},
      {"void k() { f32 a[2] = {,}; }", "expected an expression but found ','", 1, 24},
      {"void k() { f32 a[2] = {1 2}; }", "expected '}' but found '2'", 1, 26},
      {"void k() { x = 1", "expected ';' but found the end of the kernel source", 1, 17},
  };
  for (const failure_case& c : cases) {
    SCOPED_TRACE(c.source);
    kerror error = parse_error(c.source);
    EXPECT_EQ(error.message, c.message);
    EXPECT_EQ(error.line, c.line);
    EXPECT_EQ(error.column, c.column);
    EXPECT_EQ(error.file, "main.k");
    EXPECT_EQ(error.source_line, physical_line(c.source, c.line));
  }
}

TEST(KernelParser, DiagnosticsQuoteThePhysicalLine) {
  kerror error = parse_error("kernel void k(f32* p) {\n  p[gid] = (f32)1;\n}\n");
  EXPECT_EQ(error.message, "C style casts are not supported, write f32(value)");
  EXPECT_EQ(error.line, 2u);
  EXPECT_EQ(error.column, 13u);
  EXPECT_EQ(error.source_line, "  p[gid] = (f32)1;");

  kerror remapped = parse_error("#line 40 \"gen.k\"\nvoid k() { x = ; }");
  EXPECT_EQ(remapped.file, "gen.k");
  EXPECT_EQ(remapped.line, 40u);
  EXPECT_EQ(remapped.source_line, "void k() { x = ; }");
}

TEST(KernelParser, ExpressionsGroupByPrecedenceAndAssociativity) {
  const std::pair<std::string, std::string> cases[] = {
      {"1 - 2 - 3", "(- (- 1 2) 3)"},
      {"a < b < c", "(< (< a b) c)"},
      {"a || b && c", "(|| a (&& b c))"},
      {"a | b ^ c & d", "(| a (^ b (& c d)))"},
      {"a == b < c << d + e * f", "(== a (< b (<< c (+ d (* e f)))))"},
      {"a != b >= c >> d - e % f / g", "(!= a (>= b (>> c (- d (/ (% e f) g)))))"},
      {"(a + b) * c", "(* (+ a b) c)"},
      {"- - a", "(- (- a))"},
      {"!!a", "(! (! a))"},
      {"*&a", "(* (& a))"},
      {"~+a", "(~ (+ a))"},
      {"-a * b", "(* (- a) b)"},
      {"-a[1]", "(- ([] a 1))"},
      {"a ? b : c ? d : e", "(? a b (? c d e))"},
      {"a ? b ? c : d : e", "(? a (? b c d) e)"},
      {"a || b ? c + 1 : d", "(? (|| a b) (+ c 1) d)"},
      {"p->v.x[i][j]", "([] ([] (. (-> p v) x) i) j)"},
      {"f()", "f()"},
      {"f32x4(a, b + 1, g(c), 2.5f)", "f32x4(a (+ b 1) g(c) 2.5f)"},
      {"sizeof(f32x4) + sizeof(u8)", "(+ sizeof(f32x4) sizeof(u8))"},
      {"true && false", "(&& true false)"},
      {"(f32x4)", "f32x4"},
      {"(S)", "S"},
      {"(f32(x))", "f32(x)"},
      {"0x10u + .5", "(+ 0x10u .5)"},
  };
  for (const auto& [expression, want] : cases) {
    SCOPED_TRACE(expression);
    auto p = parse("struct S { f32 a; } kernel void k() { return " + expression + "; }");
    const krvk_stmt_node& ret = *body_of(*p).at(0);
    ASSERT_EQ(ret.kind, KRVK_STMT_RETURN);
    EXPECT_EQ(show(ret.expr1.get()), want);
  }
}

TEST(KernelParser, BinaryPrecedenceTable) {
  const std::pair<const char*, int32_t> cases[] = {
      {"||", 1}, {"&&", 2}, {"|", 3},  {"^", 4},  {"&", 5},  {"==", 6}, {"!=", 6}, {"<", 7},   {"<=", 7},
      {">", 7},  {">=", 7}, {"<<", 8}, {">>", 8}, {"+", 9},  {"-", 9},  {"*", 10}, {"/", 10},  {"%", 10},
      {"=", 0},  {"<<=", 0}, {"->", 0}, {"!", 0},  {"~", 0},  {"?", 0},  {"(", 0},  {"++", 0},
  };
  for (const auto& [op, precedence] : cases) {
    krvk_token token;
    token.kind = KRVK_TOKEN_PUNCT;
    token.text = op;
    EXPECT_EQ(krvk_binary_precedence(token), precedence) << op;
  }
  krvk_token word;
  word.kind = KRVK_TOKEN_WORD;
  word.text = "+";
  EXPECT_EQ(krvk_binary_precedence(word), 0);
}

TEST(KernelParser, ExpressionNodesCarryTheirPositionAndLiteralValue) {
  auto p = parse("void k() { return a + 7u * b[2]; }");
  const krvk_expr_node& plus = *body_of(*p)[0]->expr1;
  EXPECT_EQ(plus.position.text, "+");
  EXPECT_EQ(plus.position.column, 21u);
  const krvk_expr_node& times = *plus.operands[1];
  const krvk_expr_node& seven = *times.operands[0];
  EXPECT_EQ(seven.kind, KRVK_EXPR_INT);
  EXPECT_EQ(seven.position.int_value, 7u);
  EXPECT_EQ(seven.position.suffix_u, 1);
  EXPECT_EQ(times.operands[1]->position.text, "[");
}

TEST(KernelParser, StatementsOfEveryKind) {
  auto p = parse(
      "kernel void k(f32* p) {\n"
      "  f32 a = 1, b[4] = {1, 2, 3, 4,}, c;\n"
      "  a += 2; b[0] <<= 1; p[gid] = a;\n"
      "  a++; --b[1];\n"
      "  f(a);\n"
      "  if (a > 0) a = 1; else if (a < 0) a = 2; else { a = 3; }\n"
      "  for (;;) { break; }\n"
      "  for (i32 i = 0; i < 4; i++) continue;\n"
      "  while (a < 10) a = a * 2;\n"
      "  unchecked { p[0] = 1; }\n"
      "  ;\n"
      "  return;\n"
      "}\n");
  const std::vector<krvk_stmt_ptr>& s = body_of(*p);
  ASSERT_EQ(s.size(), 13u);  // the lone ';' gets no node in a block

  const krvk_stmt_node& decl = *s[0];
  EXPECT_EQ(decl.kind, KRVK_STMT_DECLARATION);
  ASSERT_NE(decl.declaration, nullptr);
  const krvk_declaration_syntax& declared = *decl.declaration;
  EXPECT_EQ(declared.type.name, "f32");
  ASSERT_EQ(declared.declarators.size(), 3u);
  ASSERT_EQ(declared.array_sizes.size(), 3u);
  EXPECT_EQ(declared.declarators[0].name.text, "a");
  EXPECT_EQ(show(declared.declarators[0].initialiser.get()), "1");
  EXPECT_EQ(declared.array_sizes[0], nullptr);
  EXPECT_EQ(show(declared.array_sizes[1].get()), "4");
  EXPECT_EQ(show(declared.declarators[1].initialiser.get()), "{1 2 3 4}");
  EXPECT_EQ(declared.declarators[2].initialiser, nullptr);

  EXPECT_EQ(s[1]->kind, KRVK_STMT_ASSIGN);
  EXPECT_EQ(s[1]->op, "+=");
  EXPECT_EQ(s[1]->position.text, "+=");
  EXPECT_EQ(s[2]->op, "<<=");
  EXPECT_EQ(show(s[2]->expr1.get()), "([] b 0)");
  EXPECT_EQ(show(s[3]->expr1.get()), "([] p gid)");

  EXPECT_EQ(s[4]->kind, KRVK_STMT_INCREMENT);
  EXPECT_EQ(s[4]->op, "++");
  EXPECT_EQ(s[4]->position.column, 4u);
  EXPECT_EQ(s[5]->kind, KRVK_STMT_INCREMENT);
  EXPECT_EQ(s[5]->op, "--");
  EXPECT_EQ(show(s[5]->expr1.get()), "([] b 1)");

  EXPECT_EQ(s[6]->kind, KRVK_STMT_EXPRESSION);
  EXPECT_EQ(s[6]->position.text, "f");

  const krvk_stmt_node& if_chain = *s[7];
  EXPECT_EQ(if_chain.kind, KRVK_STMT_IF);
  EXPECT_EQ(show(if_chain.expr1.get()), "(> a 0)");
  ASSERT_EQ(if_chain.stmt2->kind, KRVK_STMT_IF);
  EXPECT_EQ(if_chain.stmt2->stmt2->kind, KRVK_STMT_BLOCK);

  const krvk_stmt_node& endless = *s[8];
  EXPECT_EQ(endless.kind, KRVK_STMT_FOR);
  EXPECT_EQ(endless.stmt1, nullptr);
  EXPECT_EQ(endless.expr1, nullptr);
  EXPECT_EQ(endless.stmt2, nullptr);
  EXPECT_EQ(endless.stmt3->statements.at(0)->kind, KRVK_STMT_BREAK);

  const krvk_stmt_node& counted = *s[9];
  EXPECT_EQ(counted.stmt1->kind, KRVK_STMT_DECLARATION);
  EXPECT_EQ(show(counted.expr1.get()), "(< i 4)");
  EXPECT_EQ(counted.stmt2->kind, KRVK_STMT_INCREMENT);
  EXPECT_EQ(counted.stmt3->kind, KRVK_STMT_CONTINUE);

  EXPECT_EQ(s[10]->kind, KRVK_STMT_WHILE);
  EXPECT_EQ(show(s[10]->stmt3->expr2.get()), "(* a 2)");
  EXPECT_EQ(s[11]->kind, KRVK_STMT_UNCHECKED);
  EXPECT_EQ(s[11]->stmt1->kind, KRVK_STMT_BLOCK);
  EXPECT_EQ(s[12]->kind, KRVK_STMT_RETURN);
  EXPECT_EQ(s[12]->expr1, nullptr);
}

TEST(KernelParser, DeclarationLookaheadTellsTypesFromCalls) {
  auto p = parse(
      "struct S { f32 a; }\n"
      "void k() { f32x4 v; f32x4(1, 2, 3, 4); S s; S(1); S* q; f32x4* r; const u8* c; return {{1}, {}}; }");
  const std::vector<krvk_stmt_ptr>& s = body_of(*p);
  const uint32_t want[] = {KRVK_STMT_DECLARATION, KRVK_STMT_EXPRESSION, KRVK_STMT_DECLARATION,
                           KRVK_STMT_EXPRESSION,  KRVK_STMT_DECLARATION, KRVK_STMT_DECLARATION,
                           KRVK_STMT_DECLARATION, KRVK_STMT_RETURN};
  ASSERT_EQ(s.size(), std::size(want));
  for (size_t i = 0; i < std::size(want); ++i) EXPECT_EQ(s[i]->kind, want[i]) << i;
  EXPECT_EQ(s[4]->declaration->type.is_pointer, 1);
  EXPECT_EQ(s[6]->declaration->type.is_const, 1);
  EXPECT_EQ(s[6]->declaration->type.is_pointer, 1);
  EXPECT_EQ(show(s[7]->expr1.get()), "{{1} {}}");
}

TEST(KernelParser, DeclarationsAndTheirRecords) {
  auto p = parse(
      ";;\n"
      "kernel cstruct Particle { f32x3 pos, vel; u8 flags[4]; Other o; };\n"
      "struct Other { f32 w; }\n"
      "kernel const u32 N = 4 * 16;\n"
      "inline f32 sq(f32 x) { return x * x; }\n"
      "kernel void k(void) {}\n"
      "void v(void x) {}\n"
      "f32 total(const f32* p) reduce(min) { return p[gid]; }\n"
      "Other pair(Particle* p) reduce(sum: +, m: max) { return {1, 2}; }\n"
      ";");
  const krvk_syntax_unit& u = p->unit;
  const krvk_decl_ref want_order[] = {{KRVK_DECL_STRUCT, 0},   {KRVK_DECL_STRUCT, 1},   {KRVK_DECL_CONST, 0},
                                      {KRVK_DECL_FUNCTION, 0}, {KRVK_DECL_FUNCTION, 1}, {KRVK_DECL_FUNCTION, 2},
                                      {KRVK_DECL_FUNCTION, 3}, {KRVK_DECL_FUNCTION, 4}};
  ASSERT_EQ(u.declaration_order.size(), std::size(want_order));
  for (size_t i = 0; i < std::size(want_order); ++i) {
    EXPECT_EQ(u.declaration_order[i].kind, want_order[i].kind) << i;
    EXPECT_EQ(u.declaration_order[i].index, want_order[i].index) << i;
  }

  const krvk_struct_decl& particle = u.structs[0];
  EXPECT_EQ(particle.name.text, "Particle");
  ASSERT_EQ(particle.fields.size(), 4u);
  EXPECT_EQ(particle.fields[1].name.text, "vel");
  EXPECT_EQ(particle.fields[1].type.name, "f32x3");
  EXPECT_EQ(particle.fields[1].value, nullptr);
  EXPECT_EQ(particle.fields[2].type.name, "u8");
  EXPECT_EQ(show(particle.fields[2].value.get()), "4");
  EXPECT_EQ(particle.fields[3].type.name, "Other");  // known before its declaration

  EXPECT_EQ(u.constants[0].name.text, "N");
  EXPECT_EQ(u.constants[0].type.name, "u32");
  EXPECT_EQ(u.constants[0].type.is_const, 0u);
  EXPECT_EQ(show(u.constants[0].value.get()), "(* 4 16)");

  const krvk_func_decl& sq = u.functions[0];
  EXPECT_EQ(sq.is_inline, 1);
  EXPECT_EQ(sq.name.text, "sq");
  EXPECT_EQ(sq.return_type.name, "f32");
  ASSERT_EQ(sq.parameters.size(), 1u);
  EXPECT_EQ(sq.reduction, 0);
  EXPECT_EQ(sq.reduce_position.kind, KRVK_TOKEN_END);
  EXPECT_EQ(sq.reduce_position.line, 0u);

  EXPECT_EQ(u.functions[1].is_inline, 0);
  EXPECT_TRUE(u.functions[1].parameters.empty());
  ASSERT_EQ(u.functions[2].parameters.size(), 1u);  // `void x` is a parameter; the checker refuses it
  EXPECT_EQ(u.functions[2].parameters[0].type.name, "void");

  const krvk_func_decl& total = u.functions[3];
  EXPECT_EQ(total.reduction, KRVK_REDUCE_MIN);
  EXPECT_TRUE(total.field_reductions.empty());
  EXPECT_EQ(total.reduce_position.text, "reduce");
  EXPECT_EQ(total.reduce_position.line, 8u);
  EXPECT_EQ(total.parameters[0].type.is_const, 1u);
  EXPECT_EQ(total.parameters[0].type.is_pointer, 1);

  const krvk_func_decl& pair = u.functions[4];
  EXPECT_EQ(pair.reduction, KRVK_REDUCE_ADD);
  ASSERT_EQ(pair.field_reductions.size(), 2u);
  EXPECT_EQ(pair.field_reductions[0].field.text, "sum");
  EXPECT_EQ(pair.field_reductions[0].op, KRVK_REDUCE_ADD);
  EXPECT_EQ(pair.field_reductions[1].field.text, "m");
  EXPECT_EQ(pair.field_reductions[1].op, KRVK_REDUCE_MAX);
  for (const krvk_func_decl& f : u.functions) EXPECT_EQ(f.from_import, 0);
}

TEST(KernelParser, KernelsOfEveryShapeParse) {
  for (const krvk_sample_kernel& sample : krvk_sample_kernels()) {
    SCOPED_TRACE(sample.name);
    auto p = parse(sample.source);
    EXPECT_EQ(summarise(p->unit), sample.declarations);
  }
}

TEST(KernelParser, ReductionOperatorCodes) {
  const std::pair<const char*, uint8_t> cases[] = {{"+", KRVK_REDUCE_ADD}, {"min", KRVK_REDUCE_MIN},
                                                   {"max", KRVK_REDUCE_MAX}, {"&", KRVK_REDUCE_AND},
                                                   {"|", KRVK_REDUCE_OR},    {"^", KRVK_REDUCE_XOR}};
  for (const auto& [op, code] : cases) {
    auto p = parse(std::string("u32 k() reduce(") + op + ") { return 1; }");
    EXPECT_EQ(p->unit.functions[0].reduction, code) << op;
  }
}

TEST(KernelParser, StructAndCstructGiveTheSameRecord) {
  auto a = parse("struct P { f32 x, y; u8 flags[4]; }");
  auto b = parse("cstruct P { f32 x, y; u8 flags[4]; }");
  const krvk_struct_decl& s = a->unit.structs.at(0);
  const krvk_struct_decl& c = b->unit.structs.at(0);
  ASSERT_EQ(s.fields.size(), 3u);
  ASSERT_EQ(c.fields.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(s.fields[i].name.text, c.fields[i].name.text);
    EXPECT_EQ(s.fields[i].type.name, c.fields[i].type.name);
    EXPECT_EQ(show(s.fields[i].value.get()), show(c.fields[i].value.get()));
  }
  EXPECT_EQ(c.fields[1].type.name, "f32");
}

TEST(KernelParser, OnlySemicolonsIsAnEmptyUnit) {
  for (const char* source : {"", ";", ";;;\n;"}) {
    auto p = parse(source);
    EXPECT_TRUE(p->unit.declaration_order.empty()) << source;
  }
}

TEST(KernelParser, FunctionsBeforeTheMainSourceComeFromImports) {
  krvk_source_map map;
  std::vector<krvk_token> tokens;
  krvk_lexer lexer{&map, &tokens};
  krvk_lex(lexer, "inline f32 h() { return 1; }", "lib.k");
  tokens.pop_back();
  size_t main_first = tokens.size();
  krvk_lex(lexer, "kernel void k() {}", "main.k");
  krvk_parser parser(map, tokens, main_first);
  parser.parse_unit();
  ASSERT_EQ(parser.unit.functions.size(), 2u);
  EXPECT_EQ(parser.unit.functions[0].from_import, 1);
  EXPECT_EQ(parser.unit.functions[1].from_import, 0);
}

TEST(KernelParser, NestingIsBoundedInsteadOfExhaustingTheStack) {
  auto nested = [](const std::string& open, const std::string& middle, const std::string& close, int depth) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += open;
    s += middle;
    for (int i = 0; i < depth; ++i) s += close;
    return s;
  };
  std::string chain = "x";
  for (int i = 0; i < 600; ++i) chain += " + x";
  std::string indexes = "x";
  for (int i = 0; i < 600; ++i) indexes += "[0]";
  const std::string too_deep[] = {
      "void k() { return " + nested("(", "1", ")", 5000) + "; }",
      "void k() " + nested("{", "", "}", 5000),
      "void k() { return " + nested("- ", "1", "", 5000) + "; }",
      "void k() { f32 a[1] = " + nested("{", "1", "}", 5000) + "; }",
      "void k() { " + nested("if (a) ", "x = 1;", "", 5000) + " }",
      "void k() { return " + chain + "; }",
      "void k() { return " + indexes + "; }",
  };
  for (const std::string& source : too_deep) {
    SCOPED_TRACE(source.substr(0, 40));
    EXPECT_EQ(parse_error(source).message, "kernel code is nested too deeply");
  }
  // Real kernels stay far below the bound.
  parse("void k() { return " + nested("(", "1", ")", 100) + "; }");
  parse("void k() " + nested("{", "", "}", 100));
}

}  // namespace
