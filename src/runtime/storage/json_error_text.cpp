#include "runtime/storage/json_error_text.h"

namespace {

// Where the quoted token of a parser message begins, after its opening quote; npos when it has none.
size_t token_start(std::string_view message) {
  constexpr std::string_view openings[] = {"last read: '", "number overflow parsing '"};
  for (const std::string_view opening : openings) {
    const size_t found = message.find(opening);
    if (found != std::string_view::npos) return found + opening.size();
  }
  return std::string_view::npos;
}

// Where the quoted token ends (its closing quote). A syntax error may name what it expected after the
// token, in quotes of its own ("; expected '['"); the token itself may hold any byte, that text too, so
// the last such part is the one that follows it.
size_t token_end(std::string_view message, size_t start) {
  const size_t expected = message.rfind("'; expected ");
  if (expected != std::string_view::npos && expected >= start) return expected;
  const size_t last_quote = message.rfind('\'');
  return last_quote != std::string_view::npos && last_quote >= start ? last_quote : message.size();
}

// The parser's own words around the token are short; anything else it may say is held to a few tokens.
constexpr size_t longest_own_words = 4 * krv_quoted_text_bytes;

void append_own_words(std::string& out, std::string_view words) {
  out += words.substr(0, longest_own_words);
  if (words.size() > longest_own_words) out += "...";
}

}  // namespace

std::string krv_json_bounded_parser_message(std::string_view message) {
  const size_t start = token_start(message);
  std::string bounded;
  if (start == std::string_view::npos) {
    append_own_words(bounded, message);
    return bounded;
  }
  const size_t end = token_end(message, start);
  append_own_words(bounded, message.substr(0, start));
  bounded += krv_quoted_text(message.substr(start, end - start));
  append_own_words(bounded, message.substr(end));
  return bounded;
}
