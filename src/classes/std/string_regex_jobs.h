// The work of the regular-expression methods, as it runs off the VM thread.
//
// A job owns everything it reads: a copy of the receiver's text, the replacement where the method has
// one, and a share of the compiled pattern. It never touches the receiver, so a script may change the
// string while its job runs without changing the job's result.
//
// The calling thread has checked the input against the pattern's limit on its own stack, but a worker's
// stack may be smaller than the VM thread's: a job run on another thread than the one that checked it
// checks the limit again there, before it matches. A refused input raises the calling thread's error with the limit that applies there
// (catchable: a hand-off raises it in the task when it resumes) and the job's value is None.
//
// Each job reaches the library through one step, passed in with the library's own as the default. A
// failure while matching (a regex_error) is not a script error: the job logs an error line and still
// produces a value (0, -1, what it collected so far, the text unchanged). libstdc++ never throws while
// matching, so the step is also how those lines are driven in tests. A replacement whose result passes
// its bound raises an error instead: catchable where the job runs in a task on the VM thread
// (regex_replace_inplace always does), an error line on a worker; the value is then None, and
// regex_replace_inplace leaves the string unchanged and gives 0.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "classes/std/string_method_support.h"
#include "classes/std/string_regex.h"

struct krv_regex_job {
  std::string text;         // the receiver's text when the call was made
  std::string replacement;  // regex_replace's format text; empty for the other methods
  krv_regex_compiled pattern;  // with the basis of its input limit
};

// The library operations, one per job shape. The collecting ones append spans of `text` to `out` as
// they go, so that what was found before a failure is kept; the job makes the script list once all are
// found, with its size known.
using krv_regex_match_step = bool (*)(const std::string& text, const std::regex& pattern);
using krv_regex_search_step = std::ptrdiff_t (*)(const std::string& text, const std::regex& pattern);
using krv_regex_collect_step = void (*)(const std::string& text, const std::regex& pattern,
                                        std::vector<std::string_view>& out);
using krv_regex_replace_step = std::string (*)(const std::string& text, const std::regex& pattern,
                                               const std::string& format);

// Whether all of `text` matches.
bool krv_regex_full_match(const std::string& text, const std::regex& pattern);
// Where the first match begins; -1 when there is none.
std::ptrdiff_t krv_regex_first_match(const std::string& text, const std::regex& pattern);
// Every match in order, empty ones included (the match iterator's rules, except that a search past the
// start of the text always knows the character before it: see for_each_match).
void krv_regex_collect_matches(const std::string& text, const std::regex& pattern, std::vector<std::string_view>& out);
// The pieces between matches (as the token iterator with submatch -1 gives them).
void krv_regex_collect_pieces(const std::string& text, const std::regex& pattern, std::vector<std::string_view>& out);
// Every match replaced by `format` under the ECMAScript format rules ($&, $n, $`, $', $$). The result
// is held to the bytes a std.buffer may hold (the VM's max_buffer_bytes, 1 GiB by default): $` and $'
// repeat the text once per match, so it grows with the square of the input. The bound is checked byte
// by byte as the result is built; past it krv_regex_result_too_large is thrown and the partial result
// dropped.
std::string krv_regex_replace_all(const std::string& text, const std::regex& pattern, const std::string& format);

struct krv_regex_result_too_large : std::length_error {
  explicit krv_regex_result_too_large(uint64_t bytes)
      : std::length_error("regex result too large"), limit(bytes) {}
  uint64_t limit;  // the bound the result reached
};

krvvar_shared krv_regex_match_job(const krv_regex_job& job, krv_regex_match_step step = krv_regex_full_match);
krvvar_shared krv_regex_search_job(const krv_regex_job& job, krv_regex_search_step step = krv_regex_first_match);
krvvar_shared krv_regex_findall_job(const krv_regex_job& job, krv_regex_collect_step step = krv_regex_collect_matches);
krvvar_shared krv_regex_replace_job(const krv_regex_job& job, krv_regex_replace_step step = krv_regex_replace_all);
krvvar_shared krv_regex_split_job(const krv_regex_job& job, krv_regex_collect_step step = krv_regex_collect_pieces);
// `text` with a backslash before each metacharacter.
krvvar_shared krv_regex_escape_job(const std::string& text);

// regex_replace_inplace's work, on the calling thread: `text` takes the replaced text and true comes
// back; a failure while matching logs its line, leaves `text` as it was and gives false.
bool krv_regex_replace_in_place(std::string& text, const std::regex& pattern, const std::string& format,
                                krv_regex_replace_step step = krv_regex_replace_all);
