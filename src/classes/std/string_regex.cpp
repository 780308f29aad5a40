// The input limit scan, the group-depth scan, the per-thread cache of compiled patterns and the escape
// pattern (see string_regex.h).
#include "classes/std/string_regex.h"

#include <algorithm>
#include <array>

#include "runtime/base/raise.h"

namespace {

bool is_digit(char byte) { return byte >= '0' && byte <= '9'; }

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

// Whether the brace at `brace` holds a count above krv_regex_max_repeat_count, before or after a comma.
// Digits are read only while the count stays within the bound, so no count overflows here.
bool has_oversized_count(std::string_view pattern, size_t brace) {
  size_t at = brace + 1;
  for (int part = 0; part < 2; ++part) {
    uint64_t count = 0;
    for (; at < pattern.size() && is_digit(pattern[at]); ++at) {
      count = count * 10 + static_cast<uint64_t>(pattern[at] - '0');
      if (count > krv_regex_max_repeat_count) return true;
    }
    if (at >= pattern.size() || pattern[at] != ',') return false;
    ++at;
  }
  return false;
}

// Calls `visit(index)` for every byte outside brackets that is not escaped. A backslash hides the byte
// after it, inside brackets too.
template <class Visit>
void for_each_active_byte(std::string_view pattern, Visit&& visit) {
  bool in_brackets = false;
  for (size_t at = 0; at < pattern.size(); ++at) {
    const char byte = pattern[at];
    if (byte == '\\') {
      ++at;
    } else if (in_brackets) {
      in_brackets = byte != ']';
    } else if (byte == '[') {
      in_brackets = true;
    } else {
      visit(at);
    }
  }
}

bool has_oversized_repeat(std::string_view pattern) {
  bool oversized = false;
  for_each_active_byte(pattern, [&](size_t at) {
    if (pattern[at] == '{' && has_oversized_count(pattern, at)) oversized = true;
  });
  return oversized;
}

std::shared_ptr<const std::regex> compile(const std::string& pattern) {
  // The compiler would recurse once per level; refuse before it can run out of stack.
  if (krv_regex_group_depth(pattern) > krv_regex_max_group_depth)
    throw std::regex_error(std::regex_constants::error_complexity);
  // It would read the count unbounded and copy the repeated part as often.
  if (has_oversized_repeat(pattern)) throw std::regex_error(std::regex_constants::error_badbrace);
  return std::make_shared<const std::regex>(pattern, std::regex::ECMAScript);
}

}  // namespace

uint64_t krv_regex_input_limit(std::string_view pattern) {
  bool has_quantifier = false;
  bool quantifies_group = false;
  uint64_t group_work = 0;  // matcher levels a repeated group may add per input byte
  for_each_active_byte(pattern, [&](size_t at) {
    const char byte = pattern[at];
    if (byte == '(' && (at + 1 == pattern.size() || pattern[at + 1] != '?')) group_work += krv_regex_capture_work;
    if (byte == '|') group_work += krv_regex_alternative_work;
    const bool quantifier = byte == '*' || byte == '+' || (byte == '{' && is_open_ended_brace(pattern, at));
    if (!quantifier) return;
    has_quantifier = true;
    // Only the byte before counts: an escaped ')' followed by a quantifier counts as a group too.
    if (at > 0 && pattern[at - 1] == ')') quantifies_group = true;
  });
  if (quantifies_group) {
    // Heavier groups get a proportionally shorter input, so that the matcher's depth stays in budget.
    if (group_work <= krv_regex_group_work_budget) return krv_regex_group_quantified_limit;
    return krv_regex_group_quantified_limit * krv_regex_group_work_budget / group_work;
  }
  return has_quantifier ? krv_regex_quantified_limit : krv_regex_plain_limit;
}

size_t krv_regex_group_depth(std::string_view pattern) {
  size_t depth = 0;
  size_t deepest = 0;
  for_each_active_byte(pattern, [&](size_t at) {
    if (pattern[at] == '(') {
      deepest = std::max(deepest, ++depth);
    } else if (pattern[at] == ')' && depth > 0) {
      --depth;
    }
  });
  return deepest;
}

const char* krv_regex_error_name(int code) {
  static constexpr std::array<const char*, 13> names = {
      "error_collate", "error_ctype",    "error_escape",   "error_backref",    "error_brack",
      "error_paren",   "error_brace",    "error_badbrace", "error_range",      "error_space",
      "error_badrepeat", "error_complexity", "error_stack"};
  return code >= 0 && static_cast<size_t>(code) < names.size() ? names[static_cast<size_t>(code)] : "error_unknown";
}

std::vector<krv_regex_cache_entry>& krv_regex_cache() {
  thread_local std::vector<krv_regex_cache_entry> cache;
  return cache;
}

std::shared_ptr<const std::regex> krv_regex_cache_get(const std::string& pattern, uint64_t input_length,
                                                      std::string_view method) {
  const uint64_t limit = krv_regex_input_limit(pattern);
  if (input_length > limit) {
    krv_raise_error(method, ": input of ", input_length, " characters exceeds the std::regex limit of ", limit,
                    " characters for this pattern (issue #102 - the matcher can exhaust the worker stack). ",
                    "Shorten the input, use a simpler pattern, or use a plain string search (find/replace/split).");
    return nullptr;
  }
  std::vector<krv_regex_cache_entry>& cache = krv_regex_cache();
  for (const krv_regex_cache_entry& entry : cache)
    if (entry.pattern == pattern) return entry.compiled;

  std::shared_ptr<const std::regex> compiled;
  try {
    compiled = compile(pattern);
  } catch (const std::regex_error& failure) {
    krv_raise_error(method, ": invalid regex pattern '", pattern, "' (", krv_regex_error_name(failure.code()), ")");
    return nullptr;
  } catch (const std::exception& failure) {
    krv_raise_error(method, ": cannot compile regex pattern '", pattern, "' (", failure.what(), ")");
    return nullptr;
  }
  if (cache.size() >= krv_regex_cache_capacity) cache.clear();
  cache.push_back({pattern, compiled});
  return compiled;
}

const std::regex& krv_regex_escape_pattern() {
  static const std::regex escape(R"([.^$|()\[\]{}*+?\\])", std::regex::ECMAScript);
  return escape;
}
