#include "classes/std/string_algorithms.h"

#include <algorithm>

#include "classes/std/string_bytes.h"
#include "runtime/base/raise.h"

krv_string_tokens krv_string_tokenize_whitespace(std::string_view text) {
  krv_string_tokens tokens;
  for (size_t i = 0; i < text.size(); ++i) {
    if (krv_is_space_byte(static_cast<unsigned char>(text[i]))) continue;
    tokens.bytes.push_back(text[i]);
    tokens.positions.push_back(i);
  }
  return tokens;
}

namespace {

std::string without_whitespace(std::string_view text) {
  std::string bytes;
  for (char byte : text)
    if (!krv_is_space_byte(static_cast<unsigned char>(byte))) bytes.push_back(byte);
  return bytes;
}

}  // namespace

int64_t krv_string_replace_ignoring_whitespace_once(std::string& text, std::string_view search,
                                                    std::string_view replacement, int64_t start) {
  const std::string needle = without_whitespace(search);
  if (needle.empty()) return -1;
  const krv_string_tokens tokens = krv_string_tokenize_whitespace(text);
  const size_t first = static_cast<size_t>(std::max<int64_t>(start, 0));
  const auto from = std::lower_bound(tokens.positions.begin(), tokens.positions.end(), first);
  if (from == tokens.positions.end()) return -1;
  const size_t found = tokens.bytes.find(needle, static_cast<size_t>(from - tokens.positions.begin()));
  if (found == std::string::npos) return -1;
  const size_t begin = tokens.positions[found], end = tokens.positions[found + needle.size() - 1] + 1;
  text.replace(begin, end - begin, replacement);
  return static_cast<int64_t>(begin + replacement.size());
}

std::string krv_string_replace_ignoring_whitespace_all(std::string_view text, std::string_view search,
                                                       std::string_view replacement) {
  const std::string needle = without_whitespace(search);
  if (needle.empty()) return std::string(text);
  const krv_string_tokens tokens = krv_string_tokenize_whitespace(text);
  std::string result;
  size_t copied = 0;
  for (size_t found = tokens.bytes.find(needle); found != std::string::npos;
       found = tokens.bytes.find(needle, found + needle.size())) {
    const size_t begin = tokens.positions[found];
    result.append(text.substr(copied, begin - copied)).append(replacement);
    copied = tokens.positions[found + needle.size() - 1] + 1;
  }
  result.append(text.substr(copied));
  return result;
}

std::string krv_string_trim_copy(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && krv_is_space_byte(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && krv_is_space_byte(static_cast<unsigned char>(text[end - 1]))) --end;
  return std::string(text.substr(begin, end - begin));
}

int64_t krv_string_width_clamp(int64_t width, size_t length, std::string_view method) {
  if (width < 1 || static_cast<uint64_t>(width) <= length) return 0;
  if (width > krv_string_max_width) {
    krv_raise_warning(method, ": width ", width, " clamped to ", krv_string_max_width);
    width = krv_string_max_width;
  }
  return std::max<int64_t>(width - static_cast<int64_t>(length), 0);
}
