// The script assembler's builders: programs of compiled script code, built from C++ (tests, examples)
// or from the text form (script_text.h), encoded byte for byte as the interpreter reads them.
//
//   krv_program_builder program("demo");
//   krv_block_builder& root = program.root();
//   krv_label done = root.label();
//   root.emit(KRV_OP_LOAD_INT, {int64_t{1}});
//   root.emit(KRV_OP_JUMP_FALSE, {done});
//   ...
//   root.bind(done);
//   krvptr_strong<krv_program> built = program.finish();
//
// Each instruction is written from the opcode table (script_opcodes.h): the operands go to their
// offsets, unused bytes stay zero. A jump's displacement and a fast-path form's length are written from
// labels when the block is finished, so labels may be bound before or after their use; a length label
// must be bound after its instruction. The program
// keeps every record that instructions point to (native definitions, cells, class records), so the
// addresses stay valid as long as the program lives. Bad input (an operand count that does not fit the
// opcode, a value out of its field's range, a label never bound) throws std::invalid_argument.
#pragma once
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host/assembler/numeric_fast_path.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/interp/program_records.h"
#include "runtime/exec/interp/script_opcodes.h"
#include "runtime/objects/class_def.h"
#include "runtime/objects/function_def.h"

struct krv_label {
  uint32_t id;
};

// One operand: a number (u8, u32, i64 fields), a double (f64), a label (jumps, lengths) or a host
// pointer (native definitions, cells, classes; null for "no class").
using krv_operand = std::variant<int64_t, double, krv_label, const void*>;

class krv_program_builder;

class krv_block_builder {
 public:
  krv_block_builder(krv_program_builder& program, krvptr_strong<krv_program_block> block);

  // The block under construction: kind, counts and flags are set on it directly.
  krv_program_block& block() noexcept { return *block_; }

  // Sets the local count (at most krv_max_locals); every local's flag byte starts at 0.
  void set_locals(uint32_t count);
  // A new child block of `kind` (child index = order of creation); a new body block.
  krv_block_builder& add_child(uint32_t kind);
  krv_block_builder& add_body(uint32_t kind);

  krv_label label();
  // Binds `label` to the current offset; binding a label twice throws.
  void bind(krv_label label);
  uint32_t offset() const noexcept { return static_cast<uint32_t>(code_.size()); }

  // Any value; a class value (the text form's `class K0`) is krv_class_value(klass) of class_def.h.
  uint32_t add_constant(krvvar_shared value);
  // A new empty member-cache entry or slot reference; returns its index.
  uint32_t add_member_cache_entry();
  uint32_t add_slot_ref(const krv_slot_ref_entry& entry);
  // The source position of the next instruction emitted.
  void position(krv_source_record& source, uint32_t line, uint32_t index);

  // Appends one instruction with its operands in table order.
  void emit(krv_script_op opcode, std::initializer_list<krv_operand> operands);
  void emit(krv_script_op opcode, const std::vector<krv_operand>& operands);
  // Appends the 200-byte numeric fast-path header (operands as for emit: the end label, target kind,
  // depth and index) with its steps and constants; the generic code follows it.
  void emit_numeric_fast_path(const std::vector<krv_operand>& operands, const krv_fast_path_body& body);

  // Writes the label displacements and installs the code in the block. Called by the program builder.
  void finish();

 private:
  struct fixup {
    uint32_t at;           // where the field is
    uint32_t instruction;  // start of the instruction holding it
    uint32_t label;
  };
  // Writes the operands of the instruction starting at `start`.
  void write_operands(krv_script_op opcode, uint32_t start, const std::vector<krv_operand>& operands);
  void write_operand(const krv_operand_field& field, uint32_t start, const krv_operand& value);

  krv_program_builder& program_;
  krvptr_strong<krv_program_block> block_;
  std::vector<uint8_t> code_;
  std::vector<int64_t> labels_;  // bound offset per label, -1 while unbound
  std::vector<fixup> fixups_;
  krvptr_strong<krv_source_position> pending_position_;
};

class krv_program_builder {
 public:
  // A program named `name` with its global scope and a task (root) block.
  explicit krv_program_builder(std::string name);

  krv_block_builder& root() noexcept { return *blocks_.front(); }
  // Every block in creation order (the root first).
  const std::deque<std::unique_ptr<krv_block_builder>>& blocks() const noexcept { return blocks_; }

  // Appends a program string; returns its index.
  uint32_t add_string(std::string text);
  krv_source_record& add_source(std::string path, krv_source_record* included_by = nullptr);
  krv_class_def& add_class(std::string name);
  // A native definition kept by the program; its callable may be set later.
  krv_function_def& add_native(std::string name, uint32_t min_args, uint32_t max_args, krv_native_callable callable = {});
  // A cell kept by the program, for opcode 13.
  krvvar* add_cell(krvvar_shared value);

  // Finishes every block and hands the program over; the builder is spent.
  krvptr_strong<krv_program> finish();

  krv_program& program() noexcept { return *program_; }

 private:
  friend class krv_block_builder;
  krv_block_builder& make_block(uint32_t kind);

  krvptr_strong<krv_program> program_;
  std::deque<std::unique_ptr<krv_block_builder>> blocks_;
};
