// Kernel parser: the token list of one compilation to its syntax tree.
//
// Recursive descent with one token of lookahead (two where a declaration must be told from an expression,
// and for C-style casts), and precedence climbing for binary operators. Struct names are known before their
// declarations: a pre-scan collects every word after `struct` or `cstruct`, so a struct may be used as a
// type anywhere in any source of the compilation.
//
// The parser checks syntax only. The first syntax error throws a kerror at a token; nothing is recovered.
// The cursor never moves past the end token, which closes every token list. Nesting of blocks, statements
// and expressions is bounded (`krvk_max_nesting`), so no input can exhaust the stack of the parser or of
// the recursive walks over the tree that follow it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "kernel/compiler/diagnostics.h"
#include "kernel/compiler/syntax_tree.h"
#include "kernel/compiler/token.h"

// Deepest nesting of blocks, statements, expressions and binary operator chains the parser accepts.
inline constexpr uint32_t krvk_max_nesting = 500;

// "the end of the kernel source" for the end token, else the token's text in single quotes.
std::string krvk_describe_token(const krvk_token& token);

// Precedence of a binary operator token (1 "||" .. 10 "*" "/" "%"); 0 for every other token.
int32_t krvk_binary_precedence(const krvk_token& token);

class krvk_parser {
 public:
  // `tokens` must end with an end token; both must outlive the parser.
  krvk_parser(const krvk_source_map& map, const std::vector<krvk_token>& tokens, size_t main_first_token);

  // Pre-scan, then every declaration. Call once; the result is `unit`.
  void parse_unit();

  krvk_syntax_unit unit;

  const krvk_token& current() const { return (*tokens_)[cursor_]; }
  bool is_punct(std::string_view text) const { return current().is_punct(text); }
  // Consumes the punctuator or throws "expected 'TEXT' but found ...".
  void expect(std::string_view text) {
    if (!accept(text)) fail_expected("'" + std::string(text) + "'");
  }
  bool is_type_start() const;

 private:
  const krvk_token& token_at(size_t index) const;  // clamped to the end token
  bool is_type_start_at(size_t index) const;
  bool is_type_word(const krvk_token& token) const;
  bool at_end() const { return current().kind == KRVK_TOKEN_END; }
  void advance() {
    if (!at_end()) ++cursor_;
  }
  // Consumes the punctuator when it is the current token.
  bool accept(std::string_view text) {
    if (!is_punct(text)) return false;
    advance();
    return true;
  }
  krvk_token take_word(const char* what);
  [[noreturn]] void fail(const std::string& message) const;
  [[noreturn]] void fail_expected(const std::string& what) const;

  void prescan_struct_names();
  void parse_declaration();
  krvk_type_syntax parse_type();
  krvk_struct_decl parse_struct();
  krvk_var_decl parse_const();
  krvk_func_decl parse_function(bool is_inline);
  void parse_parameters(krvk_func_decl& function);
  void parse_reduce_clause(krvk_func_decl& function);
  uint8_t parse_reduction();

  krvk_stmt_ptr parse_block();
  krvk_stmt_ptr parse_statement();
  krvk_stmt_ptr begin_statement(uint32_t kind);
  krvk_stmt_ptr parse_if();
  krvk_stmt_ptr parse_for();
  krvk_stmt_ptr parse_simple_statement();
  krvk_stmt_ptr parse_declaration_statement();
  krvk_expr_ptr parse_parenthesised_condition();
  krvk_stmt_ptr new_statement(uint32_t kind, const krvk_token& position);
  krvk_stmt_ptr alloc_stmt_node();

  krvk_expr_ptr parse_list();
  krvk_expr_ptr parse_list_or_conditional();
  krvk_expr_ptr parse_conditional();
  krvk_expr_ptr parse_binary(int32_t min_precedence);
  krvk_expr_ptr parse_unary();
  krvk_expr_ptr parse_sizeof();
  krvk_expr_ptr parse_postfix();
  krvk_expr_ptr parse_primary();
  krvk_expr_ptr parse_call();
  void refuse_c_style_cast() const;
  krvk_expr_ptr new_expression(uint32_t kind, const krvk_token& position);

  // Counts one level of nesting for its lifetime; throws at the current token past the limit.
  class nesting_guard {
   public:
    explicit nesting_guard(krvk_parser& parser, uint32_t levels = 1);
    ~nesting_guard() { parser_.depth_ -= levels_; }
    void add_level();
    nesting_guard(const nesting_guard&) = delete;
    nesting_guard& operator=(const nesting_guard&) = delete;

   private:
    krvk_parser& parser_;
    uint32_t levels_ = 0;
  };

  const krvk_source_map* map_;
  const std::vector<krvk_token>* tokens_;
  size_t cursor_ = 0;  // index of the current token; never past the end token
  std::set<std::string, std::less<>> struct_names_;  // every word after `struct` / `cstruct`
  size_t main_first_token_;  // declarations starting before this index come from imported sources
  uint32_t depth_ = 0;  // current nesting, bounded by krvk_max_nesting
};
