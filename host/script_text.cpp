#include "script_text.h"

#include <bit>
#include <charconv>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

#include "script_builder.h"
#include "script_text_tokens.h"

namespace {

class text_assembler {
 public:
  krvptr_strong<krv_program> run(std::string_view text) {
    // Every refusal names the line it was found on.
    try {
      return assemble(text);
    } catch (const std::invalid_argument& error) {
      throw std::invalid_argument("line " + std::to_string(line_number_) + ": " + error.what());
    }
  }

 private:
  struct class_link {
    krv_class_def* klass;
    std::string role;  // ctor, default, deinit, or a method index
    std::string block;
    size_t line;
  };

  krvptr_strong<krv_program> assemble(std::string_view text) {
    size_t start = 0;
    while (start <= text.size()) {
      const size_t end = std::min(text.find('\n', start), text.size());
      ++line_number_;
      tokens_ = krv_split_tokens(text.substr(start, end - start));
      if (!tokens_.empty()) line();
      start = end + 1;
    }
    if (current_ != nullptr) fail("block " + current_name_ + " has no end");
    resolve_class_links();
    return program().finish();
  }

  [[noreturn]] static void fail(const std::string& message) { throw std::invalid_argument(message); }

  krv_program_builder& program(std::string name = "script") {
    if (!builder_) builder_ = std::make_unique<krv_program_builder>(std::move(name));
    return *builder_;
  }

  // Token access.
  const krv_text_token& token(size_t i) const {
    if (i >= tokens_.size()) fail("missing operand after '" + tokens_.back().text + "'");
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
      fail(std::string("expected ") + expected + ", got '" + text + "'");
    return value;
  }
  int64_t integer(size_t i) const { return parse<int64_t>(i, "an integer"); }
  double real(size_t i) const { return parse<double>(i, "a number"); }
  uint32_t count(size_t i) const {
    const int64_t value = integer(i);
    if (value < 0 || value > 0xFFFFFFFFll) fail("value out of range: " + std::to_string(value));
    return static_cast<uint32_t>(value);
  }
  template <class T>
  T* find(const std::map<std::string, T*>& names, const std::string& name, const char* what) const {
    auto found = names.find(name);
    if (found == names.end()) fail(std::string("unknown ") + what + " '" + name + "'");
    return found->second;
  }
  template <class T>
  void define(std::map<std::string, T*>& names, const std::string& name, T* record) {
    if (!names.emplace(name, record).second) fail("'" + name + "' is defined twice");
  }
  void expect_end(size_t used) const {
    if (tokens_.size() > used) fail("unexpected '" + tokens_[used].text + "'");
  }

  // A value written as none, int N, float X, string "..." or class K (a class declared above), starting
  // at token i; i ends past it.
  krvvar_shared value(size_t& i) {
    const std::string& kind = word(i++);
    if (kind == "none") return krvvar_shared::make_none();
    if (kind == "int") return krvvar_shared::make_int(integer(i++));
    if (kind == "float") return krvvar_shared::make_float(real(i++));
    if (kind == "string") return krvvar_shared::make_string(quoted(i++));
    if (kind == "class") return krv_class_value(*find(classes_, word(i++), "class"));
    fail("unknown value kind '" + kind + "'");
  }

  void line() {
    const std::string& head = tokens_[0].text;
    if (current_ != nullptr) return block_line(head);
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
      source->lines[count(2)] = quoted(3);
      return expect_end(4);
    }
    if (head == "native") {
      define(natives_, word(1), &program().add_native(quoted(2), count(3), count(4)));
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
      class_links_.push_back({find(classes_, word(1), "class"), std::to_string(count(2)), word(3), line_number_});
      return expect_end(4);
    }
    if (head == "block") return block_header();
    fail("unknown directive '" + head + "'");
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
    define(classes_, word(1), &klass);
    for (size_t i = 3; i < tokens_.size(); i += 2) {
      const std::string& attribute = word(i);
      if (attribute == "base")
        klass.bases.push_back(krvptr_weak<krv_class_def>::from_raw(find(classes_, word(i + 1), "class")));
      else if (attribute == "abstract")
        klass.abstract_methods.push_back(quoted(i + 1));
      else if (attribute == "ctor" || attribute == "default" || attribute == "deinit")
        class_links_.push_back({&klass, attribute, word(i + 1), line_number_});
      else
        fail("unknown class attribute '" + attribute + "'");
    }
  }

  void member_line() {
    krv_class_def* klass = find(classes_, word(1), "class");
    krv_symbol symbol{count(3), 0, 0};
    for (size_t i = 4; i < tokens_.size(); ++i) {
      if (word(i) == "method")
        symbol.is_method = 1;
      else if (word(i) == "private")
        symbol.is_private = 1;
      else
        fail("unknown member flag '" + word(i) + "'");
    }
    klass->symbols->symbols[quoted(2)] = symbol;
  }

  void block_header() {
    const std::string& name = word(1);
    const uint32_t kind = count(2);
    size_t i = 3;
    krv_block_builder* builder = nullptr;
    if (i < tokens_.size() && (word(i) == "child" || word(i) == "body")) {
      krv_block_builder* parent = find(blocks_, word(i + 1), "block");
      builder = word(i) == "child" ? &parent->add_child(kind) : &parent->add_body(kind);
      i += 2;
    } else {
      if (root_taken_) fail("a second block without a parent");
      root_taken_ = true;
      builder = &program().root();
      builder->block().kind = kind;
    }
    define(blocks_, name, builder);
    for (; i < tokens_.size(); ++i) block_attribute(*builder, i);
    current_ = builder;
    current_name_ = name;
    labels_.clear();
    bound_.clear();
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
    else if (attribute == "method_flags") block.method_flags = static_cast<uint8_t>(count(++i));
    else if (attribute == "caches") {
      for (uint32_t n = count(++i); n > 0; --n) builder.add_member_cache_entry();
    } else if (attribute == "class") {
      block.class_def = krvptr_weak<krv_class_def>::from_raw(find(classes_, word(++i), "class"));
    } else {
      fail("unknown block attribute '" + attribute + "'");
    }
  }

  krv_label label_of(const std::string& name) {
    auto found = labels_.find(name);
    if (found != labels_.end()) return found->second;
    return labels_.emplace(name, current_->label()).first->second;
  }

  void block_line(const std::string& head) {
    krv_block_builder& builder = *current_;
    if (head == "end") {
      expect_end(1);
      for (const auto& [name, label] : labels_)
        if (!bound_.count(name)) fail("label '" + name + "' is never bound");
      current_ = nullptr;
      return;
    }
    if (!tokens_[0].quoted && head.size() > 1 && head.back() == ':') {
      const std::string name = head.substr(0, head.size() - 1);
      if (!bound_.insert(name).second) fail("label '" + name + "' is bound twice");
      builder.bind(label_of(name));
      return expect_end(1);
    }
    if (head == "flag") {
      const uint32_t slot = count(1);
      if (slot >= builder.block().local_flags.size()) fail("flag of a local the block does not have");
      builder.block().local_flags[slot] = static_cast<uint8_t>(count(2));
      return expect_end(3);
    }
    if (head == "const") {
      size_t i = 1;
      builder.add_constant(value(i));
      return expect_end(i);
    }
    if (head == "slotref") {
      krv_slot_ref_entry entry;
      entry.kind = static_cast<uint8_t>(count(1));
      entry.depth = static_cast<uint8_t>(count(2));
      entry.index = count(3);
      entry.name_index = count(4);
      builder.add_slot_ref(entry);
      return expect_end(5);
    }
    if (head == "pos") {
      builder.position(*find(sources_, word(1), "source"), count(2), count(3));
      return expect_end(4);
    }
    instruction(head);
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
    if (opcode != KRV_OP_NUMERIC_FAST_PATH) {
      expect_end(i);
      return current_->emit(opcode, operands);
    }
    krv_fast_path_body body;
    while (i < tokens_.size()) {
      const std::string& part = word(i);
      if (part == "step") {
        body.steps.push_back({static_cast<uint8_t>(count(i + 1)), static_cast<uint8_t>(count(i + 2)), count(i + 3)});
        i += 4;
      } else if (part == "int") {
        body.constants.push_back({false, static_cast<uint64_t>(integer(i + 1))});
        i += 2;
      } else if (part == "float") {
        body.constants.push_back({true, std::bit_cast<uint64_t>(real(i + 1))});
        i += 2;
      } else {
        fail("unknown fast-path part '" + part + "'");
      }
    }
    current_->emit_numeric_fast_path(operands, body);
  }

  krv_operand operand(krv_operand_kind kind, size_t i) {
    const std::string& text = word(i);
    switch (kind) {
      case krv_operand_kind::float64: return real(i);
      case krv_operand_kind::jump:
      case krv_operand_kind::length: return label_of(text);
      case krv_operand_kind::native:
        if (text.front() != '@') fail("expected @native");
        return static_cast<const void*>(find(natives_, text.substr(1), "native"));
      case krv_operand_kind::cell:
        if (text.front() != '$') fail("expected $cell");
        return static_cast<const void*>(find(cells_, text.substr(1), "cell"));
      case krv_operand_kind::klass:
        if (text == "null") return static_cast<const void*>(nullptr);
        if (text.front() != '%') fail("expected %class or null");
        return static_cast<const void*>(find(classes_, text.substr(1), "class"));
      default: return integer(i);
    }
  }

  krv_script_op opcode_of(const std::string& mnemonic) const {
    for (uint8_t opcode = 1; opcode <= krv_script_op_last; ++opcode)
      if (krv_script_op_info_of(opcode).name == mnemonic) return static_cast<krv_script_op>(opcode);
    fail("unknown instruction '" + mnemonic + "'");
  }

  void resolve_class_links() {
    for (const class_link& link : class_links_) {
      line_number_ = link.line;
      krv_program_block& block = find(blocks_, link.block, "block")->block();
      auto weak = krvptr_weak<krv_program_block>::from_raw(&block);
      if (link.role == "ctor") {
        link.klass->constructor = weak;
      } else if (link.role == "default") {
        link.klass->default_block = weak;
      } else if (link.role == "deinit") {
        link.klass->deinit = weak;
      } else {
        const size_t index = std::stoul(link.role);
        if (index >= 4096) fail("method index out of range");
        auto& methods = link.klass->methods;
        while (methods.size() <= index) methods.push_back(krvvar_shared::make_none());
        methods[index]->set_function(&block, nullptr);
      }
    }
  }

  std::unique_ptr<krv_program_builder> builder_;
  std::vector<krv_text_token> tokens_;
  size_t line_number_ = 0;
  std::map<std::string, krv_source_record*> sources_;
  std::map<std::string, krv_function_def*> natives_;
  std::map<std::string, krvvar*> cells_;
  std::map<std::string, krv_class_def*> classes_;
  std::map<std::string, krv_block_builder*> blocks_;
  std::map<std::string, krv_label> labels_;  // of the current block
  std::set<std::string> bound_;              // labels of the current block bound so far
  std::vector<class_link> class_links_;
  krv_block_builder* current_ = nullptr;
  std::string current_name_;
  bool root_taken_ = false;
};

}  // namespace

krvptr_strong<krv_program> krv_assemble_text(std::string_view text) { return text_assembler().run(text); }
