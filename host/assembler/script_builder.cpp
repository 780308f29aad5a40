#include "host/assembler/script_builder.h"

#include <cstring>
#include <stdexcept>

#include "host/assembler/script_limits.h"

namespace {

[[noreturn]] void refuse(std::string_view opcode, const std::string& why) {
  throw std::invalid_argument(std::string(opcode) + ": " + why);
}

template <class V>
void put(std::vector<uint8_t>& code, uint32_t at, V value) {
  std::memcpy(code.data() + at, &value, sizeof value);
}

// The operand fields of `info` that are in use.
std::vector<krv_operand_field> fields_of(const krv_script_op_info& info) {
  std::vector<krv_operand_field> fields;
  for (const krv_operand_field& field : info.operands)
    if (field.kind != krv_operand_kind::none) fields.push_back(field);
  return fields;
}

int64_t number(std::string_view opcode, const krv_operand& value) {
  if (const int64_t* n = std::get_if<int64_t>(&value)) return *n;
  refuse(opcode, "expected a number");
}

uint64_t unsigned_in_range(std::string_view opcode, const krv_operand& value, uint64_t max) {
  const int64_t n = number(opcode, value);
  if (n < 0 || static_cast<uint64_t>(n) > max) refuse(opcode, "operand " + std::to_string(n) + " out of range");
  return static_cast<uint64_t>(n);
}

}  // namespace

krv_block_builder::krv_block_builder(krv_program_builder& program, krvptr_strong<krv_program_block> block)
    : program_(program), block_(std::move(block)) {}

void krv_block_builder::set_locals(uint32_t count) {
  if (count > krv_max_locals)
    throw std::invalid_argument("locals: " + std::to_string(count) + " is above the limit of " + std::to_string(krv_max_locals));
  block_->local_count = count;
  block_->local_flags.assign(count, 0);
}

krv_block_builder& krv_block_builder::add_child(uint32_t kind) {
  krv_block_builder& child = program_.make_block(kind);
  block_->children.push_back(krvptr_strong<krv_program_block>(child.block_));
  return child;
}

krv_block_builder& krv_block_builder::add_body(uint32_t kind) {
  if (block_->body) throw std::invalid_argument("a block has one body block");
  krv_block_builder& body = program_.make_block(kind);
  block_->body = body.block_;
  return body;
}

krv_label krv_block_builder::label() {
  labels_.push_back(-1);
  return {static_cast<uint32_t>(labels_.size() - 1)};
}

void krv_block_builder::bind(krv_label label) {
  if (label.id >= labels_.size()) throw std::invalid_argument("unknown label");
  if (labels_[label.id] >= 0) throw std::invalid_argument("label bound twice");
  labels_[label.id] = offset();
}

uint32_t krv_block_builder::add_constant(krvvar_shared value) {
  block_->constants.push_back(std::move(value));
  return static_cast<uint32_t>(block_->constants.size() - 1);
}

uint32_t krv_block_builder::add_member_cache_entry() {
  block_->member_cache.emplace_back();
  return static_cast<uint32_t>(block_->member_cache.size() - 1);
}

uint32_t krv_block_builder::add_slot_ref(const krv_slot_ref_entry& entry) {
  block_->slot_refs.push_back(entry);
  return static_cast<uint32_t>(block_->slot_refs.size() - 1);
}

void krv_block_builder::position(krv_source_record& source, uint32_t line, uint32_t index) {
  pending_position_ = krvptr_strong<krv_source_position>::from_raw(new krv_source_position());
  pending_position_->line = line;
  pending_position_->index = index;
  pending_position_->source = krvptr_weak<krv_source_record>::from_raw(&source);
}

void krv_block_builder::emit(krv_script_op opcode, std::initializer_list<krv_operand> operands) {
  emit(opcode, std::vector<krv_operand>(operands));
}

void krv_block_builder::emit(krv_script_op opcode, const std::vector<krv_operand>& operands) {
  if (opcode == KRV_OP_NUMERIC_FAST_PATH) refuse("numeric_fast_path", "has steps and constants: use emit_numeric_fast_path");
  const uint32_t start = offset();
  code_.resize(start + krv_script_op_info_of(opcode).size, 0);
  write_operands(opcode, start, operands);
}

void krv_block_builder::emit_numeric_fast_path(const std::vector<krv_operand>& operands, const krv_fast_path_body& body) {
  const uint32_t start = offset();
  code_.resize(start + krv_script_op_info_of(KRV_OP_NUMERIC_FAST_PATH).size, 0);
  write_operands(KRV_OP_NUMERIC_FAST_PATH, start, operands);
  krv_write_fast_path_body(code_.data() + start, body);
}

void krv_block_builder::write_operands(krv_script_op opcode, uint32_t start, const std::vector<krv_operand>& operands) {
  const krv_script_op_info& info = krv_script_op_info_of(opcode);
  if (info.size == 0) throw std::invalid_argument("invalid opcode " + std::to_string(opcode));
  const std::vector<krv_operand_field> fields = fields_of(info);
  if (operands.size() != fields.size())
    refuse(info.name, "takes " + std::to_string(fields.size()) + " operands, got " + std::to_string(operands.size()));
  code_[start] = opcode;
  for (size_t i = 0; i < fields.size(); ++i) write_operand(fields[i], start, operands[i]);
  if (pending_position_) {
    program_.program_->positions.push_back(pending_position_);
    block_->positions[start] = krvptr_weak<krv_source_position>(pending_position_);
    pending_position_.reset_empty();
  }
}

void krv_block_builder::write_operand(const krv_operand_field& field, uint32_t start, const krv_operand& value) {
  const std::string_view name = krv_script_op_info_of(code_[start]).name;
  const uint32_t at = start + field.offset;
  switch (field.kind) {
    case krv_operand_kind::u8:
      code_[at] = static_cast<uint8_t>(unsigned_in_range(name, value, 0xFF));
      return;
    case krv_operand_kind::u32:
      put<uint32_t>(code_, at, static_cast<uint32_t>(unsigned_in_range(name, value, 0xFFFFFFFFu)));
      return;
    case krv_operand_kind::int64:
      put<int64_t>(code_, at, number(name, value));
      return;
    case krv_operand_kind::float64:
      if (const double* real = std::get_if<double>(&value)) return put<double>(code_, at, *real);
      refuse(name, "expected a floating-point number");
    case krv_operand_kind::jump:
    case krv_operand_kind::length:
      if (const krv_label* target = std::get_if<krv_label>(&value)) {
        if (target->id >= labels_.size()) refuse(name, "unknown label");
        // A label bound already lies at or before this instruction; a fast-path form ends after its header.
        if (field.kind == krv_operand_kind::length && labels_[target->id] >= 0)
          refuse(name, "the length label must come after the instruction");
        fixups_.push_back({at, start, target->id});
        return;
      }
      refuse(name, "expected a label");
    case krv_operand_kind::native:
    case krv_operand_kind::cell:
    case krv_operand_kind::klass:
      if (const void* const* pointer = std::get_if<const void*>(&value)) {
        put<uint64_t>(code_, at, reinterpret_cast<uintptr_t>(*pointer));
        return;
      }
      refuse(name, "expected a host record");
    case krv_operand_kind::none:
      return;
  }
}

void krv_block_builder::finish() {
  for (const fixup& f : fixups_) {
    const int64_t target = labels_[f.label];
    if (target < 0) refuse(krv_script_op_info_of(code_[f.instruction]).name, "label never bound");
    put<int32_t>(code_, f.at, static_cast<int32_t>(target - static_cast<int64_t>(f.instruction)));
  }
  fixups_.clear();
  block_->set_code(std::move(code_));
  code_.clear();
}

krv_program_builder::krv_program_builder(std::string name)
    : program_(krvptr_strong<krv_program>::from_raw(new krv_program())) {
  program_->name = std::move(name);
  program_->global_scope = krvptr_strong<krv_global_scope>::from_raw(new krv_global_scope());
  program_->global_scope->program = krvptr_weak<krv_program>(program_);
  program_->root = krvptr_strong<krv_program_block>::from_raw(&make_block(KRV_BLOCK_TASK).block());
}

krv_block_builder& krv_program_builder::make_block(uint32_t kind) {
  auto block = krvptr_strong<krv_program_block>::from_raw(new krv_program_block());
  block->kind = kind;
  block->program = program_.get();
  block->global_scope = krvptr_weak<krv_global_scope>(program_->global_scope);
  blocks_.push_back(std::make_unique<krv_block_builder>(*this, std::move(block)));
  return *blocks_.back();
}

uint32_t krv_program_builder::add_string(std::string text) {
  program_->strings.push_back(std::move(text));
  return static_cast<uint32_t>(program_->strings.size() - 1);
}

krv_source_record& krv_program_builder::add_source(std::string path, krv_source_record* included_by) {
  auto source = krvptr_strong<krv_source_record>::from_raw(new krv_source_record());
  source->path = std::move(path);
  source->included_by = krvptr_weak<krv_source_record>::from_raw(included_by);
  program_->sources.push_back(source);
  return *source;
}

krv_class_def& krv_program_builder::add_class(std::string name) {
  auto klass = krvptr_strong<krv_class_def>::from_raw(new krv_class_def());
  klass->name = std::move(name);
  klass->symbols = krvptr_strong<krv_program_block_symbol_table>::from_raw(new krv_program_block_symbol_table());
  klass->global_scope = krvptr_weak<krv_global_scope>(program_->global_scope);
  program_->classes.push_back(klass);
  return *klass;
}

krv_function_def& krv_program_builder::add_native(std::string name, uint32_t min_args, uint32_t max_args,
                                                  krv_native_callable callable) {
  auto native = krvptr_strong<krv_function_def>::from_raw(new krv_function_def());
  // Definitions hold views: the program keeps the text.
  native->name = program_->native_names.emplace_back(std::move(name));
  native->min_args = min_args;
  native->max_args = max_args;
  native->callable = std::move(callable);
  program_->natives.push_back(native);
  return *native;
}

krvvar* krv_program_builder::add_cell(krvvar_shared value) {
  program_->cells.push_back(std::move(value));
  return program_->cells.back().get();
}

krvptr_strong<krv_program> krv_program_builder::finish() {
  for (const auto& block : blocks_) block->finish();
  // The classes' members are known now: each operator finds its method by name once.
  for (const auto& klass : program_->classes) klass->fill_operator_methods();
  return std::move(program_);
}
