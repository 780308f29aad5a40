// Reading a pattern as the library's ECMAScript scanner does (see string_regex_shape.h).
#include "classes/std/string_regex_shape.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

namespace {

bool is_digit(char byte) { return byte >= '0' && byte <= '9'; }

bool is_hex_digit(char byte) {
  return is_digit(byte) || (byte >= 'a' && byte <= 'f') || (byte >= 'A' && byte <= 'F');
}

// A '{' at `brace` counts as a quantifier when digits, a comma and digits follow, then '}' or the end of
// the pattern ({2,5}, {2,}, {,5}, a trailing {2,). A brace without a comma ({3}) repeats a fixed number
// of times and does not.
bool is_open_ended_brace(std::string_view pattern, size_t brace) {
  size_t at = brace + 1;
  while (at < pattern.size() && is_digit(pattern[at])) ++at;
  if (at >= pattern.size() || pattern[at] != ',') return false;
  ++at;
  while (at < pattern.size() && is_digit(pattern[at])) ++at;
  return at == pattern.size() || pattern[at] == '}';
}

class pattern_reader {
 public:
  explicit pattern_reader(std::string_view pattern) : pattern_(pattern) {}

  krv_regex_shape read() {
    while (at_ < pattern_.size())
      if (!read_piece()) break;
    // Deeper nesting is refused before compiling (krv_regex_max_group_depth), so it needs no bound.
    if (!too_deep()) shape_.matcher_stack = walk_.finish();
    return shape_;
  }

 private:
  // Reads the piece that starts at at_; false where the library would refuse the pattern.
  bool read_piece() {
    const size_t start = at_++;
    const bool lazy_mark = std::exchange(quantifier_before_, false) && pattern_[start] == '?';
    switch (pattern_[start]) {
      case '\\':
        compiled_piece();
        return read_escape_piece(start);
      case '[':
        compiled_piece();
        on_walk([&] { walk_.atom(krv_regex_walk_atom()); });
        return read_bracket();
      case '{': return read_brace(start);
      case '(': return read_group_opening();
      case ')':
        if (depth_ == 0) return false;  // the library refuses a ')' with no group open
        --depth_;
        compiled_close();
        on_walk([&] { walk_.close(); });
        return true;
      case '|':
        compiled_alternative();
        on_walk([&] { walk_.alternative(); });
        return true;
      case '*':
      case '+':
        note_quantifier(start);
        on_walk([&] { walk_.quantify(pattern_[start] == '*' ? krv_regex_walk_loop : one_or_more); });
        return true;
      case '?':
        // Right after a quantifier it makes that one lazy, which walks the same paths.
        if (!lazy_mark) {
          quantifier_before_ = true;
          on_walk([&] { walk_.quantify(krv_regex_walk_optional); });
        }
        return true;
      case '^':
      case '$':
        compiled_piece();
        on_walk([&] { walk_.assertion(krv_regex_walk_assertion()); });
        return true;
      default:
        compiled_piece();
        on_walk([&] { walk_.atom(krv_regex_walk_atom()); });
        return true;
    }
  }

  static krv_regex_walk one_or_more(const krv_regex_walk& body) {
    return krv_regex_walk_sequence(body, krv_regex_walk_loop(body));
  }

  // An escape outside brackets: an assertion (\b \B), a back-reference or one character.
  bool read_escape_piece(size_t start) {
    if (!read_escape(false)) return false;
    const char kind = pattern_[start + 1];
    on_walk([&] {
      if (kind == 'b' || kind == 'B') {
        walk_.assertion(krv_regex_walk_assertion());
      } else if (kind >= '1' && kind <= '9') {
        walk_.backref(backref_group_);
      } else {
        walk_.atom(krv_regex_walk_atom());
      }
    });
    return true;
  }

  // The compiler's recursion as it reads each piece, each '|' and each group (krv_regex_compile_piece_frame).
  void compiled_piece() {
    if (too_deep()) return;
    ++compiled_pieces_.back();
    hold_compiler_stack(krv_regex_compile_piece_frame);
  }
  void compiled_alternative() {
    if (too_deep()) return;
    compiler_stack_ -= compiled_pieces_.back() * krv_regex_compile_piece_frame;
    compiled_pieces_.back() = 0;
  }
  void compiled_open() {
    compiled_piece();
    if (too_deep()) return;
    compiled_pieces_.push_back(0);
    hold_compiler_stack(krv_regex_compile_group_frame);
  }
  void compiled_close() {
    if (too_deep() || compiled_pieces_.size() < 2) return;
    compiled_alternative();
    compiled_pieces_.pop_back();
    compiler_stack_ -= krv_regex_compile_group_frame;
  }
  void hold_compiler_stack(uint64_t bytes) {
    compiler_stack_ += bytes;
    shape_.compiler_stack = std::max(shape_.compiler_stack, compiler_stack_);
  }

  bool too_deep() const { return shape_.deepest_nesting > krv_regex_max_group_depth; }

  // Feeds the walk builder unless the nesting has gone past what is ever compiled.
  template <class Step>
  void on_walk(Step step) {
    if (!too_deep()) step();
  }

  // After a backslash: the escape as the library cuts it.
  bool read_escape(bool in_brackets) {
    if (at_ >= pattern_.size()) return false;
    const char kind = pattern_[at_++];
    if (kind == 'c') return skip(1);
    if (kind == 'x') return skip_hex_digits(2);
    if (kind == 'u') return skip_hex_digits(4);
    if (kind >= '1' && kind <= '9') {
      const uint64_t group = read_number(static_cast<uint64_t>(kind - '0'));
      // Inside brackets the library refuses a back-reference outright, without reading its number.
      if (!in_brackets && group > shape_.capturing_groups) shape_.refers_to_unopened_group = true;
      backref_group_ = group;
    }
    return true;
  }

  bool skip(size_t bytes) {
    if (pattern_.size() - at_ < bytes) return false;
    at_ += bytes;
    return true;
  }

  bool skip_hex_digits(size_t count) {
    for (size_t n = 0; n < count; ++n, ++at_)
      if (at_ >= pattern_.size() || !is_hex_digit(pattern_[at_])) return false;
    return true;
  }

  // The digits from at_ on, after a first value already read; saturates instead of overflowing.
  uint64_t read_number(uint64_t value) {
    constexpr uint64_t most = std::numeric_limits<uint64_t>::max();
    for (; at_ < pattern_.size() && is_digit(pattern_[at_]); ++at_) {
      const auto digit = static_cast<uint64_t>(pattern_[at_] - '0');
      value = value > (most - digit) / 10 ? most : value * 10 + digit;
    }
    return value;
  }

  // After '[': everything up to the ']' that closes it.
  bool read_bracket() {
    if (at_ < pattern_.size() && pattern_[at_] == '^') ++at_;
    while (at_ < pattern_.size()) {
      const char byte = pattern_[at_++];
      if (byte == ']') return true;
      if (byte == '\\' && !read_escape(true)) return false;
      if (byte == '[' && !read_class_name()) return false;
    }
    return false;
  }

  // After a '[' inside brackets: [:name:], [.name.] or [=name=] up to its closing pair (the name may
  // hold a ']'); any other '[' is an ordinary character.
  bool read_class_name() {
    if (at_ >= pattern_.size()) return false;
    const char mark = pattern_[at_];
    if (mark != ':' && mark != '.' && mark != '=') return true;
    const size_t end = pattern_.find(mark, at_ + 1);
    if (end == std::string_view::npos || end + 1 >= pattern_.size() || pattern_[end + 1] != ']') return false;
    at_ = end + 2;
    return true;
  }

  // After '{': counts and commas up to the '}'.
  bool read_brace(size_t brace) {
    if (is_open_ended_brace(pattern_, brace)) note_quantifier(brace);
    quantify_braces(brace);
    while (at_ < pattern_.size()) {
      const char byte = pattern_[at_];
      if (is_digit(byte)) {
        shape_.largest_repeat_count = std::max(shape_.largest_repeat_count, read_number(0));
      } else if (byte == ',') {
        ++at_;
      } else {
        return byte == '}' && skip(1);
      }
    }
    return false;
  }

  // The well-formed braces {n}, {n,} and {n,m} as the library reads them, for the walk; the library
  // refuses any other form, and counts above krv_regex_max_repeat_count are refused before compiling.
  void quantify_braces(size_t brace) {
    size_t at = brace + 1;
    const size_t least_from = at;
    uint64_t least = 0, most = 0;
    for (; at < pattern_.size() && is_digit(pattern_[at]) && least <= saturated_count; ++at)
      least = least * 10 + static_cast<uint64_t>(pattern_[at] - '0');
    if (at == least_from || at >= pattern_.size()) return;
    bool unbounded = false;
    most = least;
    if (pattern_[at] == ',') {
      const size_t most_from = ++at;
      for (most = 0; at < pattern_.size() && is_digit(pattern_[at]) && most <= saturated_count; ++at)
        most = most * 10 + static_cast<uint64_t>(pattern_[at] - '0');
      unbounded = at == most_from;
    }
    if (at >= pattern_.size() || pattern_[at] != '}' || (!unbounded && most < least)) return;
    quantifier_before_ = true;
    on_walk([&] { walk_.quantify_braces(least, most, unbounded); });
  }

  // After '(': a capturing group, or (?: (?= (?! of no capture.
  bool read_group_opening() {
    shape_.deepest_nesting = std::max(shape_.deepest_nesting, ++depth_);
    compiled_open();
    if (at_ >= pattern_.size() || pattern_[at_] != '?') {
      ++shape_.capturing_groups;
      on_walk([&] { walk_.open(krv_regex_walk_builder::group_kind::capture); });
      return true;
    }
    const char kind = at_ + 1 < pattern_.size() ? pattern_[at_ + 1] : '\0';
    if (kind != ':' && kind != '=' && kind != '!') return false;
    at_ += 2;
    using group_kind = krv_regex_walk_builder::group_kind;
    on_walk([&] { walk_.open(kind == ':' ? group_kind::plain : group_kind::lookahead); });
    return true;
  }

  void note_quantifier(size_t at) {
    quantifier_before_ = true;
    shape_.has_quantifier = true;
    // Only the byte before counts: an escaped ')' followed by a quantifier counts as a group too.
    if (at > 0 && pattern_[at - 1] == ')') shape_.quantifies_group = true;
  }

  // A brace count past this is refused anyway; reading stops growing it there.
  static constexpr uint64_t saturated_count = uint64_t{1} << 32;

  std::string_view pattern_;
  size_t at_ = 0;     // the next byte to read
  size_t depth_ = 0;  // groups open at at_
  bool quantifier_before_ = false;  // the piece just read was a quantifier: a '?' now makes it lazy
  uint64_t backref_group_ = 0;      // the number of the last back-reference read
  krv_regex_walk_builder walk_;
  std::vector<uint64_t> compiled_pieces_{0};  // per open group, the pieces of its alternative read so far
  uint64_t compiler_stack_ = 0;               // what the compiler holds at at_
  krv_regex_shape shape_;
};

}  // namespace

krv_regex_shape krv_regex_read_shape(std::string_view pattern) { return pattern_reader(pattern).read(); }
