// The regular-expression jobs and the library steps they run (see string_regex_jobs.h).
#include "classes/std/string_regex_jobs.h"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "module/thread_record.h"
#include "platform/thread_id.h"
#include "runtime/base/raise.h"
#include "runtime/objects/log.h"

namespace {

using text_iterator = std::string::const_iterator;

// The bytes of `text` that `sub` covers (an empty match may sit at the very end).
std::string_view covered(const std::string& text, const std::sub_match<text_iterator>& sub) {
  const auto begin = static_cast<size_t>(sub.first - text.begin());
  return std::string_view(text).substr(begin, static_cast<size_t>(sub.length()));
}

const char* name_of(const std::regex_error& failure) { return krv_regex_error_name(failure.code()); }

// The line most jobs log when matching fails. It shows what() where the pattern might be expected: the
// job no longer has the pattern's text, only its compiled form.
void log_failed_while_matching(const char* method, const std::regex_error& failure) {
  krv_log_line(*krv_log_base::instance(), KRV_LOG_ERROR, method, ": pattern '", failure.what(),
               "' failed while matching (", name_of(failure), ")");
}

// The script list of `parts`, its entries reserved at once: growing them while making thousands of
// values costs more than the values (on a worker each growth also sends the allocator's small chunks
// down its slow path).
krvvar_shared list_of(const std::vector<std::string_view>& parts) {
  krv_string_list_result list(parts.size());
  for (std::string_view part : parts) list.append(part);
  return list.take();
}

// An output iterator that appends to a string and throws once it would pass `limit` bytes.
class bounded_appender {
 public:
  using iterator_category = std::output_iterator_tag;
  using value_type = void;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = void;

  bounded_appender(std::string& out, uint64_t limit) : out_(&out), limit_(limit) {}
  bounded_appender& operator=(char byte) {
    if (out_->size() >= limit_) throw krv_regex_result_too_large(limit_);
    out_->push_back(byte);
    return *this;
  }
  bounded_appender& operator*() { return *this; }
  bounded_appender& operator++() { return *this; }
  bounded_appender operator++(int) { return *this; }

 private:
  std::string* out_;
  uint64_t limit_;
};

// Calls `visit(match, previous_end)` for every match of `pattern` in `text`, in order; `previous_end` is
// where the match before it ended (the start of the text for the first), so [previous_end, match start)
// is the text between them. The library's iterator's rules: after an empty match the same position is
// tried once more for a match that is not empty and starts there, then the search goes on a byte
// further. Unlike the library's iterator, which tells the matcher that a character comes before the
// search's start (match_prev_avail) only from its second retry on, every search that starts past the
// beginning of the text says so: otherwise ^, \b and \B take the retry's position for the start of the
// text, and "ab" =~ /\B|^b/g finds "b" as well as the empty match. Gives whether anything matched.
template <class Visit>
bool for_each_match(const std::string& text, const std::regex& pattern, Visit visit) {
  namespace flags = std::regex_constants;
  std::match_results<text_iterator> match;
  const auto search_from = [&](text_iterator from, flags::match_flag_type how) {
    if (from != text.begin()) how |= flags::match_prev_avail;
    return std::regex_search(from, text.end(), match, pattern, how);
  };
  if (!search_from(text.begin(), flags::match_default)) return false;
  for (text_iterator previous_end = text.begin();;) {
    visit(match, previous_end);
    previous_end = match[0].second;
    text_iterator from = previous_end;
    if (match[0].first == match[0].second) {
      if (from == text.end()) return true;
      if (search_from(from, flags::match_not_null | flags::match_continuous)) continue;
      ++from;
    }
    if (!search_from(from, flags::match_default)) return true;
  }
}

// Appends `format` with its references filled in from `match`, by the library's ECMAScript format
// rules: $$ a dollar, $& the match, $` the text since the end of the previous match (from
// `previous_end`), $' the text after the match, $n and $nn a group (nothing for a group that did not
// take part or does not exist); any other $ stands for itself.
void append_formatted(bounded_appender& out, const std::match_results<text_iterator>& match,
                      text_iterator previous_end, const std::string& format) {
  const auto append = [&](text_iterator from, text_iterator to) { std::copy(from, to, out); };
  const auto is_digit = [](char byte) { return byte >= '0' && byte <= '9'; };
  for (size_t at = 0; at < format.size(); ++at) {
    const char next = at + 1 < format.size() ? format[at + 1] : '\0';
    if (format[at] != '$' || next == '\0') {
      out = format[at];
    } else if (next == '$') {
      out = '$';
      ++at;
    } else if (next == '&') {
      append(match[0].first, match[0].second);
      ++at;
    } else if (next == '`') {
      append(previous_end, match[0].first);
      ++at;
    } else if (next == '\'') {
      append(match[0].second, match.suffix().second);
      ++at;
    } else if (is_digit(next)) {
      size_t group = static_cast<size_t>(next - '0');
      ++at;
      if (at + 1 < format.size() && is_digit(format[at + 1]))
        group = group * 10 + static_cast<size_t>(format[++at] - '0');
      if (group < match.size() && match[group].matched) append(match[group].first, match[group].second);
    } else {
      out = '$';
    }
  }
}

// The error a result past its bound raises, and the fresh None that goes with it.
krvvar_shared refuse_result(const char* method, const krv_regex_result_too_large& failure) {
  return krv_raise_error(method, ": the result would pass ", failure.limit,
                         " bytes, the most a regex replacement may build");
}

// Whether the job's input is within its pattern's limit on the thread that runs it; raises the error if not.
// On the thread that checked it already, a second check from this deeper frame could name a smaller limit
// than the first one did.
bool fits_here(const krv_regex_job& job, const char* method) {
  if (job.pattern.checked_on_thread == krv_platform::current_thread_id()) return true;
  return krv_regex_input_fits_here(job.text.size(), job.pattern.limit_basis, method);
}

}  // namespace

bool krv_regex_full_match(const std::string& text, const std::regex& pattern) {
  return std::regex_match(text, pattern);
}

std::ptrdiff_t krv_regex_first_match(const std::string& text, const std::regex& pattern) {
  std::match_results<text_iterator> match;
  if (!std::regex_search(text.begin(), text.end(), match, pattern)) return -1;
  return match.position(0);
}

void krv_regex_collect_matches(const std::string& text, const std::regex& pattern, std::vector<std::string_view>& out) {
  for_each_match(text, pattern, [&](const std::match_results<text_iterator>& match, text_iterator) {
    out.push_back(covered(text, match[0]));
  });
}

// As the library's token iterator gives the pieces: the text before each match, then the text after
// the last one unless it is empty; the whole text, even an empty one, when nothing matches.
void krv_regex_collect_pieces(const std::string& text, const std::regex& pattern, std::vector<std::string_view>& out) {
  const std::string_view whole = text;
  size_t last_end = 0;
  const bool found = for_each_match(text, pattern, [&](const std::match_results<text_iterator>& match,
                                                       text_iterator previous_end) {
    out.push_back(whole.substr(static_cast<size_t>(previous_end - text.begin()),
                               static_cast<size_t>(match[0].first - previous_end)));
    last_end = static_cast<size_t>(match[0].second - text.begin());
  });
  if (!found || last_end < whole.size()) out.push_back(whole.substr(last_end));
}

std::string krv_regex_replace_all(const std::string& text, const std::regex& pattern, const std::string& format) {
  std::string result;
  bounded_appender out(result, krv_thread_max_buffer_bytes());
  text_iterator last_end = text.begin();
  for_each_match(text, pattern, [&](const std::match_results<text_iterator>& match, text_iterator previous_end) {
    std::copy(previous_end, match[0].first, out);
    append_formatted(out, match, previous_end, format);
    last_end = match[0].second;
  });
  std::copy(last_end, text.end(), out);
  return result;
}

krvvar_shared krv_regex_match_job(const krv_regex_job& job, krv_regex_match_step step) {
  if (!fits_here(job, "regex_match")) return krvvar_shared::make_none();
  try {
    return krv_bool_result(step(job.text, *job.pattern.regex));
  } catch (const std::regex_error& failure) {
    krv_log_line(*krv_log_base::instance(), KRV_LOG_ERROR, "regex_match: matching failed (", name_of(failure),
                 "): ", failure.what());
    return krv_int_result(0);
  }
}

krvvar_shared krv_regex_search_job(const krv_regex_job& job, krv_regex_search_step step) {
  if (!fits_here(job, "regex_search")) return krvvar_shared::make_none();
  try {
    return krv_int_result(step(job.text, *job.pattern.regex));
  } catch (const std::regex_error& failure) {
    log_failed_while_matching("regex_search", failure);
    return krv_int_result(-1);
  }
}

krvvar_shared krv_regex_findall_job(const krv_regex_job& job, krv_regex_collect_step step) {
  if (!fits_here(job, "regex_findall")) return krvvar_shared::make_none();
  std::vector<std::string_view> matches;
  try {
    step(job.text, *job.pattern.regex, matches);
  } catch (const std::regex_error& failure) {
    log_failed_while_matching("regex_findall", failure);
  }
  return list_of(matches);
}

krvvar_shared krv_regex_replace_job(const krv_regex_job& job, krv_regex_replace_step step) {
  if (!fits_here(job, "regex_replace")) return krvvar_shared::make_none();
  try {
    return krv_string_result(step(job.text, *job.pattern.regex, job.replacement));
  } catch (const krv_regex_result_too_large& failure) {
    return refuse_result("regex_replace", failure);
  } catch (const std::regex_error& failure) {
    log_failed_while_matching("regex_replace", failure);
    return krv_string_result(std::string_view(job.text));
  }
}

krvvar_shared krv_regex_split_job(const krv_regex_job& job, krv_regex_collect_step step) {
  if (!fits_here(job, "regex_split")) return krvvar_shared::make_none();
  std::vector<std::string_view> pieces;
  try {
    step(job.text, *job.pattern.regex, pieces);
  } catch (const std::regex_error& failure) {
    log_failed_while_matching("regex_split", failure);
  }
  return list_of(pieces);
}

krvvar_shared krv_regex_escape_job(const std::string& text) {
  // "\$&": a backslash, then the whole match.
  return krv_string_result(std::regex_replace(text, krv_regex_escape_pattern(), "\\$&"));
}

bool krv_regex_replace_in_place(std::string& text, const std::regex& pattern, const std::string& format,
                                krv_regex_replace_step step) {
  try {
    text = step(text, pattern, format);
    return true;
  } catch (const krv_regex_result_too_large& failure) {
    refuse_result("regex_replace_inplace", failure);
    return false;
  } catch (const std::regex_error& failure) {
    log_failed_while_matching("regex_replace_inplace", failure);
    return false;
  }
}
