#include "host/assembler/script_text.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "host/assembler/name_table.h"
#include "host/assembler/script_builder.h"
#include "host/assembler/script_limits.h"
#include "host/assembler/script_text_tokens.h"
#include "host/assembler/script_verifier.h"

namespace {

// A refusal that belongs to another line than the one being read (a block's header, a `pos`, a class
// link), thrown with that line.
struct text_refusal {
  size_t line;
  std::string message;
};

class text_assembler {
 public:
  explicit text_assembler(bool verify) : verify_(verify) {}

  krv_assembled_text run(std::string_view text) {
    // Every refusal names a line.
    try {
      return {assemble(text), native_lines()};  // a braced list runs left to right
    } catch (const text_refusal& refusal) {
      throw std::invalid_argument("line " + std::to_string(refusal.line) + ": " + refusal.message);
    } catch (const std::invalid_argument& error) {
      throw std::invalid_argument("line " + std::to_string(line_number_) + ": " + error.what());
    }
  }

 private:
  const bool verify_;  // refuse what the verifier finds (false only for tests of the interpreter's refusals)

  // A native or class with the line that declares it.
  template <class T>
  struct declared {
    T* record;
    size_t line;
  };
  struct named_block {
    krv_block_builder* builder;
    uint32_t depth;  // levels below the root
    size_t line;     // of its header
    std::vector<std::pair<uint32_t, size_t>> instructions;  // code offset -> line, in code order
  };
  // The block whose lines are being read.
  struct open_block {
    krv_block_builder* builder = nullptr;
    std::vector<std::pair<uint32_t, size_t>>* lines = nullptr;  // where the lines of its instructions go
    std::string name;
    size_t header_line = 0;
    uint32_t caches = 0;       // member-cache entries asked for, made at its end
    uint32_t cache_users = 0;  // instructions that address a member-cache entry
    size_t pending_pos = 0;    // line of a `pos` still waiting for its instruction; 0 for none
    std::map<std::string, krv_label> labels;
    std::set<std::string> bound;  // labels bound so far
  };
  enum class link_role { ctor, default_block, deinit, method };
  struct class_link {
    krv_class_def* klass;
    std::string class_name;
    link_role role;
    uint32_t method_index;
    std::string block;
    size_t line;
  };

  krvptr_strong<krv_program> assemble(std::string_view text) {
    size_t at = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;  // a UTF-8 byte-order mark
    while (at <= text.size()) {
      const std::string_view line = krv_next_line(text, at);
      ++line_number_;
      tokens_ = krv_split_tokens(line);
      if (!tokens_.empty()) this->line();
    }
    if (open_.builder != nullptr) throw text_refusal{open_.header_line, "block " + krv_shown(open_.name) + " has no end"};
    resolve_class_links();
    krvptr_strong<krv_program> built = program().finish();
    if (verify_) refuse_problems(*built);
    return built;
  }

  // The line of each native, in the program's order: a `native` line adds one native and one name.
  std::vector<size_t> native_lines() const {
    std::vector<size_t> lines;
    lines.reserve(natives_.entries().size());
    for (const auto& native : natives_.entries()) lines.push_back(native.value.line);
    return lines;
  }

  [[noreturn]] static void fail(const std::string& message) { throw std::invalid_argument(message); }

  krv_program_builder& program(std::string name = "script") {
    if (!builder_) builder_ = std::make_unique<krv_program_builder>(std::move(name));
    return *builder_;
  }

  // Token access.
  const krv_text_token& token(size_t i) const {
    if (i >= tokens_.size()) fail("missing operand after '" + krv_shown(tokens_.back().text) + "'");
    return tokens_[i];
  }
  const std::string& word(size_t i) const {
    if (token(i).quoted) fail("expected a name, got a string");
    return token(i).text;
  }
  const std::string& quoted(size_t i) const {
    if (!token(i).quoted) fail("expected a string in double quotes");
    return token(i).text;
  }
  // Token i read whole as a number of type T.
  template <class T>
  T parse(size_t i, const char* expected) const {
    const std::string& text = word(i);
    T value{};
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size())
      fail(std::string("expected ") + expected + ", got '" + krv_shown(text) + "'");
    return value;
  }
  int64_t integer(size_t i) const { return parse<int64_t>(i, "an integer"); }
  double real(size_t i) const { return parse<double>(i, "a number"); }
  uint32_t count(size_t i) const {
    const int64_t value = integer(i);
    if (value < 0 || value > 0xFFFFFFFFll) fail("value out of range: " + std::to_string(value));
    return static_cast<uint32_t>(value);
  }
  // A u8 field, refused above 255 as instruction operands are.
  uint8_t byte(size_t i, const char* what) const {
    const int64_t value = integer(i);
    if (value < 0 || value > 0xFF) fail(std::string(what) + ": value " + std::to_string(value) + " out of range");
    return static_cast<uint8_t>(value);
  }
  template <class T>
  const T& find(const krv_name_table<T>& names, const std::string& name, const char* what) const {
    const auto* found = names.find(name);
    if (found == nullptr) fail(std::string("unknown ") + what + " '" + krv_shown(name) + "'");
    return found->value;
  }
  // Enters `name`; returns its value, which stays in place.
  template <class T>
  T& define(krv_name_table<T>& names, const std::string& name, T record) {
    auto* added = names.add(name, std::move(record));
    if (added == nullptr) fail("'" + krv_shown(name) + "' is defined twice");
    return added->value;
  }
  void expect_end(size_t used) const {
    if (tokens_.size() > used) fail("unexpected '" + krv_shown(tokens_[used].text) + "'");
  }

  // A value written as none, int N, float X, string "..." or class K (a class declared above), starting
  // at token i; i ends past it.
  krvvar_shared value(size_t& i) {
    const std::string& kind = word(i++);
    if (kind == "none") return krvvar_shared::make_none();
    if (kind == "int") return krvvar_shared::make_int(integer(i++));
    if (kind == "float") return krvvar_shared::make_float(real(i++));
    if (kind == "string") return krvvar_shared::make_string(quoted(i++));
    if (kind == "class") return krv_class_value(*find(classes_, word(i++), "class").record);
    fail("unknown value kind '" + krv_shown(kind) + "'");
  }

  void line() {
    const std::string& head = tokens_[0].text;
    if (open_.builder != nullptr) return block_line(head);
    if (head == "program") {
      if (builder_) fail("'program' must come first");
      program(quoted(1));
      return expect_end(2);
    }
    if (head == "string") {
      program().add_string(quoted(1));
      return expect_end(2);
    }
    if (head == "source") return source_line();
    if (head == "line") {
      krv_source_record* source = find(sources_, word(1), "source");
      if (!source->lines.emplace(count(2), quoted(3)).second) fail("line " + word(2) + " of source " + krv_shown(word(1)) + " is given twice");
      return expect_end(4);
    }
    if (head == "native") {
      krv_function_def* native = &program().add_native(quoted(2), count(3), count(4));
      define(natives_, word(1), {native, line_number_});
      return expect_end(5);
    }
    if (head == "cell") {
      size_t i = 2;
      define(cells_, word(1), program().add_cell(value(i)));
      return expect_end(i);
    }
    if (head == "class") return class_line();
    if (head == "member") return member_line();
    if (head == "method") {
      class_links_.push_back({find(classes_, word(1), "class").record, word(1), link_role::method, count(2), word(3), line_number_});
      return expect_end(4);
    }
    if (head == "block") return block_header();
    fail("unknown directive '" + krv_shown(head) + "'");
  }

  void source_line() {
    krv_source_record* includer = nullptr;
    if (tokens_.size() > 3) {
      if (word(3) != "in") fail("expected 'in'");
      includer = find(sources_, word(4), "source");
      expect_end(5);
    } else {
      expect_end(3);
    }
    define(sources_, word(1), &program().add_source(quoted(2), includer));
  }

  void class_line() {
    krv_class_def& klass = program().add_class(quoted(2));
    define(classes_, word(1), {&klass, line_number_});
    for (size_t i = 3; i < tokens_.size(); i += 2) {
      const std::string& attribute = word(i);
      if (attribute == "base")
        klass.bases.push_back(krvptr_weak<krv_class_def>::from_raw(find(classes_, word(i + 1), "class").record));
      else if (attribute == "abstract")
        klass.abstract_methods.push_back(quoted(i + 1));
      else if (attribute == "ctor")
        link_class(klass, link_role::ctor, i);
      else if (attribute == "default")
        link_class(klass, link_role::default_block, i);
      else if (attribute == "deinit")
        link_class(klass, link_role::deinit, i);
      else
        fail("unknown class attribute '" + krv_shown(attribute) + "'");
    }
  }
  void link_class(krv_class_def& klass, link_role role, size_t i) {
    class_links_.push_back({&klass, word(1), role, 0, word(i + 1), line_number_});
  }

  void member_line() {
    krv_class_def* klass = find(classes_, word(1), "class").record;
    krv_symbol symbol{count(3), 0, 0};
    for (size_t i = 4; i < tokens_.size(); ++i) {
      if (word(i) == "method")
        symbol.is_method = 1;
      else if (word(i) == "private")
        symbol.is_private = 1;
      else
        fail("unknown member flag '" + krv_shown(word(i)) + "'");
    }
    if (!klass->symbols->symbols.emplace(quoted(2), symbol).second)
      fail("member '" + krv_shown(quoted(2)) + "' of class " + krv_shown(word(1)) + " is given twice");
  }

  void block_header() {
    const std::string& name = word(1);
    const uint32_t kind = count(2);
    size_t i = 3;
    named_block placed{nullptr, 0, line_number_, {}};
    if (i < tokens_.size() && (word(i) == "child" || word(i) == "body")) {
      const named_block& parent = find(blocks_, word(i + 1), "block");
      // Refused before the block exists: a text of a million nested blocks costs a thousand.
      if (parent.depth >= krv_max_block_nesting)
        fail("block " + krv_shown(name) + " nests deeper than " + std::to_string(krv_max_block_nesting) + " levels");
      placed.builder = word(i) == "child" ? &parent.builder->add_child(kind) : &parent.builder->add_body(kind);
      placed.depth = parent.depth + 1;
      i += 2;
    } else {
      if (root_taken_) fail("a second block without a parent");
      root_taken_ = true;
      placed.builder = &program().root();
      placed.builder->block().kind = kind;
    }
    named_block& entry = define(blocks_, name, std::move(placed));
    open_ = open_block{};
    open_.builder = entry.builder;
    open_.lines = &entry.instructions;
    open_.name = name;
    open_.header_line = line_number_;
    for (; i < tokens_.size(); ++i) block_attribute(*entry.builder, i);
  }

  // Reads the attribute at token i (and its value); i ends on the last token read.
  void block_attribute(krv_block_builder& builder, size_t& i) {
    krv_program_block& block = builder.block();
    const std::string& attribute = word(i);
    if (attribute == "resume_at_end") block.resume_at_end = 1;
    else if (attribute == "has_catch") block.has_catch = 1;
    else if (attribute == "noexcept") block.is_noexcept = 1;
    else if (attribute == "locals") builder.set_locals(count(++i));
    else if (attribute == "params") block.param_count = count(++i);
    else if (attribute == "captured") block.captured_count = count(++i);
    else if (attribute == "first_default") block.first_default = count(++i);
    else if (attribute == "continue") block.continue_offset = count(++i);
    else if (attribute == "method_flags") block.method_flags = byte(++i, "method_flags");
    else if (attribute == "caches") open_.caches = count(++i);
    else if (attribute == "class") block.class_def = krvptr_weak<krv_class_def>::from_raw(find(classes_, word(++i), "class").record);
    else fail("unknown block attribute '" + krv_shown(attribute) + "'");
  }

  krv_label label_of(const std::string& name) {
    auto found = open_.labels.find(name);
    if (found != open_.labels.end()) return found->second;
    return open_.labels.emplace(name, open_.builder->label()).first->second;
  }

  void end_block() {
    expect_end(1);
    for (const auto& [name, label] : open_.labels)
      if (!open_.bound.count(name)) fail("label '" + krv_shown(name) + "' is never bound");
    if (open_.pending_pos != 0) throw text_refusal{open_.pending_pos, "'pos' without an instruction after it"};
    // Entries no instruction can address would only cost memory: a count is honoured up to the users.
    if (open_.caches > open_.cache_users)
      throw text_refusal{open_.header_line, "caches " + std::to_string(open_.caches) +
                                                ": more entries than the block's instructions that use a member cache (" +
                                                std::to_string(open_.cache_users) + ")"};
    for (uint32_t n = 0; n < open_.caches; ++n) open_.builder->add_member_cache_entry();
    open_ = open_block{};
  }

  void block_line(const std::string& head) {
    krv_block_builder& builder = *open_.builder;
    if (head == "end") return end_block();
    if (!tokens_[0].quoted && head.size() > 1 && head.back() == ':') {
      const std::string name = head.substr(0, head.size() - 1);
      if (!open_.bound.insert(name).second) fail("label '" + krv_shown(name) + "' is bound twice");
      builder.bind(label_of(name));
      return expect_end(1);
    }
    if (head == "flag") {
      const uint32_t slot = count(1);
      if (slot >= builder.block().local_flags.size()) fail("flag of a local the block does not have");
      builder.block().local_flags[slot] = byte(2, "flag");
      return expect_end(3);
    }
    if (head == "const") {
      size_t i = 1;
      builder.add_constant(value(i));
      return expect_end(i);
    }
    if (head == "slotref") {
      krv_slot_ref_entry entry;
      entry.kind = byte(1, "slotref kind");
      entry.depth = byte(2, "slotref depth");
      entry.index = count(3);
      entry.name_index = count(4);
      builder.add_slot_ref(entry);
      return expect_end(5);
    }
    if (head == "pos") {
      if (open_.pending_pos != 0) fail("a second 'pos' before an instruction");
      builder.position(*find(sources_, word(1), "source"), count(2), count(3));
      open_.pending_pos = line_number_;
      return expect_end(4);
    }
    const uint32_t start = builder.offset();
    instruction(head);
    open_.pending_pos = 0;
    open_.lines->emplace_back(start, line_number_);
  }

  void instruction(const std::string& mnemonic) {
    const krv_script_op opcode = opcode_of(mnemonic);
    const krv_script_op_info& info = krv_script_op_info_of(opcode);
    std::vector<krv_operand> operands;
    size_t i = 1;
    for (const krv_operand_field& field : info.operands) {
      if (field.kind == krv_operand_kind::none) continue;
      operands.push_back(operand(field.kind, i++));
    }
    if (opcode == KRV_OP_MEMBER || opcode == KRV_OP_CACHED_METHOD_CALL) ++open_.cache_users;
    if (opcode != KRV_OP_NUMERIC_FAST_PATH) {
      expect_end(i);
      return open_.builder->emit(opcode, operands);
    }
    krv_fast_path_body body;
    while (i < tokens_.size()) {
      const std::string& part = word(i);
      if (part == "step") {
        body.steps.push_back({byte(i + 1, "step kind"), byte(i + 2, "step depth"), count(i + 3)});
        i += 4;
      } else if (part == "int") {
        body.constants.push_back({false, static_cast<uint64_t>(integer(i + 1))});
        i += 2;
      } else if (part == "float") {
        body.constants.push_back({true, std::bit_cast<uint64_t>(real(i + 1))});
        i += 2;
      } else {
        fail("unknown fast-path part '" + krv_shown(part) + "'");
      }
    }
    open_.builder->emit_numeric_fast_path(operands, body);
  }

  krv_operand operand(krv_operand_kind kind, size_t i) {
    const std::string& text = word(i);
    switch (kind) {
      case krv_operand_kind::float64: return real(i);
      case krv_operand_kind::jump:
      case krv_operand_kind::length: return label_of(text);
      case krv_operand_kind::native:
        if (text.front() != '@') fail("expected @native");
        return static_cast<const void*>(find(natives_, text.substr(1), "native").record);
      case krv_operand_kind::cell:
        if (text.front() != '$') fail("expected $cell");
        return static_cast<const void*>(find(cells_, text.substr(1), "cell"));
      case krv_operand_kind::klass:
        if (text == "null") return static_cast<const void*>(nullptr);
        if (text.front() != '%') fail("expected %class or null");
        return static_cast<const void*>(find(classes_, text.substr(1), "class").record);
      default: return integer(i);
    }
  }

  krv_script_op opcode_of(const std::string& mnemonic) const {
    for (uint8_t opcode = 1; opcode <= krv_script_op_last; ++opcode)
      if (krv_script_op_info_of(opcode).name == mnemonic) return static_cast<krv_script_op>(opcode);
    fail("unknown instruction '" + krv_shown(mnemonic) + "'");
  }

  // Class links may name blocks declared later. A class's method table holds exactly the methods given
  // for it, so a line cannot make it larger than the text that fills it.
  void resolve_class_links() {
    std::unordered_map<const krv_class_def*, uint32_t> methods_given;
    for (const class_link& link : class_links_)
      if (link.role == link_role::method) ++methods_given[link.klass];
    for (const class_link& link : class_links_) {
      auto refuse = [&](const std::string& why) { throw text_refusal{link.line, why}; };
      const auto* found = blocks_.find(link.block);
      if (found == nullptr) refuse("unknown block '" + krv_shown(link.block) + "'");
      krv_program_block& block = found->value.builder->block();
      auto weak = krvptr_weak<krv_program_block>::from_raw(&block);
      switch (link.role) {
        case link_role::ctor: link.klass->constructor = weak; break;
        case link_role::default_block: link.klass->default_block = weak; break;
        case link_role::deinit: link.klass->deinit = weak; break;
        case link_role::method: {
          const uint32_t given = methods_given[link.klass];
          const std::string which = "method " + std::to_string(link.method_index) + " of class " + krv_shown(link.class_name);
          if (link.method_index >= given)
            refuse(which + ": not below the number of methods given for the class (" + std::to_string(given) + ")");
          auto& methods = link.klass->methods;
          while (methods.size() <= link.method_index) methods.push_back(krvvar_shared::make_none());
          if (methods[link.method_index]->type == KRVVAR_FUNCTION) refuse(which + " is given twice");
          methods[link.method_index]->set_function(&block, nullptr);
          break;
        }
      }
    }
  }

  // The verifier's first finding, at the line of the record or instruction it concerns and under the
  // user's name. The records are searched only here, once, when there is something to refuse.
  void refuse_problems(const krv_program& built) const {
    const std::vector<krv_program_problem> problems = krv_program_problems(built);
    if (problems.empty()) return;
    const krv_program_problem& problem = problems.front();
    auto refuse = [&](const char* kind, const std::string& name, size_t line) {
      std::string where = std::string(kind) + " " + krv_shown(name);
      if (problem.offset >= 0) where += " @" + std::to_string(problem.offset);
      throw text_refusal{line, where + ": " + problem.text};
    };
    for (const auto& [name, native] : natives_.entries())
      if (native.record == problem.record) refuse("native", name, native.line);
    for (const auto& [name, klass] : classes_.entries())
      if (klass.record == problem.record) refuse("class", name, klass.line);
    for (const auto& [name, block] : blocks_.entries())
      if (&block.builder->block() == problem.record) refuse("block", name, line_of(block, problem.offset));
    // Only a root block that no line declared has no name; it holds no code to find fault with.
    throw text_refusal{line_number_, problem.text};
  }

  // The line of the instruction at `offset` of `block`, or the header's for the block as a whole.
  static size_t line_of(const named_block& block, int64_t offset) {
    if (offset < 0) return block.line;
    const auto& lines = block.instructions;
    auto after = std::upper_bound(lines.begin(), lines.end(), std::make_pair(static_cast<uint32_t>(offset), ~size_t{0}));
    return after == lines.begin() ? block.line : std::prev(after)->second;
  }

  std::unique_ptr<krv_program_builder> builder_;
  std::vector<krv_text_token> tokens_;
  size_t line_number_ = 0;
  krv_name_table<krv_source_record*> sources_;
  krv_name_table<declared<krv_function_def>> natives_;
  krv_name_table<krvvar*> cells_;
  krv_name_table<declared<krv_class_def>> classes_;
  krv_name_table<named_block> blocks_;
  std::vector<class_link> class_links_;
  open_block open_;
  bool root_taken_ = false;
};

}  // namespace

krvptr_strong<krv_program> krv_assemble_text(std::string_view text) { return text_assembler(true).run(text).program; }

krv_assembled_text krv_assemble_text_with_lines(std::string_view text) { return text_assembler(true).run(text); }

krvptr_strong<krv_program> krv_assemble_text_unverified(std::string_view text) {
  return text_assembler(false).run(text).program;
}
