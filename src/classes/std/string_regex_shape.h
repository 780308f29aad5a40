// What the guards of std.string's regular expressions need to know of a pattern, read the way the
// library reads it.
//
// The input limit, the group-depth bound, the repeat-count bound and the back-reference bound are only
// as good as the reading they rest on: a byte that the guards take for a metacharacter and the library
// for a literal (or the other way round) lets whatever follows it through unchecked. The pattern is
// therefore read as libstdc++'s scanner reads the ECMAScript grammar, piece by piece:
//
//   \cX          three bytes: any X, a bracket or a backslash too, is the character
//   \xHH \uHHHH  four and six bytes (exactly two and four hex digits)
//   \1 .. \N     a back-reference: the backslash and every digit after it
//   \0, \d \D \s \S \w \W \b \B, \f \n \r \t \v, any other \X: two bytes
//   [ ... ]      one piece: a leading ^, escapes as above (so \] does not close it), class names
//                [:name:] [.name.] [=name=] whose text may hold a ']', and the first other ']'
//   { ... }      digits and commas up to the '}'
//   (?: (?= (?!  one group opening of three bytes; ( alone opens a capturing group
//
// Where the library would refuse the pattern (a backslash at the end, \c at the end, too few hex
// digits, an open bracket or brace, a bad class name, "(?" followed by anything else, a ')' with no
// group open), the reading
// stops: the library compiles from left to right and throws at the first such place, so nothing after
// it is ever compiled or matched.
//
// The same reading builds the bound of the matcher's stack (string_regex_depth.h) piece by piece, as
// the library's compiler builds the automaton: an atom (character, class, escape, back-reference)
// takes the quantifiers after it, a '?' right after a quantifier makes it lazy, an assertion (^ $ \b
// \B and lookaheads) takes none, and '|' splits the innermost open group.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "classes/std/string_regex_depth.h"

// Group nesting the library's compiler may recurse into: far beyond hand-written patterns, a fraction
// of a megabyte of stack. A deeper pattern is refused, so its matcher stack is never needed.
inline constexpr size_t krv_regex_max_group_depth = 1000;

// The library's compiler recurses once per piece (an atom or assertion with its quantifiers, a group)
// of the alternative it is reading, in every group open at that point, and a few calls deeper per
// open group; '|' ends the recursion of the alternative before it. What each takes depends on the build:
// under AddressSanitizer every frame carries red zones, so a level of groups costs more than twice what
// it costs optimised. Each build is charged what it was measured to take (docs/reliability.md), by the
// high-water mark of a painted stack between 2,000 and 10,000 pieces and between 200 and 1,000 levels;
// a lookahead's level is the dearest and sets the group charge. Charging one build another's cost either
// overflows the dearer build's stack or refuses patterns the cheaper one compiles.
#if defined(__SANITIZE_ADDRESS__)
#define KRV_REGEX_ADDRESS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KRV_REGEX_ADDRESS_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define KRV_REGEX_THREAD_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KRV_REGEX_THREAD_SANITIZED 1
#endif
#endif

#if defined(KRV_REGEX_ADDRESS_SANITIZED)  // measured unoptimised: 304 bytes a piece, 1,104 a level
inline constexpr uint64_t krv_regex_compile_piece_frame = 320;
inline constexpr uint64_t krv_regex_compile_group_frame = 784;
#elif defined(KRV_REGEX_THREAD_SANITIZED)  // 144 a piece, 608 a level
inline constexpr uint64_t krv_regex_compile_piece_frame = 144;
inline constexpr uint64_t krv_regex_compile_group_frame = 464;
#elif !defined(__OPTIMIZE__)  // 144 a piece, 528 a level
inline constexpr uint64_t krv_regex_compile_piece_frame = 144;
inline constexpr uint64_t krv_regex_compile_group_frame = 384;
#else  // optimised: 96 a piece, 480 a level
inline constexpr uint64_t krv_regex_compile_piece_frame = 96;
inline constexpr uint64_t krv_regex_compile_group_frame = 384;
#endif

struct krv_regex_shape {
  uint64_t capturing_groups = 0;      // openings '(' not followed by '?': the library's mark_count()
  size_t deepest_nesting = 0;         // groups of every kind, lookaheads included
  bool has_quantifier = false;        // '*', '+' or an open-ended brace ({2,5}, {2,}, {,5}, a trailing {2,)
  bool quantifies_group = false;      // such a quantifier right after a ')' byte (an escaped one too)
  uint64_t largest_repeat_count = 0;  // of any brace, before or after its comma; saturates at 2^64 - 1
  // A back-reference whose number is above the capturing groups opened before it: the library refuses
  // it too, but only after reading the number into an int that a long one overflows.
  bool refers_to_unopened_group = false;
  // The most stack the library's compiler takes for the part of the pattern it reads, its entry aside.
  uint64_t compiler_stack = 0;
  // The most stack the matcher may take; meaningful only for a pattern the guards and the library accept.
  krv_regex_matcher_stack matcher_stack;
};

// Reads `pattern` once, in time linear in its length, without recursion; it allocates one record per
// open group (up to krv_regex_max_group_depth + 1 of them, twice) and eight bytes per capturing group.
krv_regex_shape krv_regex_read_shape(std::string_view pattern);
