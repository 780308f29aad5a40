// Regular expressions of std.string: what runs on the calling thread before any matching.
//
// Patterns are compiled by std::regex (ECMAScript grammar, default flags). Its matcher recurses once or
// more per input byte, so a long input can exhaust a thread's stack; every pattern therefore has an input
// limit: 256 KiB for patterns that repeat nothing, 16 KiB when something is repeated, 8 KiB when a group
// is repeated, and less where the bound of the matcher's stack for the pattern (string_regex_depth.h)
// would pass krv_regex_stack_budget sooner: nested repeats, many groups and alternatives inside a repeat,
// lookaheads. The library's compiler recurses once per group level, and a non-capturing group costs it
// no state, so nesting is bounded too: deeper patterns are refused as too complex instead of overflowing
// the stack while they compile. It also reads a repeat count ({n}, {n,}, {n,m}) without a bound (a count
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

struct krv_regex_cache_entry {
  std::string pattern;                     // compared byte for byte
  std::shared_ptr<const std::regex> compiled;
  uint64_t input_limit = 0;                // krv_regex_input_limit(pattern), read once
};

// The largest input, in bytes, that `pattern` may be run on.
uint64_t krv_regex_input_limit(std::string_view pattern);

// The name of a std::regex_constants::error_type code; "error_unknown" for codes outside 0..12.
const char* krv_regex_error_name(int code);

// The calling thread's cache.
std::vector<krv_regex_cache_entry>& krv_regex_cache();

// The compiled `pattern` for an input of `input_length` bytes: the cached entry, whose limit was read
// with it, or else the limit is checked and the pattern compiled. A refused input or pattern raises a
// catchable runtime error that names `method` and gives back nothing; the cache is then unchanged.
std::shared_ptr<const std::regex> krv_regex_cache_get(const std::string& pattern, uint64_t input_length,
                                                      std::string_view method);

// The character class of the fourteen metacharacters . ^ $ | ( ) [ ] { } * + ? and backslash, compiled
// once per process.
const std::regex& krv_regex_escape_pattern();
