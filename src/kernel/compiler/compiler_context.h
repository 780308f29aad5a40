// The kernel checker: one context that walks the syntax tree of a compilation once, type-checks it and
// emits bytecode in the same pass (there is no typed tree in between).
//
// The context's methods are split by concern over several files: declarations and struct layout,
// constant folding, conversions, expressions, memory access, operators, pointer arithmetic, vectors,
// statements, conditions, local variables, assignments, built-in calls, inline helpers, entry kernels
// and the back end. Every fault is a `kerror` thrown at a source position; the compile driver catches
// the first one and the unit under construction is dropped.
//
// Invariants while a function is emitted:
// * registers 0..6 are gid, gsize, acc, gid_x, gid_y, gsize_x, gsize_y; the next register starts at 7
//   and never reaches 32767; operands from 32768 up name constant-pool entries (at most 28,672);
// * every emitted instruction carries the line and file of the innermost expression or statement being
//   compiled (`current_`);
// * frame bytes in use never exceed 1 MiB; sibling scopes reuse the same bytes;
// * the unit's struct list never reallocates while the checker runs (room is reserved up front), so
//   references to struct records stay valid.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kernel/compiler/back_end.h"
#include "kernel/compiler/diagnostics.h"
#include "kernel/compiler/expression_value.h"
#include "kernel/compiler/program.h"
#include "kernel/compiler/syntax_tree.h"

// A parameter or local variable of the function being compiled.
struct krvk_local {
  std::string name;
  krvk_type type;
  uint8_t is_parameter = 0;  // kernel parameters are read-only
  uint8_t in_frame = 0;  // arrays and struct values live in the frame
  uint16_t reg = krvk_no_operand;  // scalar: its register; pointer: the element-offset register (or none)
  uint16_t slot = 0;  // pointer: its pointer slot
  uint32_t frame_offset = 0;
  uint32_t array_count = 0;  // 0: not an array
  uint32_t element_size = 0;
};

struct krvk_pool_entry {
  uint16_t reg = 0;  // stays 0 until the back end places the pool behind the registers
  uint8_t prim = KRVK_VOID;
  uint64_t bits = 0;
};

struct krvk_pending_jump {
  uint64_t instruction = 0;
  uint32_t label = 0;
};

struct krvk_loop_labels {
  uint32_t break_label = 0;
  uint32_t continue_label = 0;
};

// What a pointer slot of the current function is: the parameter that owns it and its element size.
struct krvk_slot_info {
  std::string owner;  // parameter name, for messages
  uint32_t element_size = 0;  // the slot's stride
};

// How one memory access is encoded: the load variant (a store adds 5) and the b, c and x operands.
struct krvk_memory_access {
  uint16_t variant = 0;
  uint16_t b = 0;  // pointer slot, or the address register of the raw form
  uint16_t c = 0;  // index operand (unused by the raw form)
  uint64_t x = 0;  // element offset or byte offset
};

// The function whose body is being compiled: an entry kernel or an expanded helper.
struct krvk_function_state {
  uint8_t is_entry = 0;
  krvk_type return_type;
  uint8_t reduction = KRVK_REDUCE_NONE;  // entry kernels: the whole-result operator
  uint16_t result_reg = krvk_no_operand;  // helpers with a scalar result
  krvk_value result_storage;  // helpers with a struct result: frame storage
  uint32_t exit_label = 0;  // helpers: where every return jumps
};

class krvk_compiler {
 public:
  krvk_compiler(const krvk_source_map& map, const krvk_syntax_unit& syntax, krvk_compiled_unit& unit,
                const krvk_back_end_passes& passes = krvk_default_back_end_passes());
  krvk_compiler(const krvk_compiler&) = delete;
  krvk_compiler& operator=(const krvk_compiler&) = delete;

  void compile_unit();

 private:
  friend class krvk_node_scope;

  // ---- context: diagnostics, registers, constants, emission, labels, scopes, frame ----
  [[noreturn]] void error(const krvk_token& at, const std::string& message) const;
  [[noreturn]] void error_here(const std::string& message) const;
  std::string describe_value(const krvk_value& value) const;
  std::string type_text(const krvk_type& type) const;
  std::string prim_text(uint8_t prim, int32_t struct_index = -1) const;
  void declare_launch_builtins(krvk_program& program);
  uint16_t new_register();
  uint16_t add_constant(uint8_t prim, uint64_t bits);
  uint32_t emit(uint16_t op, uint16_t a = 0, uint16_t b = 0, uint16_t c = 0, uint64_t x = 0);
  void emit_jump_fixup(uint16_t op, uint32_t label, uint16_t a = 0, uint16_t b = 0);
  uint32_t new_label();
  void bind_label(uint32_t label);
  void drop_last_instruction();
  uint32_t code_size() const { return static_cast<uint32_t>(program_->code.size()); }
  void open_scope();
  void close_scope();
  void check_local_name(const krvk_token& name);
  const krvk_local* find_local(std::string_view name) const;
  void add_local(krvk_local local);
  uint32_t allocate_frame(uint64_t size, const krvk_token& at);
  krvk_value frame_value(const krvk_type& type, uint32_t offset, uint32_t count, uint32_t element_size);
  bool is_frame_slot(uint16_t slot) const;
  const krvk_struct& struct_at(int32_t index) const { return unit_->structs[static_cast<size_t>(index)]; }

  // ---- declarations, structs, constants ----
  void check_declaration_names();
  int32_t find_struct(std::string_view name);
  uint32_t struct_nesting(int32_t index) const;
  void declare_struct(const krvk_struct_decl& decl);
  void declare_const(const krvk_var_decl& decl);
  const krvk_kernel_constant* find_constant(std::string_view name) const;

  // ---- constant folding ----
  krvk_value compile_sandboxed(const krvk_expr_node& expr);
  krvk_value eval_const(const krvk_expr_node& expr);
  std::optional<krvk_value> constant_or_nothing(const krvk_expr_node& expr);
  uint32_t eval_array_size(const krvk_expr_node& expr, uint64_t max_count);
  uint64_t fold_with_interpreter(uint16_t op, uint64_t left, uint64_t right, uint16_t c = 2, uint64_t x = 0);

  // ---- expressions and names ----
  krvk_value compile_expression(const krvk_expr_node& expr);
  krvk_value compile_integer_literal(const krvk_token& token);
  krvk_value compile_float_literal(const krvk_token& token);
  krvk_value compile_name(const krvk_expr_node& expr);
  krvk_value compile_sizeof(const krvk_expr_node& expr);
  krvk_value compile_pointer_unary(const krvk_expr_node& expr);

  // ---- conversions ----
  krvk_value decay_literal(const krvk_value& value);
  krvk_value coerce(const krvk_value& value, const krvk_type& target);
  krvk_value convert(const krvk_value& value, uint8_t target);
  krvk_value convert_explicit(const krvk_value& value, uint8_t target);
  krvk_value load_value(const krvk_value& value);
  uint16_t value_operand(const krvk_value& value);
  krvk_value operand_value(uint16_t operand, uint8_t prim);
  void move_to_register(const krvk_value& value, uint16_t reg, const krvk_type& target);
  krvk_value coerce_literal(const krvk_value& literal, uint8_t target);

  // ---- memory access ----
  krvk_value deref(const krvk_value& pointer, uint16_t index);
  krvk_value address_of(const krvk_value& location);
  krvk_value compile_index(const krvk_expr_node& expr);
  krvk_value index_pointer(const krvk_value& base, const krvk_expr_node& index_expr);
  krvk_value index_array(const krvk_value& base, const krvk_expr_node& index_expr);
  uint16_t index_register(const krvk_value& location);
  uint16_t location_address(const krvk_value& location);
  // A whole element of a pointer parameter's slot: addressed by its index, no field offset.
  bool is_whole_element(const krvk_value& location) const;
  krvk_memory_access access_form(const krvk_value& location);
  void emit_load(const krvk_value& location, uint16_t destination);
  void emit_store(const krvk_value& location, uint16_t operand);
  krvk_value compile_field(const krvk_expr_node& expr);
  krvk_value field_location(const krvk_value& object, const krvk_field& field);
  void copy_struct(const krvk_value& destination, const krvk_value& source);
  bool is_struct_data(const krvk_value& value) const;

  // ---- operators ----
  krvk_value compile_unary(const krvk_expr_node& expr);
  krvk_value apply_unary(const std::string& op, const krvk_value& operand);
  krvk_value emit_unary(uint16_t opcode, uint8_t result, const krvk_value& operand);
  krvk_value compile_binary(const krvk_expr_node& expr);
  krvk_value compile_logical(const krvk_expr_node& expr);
  krvk_value binary_op(const std::string& op, const krvk_value& left, const krvk_value& right);
  krvk_value shift_op(const std::string& op, const krvk_value& left, const krvk_value& right);
  krvk_value arithmetic_op(const std::string& op, uint8_t type, const krvk_value& left, const krvk_value& right);
  krvk_value emit_binary(uint16_t opcode, uint8_t result, const krvk_value& left, const krvk_value& right);
  krvk_value fold_literals(const std::string& op, const krvk_value& left, const krvk_value& right);
  uint8_t common_type(const krvk_value& left, const krvk_value& right, const std::string& quoted_op);
  uint16_t arith_opcode(const std::string& op, uint8_t type);
  uint16_t compare_opcode(int kind, uint8_t type, int mode);
  krvk_value compile_conditional(const krvk_expr_node& expr);

  // ---- pointer arithmetic ----
  krvk_value pointer_binary(const std::string& op, const krvk_value& left, const krvk_value& right);
  krvk_value pointer_offset(const krvk_value& pointer, const krvk_value& offset, bool subtract);

  // ---- vectors ----
  bool is_vector(const krvk_value& value) const;
  uint8_t vector_lanes(const krvk_value& value) const;
  krvk_value vector_lane(const krvk_value& vector, uint32_t lane);
  krvk_value vector_binary(const std::string& op, const krvk_value& left, const krvk_value& right);
  krvk_value vector_unary(const std::string& op, const krvk_value& vector);
  krvk_value make_vector(std::vector<krvk_value> lanes);
  krvk_value vector_construct(const krvk_expr_node& call, uint8_t scalar, uint8_t lanes);

  // ---- statements and conditions ----
  void compile_statement(const krvk_stmt_node& stmt);
  void compile_block(const krvk_stmt_node& stmt);
  void compile_if(const krvk_stmt_node& stmt);
  void compile_loop(const krvk_stmt_node& stmt);
  void compile_jump_statement(const krvk_stmt_node& stmt);
  void compile_return(const krvk_stmt_node& stmt);
  void compile_kernel_return(const krvk_stmt_node& stmt);
  void compile_helper_return(const krvk_stmt_node& stmt);
  void compile_condition(const krvk_expr_node& expr, bool jump_when, uint32_t label);
  void compile_comparison_jump(const krvk_expr_node& expr, bool jump_when, uint32_t label);
  void jump_on_value(const krvk_value& value, bool jump_when, uint32_t label);

  // ---- local variables ----
  void compile_declaration(const krvk_stmt_node& stmt);
  krvk_type resolve_local_type(const krvk_type_syntax& syntax, uint32_t& element_size);
  void declare_variable(const krvk_stmt_node& stmt, size_t index, const krvk_type& type, uint32_t element_size);
  void init_memory(const krvk_value& destination, const krvk_expr_node& init);
  krvk_value materialise_struct(const krvk_type& type, const krvk_expr_node& expr);

  // ---- assignments ----
  void compile_assignment(const krvk_stmt_node& stmt);
  void compile_compound(const krvk_stmt_node& stmt, const std::string& op, const krvk_expr_node* rhs);
  const krvk_local* assignment_local(const krvk_expr_node& target);
  krvk_value writable_location(const krvk_expr_node& target);
  krvk_value compile_operand(const krvk_expr_node* rhs);
  void assign_pointer_variable(const krvk_local& local, const krvk_value& value);

  // ---- calls, built-ins, inline helpers ----
  krvk_value compile_call(const krvk_expr_node& call);
  void expect_arguments(const krvk_expr_node& call, size_t count);
  krvk_value compile_elementwise(const krvk_expr_node& call);
  krvk_value scalar_builtin(const krvk_expr_node& call, const std::vector<krvk_value>& args);
  krvk_value min_max(const std::string& name, const krvk_value& left, const krvk_value& right);
  krvk_value builtin_abs(const krvk_value& value);
  krvk_value float_builtin(const krvk_expr_node& call, const std::vector<krvk_value>& args);
  krvk_value vector_builtin(const krvk_expr_node& call);
  krvk_value atomic_add(const krvk_expr_node& call);
  krvk_value compile_helper_call(const krvk_expr_node& call, const krvk_func_decl& helper);
  krvk_value compile_body(const krvk_func_decl& helper, const std::vector<krvk_value>& args, const krvk_token& at);
  void check_helper(const krvk_func_decl& decl);

  // ---- entry kernels ----
  std::shared_ptr<krvk_program> compile_kernel(const krvk_func_decl& decl);
  krvk_type check_kernel_params(const krvk_param_decl& param, bool allow_struct_values, uint32_t& element_size);
  krvk_type resolve_return_type(const krvk_func_decl& decl);
  uint16_t reduce_opcode(uint8_t op, uint8_t prim);
  void check_kernel_reduction(const krvk_func_decl& decl, const krvk_type& result);
  void setup_reductions(krvk_program& program, const krvk_func_decl& decl);
  void declare_kernel_parameters(krvk_program& program, const krvk_func_decl& decl);

  // ---- back end ----
  void finish_function();

  const krvk_source_map* map_;
  const krvk_syntax_unit* syntax_;
  krvk_compiled_unit* unit_;
  const krvk_back_end_passes* passes_;
  std::map<std::string, const krvk_func_decl*, std::less<>> functions_;  // every function of the source

  krvk_program* program_ = nullptr;  // receives emitted code; a throwaway record for constants and helper checks
  std::vector<krvk_pool_entry> pool_;  // constants of the current function in first-use order
  std::map<std::pair<uint8_t, uint64_t>, uint16_t> constant_map_;  // (prim, bits) -> operand
  std::vector<int64_t> labels_;  // code index of each label, -1 while unbound
  std::vector<krvk_pending_jump> pending_jumps_;
  uint16_t high_water_ = 0;  // largest register count reached
  uint16_t next_register_ = 7;
  uint16_t fixed_registers_ = 7;  // builtins, accumulators and parameters keep their numbers
  uint8_t unchecked_ = 0;  // inside unchecked { }
  const krvk_token* current_ = nullptr;  // position of emitted code and of diagnostics without a node
  uint32_t node_depth_ = 0;  // open node scopes, across helper expansions; bounded to protect the stack

  std::vector<std::vector<krvk_local>> scopes_;  // innermost last
  std::vector<uint32_t> frame_offsets_;  // frame bytes in use at each scope's entry
  uint32_t frame_in_use_ = 0;
  size_t base_scope_ = 0;  // first scope the current body may see (below: the caller of an expansion)
  std::vector<krvk_loop_labels> loops_;
  std::vector<const krvk_func_decl*> call_stack_;  // functions being expanded, innermost last
  uint32_t expansions_ = 0;  // inline expansions of the current function, bounded
  krvk_function_state function_;
  std::vector<krvk_slot_info> slots_;  // pointer slots of the current function, by slot number
  std::vector<uint32_t> struct_nesting_;  // by struct index: 1 + the deepest struct field's nesting
  uint16_t frame_slot_ = 0;

  // Reused by every fold, so folding allocates no program per operation.
  std::unique_ptr<krvk_program> fold_program_;
  // Whether an expression is a constant, and its value, by node, for the function being compiled. Within
  // one function the answer does not depend on where the node is compiled (locals and helper parameters
  // are never constants), and remembering it keeps a condition nested in conditions from being tried
  // again at every level, which would double the work per level.
  std::unordered_map<const krvk_expr_node*, std::optional<krvk_value>> known_constants_;
};

// Deepest nesting of node scopes the checker accepts. The parser bounds each function's nesting, but
// inline expansion stacks helper bodies on top of each other, so the checker's recursion needs a bound
// of its own; this one stays well within a default thread stack even in sanitizer builds.
inline constexpr uint32_t krvk_max_checker_depth = 2000;

// Makes a node's position the current one for its lifetime, restoring the previous one afterwards. It
// also counts the checker's nesting and refuses to go deeper than krvk_max_checker_depth.
class krvk_node_scope {
 public:
  krvk_node_scope(krvk_compiler& compiler, const krvk_token& position)
      : compiler_(compiler), saved_(compiler.current_) {
    compiler.current_ = &position;
    if (compiler.node_depth_ >= krvk_max_checker_depth) compiler.error_here("kernel code is nested too deeply");
    ++compiler.node_depth_;
  }
  ~krvk_node_scope() {
    --compiler_.node_depth_;
    compiler_.current_ = saved_;
  }
  krvk_node_scope(const krvk_node_scope&) = delete;
  krvk_node_scope& operator=(const krvk_node_scope&) = delete;

 private:
  krvk_compiler& compiler_;
  const krvk_token* saved_;
};

// Comparison kind of an operator text: == 0, != 1, < 2, <= 3, > 4, >= 5; -1 for any other operator.
int krvk_compare_kind(std::string_view op);
inline bool krvk_is_comparison(std::string_view op) { return krvk_compare_kind(op) >= 0; }
