#include "host/assembler/script_disassembler.h"

#include <algorithm>
#include <bit>
#include <sstream>
#include <type_traits>

#include "host/assembler/address_index.h"
#include "host/assembler/instruction_decoder.h"
#include "host/assembler/numeric_fast_path.h"
#include "host/assembler/program_blocks.h"
#include "host/assembler/script_text_tokens.h"
#include "runtime/base/value_records.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/objects/class_def.h"
#include "runtime/objects/function_def.h"

namespace {

// Record address -> canonical name ("N3"), indexed once so naming costs no search.
class record_names {
 public:
  template <class Records>
  record_names(const Records& records, char prefix) : prefix_(prefix), numbers_(records.size()) {
    for (size_t i = 0; i < records.size(); ++i) numbers_.add(address_of(records[i]), static_cast<uint32_t>(i));
  }
  // "?" for a record the program does not keep; the verifier reports it.
  std::string operator()(const void* record) const {
    const uint32_t* number = numbers_.find(record);
    return number == nullptr ? "?" : prefix_ + std::to_string(*number);
  }

 private:
  // Records are listed by handle (sources, natives, cells, classes) or by place (blocks).
  template <class Entry>
  static const void* address_of(const Entry& entry) {
    if constexpr (std::is_same_v<Entry, krv_block_place>)
      return entry.block;
    else
      return entry.get();
  }

  char prefix_;
  krv_address_index numbers_;
};

class disassembler {
 public:
  explicit disassembler(const krv_program& program)
      : program_(program),
        places_(krv_program_walk(program)),
        block_name_(places_, 'B'),
        source_name_(program.sources, 'S'),
        native_name_(program.natives, 'N'),
        cell_name_(program.cells, 'C'),
        class_name_(program.classes, 'K') {}

  std::string run() {
    out_ << "program " << krv_quote(program_.name) << "\n";
    for (const std::string& text : program_.strings) out_ << "string " << krv_quote(text) << "\n";
    write_sources();
    for (size_t i = 0; i < program_.natives.size(); ++i) {
      const krv_function_def& native = *program_.natives[i];
      out_ << "native N" << i << " " << krv_quote(native.name) << " " << native.min_args << " " << native.max_args << "\n";
    }
    for (size_t i = 0; i < program_.cells.size(); ++i) out_ << "cell C" << i << " " << value_text(program_.cells[i]) << "\n";
    for (size_t i = 0; i < program_.classes.size(); ++i) write_class(*program_.classes[i], i);
    for (size_t i = 0; i < places_.size(); ++i) write_block(places_[i], i);
    return out_.str();
  }

 private:
  static std::string value_text(const krvvar_shared& value) {
    switch (value ? value->type : uint8_t{KRVVAR_NONE}) {
      case KRVVAR_INT: return "int " + std::to_string(value->payload.int_value);
      case KRVVAR_FLOAT: return "float " + krv_format_double(value->payload.float_value);
      case KRVVAR_STRING: return "string " + krv_quote(value->get_string());
      default: return "none";
    }
  }

  void write_sources() {
    const auto& sources = program_.sources;
    for (size_t i = 0; i < sources.size(); ++i) {
      out_ << "source S" << i << " " << krv_quote(sources[i]->path);
      if (const krv_source_record* includer = sources[i]->included_by.get()) out_ << " in " << source_name_(includer);
      out_ << "\n";
    }
    for (size_t i = 0; i < sources.size(); ++i) {
      std::vector<uint32_t> numbers;
      for (const auto& entry : sources[i]->lines) numbers.push_back(entry.first);
      std::sort(numbers.begin(), numbers.end());
      for (uint32_t number : numbers) out_ << "line S" << i << " " << number << " " << krv_quote(sources[i]->lines.at(number)) << "\n";
    }
  }

  void write_class(const krv_class_def& klass, size_t index) {
    const std::string id = "K" + std::to_string(index);
    out_ << "class " << id << " " << krv_quote(klass.name);
    for (const krvptr_weak<krv_class_def>& base : klass.bases) out_ << " base " << class_name_(base.get());
    if (klass.constructor.get()) out_ << " ctor " << block_name_(klass.constructor.get());
    if (klass.default_block.get()) out_ << " default " << block_name_(klass.default_block.get());
    if (klass.deinit.get()) out_ << " deinit " << block_name_(klass.deinit.get());
    for (const std::string& method : klass.abstract_methods) out_ << " abstract " << krv_quote(method);
    out_ << "\n";
    if (klass.symbols) {
      std::vector<std::pair<std::string, krv_symbol>> symbols(klass.symbols->symbols.begin(), klass.symbols->symbols.end());
      std::sort(symbols.begin(), symbols.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
      for (const auto& [name, symbol] : symbols) {
        out_ << "member " << id << " " << krv_quote(name) << " " << symbol.member_index;
        if (symbol.is_method) out_ << " method";
        if (symbol.is_private) out_ << " private";
        out_ << "\n";
      }
    }
    for (size_t i = 0; i < klass.methods.size(); ++i) {
      const krvvar_shared& method = klass.methods[i];
      if (!method || method->type != KRVVAR_FUNCTION) continue;
      const auto* function = static_cast<krvvar_function_record*>(method->payload.record)->function.get();
      out_ << "method " << id << " " << i << " " << block_name_(function) << "\n";
    }
  }

  void write_block_header(const krv_block_place& place, size_t index) {
    const krv_program_block& block = *place.block;
    out_ << "block B" << index << " " << block.kind;
    if (index != 0) out_ << (place.is_body ? " body B" : " child B") << place.parent;
    auto attribute = [this](const char* name, uint64_t value, uint64_t default_value) {
      if (value != default_value) out_ << " " << name << " " << value;
    };
    attribute("locals", block.local_count, 0);
    attribute("params", block.param_count, 0);
    attribute("captured", block.captured_count, 0);
    attribute("first_default", block.first_default, krv_no_default_param);
    attribute("continue", block.continue_offset, 0);
    attribute("method_flags", block.method_flags, 0);
    attribute("caches", block.member_cache.size(), 0);
    if (block.resume_at_end) out_ << " resume_at_end";
    if (block.has_catch) out_ << " has_catch";
    if (block.is_noexcept) out_ << " noexcept";
    if (const krv_class_def* klass = block.class_def.get()) out_ << " class " << class_name_(klass);
    out_ << "\n";
  }

  void write_block(const krv_block_place& place, size_t index) {
    const krv_program_block& block = *place.block;
    write_block_header(place, index);
    for (size_t i = 0; i < block.local_flags.size(); ++i)
      if (block.local_flags[i] != 0) out_ << "  flag " << i << " " << unsigned{block.local_flags[i]} << "\n";
    for (const krvvar_shared& constant : block.constants) out_ << "  const " << value_text(constant) << "\n";
    for (const krv_slot_ref_entry& ref : block.slot_refs)
      out_ << "  slotref " << unsigned{ref.kind} << " " << unsigned{ref.depth} << " " << ref.index << " " << ref.name_index << "\n";
    write_code(block);
    out_ << "end\n";
  }

  void write_code(const krv_program_block& block) {
    // Two passes decoding as they go: the labels first, since jumps may point forward.
    std::vector<bool> labels(block.code.size() + 1, false);  // per code offset, the end included
    krv_for_each_instruction(block.code, [&labels](const krv_decoded_instruction& instruction) {
      for (const krv_decoded_operand& operand : instruction.operands) {
        if (operand.field.kind != krv_operand_kind::jump && operand.field.kind != krv_operand_kind::length) continue;
        const int64_t target = krv_operand_target(instruction, operand);
        if (target >= 0 && target < static_cast<int64_t>(labels.size())) labels[static_cast<size_t>(target)] = true;
      }
    });
    krv_for_each_instruction(block.code, [&](const krv_decoded_instruction& instruction) {
      if (labels[instruction.offset]) out_ << "L" << instruction.offset << ":\n";
      if (!instruction.problem.empty()) {
        out_ << "  # " << instruction.problem << "\n";
        return;
      }
      write_position(block, instruction.offset);
      write_instruction(block, instruction);
    });
    if (labels[block.code.size()]) out_ << "L" << block.code.size() << ":\n";
  }

  void write_position(const krv_program_block& block, uint32_t offset) {
    auto found = block.positions.find(offset);
    if (found == block.positions.end()) return;
    const krv_source_position* position = found->second.get();
    if (position == nullptr) return;
    out_ << "  pos " << source_name_(position->source.get()) << " " << position->line << " "
         << position->index << "\n";
  }

  void write_instruction(const krv_program_block& block, const krv_decoded_instruction& instruction) {
    out_ << "  " << krv_script_op_info_of(instruction.opcode).name;
    for (const krv_decoded_operand& operand : instruction.operands) out_ << " " << operand_text(instruction, operand);
    if (instruction.opcode == KRV_OP_NUMERIC_FAST_PATH) {
      const krv_fast_path_body body = krv_read_fast_path_body(block.code.data() + instruction.offset);
      for (const krv_fast_path_step& step : body.steps)
        out_ << " step " << unsigned{step.kind} << " " << unsigned{step.depth} << " " << step.index;
      for (const krv_fast_path_constant& constant : body.constants) {
        if (constant.is_float)
          out_ << " float " << krv_format_double(std::bit_cast<double>(constant.bits));
        else
          out_ << " int " << static_cast<int64_t>(constant.bits);
      }
    }
    out_ << "\n";
  }

  std::string operand_text(const krv_decoded_instruction& instruction, const krv_decoded_operand& operand) const {
    const auto* pointer = reinterpret_cast<const void*>(static_cast<uintptr_t>(operand.raw));
    switch (operand.field.kind) {
      case krv_operand_kind::jump:
      case krv_operand_kind::length: return "L" + std::to_string(krv_operand_target(instruction, operand));
      case krv_operand_kind::int64: return std::to_string(static_cast<int64_t>(operand.raw));
      case krv_operand_kind::float64: return krv_format_double(std::bit_cast<double>(operand.raw));
      case krv_operand_kind::native: return "@" + native_name_(pointer);
      case krv_operand_kind::cell: return "$" + cell_name_(pointer);
      case krv_operand_kind::klass: return pointer == nullptr ? "null" : "%" + class_name_(pointer);
      default: return std::to_string(operand.raw);
    }
  }

  const krv_program& program_;
  std::vector<krv_block_place> places_;  // the blocks in canonical order
  record_names block_name_, source_name_, native_name_, cell_name_, class_name_;
  std::ostringstream out_;
};

}  // namespace

std::string krv_disassemble(const krv_program& program) { return disassembler(program).run(); }
