// krv_string_smart_split: one pass over the text with a small state machine. Outside quotes, raw strings
// and comments, three depth counters (parentheses, square and curly brackets) decide whether a delimiter
// ends a part; a closing bracket without its opener is ignored. Quotes end at an unescaped copy of their
// opening byte (an odd run of backslashes escapes); triple quotes have no escapes; a raw string R"x( ends
// at )x"; line comments end at a line feed, block comments at */.
//
// Linear time: the raw-string opener test scans its delimiter only up to the first byte that settles it
// (an opening parenthesis accepts; whitespace, a backslash, a closing parenthesis or the end refuses), and
// a refused scan remembers where it stopped, so a later R" whose delimiter starts before that point is
// refused without scanning again.
#include <array>

#include "classes/std/string_algorithms.h"
#include "classes/std/string_bytes.h"

namespace {

class smart_splitter {
 public:
  smart_splitter(std::string_view text, std::string_view delimiter, int64_t max_parts, bool strip)
      : text_(text), delimiter_(delimiter), max_parts_(max_parts), strip_(strip) {}

  std::vector<std::string> run() {
    while (p_ < text_.size()) step();
    end_part(text_.size());
    return std::move(parts_);
  }

 private:
  enum class state { normal, single_quote, double_quote, triple_single, triple_double, raw, line_comment, block_comment };

  void step() {
    switch (state_) {
      case state::normal: return step_normal();
      case state::single_quote:
      case state::double_quote: return step_quoted();
      case state::triple_single: return step_triple("'''");
      case state::triple_double: return step_triple("\"\"\"");
      case state::raw: return step_raw();
      case state::line_comment:
        if (text_[p_] == '\n') state_ = state::normal;
        ++p_;
        return;
      case state::block_comment:
        if (starts_at(p_, "*/")) {
          p_ += 2;
          state_ = state::normal;
        } else {
          ++p_;
        }
        return;
    }
  }

  void step_normal() {
    const char byte = text_[p_];
    if (byte == '/' && p_ + 1 < text_.size() && (text_[p_ + 1] == '/' || text_[p_ + 1] == '*')) {
      state_ = text_[p_ + 1] == '/' ? state::line_comment : state::block_comment;
      p_ += 2;
    } else if (p_ + 2 < text_.size() && (starts_at(p_, "'''") || starts_at(p_, "\"\"\""))) {
      state_ = byte == '\'' ? state::triple_single : state::triple_double;
      p_ += 3;
    } else if (byte == 'R' && p_ + 2 < text_.size() && text_[p_ + 1] == '"' && open_raw_string()) {
      state_ = state::raw;
    } else if (byte == '\'' || byte == '"') {
      state_ = byte == '\'' ? state::single_quote : state::double_quote;
      quote_ = byte;
      backslashes_ = 0;
      ++p_;
    } else {
      count_bracket(byte);
      if (at_split_point()) {
        end_part(p_);
        p_ += delimiter_.size();
        part_start_ = p_;
      } else {
        ++p_;
      }
    }
  }

  // At R": accepts R"delim( when delim holds no whitespace, backslash or parenthesis, and moves past it.
  bool open_raw_string() {
    const size_t delimiter_start = p_ + 2;
    if (delimiter_start <= refused_up_to_) return false;
    size_t q = delimiter_start;
    while (q < text_.size() && !settles_raw_delimiter(text_[q])) ++q;
    if (q == text_.size() || text_[q] != '(') {
      refused_up_to_ = q;
      return false;
    }
    raw_closing_.clear();
    raw_closing_.reserve(q - delimiter_start + 2);
    raw_closing_ += ')';
    raw_closing_ += text_.substr(delimiter_start, q - delimiter_start);
    raw_closing_ += '"';
    p_ = q + 1;
    return true;
  }

  static bool settles_raw_delimiter(char byte) {
    return byte == '(' || byte == ')' || byte == '\\' || krv_is_space_byte(static_cast<unsigned char>(byte));
  }

  void step_quoted() {
    const char byte = text_[p_++];
    if (byte == quote_ && backslashes_ % 2 == 0) {
      state_ = state::normal;
    } else {
      backslashes_ = byte == '\\' ? backslashes_ + 1 : 0;
    }
  }

  void step_triple(std::string_view triple) {
    if (p_ + 2 < text_.size() && starts_at(p_, triple)) {
      p_ += 3;
      state_ = state::normal;
    } else {
      ++p_;
    }
  }

  void step_raw() {
    if (starts_at(p_, raw_closing_)) {
      p_ += raw_closing_.size();
      state_ = state::normal;
    } else {
      ++p_;
    }
  }

  void count_bracket(char byte) {
    switch (byte) {
      case '(': return open(0);
      case '[': return open(1);
      case '{': return open(2);
      case ')': return close(0);
      case ']': return close(1);
      case '}': return close(2);
      default: return;
    }
  }
  void open(size_t kind) { ++depth_[kind]; }
  void close(size_t kind) {
    if (depth_[kind] > 0) --depth_[kind];
  }

  bool at_split_point() const {
    if (depth_[0] != 0 || depth_[1] != 0 || depth_[2] != 0) return false;
    if (max_parts_ >= 0 && static_cast<int64_t>(parts_.size()) + 1 >= max_parts_) return false;
    return starts_at(p_, delimiter_);
  }

  bool starts_at(size_t position, std::string_view piece) const { return text_.substr(position).starts_with(piece); }

  void end_part(size_t end) {
    const std::string_view part = text_.substr(part_start_, end - part_start_);
    parts_.push_back(strip_ ? krv_string_trim_copy(part) : std::string(part));
  }

  const std::string_view text_, delimiter_;
  const int64_t max_parts_;  // negative: no limit
  const bool strip_;
  std::vector<std::string> parts_;
  state state_ = state::normal;
  size_t p_ = 0, part_start_ = 0;
  std::array<int64_t, 3> depth_{};  // open parentheses, square and curly brackets
  char quote_ = 0;                 // the opening byte of the current quoted text
  size_t backslashes_ = 0;         // backslashes right before the current byte inside quotes
  std::string raw_closing_;        // )delim" of the current raw string
  size_t refused_up_to_ = 0;       // a raw delimiter starting at or before this cannot open (0: none yet)
};

}  // namespace

std::vector<std::string> krv_string_smart_split(std::string_view text, std::string_view delimiter,
                                                int64_t max_parts, bool strip) {
  if (delimiter.empty()) return {std::string(text)};
  return smart_splitter(text, delimiter, max_parts, strip).run();
}
