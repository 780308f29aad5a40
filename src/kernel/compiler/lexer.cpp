#include "kernel/compiler/lexer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <new>

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_word_start(char c) { return is_letter(c) || c == '_'; }
bool is_word_char(char c) { return is_word_start(c) || is_digit(c); }

// Value of a digit of any radix (0-9, a-f, A-F); -1 for anything else.
int digit_value(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length of the punctuator at `pos`, longest match first; 0 when none matches. Compares bytes directly:
// this runs for every operator of every source.
size_t punctuator_length(std::string_view text, size_t pos) {
  static constexpr const char* three[] = {"<<=", ">>="};
  static constexpr const char* two[] = {"==", "!=", "<=", ">=", "&&", "||", "++", "--", "+=", "-=",
                                        "*=", "/=", "%=", "&=", "|=", "^=", "<<", ">>", "->"};
  static constexpr std::string_view one = "+-*/%&|^~!<>=()[]{}.,;:?";
  auto at = [&](size_t offset) { return pos + offset < text.size() ? text[pos + offset] : '\0'; };
  const char first = at(0), second = at(1), third = at(2);
  for (const char* p : three) {
    if (p[0] == first && p[1] == second && p[2] == third) return 3;
  }
  for (const char* p : two) {
    if (p[0] == first && p[1] == second) return 2;
  }
  return one.find(first) != std::string_view::npos ? 1 : 0;
}

// Float literal text to f64, always in the C locale (a host may have changed the process locale).
// Values beyond the f64 range become infinity, as strtod gives them.
double parse_float_text(const std::string& text) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  if (c_locale == locale_t{}) throw std::bad_alloc();
  return strtod_l(text.c_str(), nullptr, c_locale);
}

// Appends `digit` to a value in `base`; false when the result would not fit into 64 bits.
bool accumulate_digit(uint64_t& value, unsigned base, unsigned digit) {
  if (value > (std::numeric_limits<uint64_t>::max() - digit) / base) return false;
  value = value * base + digit;
  return true;
}

// Appends every physical line of `text` to the map, carriage returns removed. n line feeds give n + 1
// lines: the last one is empty when the text ends with a line feed.
void append_source_lines(krvk_source_map& map, std::string_view text) {
  size_t start = 0;
  while (true) {
    size_t end = text.find('\n', start);
    std::string_view physical = text.substr(start, end == std::string_view::npos ? end : end - start);
    std::string& line = map.source_lines.emplace_back();
    line.reserve(physical.size());
    for (char c : physical) {
      if (c != '\r') line.push_back(c);
    }
    if (end == std::string_view::npos) return;
    start = end + 1;
  }
}

// The scan of one source: the position counters that give every token its line and column.
class source_scanner {
 public:
  source_scanner(krvk_lexer& lexer, std::string_view text, uint16_t file_index, uint32_t first_line_index)
      : lexer_(lexer), map_(*lexer.map), text_(text), file_index_(file_index), source_line_index_(first_line_index) {}

  void run() {
    while (pos_ < text_.size()) scan_one();
    krvk_token& end = begin_token(text_.size());
    end.kind = KRVK_TOKEN_END;
    end.text = krvk_end_token_text;
  }

 private:
  // A token value carrying only the position of byte `at` on the current line.
  krvk_token position_of(size_t at) const {
    krvk_token pos;
    pos.line = line_;
    pos.column = static_cast<uint32_t>(at - line_start_ + 1);
    pos.file_index = file_index_;
    pos.source_line_index = source_line_index_;
    return pos;
  }

  krvk_token& begin_token(size_t at) { return lexer_.tokens->emplace_back(position_of(at)); }

  [[noreturn]] void fail_at(size_t at, std::string message) const {
    krvk_throw_error(map_, position_of(at), std::move(message));
  }

  // Moves the counters past the line feed at `newline`. The logical line stops at the largest number
  // it can hold instead of wrapping to 0 after a `#line` near the top of the range.
  void pass_line_feed(size_t newline) {
    if (line_ != std::numeric_limits<uint32_t>::max()) ++line_;
    ++source_line_index_;
    line_start_ = newline + 1;
  }

  void scan_one() {
    char c = text_[pos_];
    if (c == '\n') {
      pass_line_feed(pos_++);
      at_line_start_ = true;
      return;
    }
    if (is_blank(c)) {
      ++pos_;
      return;
    }
    if (c == '#' && at_line_start_) {
      read_directive();
      return;
    }
    at_line_start_ = false;
    std::string_view rest = text_.substr(pos_);
    if (rest.starts_with("//")) {
      size_t end = text_.find('\n', pos_);
      pos_ = end == std::string_view::npos ? text_.size() : end;
    } else if (rest.starts_with("/*")) {
      skip_block_comment();
    } else if (is_word_start(c)) {
      read_word();
    } else if (is_digit(c) || (c == '.' && rest.size() > 1 && is_digit(rest[1]))) {
      krvk_token number = position_of(pos_);
      krvk_lex_number(lexer_, text_, pos_, number);
    } else {
      read_punctuator();
    }
  }

  void skip_block_comment() {
    size_t open = pos_;
    size_t close = text_.find("*/", open + 2);
    if (close == std::string_view::npos) fail_at(open, "unterminated comment");
    for (size_t newline = text_.find('\n', open); newline < close; newline = text_.find('\n', newline + 1)) {
      pass_line_feed(newline);
    }
    pos_ = close + 2;
  }

  void read_word() {
    size_t end = pos_ + 1;
    while (end < text_.size() && is_word_char(text_[end])) ++end;
    krvk_token& token = begin_token(pos_);
    token.kind = KRVK_TOKEN_WORD;
    token.text.assign(text_.substr(pos_, end - pos_));
    pos_ = end;
  }

  void read_punctuator() {
    size_t length = punctuator_length(text_, pos_);
    if (length == 0) fail_at(pos_, std::string("unexpected character '") + text_[pos_] + "'");
    krvk_token& token = begin_token(pos_);
    token.kind = KRVK_TOKEN_PUNCT;
    token.text.assign(text_.substr(pos_, length));
    pos_ += length;
  }

  // `#line N ["file"]`: the rest of the physical line, read as whitespace-separated items. The number is
  // read like a stream reads a signed 64-bit integer (optional sign, digits, stopping at the first other
  // character); text after it outside double quotes is ignored. The scan resumes at the line feed, which
  // then gives the next line the number N.
  void read_directive() {
    size_t hash = pos_;
    size_t end = text_.find('\n', hash);
    if (end == std::string_view::npos) end = text_.size();
    std::string_view rest = text_.substr(hash + 1, end - hash - 1);

    std::string_view word = next_item(rest);
    if (word != "line") {
      fail_at(hash, "unknown directive '#" + std::string(word) + "' (kernel code only knows #line)");
    }
    int64_t number = 0;
    if (!read_line_number(rest, number) || number < 1) fail_at(hash, "invalid #line directive");
    if (number > int64_t{std::numeric_limits<uint32_t>::max()}) {
      fail_at(hash, "invalid #line directive: the line number must be at most 4294967295");
    }
    size_t open_quote = rest.find('"');
    if (open_quote != std::string_view::npos) {
      size_t close_quote = rest.find('"', open_quote + 1);
      if (close_quote == std::string_view::npos) fail_at(hash, "invalid #line directive");
      file_index_ = intern_directive_file(std::string(rest.substr(open_quote + 1, close_quote - open_quote - 1)), hash);
    }
    line_ = static_cast<uint32_t>(number - 1);
    pos_ = end;
  }

  // Interns a file named by a directive; a compilation that already holds the most file names an index
  // can address gets a diagnostic at the directive instead of a wrapped index.
  uint16_t intern_directive_file(const std::string& name, size_t hash) {
    try {
      return map_.intern_file(name);
    } catch (const kerror& full) {
      fail_at(hash, full.message);
    }
  }

  // Cuts the next whitespace-separated item off the front of `rest`.
  static std::string_view next_item(std::string_view& rest) {
    size_t begin = 0;
    while (begin < rest.size() && is_blank(rest[begin])) ++begin;
    size_t end = begin;
    while (end < rest.size() && !is_blank(rest[end])) ++end;
    std::string_view item = rest.substr(begin, end - begin);
    rest.remove_prefix(end);
    return item;
  }

  // Reads a signed decimal 64-bit number off the front of `rest`; false when there is none or it
  // overflows.
  static bool read_line_number(std::string_view& rest, int64_t& number) {
    size_t at = 0;
    while (at < rest.size() && is_blank(rest[at])) ++at;
    bool negative = at < rest.size() && rest[at] == '-';
    if (at < rest.size() && (rest[at] == '-' || rest[at] == '+')) ++at;
    size_t digits = at;
    uint64_t magnitude = 0;
    for (; at < rest.size() && is_digit(rest[at]); ++at) {
      if (!accumulate_digit(magnitude, 10, rest[at] - '0')) return false;
    }
    uint64_t limit = uint64_t{std::numeric_limits<int64_t>::max()} + (negative ? 1 : 0);
    if (at == digits || magnitude > limit) return false;
    number = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    rest.remove_prefix(at);
    return true;
  }

  krvk_lexer& lexer_;
  krvk_source_map& map_;
  std::string_view text_;
  size_t pos_ = 0;
  size_t line_start_ = 0;  // offset of the current physical line's first byte
  uint32_t line_ = 1;  // logical line: counts line feeds, reset by #line
  uint16_t file_index_;  // current file: the source's own name until a #line names another
  uint32_t source_line_index_;  // physical line in the map, never changed by #line
  bool at_line_start_ = true;  // only whitespace so far on this line: a '#' starts a directive
};

// Interns the name a source was given. The source has no position in any file yet, so a full file list
// is reported on the source's own first line.
uint16_t intern_source_name(krvk_source_map& map, const std::string& name, uint32_t first_line_index) {
  try {
    return map.intern_file(name);
  } catch (kerror& full) {
    full.file = name;
    full.line = 1;
    full.column = 1;
    full.source_line = map.source_lines[first_line_index];
    throw;
  }
}

}  // namespace

void krvk_lex(krvk_lexer& lexer, std::string_view text, const std::string& source_name) {
  krvk_source_map& map = *lexer.map;
  uint32_t first_line_index = static_cast<uint32_t>(map.source_lines.size());
  append_source_lines(map, text);
  // Kernel code averages well over four bytes per token; reserving spares the vector its regrowth copies.
  // Growth stays geometric, so a compilation of many small sources does not copy its tokens each time.
  std::vector<krvk_token>& tokens = *lexer.tokens;
  size_t expected = tokens.size() + text.size() / 4 + 1;
  if (expected > tokens.capacity()) tokens.reserve(std::max(expected, 2 * tokens.capacity()));
  uint16_t file_index = intern_source_name(map, source_name, first_line_index);
  source_scanner(lexer, text, file_index, first_line_index).run();
}

void krvk_lex_number(krvk_lexer& lexer, std::string_view text, size_t& pos, krvk_token& token) {
  auto fail = [&](std::string message) { krvk_throw_error(*lexer.map, token, std::move(message)); };
  const size_t start = pos;
  unsigned base = 10;
  if (text[pos] == '0' && pos + 1 < text.size()) {
    char prefix = text[pos + 1];
    if (prefix == 'x' || prefix == 'X') base = 16;
    if (prefix == 'b' || prefix == 'B') base = 2;
    if (prefix == 'o' || prefix == 'O') base = 8;
  }

  uint64_t value = 0;
  bool is_float = false;
  if (base != 10) {
    pos += 2;
    const size_t digits = pos;
    for (; pos < text.size(); ++pos) {
      int digit = digit_value(text[pos]);
      if (digit < 0 || unsigned(digit) >= base) break;
      if (!accumulate_digit(value, base, unsigned(digit))) fail("integer literal does not fit into 64 bit");
    }
    if (pos == digits) fail("invalid number");
  } else {
    while (pos < text.size() && is_digit(text[pos])) ++pos;
    if (pos < text.size() && text[pos] == '.' && !(pos + 1 < text.size() && text[pos + 1] == '.')) {
      is_float = true;
      ++pos;
      while (pos < text.size() && is_digit(text[pos])) ++pos;
    }
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
      size_t exponent = pos + 1;
      if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) ++exponent;
      if (exponent < text.size() && is_digit(text[exponent])) {
        is_float = true;
        pos = exponent;
        while (pos < text.size() && is_digit(text[pos])) ++pos;
      }
    }
    for (size_t at = start; !is_float && at < pos; ++at) {
      if (!accumulate_digit(value, 10, unsigned(text[at] - '0'))) fail("integer literal does not fit into 64 bit");
    }
  }

  const size_t value_end = pos;
  bool integer_made_float = false;
  if (pos < text.size()) {
    char suffix = text[pos];
    if (base == 10 && (suffix == 'f' || suffix == 'F')) {
      integer_made_float = !is_float;
      is_float = true;
      token.suffix_f = 1;
      ++pos;
    } else if (!is_float && (suffix == 'u' || suffix == 'U')) {
      token.suffix_u = 1;
      ++pos;
    }
  }

  token.text.assign(text.substr(start, pos - start));
  if (pos < text.size() && is_word_char(text[pos])) {
    fail("invalid suffix on number '" + token.text + text[pos] + "'");
  }
  if (!is_float) {
    token.kind = KRVK_TOKEN_INT;
    token.int_value = value;
  } else {
    token.kind = KRVK_TOKEN_FLOAT;
    token.float_value = integer_made_float ? static_cast<double>(value)
                                           : parse_float_text(std::string(text.substr(start, value_end - start)));
  }
  lexer.tokens->push_back(std::move(token));
}
