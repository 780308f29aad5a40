// Regular expressions of std.string: what runs on the calling thread before any matching.
//
// Patterns are compiled by std::regex (ECMAScript grammar, default flags), as spelled for it by
// krv_regex_library_text (string_regex_text.h: control escapes, byte ranges across 0x80). Its matcher
// recurses once or more per input byte, so a long input can exhaust a thread's stack; every pattern
// therefore has an input limit: 256 KiB for patterns that repeat nothing, 16 KiB when something is
// repeated, 8 KiB when a group is repeated, and less where the bound of the matcher's stack for the pattern
// (string_regex_depth.h) would pass the stack the matcher may take sooner: nested repeats, many groups and
// alternatives inside a repeat, lookaheads. That stack is the one of the thread the matcher runs on,
// measured from where the limit is checked (krv_regex_stack_budget_here): a host may give its threads 8 MiB
// or 32 MiB, so one pattern's limit is lower on a small stack. An input is checked on the calling thread
// before the pattern is compiled, and again by a job that runs on another thread (string_regex_jobs.h). A
// limit of 0 refuses every input, the empty one too: the matcher's bound passes the stack before it reads a
// byte (a long alternation is chained through one state per alternative).
//
// The library's compiler recurses once per piece of the alternative it reads, in every group open
// there, so a long run of characters can exhaust the stack while it compiles, whatever the input. The
// bound of that recursion (string_regex_shape.h) is held to the same stack budget before compiling; a
// longer pattern is refused as too long. A list of alternatives costs it no more than its longest one.
//
// The library's compiler recurses once per group level, and a non-capturing group costs it no state,
// so nesting is bounded too: deeper patterns are refused as too complex instead of overflowing the
// stack while they compile. It also reads a repeat count ({n}, {n,}, {n,m}) without a bound (a count
// past 64 bits overflows it) and copies the repeated part once per count, so counts are bounded too: a
// larger one is refused as a bad brace. A back-reference number is read the same way, so one above the
// groups opened before it is refused as a bad back-reference (the library refuses it too, but only after
// reading it). All of these rest on reading the pattern exactly as the library does, escapes and
// brackets included (string_regex_shape.h).
//
// Compiled patterns are kept per thread: at most krv_regex_cache_capacity entries in insertion order,
// searched linearly, emptied as a whole when one more pattern arrives. An entry shares its compiled
// pattern with the jobs that use it, so emptying the cache never pulls a pattern from under a job.
// The thread-local cache needs no lock; a compiled pattern is only read while matching, so any number of
// threads may match with it at once.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "classes/std/string_regex_shape.h"

// Input limits in bytes, by the pattern's shape.
inline constexpr uint64_t krv_regex_plain_limit = 262144;
inline constexpr uint64_t krv_regex_quantified_limit = 16384;
inline constexpr uint64_t krv_regex_group_quantified_limit = 8192;

// The largest repeat count of a brace: what other regex engines allow, and a few thousand states.
inline constexpr uint64_t krv_regex_max_repeat_count = 1000;

inline constexpr size_t krv_regex_cache_capacity = 8;

// What a pattern's input limit rests on, read from the pattern once; the limit itself depends on the
// thread (krv_regex_input_limit).
struct krv_regex_limit_basis {
  uint64_t by_shape = 0;          // krv_regex_plain_limit, krv_regex_quantified_limit or krv_regex_group_quantified_limit
  krv_regex_matcher_stack stack;  // the bound of the matcher's stack
};

// A compiled pattern and its limit's basis. The default holds no pattern, and its basis allows no input.
struct krv_regex_compiled {
  std::shared_ptr<const std::regex> regex;
  krv_regex_limit_basis limit_basis;
  // The thread whose stack the input was checked against (krv_platform::current_thread_id), 0 for none.
  // A job run on that thread needs no second check: the first one left room for the frames between.
  uint32_t checked_on_thread = 0;
  explicit operator bool() const { return regex != nullptr; }
};

struct krv_regex_cache_entry {
  std::string pattern;  // compared byte for byte
  krv_regex_compiled compiled;
};

krv_regex_limit_basis krv_regex_limit_basis_of(std::string_view pattern);
// The largest input, in bytes, that a pattern may be run on when its matcher may take `stack_budget`
// bytes of stack (krv_regex_stack_budget_here() on the calling thread; krv_regex_max_stack_budget on
// the host's 32 MiB threads).
uint64_t krv_regex_input_limit(const krv_regex_limit_basis& basis, uint64_t stack_budget);
uint64_t krv_regex_input_limit(std::string_view pattern, uint64_t stack_budget);

// Whether an input of `input_length` bytes is within the limit on the calling thread; when it is not,
// raises the catchable error that names `method` and that limit.
bool krv_regex_input_fits_here(uint64_t input_length, const krv_regex_limit_basis& basis, std::string_view method);

// The name of a std::regex_constants::error_type code; "error_unknown" for codes outside 0..12.
const char* krv_regex_error_name(int code);

// The calling thread's cache.
std::vector<krv_regex_cache_entry>& krv_regex_cache();

// The compiled `pattern` for an input of `input_length` bytes on the calling thread, marked as checked
// there: the cached entry, whose limit's basis was read with it, or else the pattern's bounds, its
// compiler's stack and the input's limit are checked, in that order, and the pattern compiled. A refused
// input or pattern raises a catchable runtime error that names `method` and gives back nothing; the
// cache is then unchanged.
krv_regex_compiled krv_regex_cache_get(const std::string& pattern, uint64_t input_length, std::string_view method);

// The character class of the fourteen metacharacters . ^ $ | ( ) [ ] { } * + ? and backslash, compiled
// once per process.
const std::regex& krv_regex_escape_pattern();
