// The input limit, the bounds checked before compiling, the per-thread cache of compiled patterns and
// the escape pattern (see string_regex.h).
#include "classes/std/string_regex.h"

#include <algorithm>
#include <array>

#include "classes/std/string_regex_text.h"
#include "platform/thread_id.h"
#include "runtime/base/quoted_text.h"
#include "runtime/base/raise.h"

namespace {

// The compiler recurses once per group level, reads repeat counts and back-reference numbers into an int
// without a bound and copies a repeated part once per count: refuse before it can run out of stack,
// overflow or spend its states.
void refuse_what_the_compiler_cannot_bear(const krv_regex_shape& shape) {
  if (shape.deepest_nesting > krv_regex_max_group_depth) throw std::regex_error(std::regex_constants::error_complexity);
  if (shape.largest_repeat_count > krv_regex_max_repeat_count)
    throw std::regex_error(std::regex_constants::error_badbrace);
  if (shape.refers_to_unopened_group) throw std::regex_error(std::regex_constants::error_backref);
}

void raise_invalid_pattern(std::string_view method, const std::string& pattern, const std::regex_error& failure) {
  krv_raise_error(method, ": invalid regex pattern '", krv_quoted_text(pattern), "' (",
                  krv_regex_error_name(failure.code()), ")");
}

// Whether the compiler's recursion for `shape` fits the stack left on the calling thread; when it does
// not, raises the catchable error that names `method`.
bool compiler_fits_here(const std::string& pattern, const krv_regex_shape& shape, std::string_view method) {
  if (shape.compiler_stack + krv_regex_entry_stack <= krv_regex_stack_budget_here()) return true;
  krv_raise_error(method, ": pattern of ", pattern.size(),
                  " characters is too long to compile on this thread's stack (std::regex recurses once per piece of "
                  "each alternative). Shorten the pattern or split it into alternatives, or use a plain string "
                  "search (find/replace/split).");
  return false;
}

krv_regex_limit_basis limit_basis_of(const krv_regex_shape& shape) {
  const uint64_t by_shape = shape.quantifies_group ? krv_regex_group_quantified_limit
                            : shape.has_quantifier  ? krv_regex_quantified_limit
                                                    : krv_regex_plain_limit;
  return {by_shape, shape.matcher_stack};
}

}  // namespace

krv_regex_limit_basis krv_regex_limit_basis_of(std::string_view pattern) {
  return limit_basis_of(krv_regex_read_shape(pattern));
}

uint64_t krv_regex_input_limit(const krv_regex_limit_basis& basis, uint64_t stack_budget) {
  const krv_regex_matcher_stack& stack = basis.stack;
  if (stack.fixed > stack_budget) return 0;
  if (stack.per_input_byte == 0) return basis.by_shape;
  return std::min(basis.by_shape, (stack_budget - stack.fixed) / stack.per_input_byte);
}

uint64_t krv_regex_input_limit(std::string_view pattern, uint64_t stack_budget) {
  return krv_regex_input_limit(krv_regex_limit_basis_of(pattern), stack_budget);
}

bool krv_regex_input_fits_here(uint64_t input_length, const krv_regex_limit_basis& basis, std::string_view method) {
  const uint64_t limit = krv_regex_input_limit(basis, krv_regex_stack_budget_here());
  if (limit > 0 && input_length <= limit) return true;
  if (limit == 0) {
    krv_raise_error(method, ": the std::regex limit for this pattern is 0 characters on this thread: its matcher ",
                    "could exhaust the stack even on an empty input. Use a simpler pattern (fewer alternatives, ",
                    "shorter groups) or a plain string search (find/replace/split).");
    return false;
  }
  krv_raise_error(method, ": input of ", input_length, " characters exceeds the std::regex limit of ", limit,
                  " characters for this pattern (the matcher could exhaust the thread's stack). ",
                  "Shorten the input, use a simpler pattern, or use a plain string search (find/replace/split).");
  return false;
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

krv_regex_compiled krv_regex_cache_get(const std::string& pattern, uint64_t input_length, std::string_view method) {
  std::vector<krv_regex_cache_entry>& cache = krv_regex_cache();
  for (const krv_regex_cache_entry& entry : cache) {
    if (entry.pattern != pattern) continue;
    if (!krv_regex_input_fits_here(input_length, entry.compiled.limit_basis, method)) return {};
    krv_regex_compiled checked = entry.compiled;
    checked.checked_on_thread = krv_platform::current_thread_id();
    return checked;
  }

  const krv_regex_shape shape = krv_regex_read_shape(pattern);
  try {
    refuse_what_the_compiler_cannot_bear(shape);
  } catch (const std::regex_error& failure) {
    raise_invalid_pattern(method, pattern, failure);
    return {};
  }
  if (!compiler_fits_here(pattern, shape, method)) return {};
  krv_regex_compiled compiled{nullptr, limit_basis_of(shape), 0};
  if (!krv_regex_input_fits_here(input_length, compiled.limit_basis, method)) return {};
  try {
    compiled.regex = std::make_shared<const std::regex>(krv_regex_library_text(pattern), std::regex::ECMAScript);
  } catch (const std::regex_error& failure) {
    raise_invalid_pattern(method, pattern, failure);
    return {};
  } catch (const std::exception& failure) {
    krv_raise_error(method, ": cannot compile regex pattern '", krv_quoted_text(pattern), "' (", failure.what(), ")");
    return {};
  }
  if (cache.size() >= krv_regex_cache_capacity) cache.clear();
  cache.push_back({pattern, compiled});
  compiled.checked_on_thread = krv_platform::current_thread_id();
  return compiled;
}

const std::regex& krv_regex_escape_pattern() {
  static const std::regex escape(R"([.^$|()\[\]{}*+?\\])", std::regex::ECMAScript);
  return escape;
}
