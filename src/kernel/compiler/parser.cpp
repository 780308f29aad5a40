#include "kernel/compiler/parser.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "kernel/compiler/types.h"

namespace {

constexpr const char* kAssignmentOperators[] = {"=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<=", ">>="};

bool is_scalar_type_name(std::string_view word) { return krvk_prim_from_name(word) != KRVK_NO_TYPE; }

bool is_vector_type_name(std::string_view word) {
  uint8_t scalar = 0;
  uint8_t lanes = 0;
  return krvk_parse_vector_type(word, scalar, lanes);
}

bool is_assignment_operator(const krvk_token& token) {
  return std::any_of(std::begin(kAssignmentOperators), std::end(kAssignmentOperators),
                     [&](const char* op) { return token.is_punct(op); });
}

bool is_increment(const krvk_token& token) { return token.is_punct("++") || token.is_punct("--"); }

bool is_prefix_operator(const krvk_token& token) {
  return token.kind == KRVK_TOKEN_PUNCT && token.text.size() == 1 &&
         std::string_view("-!~*&+").find(token.text[0]) != std::string_view::npos;
}

}  // namespace

std::string krvk_describe_token(const krvk_token& token) {
  if (token.kind == KRVK_TOKEN_END) return "the end of the kernel source";
  return "'" + token.text + "'";
}

int32_t krvk_binary_precedence(const krvk_token& token) {
  struct entry {
    const char* op;
    int32_t precedence;
  };
  // Higher binds tighter. Compared byte-wise: this runs after every operand of every expression.
  static constexpr entry table[] = {
      {"||", 1}, {"&&", 2}, {"|", 3},  {"^", 4},  {"&", 5},  {"==", 6}, {"!=", 6}, {"<", 7},  {"<=", 7},
      {">", 7},  {">=", 7}, {"<<", 8}, {">>", 8}, {"+", 9},  {"-", 9},  {"*", 10}, {"/", 10}, {"%", 10},
  };
  if (token.kind != KRVK_TOKEN_PUNCT || token.text.empty() || token.text.size() > 2) return 0;
  const char first = token.text[0];
  const char second = token.text.size() > 1 ? token.text[1] : '\0';
  for (const entry& e : table) {
    if (e.op[0] == first && e.op[1] == second) return e.precedence;
  }
  return 0;
}

krvk_parser::nesting_guard::nesting_guard(krvk_parser& parser, uint32_t levels) : parser_(parser) {
  for (uint32_t i = 0; i < levels; ++i) add_level();
}

void krvk_parser::nesting_guard::add_level() {
  if (parser_.depth_ >= krvk_max_nesting) {
    parser_.fail("kernel code is nested too deeply");
  }
  ++parser_.depth_;
  ++levels_;
}

krvk_parser::krvk_parser(const krvk_source_map& map, const std::vector<krvk_token>& tokens,
                         size_t main_first_token)
    : map_(&map), tokens_(&tokens), main_first_token_(main_first_token) {}

// ---- token access ----

const krvk_token& krvk_parser::token_at(size_t index) const {
  return (*tokens_)[std::min(index, tokens_->size() - 1)];
}

void krvk_parser::fail(const std::string& message) const { krvk_throw_error(*map_, current(), message); }

void krvk_parser::fail_expected(const std::string& what) const {
  fail("expected " + what + " but found " + krvk_describe_token(current()));
}

// Takes a word naming something (`what` is e.g. "a field name").
krvk_token krvk_parser::take_word(const char* what) {
  if (current().kind != KRVK_TOKEN_WORD) fail_expected(what);
  krvk_token word = current();
  advance();
  return word;
}

bool krvk_parser::is_type_word(const krvk_token& token) const {
  return token.kind == KRVK_TOKEN_WORD && (is_scalar_type_name(token.text) || is_vector_type_name(token.text) ||
                                           struct_names_.contains(token.text));
}

bool krvk_parser::is_type_start() const { return is_type_start_at(cursor_); }

// A scalar type name or `const` always starts a declaration; a vector or struct name only when a word or
// '*' follows, since `f32x4(...)` and `S(...)` are calls.
bool krvk_parser::is_type_start_at(size_t index) const {
  const krvk_token& token = token_at(index);
  const krvk_token& next = token_at(index + 1);
  if (token.kind != KRVK_TOKEN_WORD) return false;
  if (token.text == "const" || is_scalar_type_name(token.text)) return true;
  if (!is_vector_type_name(token.text) && !struct_names_.contains(token.text)) return false;
  return next.kind == KRVK_TOKEN_WORD || next.is_punct("*");
}

// ---- declarations ----

void krvk_parser::parse_unit() {
  prescan_struct_names();
  while (!at_end()) {
    if (is_punct(";")) {
      advance();
      continue;
    }
    parse_declaration();
  }
}

void krvk_parser::prescan_struct_names() {
  const std::vector<krvk_token>& tokens = *tokens_;
  for (size_t i = 0; i + 1 < tokens.size(); ++i) {
    if ((tokens[i].is_word("struct") || tokens[i].is_word("cstruct")) && tokens[i + 1].kind == KRVK_TOKEN_WORD) {
      struct_names_.insert(tokens[i + 1].text);
    }
  }
}

void krvk_parser::parse_declaration() {
  bool after_kernel = current().is_word("kernel");
  if (after_kernel) advance();
  const krvk_token& token = current();
  if (token.is_word("struct") || token.is_word("cstruct")) {
    unit.declaration_order.push_back({KRVK_DECL_STRUCT, unit.structs.size()});
    unit.structs.push_back(parse_struct());
  } else if (token.is_word("const")) {
    unit.declaration_order.push_back({KRVK_DECL_CONST, unit.constants.size()});
    unit.constants.push_back(parse_const());
  } else if (token.is_word("inline") || is_type_word(token)) {
    bool is_inline = token.is_word("inline");
    if (is_inline) advance();
    unit.declaration_order.push_back({KRVK_DECL_FUNCTION, unit.functions.size()});
    unit.functions.push_back(parse_function(is_inline));
  } else {
    fail("expected a kernel declaration ('kernel void name(...) { }', 'kernel inline', 'kernel struct' or "
         "'kernel const') but found " +
         krvk_describe_token(token) + (after_kernel ? "" : " (kernel source only contains kernel declarations)"));
  }
}

krvk_type_syntax krvk_parser::parse_type() {
  krvk_type_syntax type;
  type.position = current();
  if (current().is_word("const")) {
    type.is_const = 1;
    advance();
  }
  if (!is_type_word(current())) {
    fail_expected("a type (bool, i8, u8, i16, u16, i32, u32, i64, u64, f32, f64, a vector type like f32x4 or a "
                  "kernel struct)");
  }
  type.name = current().text;
  advance();
  if (is_punct("*")) {
    type.is_pointer = 1;
    advance();
    if (is_punct("*")) fail("pointers to pointers are not supported in kernels");
  }
  if (type.is_const && !type.is_pointer) {
    krvk_throw_error(*map_, type.position,
                     "'const' is only allowed for pointer types ('const u8* p'); use 'kernel const' for constants");
  }
  return type;
}

krvk_struct_decl krvk_parser::parse_struct() {
  advance();  // `struct` or `cstruct`: the same declaration
  krvk_struct_decl decl;
  decl.name = take_word("a struct name");
  expect("{");
  while (!is_punct("}")) {
    if (at_end()) fail("missing '}' at the end of struct '" + decl.name.text + "'");
    krvk_type_syntax type = parse_type();
    do {
      krvk_var_decl& field = decl.fields.emplace_back();
      field.type = type;
      field.name = take_word("a field name");
      if (is_punct("[")) {
        advance();
        field.value = parse_conditional();
        expect("]");
      }
    } while (accept(","));
    expect(";");
  }
  advance();
  if (is_punct(";")) advance();
  return decl;
}

krvk_var_decl krvk_parser::parse_const() {
  advance();  // `const`
  krvk_var_decl decl;
  decl.type = parse_type();
  decl.name = take_word("a constant name");
  expect("=");
  decl.value = parse_conditional();
  expect(";");
  return decl;
}

krvk_func_decl krvk_parser::parse_function(bool is_inline) {
  krvk_func_decl function;
  function.is_inline = is_inline ? 1 : 0;
  function.from_import = cursor_ < main_first_token_ ? 1 : 0;
  function.return_type = parse_type();
  function.name = take_word("a kernel name");
  parse_parameters(function);
  if (current().is_word("reduce")) parse_reduce_clause(function);
  if (!is_punct("{")) fail_expected("'{' (the kernel body)");
  function.body = parse_block();
  return function;
}

void krvk_parser::parse_parameters(krvk_func_decl& function) {
  expect("(");
  bool none = is_punct(")") || (current().is_word("void") && token_at(cursor_ + 1).is_punct(")"));
  if (none && !is_punct(")")) advance();  // the `void` of `(void)`
  if (!none) {
    do {
      krvk_param_decl& param = function.parameters.emplace_back();
      param.type = parse_type();
      param.name = take_word("a parameter name");
    } while (accept(","));
  }
  expect(")");
}

// `reduce(op)` or the per-field form `reduce(field: op, ...)`, chosen when a word is followed by ':'.
void krvk_parser::parse_reduce_clause(krvk_func_decl& function) {
  function.reduce_position = current();
  advance();
  expect("(");
  if (current().kind == KRVK_TOKEN_WORD && token_at(cursor_ + 1).is_punct(":")) {
    do {
      krvk_field_reduce& entry = function.field_reductions.emplace_back();
      entry.field = take_word("a field name");
      expect(":");
      entry.op = parse_reduction();
    } while (accept(","));
    function.reduction = function.field_reductions.front().op;
  } else {
    function.reduction = parse_reduction();
  }
  expect(")");
}

uint8_t krvk_parser::parse_reduction() {
  const krvk_token& token = current();
  uint8_t op = token.is_punct("+")     ? KRVK_REDUCE_ADD
               : token.is_word("min") ? KRVK_REDUCE_MIN
               : token.is_word("max") ? KRVK_REDUCE_MAX
               : token.is_punct("&")  ? KRVK_REDUCE_AND
               : token.is_punct("|")  ? KRVK_REDUCE_OR
               : token.is_punct("^")  ? KRVK_REDUCE_XOR
                                      : KRVK_REDUCE_NONE;
  if (op == KRVK_REDUCE_NONE) fail_expected("a reduction operator (+, min, max, &, |, ^)");
  advance();
  return op;
}

// ---- statements ----

krvk_stmt_ptr krvk_parser::alloc_stmt_node() { return unit.arena->make<krvk_stmt_node>(); }

krvk_stmt_ptr krvk_parser::new_statement(uint32_t kind, const krvk_token& position) {
  krvk_stmt_ptr node = alloc_stmt_node();
  node->kind = kind;
  node->position = position;
  return node;
}

krvk_stmt_ptr krvk_parser::parse_block() {
  nesting_guard level(*this);
  krvk_stmt_ptr block = new_statement(KRVK_STMT_BLOCK, current());
  expect("{");
  while (!is_punct("}")) {
    if (at_end()) krvk_throw_error(*map_, block->position, "missing '}' for this block");
    // A lone ';' does nothing: it gets no node, so a run of them costs no more than its tokens.
    if (accept(";")) continue;
    block->statements.push_back(parse_statement());
  }
  advance();
  return block;
}

// A statement node at the current token, which it consumes (the keyword, or the lone ';').
krvk_stmt_ptr krvk_parser::begin_statement(uint32_t kind) {
  krvk_stmt_ptr node = new_statement(kind, current());
  advance();
  return node;
}

krvk_stmt_ptr krvk_parser::parse_statement() {
  nesting_guard level(*this);
  const krvk_token& start = current();
  if (start.is_punct("{")) return parse_block();
  if (start.is_punct(";")) return begin_statement(KRVK_STMT_EMPTY);
  if (start.is_word("else")) fail("'else' without 'if'");
  if (start.is_word("if")) return parse_if();
  if (start.is_word("for")) return parse_for();
  if (start.is_word("while")) {
    krvk_stmt_ptr node = begin_statement(KRVK_STMT_WHILE);
    node->expr1 = parse_parenthesised_condition();
    node->stmt3 = parse_statement();
    return node;
  }
  if (start.is_word("break") || start.is_word("continue")) {
    krvk_stmt_ptr node = begin_statement(start.is_word("break") ? KRVK_STMT_BREAK : KRVK_STMT_CONTINUE);
    expect(";");
    return node;
  }
  if (start.is_word("return")) {
    krvk_stmt_ptr node = begin_statement(KRVK_STMT_RETURN);
    if (!is_punct(";")) node->expr1 = parse_list_or_conditional();
    expect(";");
    return node;
  }
  if (start.is_word("unchecked")) {
    krvk_stmt_ptr node = begin_statement(KRVK_STMT_UNCHECKED);
    node->stmt1 = parse_statement();
    return node;
  }
  krvk_stmt_ptr node = parse_simple_statement();
  expect(";");
  return node;
}

krvk_stmt_ptr krvk_parser::parse_if() {
  krvk_stmt_ptr node = begin_statement(KRVK_STMT_IF);
  node->expr1 = parse_parenthesised_condition();
  node->stmt1 = parse_statement();
  if (current().is_word("else")) {
    advance();
    node->stmt2 = parse_statement();
  }
  return node;
}

// for (init; condition; step) body, each of the three parts optional.
krvk_stmt_ptr krvk_parser::parse_for() {
  krvk_stmt_ptr node = begin_statement(KRVK_STMT_FOR);
  expect("(");
  if (!is_punct(";")) node->stmt1 = parse_simple_statement();
  expect(";");
  if (!is_punct(";")) node->expr1 = parse_conditional();
  expect(";");
  if (!is_punct(")")) node->stmt2 = parse_simple_statement();
  expect(")");
  node->stmt3 = parse_statement();
  return node;
}

// The "(" condition ")" of `if` and `while`.
krvk_expr_ptr krvk_parser::parse_parenthesised_condition() {
  expect("(");
  krvk_expr_ptr condition = parse_conditional();
  expect(")");
  return condition;
}

// A declaration, an assignment, an increment or an expression: what may also stand in a `for` header.
krvk_stmt_ptr krvk_parser::parse_simple_statement() {
  if (is_type_start()) return parse_declaration_statement();
  const krvk_token& start = current();
  if (is_increment(start)) {
    krvk_stmt_ptr node = new_statement(KRVK_STMT_INCREMENT, start);
    node->op = start.text;
    advance();
    node->expr1 = parse_unary();
    return node;
  }
  krvk_expr_ptr expression = parse_conditional();
  const krvk_token& after = current();
  krvk_stmt_ptr node;
  if (is_assignment_operator(after)) {
    node = new_statement(KRVK_STMT_ASSIGN, after);
    node->op = after.text;
    advance();
    node->expr2 = parse_conditional();
  } else if (is_increment(after)) {
    node = new_statement(KRVK_STMT_INCREMENT, after);
    node->op = after.text;
    advance();
  } else {
    node = new_statement(KRVK_STMT_EXPRESSION, start);
  }
  node->expr1 = std::move(expression);
  return node;
}

krvk_stmt_ptr krvk_parser::parse_declaration_statement() {
  krvk_stmt_ptr node = new_statement(KRVK_STMT_DECLARATION, current());
  node->declaration = unit.arena->make<krvk_declaration_syntax>();
  krvk_declaration_syntax& declaration = *node->declaration;
  declaration.type = parse_type();
  do {
    krvk_declarator& declarator = declaration.declarators.emplace_back();
    declarator.name = take_word("a variable name");
    krvk_expr_ptr& array_size = declaration.array_sizes.emplace_back();
    if (is_punct("[")) {
      advance();
      array_size = parse_conditional();
      expect("]");
    }
    if (is_punct("=")) {
      advance();
      declarator.initialiser = parse_list_or_conditional();
    }
  } while (accept(","));
  return node;
}

// ---- expressions ----

krvk_expr_ptr krvk_parser::new_expression(uint32_t kind, const krvk_token& position) {
  krvk_expr_ptr node = unit.arena->make<krvk_expr_node>();
  node->kind = kind;
  node->position = position;
  return node;
}

krvk_expr_ptr krvk_parser::parse_list_or_conditional() { return is_punct("{") ? parse_list() : parse_conditional(); }

krvk_expr_ptr krvk_parser::parse_list() {
  nesting_guard level(*this);
  krvk_expr_ptr list = new_expression(KRVK_EXPR_LIST, current());
  advance();  // '{'
  while (!is_punct("}")) {
    list->operands.push_back(parse_list_or_conditional());
    if (!accept(",")) break;
  }
  expect("}");
  return list;
}

krvk_expr_ptr krvk_parser::parse_conditional() {
  nesting_guard level(*this);
  krvk_expr_ptr condition = parse_binary(1);
  if (!is_punct("?")) return condition;
  krvk_expr_ptr node = new_expression(KRVK_EXPR_CONDITIONAL, current());
  advance();
  node->operands.push_back(std::move(condition));
  node->operands.push_back(parse_conditional());
  expect(":");
  node->operands.push_back(parse_conditional());
  return node;
}

// Precedence climbing; every operator is left-associative. Each operator of a chain makes the tree one
// level deeper, so the chain counts towards the nesting bound.
krvk_expr_ptr krvk_parser::parse_binary(int32_t min_precedence) {
  nesting_guard level(*this, 0);
  krvk_expr_ptr left = parse_unary();
  for (int32_t precedence; (precedence = krvk_binary_precedence(current())) >= min_precedence && precedence > 0;) {
    level.add_level();
    krvk_expr_ptr node = new_expression(KRVK_EXPR_BINARY, current());
    node->op = current().text;
    advance();
    node->operands.push_back(std::move(left));
    node->operands.push_back(parse_binary(precedence + 1));
    left = std::move(node);
  }
  return left;
}

krvk_expr_ptr krvk_parser::parse_unary() {
  nesting_guard level(*this);
  const krvk_token& token = current();
  if (is_prefix_operator(token)) {
    krvk_expr_ptr node = new_expression(KRVK_EXPR_UNARY, token);
    node->op = token.text;
    advance();
    node->operands.push_back(parse_unary());
    return node;
  }
  if (is_increment(token)) {
    fail("'" + token.text + "' is only allowed as a statement ('i++;'), not inside an expression");
  }
  if (token.is_word("sizeof")) return parse_sizeof();
  return parse_postfix();
}

krvk_expr_ptr krvk_parser::parse_sizeof() {
  krvk_expr_ptr node = new_expression(KRVK_EXPR_SIZEOF, current());
  advance();
  expect("(");
  if (!is_type_word(current())) fail("sizeof expects a type");
  node->name = current().text;
  advance();
  expect(")");
  return node;
}

krvk_expr_ptr krvk_parser::parse_postfix() {
  nesting_guard level(*this, 0);
  krvk_expr_ptr value = parse_primary();
  while (true) {
    const krvk_token& token = current();
    if (token.is_punct("(")) fail("only named functions can be called");
    krvk_expr_ptr node;
    if (token.is_punct("[")) {
      node = new_expression(KRVK_EXPR_INDEX, token);
      advance();
      node->operands.push_back(std::move(value));
      node->operands.push_back(parse_conditional());
      expect("]");
    } else if (token.is_punct(".") || token.is_punct("->")) {
      node = new_expression(token.is_punct(".") ? KRVK_EXPR_FIELD : KRVK_EXPR_ARROW, token);
      advance();
      node->name = take_word("a field name").text;
      node->operands.push_back(std::move(value));
    } else {
      return value;
    }
    level.add_level();
    value = std::move(node);
  }
}

krvk_expr_ptr krvk_parser::parse_primary() {
  const krvk_token& token = current();
  if (token.kind == KRVK_TOKEN_INT || token.kind == KRVK_TOKEN_FLOAT) {
    krvk_expr_ptr node = new_expression(token.kind == KRVK_TOKEN_INT ? KRVK_EXPR_INT : KRVK_EXPR_FLOAT, token);
    advance();
    return node;
  }
  if (token.kind == KRVK_TOKEN_WORD) {
    if (token_at(cursor_ + 1).is_punct("(")) return parse_call();
    bool is_bool = token.text == "true" || token.text == "false";
    krvk_expr_ptr node = new_expression(is_bool ? KRVK_EXPR_BOOL : KRVK_EXPR_NAME, token);
    node->name = token.text;
    advance();
    return node;
  }
  if (token.is_punct("(")) {
    refuse_c_style_cast();
    advance();
    krvk_expr_ptr inner = parse_conditional();
    expect(")");
    return inner;
  }
  fail_expected("an expression");
}

krvk_expr_ptr krvk_parser::parse_call() {
  krvk_expr_ptr call = new_expression(KRVK_EXPR_CALL, current());
  call->name = current().text;
  advance();
  advance();  // '('
  if (!accept(")")) {
    do {
      call->operands.push_back(parse_conditional());
    } while (accept(","));
    expect(")");
  }
  return call;
}

// At a '(': `(f32)x` and `(S*)p` are C-style casts, which the language spells `f32(x)`. A parenthesised
// vector or struct name alone, `(v)`, is an ordinary parenthesised value.
void krvk_parser::refuse_c_style_cast() const {
  const krvk_token& type_word = token_at(cursor_ + 1);
  const krvk_token& after = token_at(cursor_ + 2);
  if (is_type_start_at(cursor_ + 1) && !type_word.is_word("const") && (after.is_punct(")") || after.is_punct("*"))) {
    krvk_throw_error(*map_, type_word, "C style casts are not supported, write " + type_word.text + "(value)");
  }
}
