// Syntax tree of the kernel language, as the parser builds it and the checker walks it once.
//
// The tree records syntax only: names, types and meaning are the checker's. Every record keeps a copy of
// the token it starts at, which is both its source position for diagnostics and, for literals, its value.
// Nodes own their children uniquely, so destroying the syntax unit frees the whole tree; the parser bounds
// the nesting depth, so recursive walks and destruction stay within the stack.
//
// Nodes are placed in the unit's node arena: one compilation's nodes sit together in a few large blocks,
// which keeps walks over the tree cache-friendly and turns freeing the tree into one release per block.
// A node pointer runs its node's destructor but leaves the memory to the arena, so nodes must not be
// moved out of the unit that holds their arena.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "kernel/compiler/token.h"

// Destroys a node in place; its memory belongs to the arena.
struct krvk_node_deleter {
  template <class T>
  void operator()(T* node) const {
    node->~T();
  }
};

template <class T>
using krvk_node_ptr = std::unique_ptr<T, krvk_node_deleter>;

// Bump allocator of syntax nodes; frees its blocks when destroyed, after the nodes in them.
class krvk_node_arena {
 public:
  krvk_node_arena() = default;
  krvk_node_arena(const krvk_node_arena&) = delete;
  krvk_node_arena& operator=(const krvk_node_arena&) = delete;

  // A value-initialised node.
  template <class T>
  krvk_node_ptr<T> make() {
    return krvk_node_ptr<T>(new (allocate(sizeof(T), alignof(T))) T());
  }

 private:
  void* allocate(size_t size, size_t align);

  static constexpr size_t block_size = 64 * 1024;
  std::vector<std::unique_ptr<std::byte[]>> blocks_;
  std::byte* next_ = nullptr;  // free space of the newest block
  size_t left_ = 0;  // bytes left after next_
};

// A written type: [const] name [*].
struct krvk_type_syntax {
  uint32_t is_const = 0;  // the type began with `const`
  std::string name;  // a scalar name, a vector type name or a struct name
  uint8_t is_pointer = 0;  // one '*' followed the name
  krvk_token position;  // the type's first token
};

enum krvk_expr_kind : uint32_t {
  KRVK_EXPR_INT = 0,  // position: the literal token
  KRVK_EXPR_FLOAT = 1,  // position: the literal token
  KRVK_EXPR_BOOL = 2,  // name "true" or "false"
  KRVK_EXPR_NAME = 3,  // name
  KRVK_EXPR_UNARY = 4,  // op "-", "+", "!", "~", "*" or "&"; operands [operand]
  KRVK_EXPR_BINARY = 5,  // op of the precedence table; operands [left, right]
  KRVK_EXPR_CONDITIONAL = 6,  // at the '?'; operands [condition, first, second]
  KRVK_EXPR_CALL = 7,  // name; operands = arguments (conversions and vector constructors too)
  KRVK_EXPR_INDEX = 8,  // at the '['; operands [value, index]
  KRVK_EXPR_FIELD = 9,  // at the '.'; name = field; operands [value]
  KRVK_EXPR_ARROW = 10,  // at the '->'; name = field; operands [value]
  KRVK_EXPR_SIZEOF = 11,  // name = the type's name
  KRVK_EXPR_LIST = 12,  // at the '{'; operands = elements, lists nest
};

struct krvk_expr_node {
  uint32_t kind = KRVK_EXPR_INT;  // a krvk_expr_kind
  krvk_token position;
  std::string name;
  std::string op;
  std::vector<krvk_node_ptr<krvk_expr_node>> operands;
};

using krvk_expr_ptr = krvk_node_ptr<krvk_expr_node>;

// One variable of a declaration statement.
struct krvk_declarator {
  krvk_token name;
  krvk_expr_ptr initialiser;  // null when absent; a list expression when it began with '{'
};

// What a declaration statement declares: kept apart from the statement node, which every statement
// has, so that the other statements do not carry a type and two vectors each.
struct krvk_declaration_syntax {
  krvk_type_syntax type;
  std::vector<krvk_declarator> declarators;
  std::vector<krvk_node_ptr<krvk_expr_node>> array_sizes;  // parallel to declarators; null for a scalar variable
};

enum krvk_stmt_kind : uint32_t {
  KRVK_STMT_BLOCK = 0,  // at the '{'; statements
  KRVK_STMT_DECLARATION = 1,  // declaration
  KRVK_STMT_ASSIGN = 2,  // at the operator; op, expr1 = target, expr2 = value
  KRVK_STMT_INCREMENT = 3,  // at the operator; op "++" or "--", expr1 = target
  KRVK_STMT_EXPRESSION = 4,  // expr1
  KRVK_STMT_IF = 5,  // expr1 = condition, stmt1 = then, stmt2 = else
  KRVK_STMT_FOR = 6,  // stmt1 = init, expr1 = condition, stmt2 = step (each optional), stmt3 = body
  KRVK_STMT_WHILE = 7,  // expr1 = condition, stmt3 = body
  KRVK_STMT_BREAK = 8,
  KRVK_STMT_CONTINUE = 9,
  KRVK_STMT_RETURN = 10,  // expr1 = value (null for a bare return)
  KRVK_STMT_UNCHECKED = 11,  // stmt1 = body
  KRVK_STMT_EMPTY = 12,  // a lone ';' where a statement is required (a block drops its own)
};

struct krvk_stmt_node {
  uint32_t kind = KRVK_STMT_EMPTY;  // a krvk_stmt_kind
  krvk_token position;
  std::vector<krvk_node_ptr<krvk_stmt_node>> statements;  // of a block
  krvk_node_ptr<krvk_declaration_syntax> declaration;  // of a declaration statement only
  std::string op;
  krvk_expr_ptr expr1;
  krvk_expr_ptr expr2;
  krvk_node_ptr<krvk_stmt_node> stmt1;
  krvk_node_ptr<krvk_stmt_node> stmt2;
  krvk_node_ptr<krvk_stmt_node> stmt3;
};

using krvk_stmt_ptr = krvk_node_ptr<krvk_stmt_node>;

// A struct field or a kernel constant.
struct krvk_var_decl {
  krvk_type_syntax type;
  krvk_token name;
  krvk_expr_ptr value;  // a field's array size (null when no array), or a constant's initialiser
};

// `struct` and `cstruct` declarations give the same record.
struct krvk_struct_decl {
  krvk_token name;
  std::vector<krvk_var_decl> fields;  // in declaration order
};

struct krvk_param_decl {
  krvk_type_syntax type;
  krvk_token name;
};

// One entry of the per-field form `reduce(sum: +, m: max)`.
struct krvk_field_reduce {
  krvk_token field;
  uint8_t op = 0;  // a krvk_reduce_op code
};

struct krvk_func_decl {
  krvk_token name;
  krvk_type_syntax return_type;
  std::vector<krvk_param_decl> parameters;
  krvk_stmt_ptr body;  // a block
  uint8_t is_inline = 0;  // an inline helper; 0 for an entry kernel
  uint8_t from_import = 0;  // declared in an imported source (before the main source's first token)
  uint8_t reduction = 0;  // krvk_reduce_op of the clause; in the per-field form the first entry's
  krvk_token reduce_position;  // the `reduce` word; an all-zero token without a clause
  std::vector<krvk_field_reduce> field_reductions;  // the per-field form's entries; else empty
};

enum krvk_decl_kind : uint32_t {
  KRVK_DECL_STRUCT = 0,
  KRVK_DECL_CONST = 1,
  KRVK_DECL_FUNCTION = 2,
};

struct krvk_decl_ref {
  uint32_t kind = KRVK_DECL_STRUCT;  // a krvk_decl_kind: which vector `index` points into
  uint64_t index = 0;
};

// The parse result of one compilation.
struct krvk_syntax_unit {
  // Holds every node of the tree; declared first so that it is destroyed after them.
  std::unique_ptr<krvk_node_arena> arena = std::make_unique<krvk_node_arena>();
  std::vector<krvk_decl_ref> declaration_order;  // every declaration in source order
  std::vector<krvk_struct_decl> structs;
  std::vector<krvk_var_decl> constants;
  std::vector<krvk_func_decl> functions;  // entry kernels and inline helpers
};
