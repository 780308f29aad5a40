#include "runtime/storage/string_text.h"

#include "runtime/base/raise.h"

namespace {

// A one-byte search goes straight to memchr; longer ones take the general search.
size_t find_from(std::string_view text, std::string_view search, size_t from) {
  return search.size() == 1 ? text.find(search[0], from) : text.find(search, from);
}

}  // namespace

bool krv_string_replace_all(std::string& text, std::string_view search, std::string_view replacement) {
  size_t found = find_from(text, search, 0);
  if (search.size() > text.size() || found == std::string::npos) return false;
  std::string result;
  size_t copied = 0;
  while (found != std::string::npos) {
    result.append(text, copied, found - copied).append(replacement);
    copied = found + search.size();
    found = find_from(text, search, copied);
  }
  result.append(text, copied);
  text = std::move(result);
  return true;
}

void krv_string_warn_empty_search(std::string_view method, std::string_view noun) {
  krv_raise_warning(method, ": empty ", noun, " - nothing to search for, call ignored.");
}
