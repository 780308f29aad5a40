#include "classes/std/json_strict_reader.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "classes/std/json_container_filler.h"
#include "classes/std/json_utf8.h"
#include "runtime/storage/json_visit_guard.h"

namespace {

// Bytes a string holds without escaping: printable ASCII but the quote and the backslash.
constexpr bool plain_string_byte(unsigned char byte) { return byte >= 0x20 && byte < 0x80 && byte != '"' && byte != '\\'; }

class strict_reader {
 public:
  strict_reader(std::string_view text, krv_json_container_filler& filler)
      : at_(reinterpret_cast<const unsigned char*>(text.data())), end_(at_ + text.size()), filler_(filler) {}

  bool read_document();
  // The number token the reader gave up at because no double holds it; empty otherwise.
  std::string_view overflowing_number() const { return overflowing_number_; }

 private:
  void skip_whitespace() {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) ++at_;
  }
  bool next_is(unsigned char byte) const { return at_ != end_ && *at_ == byte; }
  bool value(bool& opened);
  bool open(bool is_object, bool& opened);
  bool after_value(bool& finished);
  bool member_key();
  bool string(std::string_view& read);
  bool escaped_string(const unsigned char* start, std::string_view& read);
  bool escape();
  bool hex4(uint32_t& unit);
  bool number();
  bool literal(std::string_view word);

  const unsigned char* at_;
  const unsigned char* end_;
  krv_json_container_filler& filler_;
  std::vector<bool> open_objects_;  // for each open container, innermost last: an object (else an array)
  std::string unescaped_;            // the text of the string being read, when it holds escapes
  std::string_view overflowing_number_;  // see overflowing_number()
};

bool strict_reader::read_document() {
  skip_whitespace();
  for (;;) {
    bool opened = false;
    if (!value(opened)) return false;
    if (opened) continue;
    bool finished = false;
    if (!after_value(finished)) return false;
    if (finished) return true;
  }
}

// One value; `opened` when it opens a container with a member or element, which is due next.
bool strict_reader::value(bool& opened) {
  if (at_ == end_) return false;
  switch (*at_) {
    case '{': return open(true, opened);
    case '[': return open(false, opened);
    case '"': {
      std::string_view read;
      return string(read) && filler_.string(read);
    }
    case 't': return literal("true") && filler_.boolean(true);
    case 'f': return literal("false") && filler_.boolean(false);
    case 'n': return literal("null") && filler_.null();
    default: return number();
  }
}

// Opens a container (refused at the depth limit, where the fill fails and nlohmann's reading reports
// it); an empty one is closed at once, else it stays open with its first member's key read.
bool strict_reader::open(bool is_object, bool& opened) {
  if (open_objects_.size() >= krv_json_max_depth) return false;
  ++at_;
  is_object ? filler_.start_object(0) : filler_.start_array(0);
  skip_whitespace();
  if (next_is(is_object ? '}' : ']')) {
    ++at_;
    is_object ? filler_.end_object() : filler_.end_array();
    return true;
  }
  open_objects_.push_back(is_object);
  opened = true;
  return !is_object || member_key();
}

// After a value: commas and closing brackets up to the next value due, or to the end of the text
// (`finished`); false on anything else.
bool strict_reader::after_value(bool& finished) {
  for (;;) {
    skip_whitespace();
    if (open_objects_.empty()) {
      finished = true;
      return at_ == end_;
    }
    if (at_ == end_) return false;
    const bool in_object = open_objects_.back();
    const unsigned char byte = *at_++;
    if (byte == ',') {
      skip_whitespace();
      return !in_object || member_key();
    }
    if (byte != (in_object ? '}' : ']')) return false;
    open_objects_.pop_back();
    in_object ? filler_.end_object() : filler_.end_array();
  }
}

// A member's key and its colon, up to its value.
bool strict_reader::member_key() {
  std::string_view key;
  if (!next_is('"') || !string(key)) return false;
  filler_.key(key);
  skip_whitespace();
  if (!next_is(':')) return false;
  ++at_;
  skip_whitespace();
  return true;
}

// A string from its opening quote; `read` views the text itself when it holds no escape.
bool strict_reader::string(std::string_view& read) {
  const unsigned char* start = ++at_;
  for (;;) {
    while (at_ != end_ && plain_string_byte(*at_)) ++at_;
    if (at_ == end_) return false;
    if (*at_ == '"') break;
    if (*at_ == '\\') return escaped_string(start, read);
    if (*at_ < 0x80) return false;  // a control byte
    size_t ill_formed = 0;
    const size_t length = krv_utf8_well_formed_length(at_, static_cast<size_t>(end_ - at_), ill_formed);
    if (length == 0) return false;
    at_ += length;
  }
  read = std::string_view(reinterpret_cast<const char*>(start), static_cast<size_t>(at_ - start));
  ++at_;
  return true;
}

// The rest of a string that holds an escape, from its start; `at_` is at the first backslash.
bool strict_reader::escaped_string(const unsigned char* start, std::string_view& read) {
  unescaped_.assign(reinterpret_cast<const char*>(start), static_cast<size_t>(at_ - start));
  for (;;) {
    const unsigned char* run = at_;
    while (at_ != end_ && plain_string_byte(*at_)) ++at_;
    unescaped_.append(reinterpret_cast<const char*>(run), static_cast<size_t>(at_ - run));
    if (at_ == end_) return false;
    if (*at_ == '"') break;
    if (*at_ == '\\') {
      if (!escape()) return false;
      continue;
    }
    if (*at_ < 0x80) return false;
    size_t ill_formed = 0;
    const size_t length = krv_utf8_well_formed_length(at_, static_cast<size_t>(end_ - at_), ill_formed);
    if (length == 0) return false;
    unescaped_.append(reinterpret_cast<const char*>(at_), length);
    at_ += length;
  }
  read = unescaped_;
  ++at_;
  return true;
}

// One escape from its backslash, appended as UTF-8; a surrogate escape must be a high one followed by
// a low one.
bool strict_reader::escape() {
  if (end_ - at_ < 2) return false;
  const unsigned char kind = at_[1];
  at_ += 2;
  switch (kind) {
    case '"': unescaped_ += '"'; return true;
    case '\\': unescaped_ += '\\'; return true;
    case '/': unescaped_ += '/'; return true;
    case 'b': unescaped_ += '\b'; return true;
    case 'f': unescaped_ += '\f'; return true;
    case 'n': unescaped_ += '\n'; return true;
    case 'r': unescaped_ += '\r'; return true;
    case 't': unescaped_ += '\t'; return true;
    case 'u': break;
    default: return false;
  }
  uint32_t code = 0;
  if (!hex4(code) || (code >= 0xDC00 && code <= 0xDFFF)) return false;
  if (code >= 0xD800 && code <= 0xDBFF) {
    uint32_t low = 0;
    if (end_ - at_ < 2 || at_[0] != '\\' || at_[1] != 'u') return false;
    at_ += 2;
    if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
  }
  if (code < 0x80) {
    unescaped_ += static_cast<char>(code);
  } else if (code < 0x800) {
    unescaped_ += static_cast<char>(0xC0 | (code >> 6));
    unescaped_ += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    unescaped_ += static_cast<char>(0xE0 | (code >> 12));
    unescaped_ += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    unescaped_ += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    unescaped_ += static_cast<char>(0xF0 | (code >> 18));
    unescaped_ += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    unescaped_ += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    unescaped_ += static_cast<char>(0x80 | (code & 0x3F));
  }
  return true;
}

bool strict_reader::hex4(uint32_t& unit) {
  if (end_ - at_ < 4) return false;
  unit = 0;
  for (const unsigned char* last = at_ + 4; at_ != last; ++at_) {
    const unsigned char lower = *at_ | 0x20;
    if (*at_ >= '0' && *at_ <= '9')
      unit = unit << 4 | static_cast<uint32_t>(*at_ - '0');
    else if (lower >= 'a' && lower <= 'f')
      unit = unit << 4 | static_cast<uint32_t>(lower - 'a' + 10);
    else
      return false;
  }
  return true;
}

// Whether the magnitude of `number` (a number token by JSON's grammar) is at least 10^309, above every
// double: its first significant digit stands at a decimal place of 309 or more once the exponent is
// applied. The token's length bounds the places; the exponent is read saturating.
bool at_least_1e309(std::string_view number) {
  constexpr int64_t bound = int64_t{1} << 52;
  const size_t first_digit = number.starts_with('-') ? 1 : 0;
  const size_t at = std::min(number.find_first_not_of("0123456789", first_digit), number.size());
  int64_t place = 0;
  if (number[first_digit] != '0') {
    place = static_cast<int64_t>(at - first_digit) - 1;
  } else {
    if (at == number.size() || number[at] != '.') return false;  // zero, whatever its exponent
    const size_t significant = number.find_first_not_of('0', at + 1);
    if (significant == std::string_view::npos || number[significant] < '1' || number[significant] > '9') return false;
    place = -static_cast<int64_t>(significant - at);
  }
  const size_t exponent_mark = number.find_first_of("eE", at);
  int64_t exponent = 0;
  if (exponent_mark != std::string_view::npos) {
    size_t digit = exponent_mark + 1;
    const bool negative = number[digit] == '-';
    if (number[digit] == '-' || number[digit] == '+') ++digit;
    for (; digit < number.size() && exponent < bound; ++digit) exponent = exponent * 10 + (number[digit] - '0');
    if (negative) exponent = -exponent;
  }
  return place + exponent >= 309;
}

// A number by JSON's grammar: integers that fit in int64 as integers, the rest as doubles that convert
// without overflow or underflow (nlohmann turns larger integers into unsigned ones or doubles, and
// reports overflow: those texts are left to it).
bool strict_reader::number() {
  const unsigned char* start = at_;
  const auto digits = [this] {
    const unsigned char* first = at_;
    while (at_ != end_ && *at_ >= '0' && *at_ <= '9') ++at_;
    return at_ != first;
  };
  if (next_is('-')) ++at_;
  if (next_is('0')) {
    ++at_;
  } else if (!digits()) {
    return false;
  }
  bool integral = true;
  if (next_is('.')) {
    ++at_;
    if (!digits()) return false;
    integral = false;
  }
  if (next_is('e') || next_is('E')) {
    ++at_;
    if (next_is('+') || next_is('-')) ++at_;
    if (!digits()) return false;
    integral = false;
  }
  const char* first = reinterpret_cast<const char*>(start);
  const char* last = reinterpret_cast<const char*>(at_);
  if (integral) {
    int64_t integer = 0;
    const auto [next, error] = std::from_chars(first, last, integer);
    if (error == std::errc() && next == last) return filler_.number_integer(integer);
  } else {
    double floating = 0;
    const auto [next, error] = std::from_chars(first, last, floating);
    if (error == std::errc() && next == last) return filler_.number_float(floating);
  }
  // Given up; the caller learns when no double holds the number.
  const std::string_view token(first, static_cast<size_t>(last - first));
  if (at_least_1e309(token)) overflowing_number_ = token;
  return false;
}

bool strict_reader::literal(std::string_view word) {
  if (static_cast<size_t>(end_ - at_) < word.size() || std::string_view(reinterpret_cast<const char*>(at_), word.size()) != word)
    return false;
  at_ += word.size();
  return true;
}

}  // namespace

bool krv_json_read_strict(std::string_view text, krv_json_container_filler& filler,
                          std::string_view* overflowing_number) {
  strict_reader reader(text, filler);
  if (reader.read_document()) return true;
  if (overflowing_number != nullptr) *overflowing_number = reader.overflowing_number();
  return false;
}
