// std.string methods that measure, test or rewrite the whole text: counting, insertion, the replace
// family, case, trimming, whitespace compression, prefixes and suffixes, reversal, containment, removal.
#include <algorithm>

#include "classes/std/string_algorithms.h"
#include "classes/std/string_bytes.h"
#include "classes/std/string_method_support.h"
#include "classes/std/string_methods.h"
#include "runtime/storage/string_text.h"

namespace krv_string_methods {
namespace {

bool is_space(char byte) { return krv_is_space_byte(static_cast<unsigned char>(byte)); }

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), krv_lower_byte);
  return text;
}
std::string uppered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), krv_upper_byte);
  return text;
}

std::string_view left_trimmed(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size() && is_space(text[begin])) ++begin;
  return text.substr(begin);
}
std::string_view right_trimmed(std::string_view text) {
  size_t end = text.size();
  while (end > 0 && is_space(text[end - 1])) --end;
  return text.substr(0, end);
}

std::string compressed(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (!is_space(text[i])) {
      result.push_back(text[i++]);
      continue;
    }
    result.push_back(' ');
    while (i < text.size() && is_space(text[i])) ++i;
  }
  return result;
}

// One line of rstrip_lines (without its line feed): trailing whitespace goes, but never past a carriage
// return, and a carriage return right before the line feed is kept.
void append_stripped_line(std::string& out, std::string_view line) {
  const bool carriage_return = !line.empty() && line.back() == '\r';
  if (carriage_return) line.remove_suffix(1);
  while (!line.empty() && is_space(line.back()) && line.back() != '\r' && line.back() != '\n') line.remove_suffix(1);
  out.append(line);
  if (carriage_return) out.push_back('\r');
}

size_t count_occurrences(std::string_view text, std::string_view sub) {
  size_t count = 0;
  for (size_t found = text.find(sub); found != std::string_view::npos; found = text.find(sub, found + sub.size()))
    ++count;
  return count;
}

std::string without_whitespace(std::string_view text) { return krv_string_tokenize_whitespace(text).bytes; }

// replace with a json map: keyed entries in entry order, each applied to the text as changed so far.
void replace_by_map(std::string& text, krvvar& map) {
  for (const krv_std_json_entry& entry : map.object_ptr<krv_std_json>()->entries) {
    if (!entry.has_key()) continue;
    if (entry.key->empty()) {
      krv_string_warn_empty_search("replace", "map key");
      continue;
    }
    krv_string_replace_all(text, *entry.key, entry.value ? entry.value->get_string() : std::string());
  }
}

}  // namespace

KRV_STRING_METHOD(length) { return krv_int_result(static_cast<int64_t>(self->text.size())); }

KRV_STRING_METHOD(empty) { return krv_bool_result(self->text.empty()); }

KRV_STRING_METHOD(count) {
  if (!krv_string_has_arg(args, 0)) return krv_int_result(static_cast<int64_t>(self->text.size()));
  const std::string sub = krv_string_text_arg(args, 0);
  if (self->text.empty() || sub.empty()) return krv_int_result(0);
  return krv_int_result(static_cast<int64_t>(count_occurrences(self->text, sub)));
}

KRV_STRING_METHOD(insert) {
  const int64_t index = krv_string_int_arg(args, 0, -1);
  if (index >= 0 && static_cast<uint64_t>(index) <= self->text.size())
    self->text.insert(static_cast<size_t>(index), krv_string_text_arg(args, 1));
  return krvvar_shared::make_object(krvptr_strong<krvobject_base>::from_raw(self));
}

KRV_STRING_METHOD(replace) {
  std::string text = self->text;
  if (args.size() >= 2) {
    const std::string search = krv_string_text_arg(args, 0);
    if (search.empty())
      krv_string_warn_empty_search("replace", "search string");
    else
      krv_string_replace_all(text, search, krv_string_text_arg(args, 1));
  } else if (krv_string_has_arg(args, 0)) {
    krvvar_shared map = args[0].deref_copy();
    if (map->type == KRVVAR_JSON) replace_by_map(text, *map);
  }
  return krv_string_result(std::move(text));
}

KRV_STRING_METHOD(replace_ignoring_whitespace) {
  if (args.size() < 2) return krv_string_result(self->text);
  const std::string search = krv_string_text_arg(args, 0);
  if (without_whitespace(search).empty()) {
    krv_string_warn_empty_search("replace_ignoring_whitespace", "search string");
    return krv_string_result(self->text);
  }
  return krv_string_result(krv_string_replace_ignoring_whitespace_all(self->text, search, krv_string_text_arg(args, 1)));
}

KRV_STRING_METHOD(replace_inplace) {
  const std::string search = krv_string_text_arg(args, 0);
  if (search.empty()) {
    krv_string_warn_empty_search("replace_inplace", "search string");
    return krv_int_result(0);
  }
  return krv_bool_result(krv_string_replace_all(self->text, search, krv_string_text_arg(args, 1)));
}

KRV_STRING_METHOD(replace_first) {
  std::string text = self->text;
  const std::string search = krv_string_text_arg(args, 0);
  if (search.empty()) {
    krv_string_warn_empty_search("replace_first", "search string");
  } else if (size_t found = text.find(search); found != std::string::npos) {
    text.replace(found, search.size(), krv_string_text_arg(args, 1));
  }
  return krv_string_result(std::move(text));
}

KRV_STRING_METHOD(lowercase) { return krv_string_result(lowered(self->text)); }
KRV_STRING_METHOD(lowercase_inplace) {
  self->text = lowered(std::move(self->text));
  return krv_int_result(1);
}
KRV_STRING_METHOD(uppercase) { return krv_string_result(uppered(self->text)); }
KRV_STRING_METHOD(uppercase_inplace) {
  self->text = uppered(std::move(self->text));
  return krv_int_result(1);
}

KRV_STRING_METHOD(trim) { return krv_string_result(krv_string_trim_copy(self->text)); }
KRV_STRING_METHOD(trim_inplace) {
  self->text = krv_string_trim_copy(self->text);
  return krv_int_result(1);
}
KRV_STRING_METHOD(ltrim) { return krv_string_result(left_trimmed(self->text)); }
KRV_STRING_METHOD(ltrim_inplace) {
  self->text.erase(0, self->text.size() - left_trimmed(self->text).size());
  return krv_int_result(1);
}
KRV_STRING_METHOD(rtrim) { return krv_string_result(right_trimmed(self->text)); }
KRV_STRING_METHOD(rtrim_inplace) {
  self->text.resize(right_trimmed(self->text).size());
  return krv_int_result(1);
}

KRV_STRING_METHOD(rstrip_lines) {
  const std::string_view text = self->text;
  std::string result;
  size_t line_start = 0;
  for (size_t feed = text.find('\n'); feed != std::string_view::npos; feed = text.find('\n', line_start)) {
    append_stripped_line(result, text.substr(line_start, feed - line_start));
    result.push_back('\n');
    line_start = feed + 1;
  }
  append_stripped_line(result, text.substr(line_start));
  return krv_string_result(std::move(result));
}

KRV_STRING_METHOD(compress_whitespace) { return krv_string_result(compressed(self->text)); }
KRV_STRING_METHOD(compress_whitespace_inplace) {
  self->text = compressed(self->text);
  return krv_int_result(1);
}

KRV_STRING_METHOD(starts) { return krv_bool_result(self->text.starts_with(krv_string_text_arg(args, 0))); }
KRV_STRING_METHOD(ends) { return krv_bool_result(self->text.ends_with(krv_string_text_arg(args, 0))); }

KRV_STRING_METHOD(reverse) { return krv_string_result(std::string(self->text.rbegin(), self->text.rend())); }
KRV_STRING_METHOD(reverse_inplace) {
  std::reverse(self->text.begin(), self->text.end());
  return krv_int_result(1);
}

KRV_STRING_METHOD(contains) {
  return krv_bool_result(self->text.find(krv_string_text_arg(args, 0)) != std::string::npos);
}
KRV_STRING_METHOD(contains_ignoring_whitespaces) {
  const std::string sub = without_whitespace(krv_string_text_arg(args, 0));
  return krv_bool_result(without_whitespace(self->text).find(sub) != std::string::npos);
}

KRV_STRING_METHOD(removeprefix) {
  const std::string prefix = krv_string_text_arg(args, 0);
  const std::string_view text = self->text;
  return krv_string_result(!prefix.empty() && text.starts_with(prefix) ? text.substr(prefix.size()) : text);
}
KRV_STRING_METHOD(removesuffix) {
  const std::string suffix = krv_string_text_arg(args, 0);
  const std::string_view text = self->text;
  return krv_string_result(text.ends_with(suffix) ? text.substr(0, text.size() - suffix.size()) : text);
}

KRV_STRING_METHOD(removechars) {
  const krv_byte_set removed(krv_string_text_arg(args, 0));
  std::string result;
  std::copy_if(self->text.begin(), self->text.end(), std::back_inserter(result), [&](char b) { return !removed.contains(b); });
  return krv_string_result(std::move(result));
}
KRV_STRING_METHOD(removecharsexcept) {
  const krv_byte_set kept(krv_string_text_arg(args, 0));
  std::string result;
  std::copy_if(self->text.begin(), self->text.end(), std::back_inserter(result), [&](char b) { return kept.contains(b); });
  return krv_string_result(std::move(result));
}

}  // namespace krv_string_methods
