// Entry kernels: one program per kernel, with its parameters (scalars in registers named after them,
// pointers in slots 0, 1, ... in parameter order, the frame in the slot after them), its result type
// and reduction, and the accumulators that the launch combines over all work items.
//
// Accumulator registers are allocated before the parameters: a scalar result uses the fixed r2, a
// struct result one register per scalar leaf (r7, r8, ...), named "acc." followed by the leaf's path.
#include "kernel/compiler/compiler_context.h"

namespace {

struct struct_leaf {
  std::string path;
  std::string top;  // the first-level field it belongs to
  uint32_t offset = 0;
  uint8_t prim = KRVK_VOID;
};

// More leaves than a program has registers: every leaf needs an accumulator register, so the register
// limit refuses such a struct before its last leaf, and the walk need not list more.
constexpr size_t kMaxStructLeaves = 32768;

// Depth first in declaration order; array fields yield one leaf per element (m[0], m[1], ...). Stops after
// kMaxStructLeaves leaves, which a struct of up to 256 MiB would otherwise give by the hundred million.
void walk_struct_fields(const std::vector<krvk_struct>& structs, int32_t index, uint32_t base, const std::string& prefix,
                        const std::string& top, std::vector<struct_leaf>& out) {
  for (const krvk_field& field : structs[static_cast<size_t>(index)].fields) {
    const uint32_t elements = field.array_count == 0 ? 1 : field.array_count;
    for (uint32_t element = 0; element < elements; ++element) {
      if (out.size() >= kMaxStructLeaves) return;
      std::string path = prefix + field.name;
      if (field.array_count != 0) path += "[" + std::to_string(element) + "]";
      const uint32_t offset = base + field.offset + element * field.element_size;
      const std::string& owner = top.empty() ? field.name : top;
      if (field.prim == KRVK_STRUCT) {
        walk_struct_fields(structs, field.struct_index, offset, path + ".", owner, out);
      } else {
        out.push_back({path, owner, offset, field.prim});
      }
    }
  }
}

bool operator_suits(uint8_t op, uint8_t prim) {
  switch (prim) {
    case KRVK_I32:
    case KRVK_U32:
    case KRVK_I64:
    case KRVK_U64: return true;
    case KRVK_F32:
    case KRVK_F64: return op == KRVK_REDUCE_ADD || op == KRVK_REDUCE_MIN || op == KRVK_REDUCE_MAX;
    case KRVK_BOOL: return op == KRVK_REDUCE_AND || op == KRVK_REDUCE_OR || op == KRVK_REDUCE_XOR;
    default: return false;
  }
}

}  // namespace

krvk_type krvk_compiler::check_kernel_params(const krvk_param_decl& param, bool allow_struct_values,
                                             uint32_t& element_size) {
  const krvk_type_syntax& syntax = param.type;
  krvk_type type{krvk_prim_from_name(syntax.name), -1, syntax.is_pointer, static_cast<uint8_t>(syntax.is_const)};
  if (type.prim == KRVK_VOID) error(syntax.position, "parameters cannot be void");
  if (type.prim == KRVK_BOOL && syntax.is_pointer) error(syntax.position, "bool* is not supported (use u8*)");
  if (type.prim != KRVK_NO_TYPE) {
    element_size = static_cast<uint32_t>(krvk_prim_size(type.prim));
    return type;
  }
  type.prim = KRVK_STRUCT;
  type.struct_index = find_struct(syntax.name);
  if (type.struct_index < 0) error(syntax.position, "unknown type '" + syntax.name + "'");
  element_size = struct_at(type.struct_index).size;
  if (!syntax.is_pointer && !allow_struct_values) {
    error(syntax.position, "kernels take structs as pointers ('" + syntax.name + "* " + param.name.text +
                               "'), struct values are for helpers and local variables");
  }
  return type;
}

krvk_type krvk_compiler::resolve_return_type(const krvk_func_decl& decl) {
  const krvk_type_syntax& syntax = decl.return_type;
  if (syntax.is_pointer) error(syntax.position, "kernels cannot return pointers");
  const uint8_t prim = krvk_prim_from_name(syntax.name);
  if (prim != KRVK_NO_TYPE) return krvk_type{prim, -1, 0, 0};
  const int32_t index = find_struct(syntax.name);
  if (index < 0) error(syntax.position, "unknown type '" + syntax.name + "'");
  return krvk_type{KRVK_STRUCT, index, 0, 0};
}

uint16_t krvk_compiler::reduce_opcode(uint8_t op, uint8_t prim) {
  const bool is_signed = prim == KRVK_I32 || prim == KRVK_I64;
  const bool is_unsigned = prim == KRVK_U32 || prim == KRVK_U64;
  switch (op) {
    case KRVK_REDUCE_ADD: return arith_opcode("+", prim);
    case KRVK_REDUCE_MIN: return is_signed ? KOP_MIN_S : is_unsigned ? KOP_MIN_U : prim == KRVK_F32 ? KOP_MIN_F32 : KOP_MIN_F64;
    case KRVK_REDUCE_MAX: return is_signed ? KOP_MAX_S : is_unsigned ? KOP_MAX_U : prim == KRVK_F32 ? KOP_MAX_F32 : KOP_MAX_F64;
    case KRVK_REDUCE_AND: return KOP_AND_X;
    case KRVK_REDUCE_OR: return KOP_OR_X;
    case KRVK_REDUCE_XOR: return KOP_XOR_X;
    default: return 0;
  }
}

void krvk_compiler::check_kernel_reduction(const krvk_func_decl& decl, const krvk_type& result) {
  const std::string type = type_text(result);
  const bool has_clause = !decl.reduce_position.text.empty();
  if (result.prim != KRVK_VOID && !has_clause) {
    error(decl.return_type.position, "a kernel that returns a value needs a reduction: 'kernel " + type + " " +
                                         decl.name.text + "(...) reduce(+) { ... }' (+, min, max, &, |, ^" +
                                         (result.prim == KRVK_STRUCT ? ", or per field: reduce(a: +, b: max)" : "") + ")");
  }
  if (result.prim == KRVK_VOID && has_clause) error(decl.reduce_position, "a void kernel cannot have a reduction");
  if (!decl.field_reductions.empty() && result.prim != KRVK_STRUCT) {
    error(decl.reduce_position, "reductions per field ('reduce(a: +)') need a struct result");
  }
  if (result.prim != KRVK_VOID && result.prim != KRVK_STRUCT && !operator_suits(decl.reduction, result.prim)) {
    error(decl.reduce_position, std::string("reduce(") + krvk_reduce_op_name(decl.reduction) + ") is not supported for " +
                                    type + " (reductions return i32, u32, i64, u64, f32, f64, or bool with &, |, ^)");
  }
}

void krvk_compiler::setup_reductions(krvk_program& program, const krvk_func_decl& decl) {
  const int32_t index = program.result_type.struct_index;
  const std::string struct_name = struct_at(index).name;
  std::vector<struct_leaf> leaves;
  walk_struct_fields(unit_->structs, index, 0, "", "", leaves);
  std::map<std::string, uint8_t, std::less<>> entries;
  for (const krvk_field_reduce& entry : decl.field_reductions) {
    const std::vector<krvk_field>& fields = struct_at(index).fields;
    const bool known = std::any_of(fields.begin(), fields.end(), [&](const krvk_field& f) { return f.name == entry.field.text; });
    if (!known) error(entry.field, "struct '" + struct_name + "' has no field '" + entry.field.text + "'");
    if (!entries.emplace(entry.field.text, entry.op).second) {
      error(entry.field, "field '" + entry.field.text + "' has two reductions");
    }
  }
  std::string reduce_operators = krvk_reduce_op_name(decl.reduction);
  if (!decl.field_reductions.empty()) {
    reduce_operators.clear();
    for (const krvk_field& field : struct_at(index).fields) {
      const auto found = entries.find(field.name);
      if (found == entries.end()) {
        error(decl.reduce_position, "field '" + field.name + "' of '" + struct_name + "' has no reduction (add '" +
                                        field.name + ": +', min, max, &, | or ^)");
      }
      if (!reduce_operators.empty()) reduce_operators += ", ";
      reduce_operators += field.name + ": " + krvk_reduce_op_name(found->second);
    }
  }
  for (const struct_leaf& leaf : leaves) {
    const uint8_t op = decl.field_reductions.empty() ? decl.reduction : entries.at(leaf.top);
    if (!operator_suits(op, leaf.prim) || leaf.prim == KRVK_BOOL) {
      error(decl.reduce_position, std::string("reduce(") + krvk_reduce_op_name(op) + ") is not supported for field '" +
                                      leaf.path + "' (" + krvk_prim_name(leaf.prim) +
                                      "), reduced fields must be i32, u32, i64, u64, f32 or f64 (&, |, ^ only for integers)");
    }
    const uint16_t reg = new_register();
    if (program.register_names.size() <= reg) program.register_names.resize(reg + 1u);
    program.register_names[reg] = "acc." + leaf.path;
    program.accumulators.push_back(krvk_acc{reg, leaf.prim, op, leaf.offset, leaf.path});
  }
  program.result_text = struct_name + " reduce(" + reduce_operators + ")";
}

void krvk_compiler::declare_kernel_parameters(krvk_program& program, const krvk_func_decl& decl) {
  for (const krvk_param_decl& param : decl.parameters) {
    uint32_t element_size = 0;
    const krvk_type type = check_kernel_params(param, false, element_size);
    check_local_name(param.name);
    krvk_param record;
    record.name = param.name.text;
    record.type = type;
    record.element_size = element_size;
    record.type_text = type_text(type);
    krvk_local local;
    local.name = param.name.text;
    local.type = type;
    local.is_parameter = 1;
    local.element_size = element_size;
    if (type.is_pointer) {
      record.pointer_slot = static_cast<uint16_t>(slots_.size());
      local.slot = record.pointer_slot;
      slots_.push_back({param.name.text, element_size});
    } else {
      record.reg = new_register();
      local.reg = record.reg;
      if (program.register_names.size() <= record.reg) program.register_names.resize(record.reg + 1u);
      program.register_names[record.reg] = record.name;
    }
    program.parameters.push_back(std::move(record));
    add_local(std::move(local));
  }
}

std::shared_ptr<krvk_program> krvk_compiler::compile_kernel(const krvk_func_decl& decl) {
  auto program = std::make_shared<krvk_program>();
  declare_launch_builtins(*program);
  krvk_node_scope at(*this, decl.name);
  program->name = decl.name.text;
  program->source_file = decl.name.file_index < map_->file_names.size() ? map_->file_names[decl.name.file_index] : "";
  program->line = decl.name.line;
  const krvk_type result = resolve_return_type(decl);
  program->result_type = result;
  program->reduction = decl.reduction;
  check_kernel_reduction(decl, result);
  if (result.prim == KRVK_STRUCT) {
    setup_reductions(*program, decl);
  } else if (result.prim != KRVK_VOID) {
    program->accumulators.push_back(krvk_acc{program->acc_reg, result.prim, decl.reduction, 0, ""});
    program->register_names[program->acc_reg] = "acc";
    program->result_text = std::string(krvk_prim_name(result.prim)) + " reduce(" + krvk_reduce_op_name(decl.reduction) + ")";
  }
  open_scope();
  declare_kernel_parameters(*program, decl);
  program->pointer_count = static_cast<uint32_t>(slots_.size());
  program->frame_slot = static_cast<uint16_t>(slots_.size());
  frame_slot_ = program->frame_slot;
  fixed_registers_ = next_register_;
  function_ = krvk_function_state{};
  function_.is_entry = 1;
  function_.return_type = result;
  function_.reduction = decl.reduction;
  call_stack_.push_back(&decl);
  compile_statement(*decl.body);
  call_stack_.pop_back();
  close_scope();
  emit(KOP_END);
  finish_function();
  program_ = nullptr;
  return program;
}
