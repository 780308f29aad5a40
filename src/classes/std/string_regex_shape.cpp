// Reading a pattern as the library's ECMAScript scanner does (see string_regex_shape.h).
#include "classes/std/string_regex_shape.h"

#include <algorithm>
#include <limits>

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
    return shape_;
  }

 private:
  // Reads the piece that starts at at_; false where the library would refuse the pattern.
  bool read_piece() {
    const size_t start = at_++;
    switch (pattern_[start]) {
      case '\\': return read_escape(false);
      case '[': return read_bracket();
      case '{': return read_brace(start);
      case '(': return read_group_opening();
      case ')':
        if (depth_ > 0) --depth_;
        return true;
      case '|': ++shape_.alternatives; return true;
      case '*':
      case '+': note_quantifier(start); return true;
      default: return true;
    }
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

  // After '(': a capturing group, or (?: (?= (?! of no capture.
  bool read_group_opening() {
    shape_.deepest_nesting = std::max(shape_.deepest_nesting, ++depth_);
    if (at_ >= pattern_.size() || pattern_[at_] != '?') {
      ++shape_.capturing_groups;
      return true;
    }
    const char kind = at_ + 1 < pattern_.size() ? pattern_[at_ + 1] : '\0';
    if (kind != ':' && kind != '=' && kind != '!') return false;
    at_ += 2;
    return true;
  }

  void note_quantifier(size_t at) {
    shape_.has_quantifier = true;
    // Only the byte before counts: an escaped ')' followed by a quantifier counts as a group too.
    if (at > 0 && pattern_[at - 1] == ')') shape_.quantifies_group = true;
  }

  std::string_view pattern_;
  size_t at_ = 0;     // the next byte to read
  size_t depth_ = 0;  // groups open at at_
  krv_regex_shape shape_;
};

}  // namespace

krv_regex_shape krv_regex_read_shape(std::string_view pattern) { return pattern_reader(pattern).read(); }
