#include "kernel/compiler/compiler_context.h"

#include <algorithm>

namespace {

constexpr uint16_t kFirstFreeRegister = 7;
constexpr uint16_t kRegisterLimit = 32767;  // register numbers stay below; 32768 up are constants
constexpr size_t kPoolLimit = 28672;  // 458,752 bytes of 16-byte constant records
constexpr uint64_t kFrameLimit = 1048576;
// Inline expansion can multiply code without bound (helpers calling helpers twice over); these limits turn
// such input into a diagnostic instead of exhausting memory or the stack.
constexpr size_t kInstructionLimit = 4194304;

}  // namespace

krvk_compiler::krvk_compiler(const krvk_source_map& map, const krvk_syntax_unit& syntax, krvk_compiled_unit& unit,
                             const krvk_back_end_passes& passes)
    : map_(&map), syntax_(&syntax), unit_(&unit), passes_(&passes), fold_program_(std::make_unique<krvk_program>()) {}

void krvk_compiler::error(const krvk_token& at, const std::string& message) const {
  krvk_throw_error(*map_, at, message);
}

void krvk_compiler::error_here(const std::string& message) const {
  if (current_ != nullptr) krvk_throw_error(*map_, *current_, message);
  krvk_throw_error(*map_, krvk_token{}, message);
}

std::string krvk_compiler::type_text(const krvk_type& type) const { return krvk_type_name(unit_->structs, type); }

std::string krvk_compiler::prim_text(uint8_t prim, int32_t struct_index) const {
  return type_text(krvk_type{prim, struct_index, 0, 0});
}

std::string krvk_compiler::describe_value(const krvk_value& value) const {
  if (value.literal == KRVK_INT_LITERAL && value.is_constant()) return "integer literal";
  if (value.literal == KRVK_FLOAT_LITERAL && value.is_constant()) return "float literal";
  if (value.is_location() && value.array_count != 0) {
    krvk_type element = value.type;
    element.is_pointer = 0;
    element.is_const = 0;
    return type_text(element) + "[" + std::to_string(value.array_count) + "]";
  }
  return type_text(value.type);
}

void krvk_compiler::declare_launch_builtins(krvk_program& program) {
  program_ = &program;
  pool_.clear();
  constant_map_.clear();
  labels_.clear();
  pending_jumps_.clear();
  scopes_.clear();
  frame_offsets_.clear();
  loops_.clear();
  frame_in_use_ = 0;
  base_scope_ = 0;
  unchecked_ = 0;
  slots_.clear();
  known_constants_.clear();
  frame_slot_ = 0;
  expansions_ = 0;
  program.gid_reg = 0;
  program.gsize_reg = 1;
  program.acc_reg = 2;
  program.gid_x_reg = 3;
  program.gid_y_reg = 4;
  program.gsize_x_reg = 5;
  program.gsize_y_reg = 6;
  program.two_d = 0;
  next_register_ = kFirstFreeRegister;
  high_water_ = kFirstFreeRegister;
  fixed_registers_ = kFirstFreeRegister;
  program.file_names = map_->file_names;
  program.register_names = {"gid", "gsize", "", "gid_x", "gid_y", "gsize_x", "gsize_y"};
}

uint16_t krvk_compiler::new_register() {
  if (next_register_ >= kRegisterLimit) error_here("kernel is too large (too many registers)");
  const uint16_t reg = next_register_++;
  high_water_ = std::max(high_water_, next_register_);
  return reg;
}

uint16_t krvk_compiler::add_constant(uint8_t prim, uint64_t bits) {
  auto found = constant_map_.find({prim, bits});
  if (found != constant_map_.end()) return found->second;
  if (pool_.size() >= kPoolLimit) error_here("kernel is too large (too many constants)");
  pool_.push_back({0, prim, bits});
  const auto operand = static_cast<uint16_t>(krvk_constant_operand_base + pool_.size() - 1);
  constant_map_.emplace(std::make_pair(prim, bits), operand);
  return operand;
}

uint32_t krvk_compiler::emit(uint16_t op, uint16_t a, uint16_t b, uint16_t c, uint64_t x) {
  if (program_->code.size() >= kInstructionLimit) error_here("kernel is too large (too many instructions)");
  program_->code.push_back(krvk_insn{op, a, b, c, x});
  program_->line_table.push_back(current_ != nullptr ? current_->line : 0);
  program_->file_table.push_back(current_ != nullptr ? current_->file_index : 0);
  return code_size() - 1;
}

void krvk_compiler::emit_jump_fixup(uint16_t op, uint32_t label, uint16_t a, uint16_t b) {
  const uint32_t index = emit(op, a, b, 0, 0);
  pending_jumps_.push_back({index, label});
}

uint32_t krvk_compiler::new_label() {
  labels_.push_back(-1);
  return static_cast<uint32_t>(labels_.size() - 1);
}

void krvk_compiler::bind_label(uint32_t label) { labels_[label] = code_size(); }

void krvk_compiler::drop_last_instruction() {
  program_->code.pop_back();
  program_->line_table.pop_back();
  program_->file_table.pop_back();
}

void krvk_compiler::open_scope() {
  scopes_.emplace_back();
  frame_offsets_.push_back(frame_in_use_);
}

void krvk_compiler::close_scope() {
  scopes_.pop_back();
  frame_in_use_ = frame_offsets_.back();
  frame_offsets_.pop_back();
}

void krvk_compiler::check_local_name(const krvk_token& name) {
  if (krvk_is_reserved_word(name.text)) error(name, "'" + name.text + "' is a reserved word");
  if (krvk_find_struct_index(unit_->structs, name.text) >= 0 || find_constant(name.text) != nullptr) {
    error(name, "'" + name.text + "' is already the name of a kernel struct or constant");
  }
  if (scopes_.size() > base_scope_) {
    for (const krvk_local& local : scopes_.back()) {
      if (local.name == name.text) error(name, "'" + name.text + "' is already declared in this scope");
    }
  }
}

const krvk_local* krvk_compiler::find_local(std::string_view name) const {
  for (size_t scope = scopes_.size(); scope > base_scope_; --scope) {
    for (const krvk_local& local : scopes_[scope - 1]) {
      if (local.name == name) return &local;
    }
  }
  return nullptr;
}

void krvk_compiler::add_local(krvk_local local) { scopes_.back().push_back(std::move(local)); }

uint32_t krvk_compiler::allocate_frame(uint64_t size, const krvk_token& at) {
  const uint64_t offset = (uint64_t{frame_in_use_} + 7) / 8 * 8;
  if (offset + size > kFrameLimit) error(at, "the local variables of this kernel need more than 1 MiB");
  frame_in_use_ = static_cast<uint32_t>(offset + size);
  program_->frame_bytes = std::max(program_->frame_bytes, frame_in_use_);
  return static_cast<uint32_t>(offset);
}

krvk_value krvk_compiler::frame_value(const krvk_type& type, uint32_t offset, uint32_t count, uint32_t element_size) {
  krvk_value value;
  value.kind = KRVK_VALUE_SLOT_LOCATION;
  value.type = type;
  value.slot = frame_slot_;
  value.index = add_constant(KRVK_I64, 0);
  value.byte_offset = offset;
  value.array_count = count;
  value.element_size = element_size;
  return value;
}

bool krvk_compiler::is_frame_slot(uint16_t slot) const { return slot == frame_slot_ && slot >= slots_.size(); }
