// Spelling a pattern for the library (see string_regex_text.h).
#include "classes/std/string_regex_text.h"

#include <cstdint>
#include <regex>

namespace {

bool is_letter(char byte) { return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z'); }

int hex_value(char byte) {
  if (byte >= '0' && byte <= '9') return byte - '0';
  if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
  if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
  return -1;
}

// What a piece of a bracket is to the library's pairing of ranges.
enum class item_kind {
  character,  // can be an end of a range: its byte is `value`
  set,        // a class name or \d \D \s \S \w \W: no end of a range
  dash,
  close,      // the ']'
  refused,    // the library refuses the pattern here (or it ends)
};

struct item {
  item_kind kind = item_kind::refused;
  uint8_t value = 0;
  size_t begin = 0, end = 0;  // its bytes in the pattern
  bool control = false;       // \cX with X a letter: spelled \xHH
};

// The byte of the one-letter escapes of ECMAScript; \b is a backspace inside brackets only.
int escaped_byte(char kind, bool in_brackets) {
  switch (kind) {
    case '0': return 0;
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'v': return '\v';
    case 'b': return in_brackets ? '\b' : -1;
    default: return -1;
  }
}

class library_text {
 public:
  explicit library_text(std::string_view pattern) : pattern_(pattern) {}

  std::string spell() {
    text_.reserve(pattern_.size());
    while (at_ < pattern_.size()) {
      if (pattern_[at_] == '[') {
        if (!spell_bracket()) break;
      } else if (pattern_[at_] == '\\') {
        const item escape = read_escape(at_, false);
        if (escape.kind == item_kind::refused) break;
        spell_item(escape);
        at_ = escape.end;
      } else {
        text_ += pattern_[at_++];
      }
    }
    text_.append(pattern_.substr(at_));  // the rest of a pattern the library refuses
    return text_;
  }

 private:
  // The escape at `begin` as the guards cut it: \cX, \xHH, \uHHHH, \ and digits, or two bytes.
  item read_escape(size_t begin, bool in_brackets) const {
    item escape{item_kind::refused, 0, begin, begin + 2};
    if (begin + 1 >= pattern_.size()) return escape;
    const char kind = pattern_[begin + 1];
    if (kind == 'c') return control_escape(escape);
    if (kind == 'x' || kind == 'u') return hex_escape(escape, kind == 'x' ? 2 : 4);
    if (kind >= '1' && kind <= '9') {  // a back-reference: refused inside brackets
      while (escape.end < pattern_.size() && pattern_[escape.end] >= '0' && pattern_[escape.end] <= '9') ++escape.end;
      escape.kind = in_brackets ? item_kind::refused : item_kind::set;
      return escape;
    }
    if (std::string_view("dDsSwW").find(kind) != std::string_view::npos) {
      escape.kind = item_kind::set;
      return escape;
    }
    if (kind == 'B' || (kind == 'b' && !in_brackets)) {  // an assertion: no piece of a bracket
      escape.kind = in_brackets ? item_kind::refused : item_kind::set;
      return escape;
    }
    const int byte = escaped_byte(kind, in_brackets);
    escape.kind = item_kind::character;
    escape.value = static_cast<uint8_t>(byte >= 0 ? byte : kind);
    return escape;
  }

  item control_escape(item escape) const {
    if (escape.end >= pattern_.size()) return escape;
    const char letter = pattern_[escape.end++];
    escape.kind = item_kind::character;
    escape.control = is_letter(letter);
    escape.value = static_cast<uint8_t>(escape.control ? letter % 32 : letter);
    return escape;
  }

  // \xHH or \uHHHH; the library keeps the low byte of \u's value.
  item hex_escape(item escape, size_t digits) const {
    unsigned value = 0;
    for (size_t n = 0; n < digits; ++n, ++escape.end) {
      if (escape.end >= pattern_.size() || hex_value(pattern_[escape.end]) < 0) return escape;
      value = value * 16 + static_cast<unsigned>(hex_value(pattern_[escape.end]));
    }
    escape.kind = item_kind::character;
    escape.value = static_cast<uint8_t>(value);
    return escape;
  }

  // The item of a bracket at `begin`.
  item read_bracket_item(size_t begin) const {
    if (begin >= pattern_.size()) return {item_kind::refused, 0, begin, begin};
    const char byte = pattern_[begin];
    if (byte == '\\') return read_escape(begin, true);
    if (byte == ']') return {item_kind::close, 0, begin, begin + 1};
    if (byte == '-') return {item_kind::dash, '-', begin, begin + 1};
    if (byte == '[' && begin + 1 < pattern_.size()) {
      const char mark = pattern_[begin + 1];
      if (mark == ':' || mark == '.' || mark == '=') return class_name(begin, mark);
    }
    return {item_kind::character, static_cast<uint8_t>(byte), begin, begin + 1};
  }

  // [:name:] [=name=] are sets; [.x.] of one byte is that character.
  item class_name(size_t begin, char mark) const {
    const size_t closing = pattern_.find(mark, begin + 2);
    if (closing == std::string_view::npos || closing + 1 >= pattern_.size() || pattern_[closing + 1] != ']')
      return {item_kind::refused, 0, begin, begin};
    const bool one_byte = mark == '.' && closing == begin + 3;
    return {one_byte ? item_kind::character : item_kind::set, static_cast<uint8_t>(pattern_[begin + 2]), begin,
            closing + 2};
  }

  void spell_item(const item& piece) {
    if (!piece.control) {
      text_.append(pattern_.substr(piece.begin, piece.end - piece.begin));
      return;
    }
    static constexpr char digits[] = "0123456789abcdef";
    text_ += "\\x";
    text_ += digits[piece.value >> 4];
    text_ += digits[piece.value & 15];
  }

  // From '[' to its ']', pairing ranges as the library does; false where the library refuses the bracket.
  bool spell_bracket() {
    text_ += pattern_[at_++];
    if (at_ < pattern_.size() && pattern_[at_] == '^') text_ += pattern_[at_++];
    bool after_character = false;  // the item before could start a range
    uint8_t last = 0;              // its byte
    bool after_set = false;
    for (;;) {
      const item piece = read_bracket_item(at_);
      if (piece.kind == item_kind::refused) return false;
      if (piece.kind == item_kind::close) {
        spell_item(piece);
        at_ = piece.end;
        return true;
      }
      if (piece.kind != item_kind::dash || !(after_character || after_set)) {
        // A dash with nothing before it is a character, and may start a range.
        spell_item(piece);
        at_ = piece.end;
        after_character = piece.kind != item_kind::set;
        after_set = piece.kind == item_kind::set;
        last = piece.value;
        continue;
      }
      const item end = read_bracket_item(piece.end);
      if (end.kind == item_kind::close) {  // "-]": a character
        spell_item(piece);
        at_ = piece.end;
        continue;
      }
      // "\w-x" and "x-\w" the library refuses.
      if (after_set || (end.kind != item_kind::character && end.kind != item_kind::dash)) return false;
      spell_range(last, piece, end);
      at_ = end.end;
      after_character = after_set = false;
    }
  }

  // lo-hi, its lo already spelled.
  void spell_range(uint8_t lo, const item& dash, const item& hi) {
    if (lo > hi.value) throw std::regex_error(std::regex_constants::error_range);
    spell_item(dash);
    if (lo < 0x80 && hi.value >= 0x80) text_ += "\\x7f\\x80-";
    spell_item(hi);
  }

  std::string_view pattern_;
  size_t at_ = 0;
  std::string text_;
};

}  // namespace

std::string krv_regex_library_text(std::string_view pattern) { return library_text(pattern).spell(); }
