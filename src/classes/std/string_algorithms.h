// Text algorithms behind the std.string methods that are more than one library call: whitespace-
// insensitive matching, splitting that respects quotes, comments and brackets, trimming and the width
// clamp of justification. All of them are linear in the text.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A text reduced to its non-whitespace bytes, with where each of them stood in the full text.
struct krv_string_tokens {
  std::string bytes;             // the non-whitespace bytes, in order
  std::vector<size_t> positions;  // positions[j]: index in the full text of bytes[j]
};
krv_string_tokens krv_string_tokenize_whitespace(std::string_view text);

// One whitespace-insensitive replacement: finds `search` (compared without whitespace) at or after byte
// `start` and replaces the bytes from the first to the last matched byte by `replacement`. Returns the
// index to continue from (just after the replacement), or -1 when nothing was replaced.
int64_t krv_string_replace_ignoring_whitespace_once(std::string& text, std::string_view search,
                                                    std::string_view replacement, int64_t start);
// Every such replacement, left to right, replacement text never searched again: the same result as
// repeating the single step from the index it returns, in one pass over one tokenisation.
std::string krv_string_replace_ignoring_whitespace_all(std::string_view text, std::string_view search,
                                                       std::string_view replacement);

// `text` without leading and trailing whitespace.
std::string krv_string_trim_copy(std::string_view text);

// The number of fill bytes that bring a text of `length` bytes to `width`, with the width clamped to
// krv_string_max_width (the warning names `method`).
inline constexpr int64_t krv_string_max_width = 1048576;
int64_t krv_string_width_clamp(int64_t width, size_t length, std::string_view method);

// Splits at `delimiter` outside quoted texts, raw strings, comments and brackets; at most `max_parts`
// parts when it is positive (the last one holds the rest). Parts are trimmed when `strip` is set.
std::vector<std::string> krv_string_smart_split(std::string_view text, std::string_view delimiter,
                                                int64_t max_parts, bool strip);
