// The bound on what an error text quotes of its input.
//
// Patterns, keys and the tokens a parser quotes come from scripts and texts of any size: a 50 MB number
// or a 1 MB pattern quoted whole made a log line of as many bytes. An error text quotes at most
// krv_quoted_text_bytes of any one of them, then "...".
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

inline constexpr size_t krv_quoted_text_bytes = 64;

// `text` as an error text quotes it: whole up to the bound, else its first bytes and "...".
inline std::string krv_quoted_text(std::string_view text) {
  if (text.size() <= krv_quoted_text_bytes) return std::string(text);
  std::string quoted(text.substr(0, krv_quoted_text_bytes));
  quoted += "...";
  return quoted;
}
