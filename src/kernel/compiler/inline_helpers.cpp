// Inline helpers. The bytecode has no calls: every call of a `kernel inline` function is expanded in
// place with its own copies of the arguments (scalars in new registers, structs in fresh frame storage,
// pointers as a new offset register on the argument's slot). The helper sees only its own parameters
// and locals, cannot break out of the caller's loops, and checks its bounds even inside the caller's
// `unchecked` block. Every helper is also expanded once on its own with placeholder arguments, so its
// faults are reported even when no kernel calls it.
#include <algorithm>

#include "kernel/compiler/compiler_context.h"

namespace {

constexpr size_t kMaxExpansionDepth = 256;  // nested helper calls; bounds the checker's recursion
constexpr uint32_t kMaxExpansions = 1048576;  // helper calls expanded into one function

// A block returns when any of its statements does; an if when both branches do; loops never count.
bool returns_on_every_path(const krvk_stmt_node* stmt) {
  if (stmt == nullptr) return false;
  switch (stmt->kind) {
    case KRVK_STMT_RETURN: return true;
    case KRVK_STMT_BLOCK:
      return std::any_of(stmt->statements.begin(), stmt->statements.end(),
                         [](const krvk_stmt_ptr& inner) { return returns_on_every_path(inner.get()); });
    case KRVK_STMT_IF: return stmt->stmt2 && returns_on_every_path(stmt->stmt1.get()) && returns_on_every_path(stmt->stmt2.get());
    case KRVK_STMT_UNCHECKED: return returns_on_every_path(stmt->stmt1.get());
    default: return false;
  }
}

}  // namespace

krvk_value krvk_compiler::compile_helper_call(const krvk_expr_node& call, const krvk_func_decl& helper) {
  expect_arguments(call, helper.parameters.size());
  std::vector<krvk_value> args;
  for (const krvk_expr_ptr& arg : call.operands) {
    const krvk_value value = compile_expression(*arg);
    // Pointers and struct data stay references; they are copied (or re-based) by the expansion.
    args.push_back(value.is_pointer() || is_struct_data(value) ? value : load_value(value));
  }
  return compile_body(helper, args, call.position);
}

krvk_value krvk_compiler::compile_body(const krvk_func_decl& helper, const std::vector<krvk_value>& args,
                                       const krvk_token& at) {
  if (std::find(call_stack_.begin(), call_stack_.end(), &helper) != call_stack_.end()) {
    error(at, "recursive call of '" + helper.name.text + "' (kernel helpers are inlined, recursion is not possible)");
  }
  if (call_stack_.size() > kMaxExpansionDepth) {
    error(at, "helper calls are nested too deeply (more than " + std::to_string(kMaxExpansionDepth) + " levels)");
  }
  if (++expansions_ > kMaxExpansions) error(at, "kernel is too large (too many inline helper calls)");
  const krvk_type return_type = resolve_return_type(helper);
  if (helper.reduction != KRVK_REDUCE_NONE) error(helper.reduce_position, "only entry kernels can have a reduction");

  std::vector<krvk_local> parameters;
  for (size_t i = 0; i < helper.parameters.size(); ++i) {
    const krvk_param_decl& param = helper.parameters[i];
    uint32_t element_size = 0;
    const krvk_type type = check_kernel_params(param, true, element_size);
    krvk_local local;
    local.name = param.name.text;
    local.type = type;
    local.element_size = element_size;
    krvk_node_scope position(*this, at);
    if (type.is_pointer) {
      const krvk_value pointer = coerce(args[i], type);
      local.slot = pointer.slot;
      local.reg = new_register();
      emit(KOP_MOV, local.reg, pointer.index != krvk_no_operand ? pointer.index : add_constant(KRVK_I64, 0));
    } else if (type.prim == KRVK_STRUCT) {
      local.in_frame = 1;
      local.frame_offset = allocate_frame(element_size, param.type.position);
      copy_struct(frame_value(type, local.frame_offset, 0, element_size), args[i]);
    } else {
      local.reg = new_register();
      move_to_register(args[i], local.reg, type);
    }
    parameters.push_back(std::move(local));
  }

  krvk_function_state state;
  state.return_type = return_type;
  state.exit_label = new_label();
  if (return_type.prim == KRVK_STRUCT) {
    const uint32_t size = struct_at(return_type.struct_index).size;
    state.result_storage = frame_value(return_type, allocate_frame(size, at), 0, size);
  } else if (return_type.prim != KRVK_VOID) {
    state.result_reg = new_register();
  }

  const krvk_function_state saved_function = function_;
  std::vector<krvk_loop_labels> saved_loops = std::move(loops_);
  const size_t saved_base = base_scope_;
  const uint8_t saved_unchecked = unchecked_;
  loops_.clear();
  base_scope_ = scopes_.size();
  unchecked_ = 0;
  open_scope();
  for (size_t i = 0; i < parameters.size(); ++i) {
    check_local_name(helper.parameters[i].name);
    add_local(std::move(parameters[i]));
  }
  function_ = state;
  if (return_type.prim != KRVK_VOID && !returns_on_every_path(helper.body.get())) {
    error(helper.name, "'" + helper.name.text + "' does not return a value on every path");
  }
  call_stack_.push_back(&helper);
  compile_statement(*helper.body);
  call_stack_.pop_back();
  bind_label(state.exit_label);
  close_scope();
  function_ = saved_function;
  loops_ = std::move(saved_loops);
  base_scope_ = saved_base;
  unchecked_ = saved_unchecked;

  if (return_type.prim == KRVK_STRUCT) return state.result_storage;
  if (return_type.prim != KRVK_VOID) return krvk_register_value(return_type.prim, state.result_reg);
  return krvk_typed_constant(KRVK_VOID, 0);
}

void krvk_compiler::check_helper(const krvk_func_decl& decl) {
  krvk_program scratch;
  declare_launch_builtins(scratch);
  krvk_node_scope at(*this, decl.name);
  // Pointer parameters take slots 0, 1, ... and the frame the slot after them, as in a kernel.
  std::vector<krvk_type> types;
  std::vector<uint32_t> sizes;
  for (const krvk_param_decl& param : decl.parameters) {
    uint32_t element_size = 0;
    types.push_back(check_kernel_params(param, true, element_size));
    sizes.push_back(element_size);
    if (types.back().is_pointer) slots_.push_back({param.name.text, element_size});
  }
  frame_slot_ = static_cast<uint16_t>(slots_.size());
  std::vector<krvk_value> args;
  uint16_t next_slot = 0;
  for (size_t i = 0; i < types.size(); ++i) {
    const krvk_type& type = types[i];
    if (type.is_pointer) {
      krvk_value pointer;
      pointer.kind = KRVK_VALUE_POINTER;
      pointer.type = type;
      pointer.slot = next_slot++;
      args.push_back(pointer);
    } else if (type.prim == KRVK_STRUCT) {
      const uint32_t offset = allocate_frame(sizes[i], decl.parameters[i].type.position);
      const krvk_value storage = frame_value(type, offset, 0, sizes[i]);
      emit(KOP_ZERO, location_address(storage), 0, 0, sizes[i]);
      args.push_back(storage);
    } else {
      args.push_back(krvk_register_value(type.prim, new_register()));
    }
  }
  function_ = krvk_function_state{};
  compile_body(decl, args, decl.name);
  program_ = nullptr;
}
