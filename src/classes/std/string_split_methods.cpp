// std.string methods that work on positions: substrings, splitting into json lists, the find family,
// justification to a width, and extraction between delimiters.
#include "classes/std/string_algorithms.h"
#include "classes/std/string_bytes.h"
#include "classes/std/string_method_support.h"
#include "classes/std/string_methods.h"
#include "runtime/objects/log.h"
#include "runtime/storage/string_text.h"

namespace krv_string_methods {
namespace {

constexpr int64_t not_found = -1;

int64_t position_result(size_t position) {
  return position == std::string::npos ? not_found : static_cast<int64_t>(position);
}

// A forward start: negative counts from the end, then clamped into 0..length.
size_t forward_start(int64_t start, size_t length) {
  const int64_t size = static_cast<int64_t>(length);
  if (start < 0) start += size;
  return static_cast<size_t>(std::clamp<int64_t>(start, 0, size));
}

// A backward start: negative counts from the end; still negative, or past the end, means the last byte.
// An empty text gives 0.
size_t backward_start(const krv_string_args& args, size_t length) {
  const int64_t size = static_cast<int64_t>(length);
  int64_t start = krv_string_int_arg(args, 1, size - 1);
  if (start < 0) start += size;
  if (start < 0 || start >= size) start = size - 1;
  return static_cast<size_t>(std::max<int64_t>(start, 0));
}

std::string_view substring(std::string_view text, int64_t start, int64_t count) {
  const size_t from = forward_start(start, text.size());
  const size_t rest = text.size() - from;
  const size_t taken = count < 0 || static_cast<uint64_t>(count) > rest ? rest : static_cast<size_t>(count);
  return text.substr(from, taken);
}

// split and smart_split share their handling of max_parts 0 and 1, which comes before any other test.
bool trivially_split(krv_string_list_result& list, std::string_view text, int64_t max_parts) {
  if (max_parts == 1) list.append(text);
  return max_parts == 0 || max_parts == 1;
}

void split_at(krv_string_list_result& list, std::string_view text, std::string_view delimiter, int64_t max_parts,
              bool strip) {
  auto part = [&](std::string_view piece) { strip ? list.append(krv_string_trim_copy(piece)) : list.append(piece); };
  size_t start = 0;
  int64_t cuts = 0;
  for (size_t found = text.find(delimiter); found != std::string_view::npos; found = text.find(delimiter, start)) {
    if (max_parts >= 0 && ++cuts >= max_parts) break;
    part(text.substr(start, found - start));
    start = found + delimiter.size();
  }
  part(text.substr(start));
}

enum class side { left, right, center };

krvvar_shared justified(krv_std_string& self, const krv_string_args& args, side where, std::string_view method) {
  const std::string fill_text = krv_string_text_arg(args, 1);
  const char fill = krv_string_has_arg(args, 1) && !fill_text.empty() ? fill_text[0] : ' ';
  const size_t fill_count = static_cast<size_t>(krv_string_width_clamp(krv_string_int_arg(args, 0, 0), self.text.size(), method));
  const size_t before = where == side::right ? fill_count : where == side::center ? fill_count / 2 : 0;
  std::string result;
  result.reserve(self.text.size() + fill_count);
  result.append(before, fill).append(self.text).append(fill_count - before, fill);
  return krv_string_result(std::move(result));
}

}  // namespace

KRV_STRING_METHOD(substr) {
  return krv_string_result(substring(self->text, krv_string_int_arg(args, 0, 0), krv_string_int_arg(args, 1, -1)));
}
KRV_STRING_METHOD(substr_inplace) {
  self->text = std::string(substring(self->text, krv_string_int_arg(args, 0, 0), krv_string_int_arg(args, 1, -1)));
  return krv_int_result(1);
}

KRV_STRING_METHOD(split) {
  krv_string_list_result list;
  const int64_t max_parts = krv_string_int_arg(args, 1, -1);
  if (trivially_split(list, self->text, max_parts)) return list.take();
  const std::string delimiter = krv_string_text_arg(args, 0);
  if (delimiter.empty()) {
    krv_string_warn_empty_search("split", "delimiter");
    list.append(self->text);
  } else {
    split_at(list, self->text, delimiter, max_parts, krv_string_flag_arg(args, 2, false));
  }
  return list.take();
}

KRV_STRING_METHOD(split_words) {
  krv_string_list_result list;
  const std::string_view text = self->text;
  for (size_t i = 0; i < text.size();) {
    if (krv_is_space_byte(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
    const size_t word = i;
    while (i < text.size() && !krv_is_space_byte(static_cast<unsigned char>(text[i]))) ++i;
    list.append(text.substr(word, i - word));
  }
  return list.take();
}

KRV_STRING_METHOD(smart_split) {
  krv_string_list_result list;
  const int64_t max_parts = krv_string_int_arg(args, 1, -1);
  if (trivially_split(list, self->text, max_parts)) return list.take();
  const auto parts = krv_string_smart_split(self->text, krv_string_text_arg(args, 0), max_parts,
                                            krv_string_flag_arg(args, 2, false));
  for (const std::string& part : parts) list.append(part);
  return list.take();
}

KRV_STRING_METHOD(find) {
  const size_t start = forward_start(krv_string_int_arg(args, 1, 0), self->text.size());
  return krv_int_result(position_result(self->text.find(krv_string_text_arg(args, 0), start)));
}
KRV_STRING_METHOD(rfind) {
  const size_t start = backward_start(args, self->text.size());
  return krv_int_result(position_result(self->text.rfind(krv_string_text_arg(args, 0), start)));
}
KRV_STRING_METHOD(find_first_of) {
  const size_t start = forward_start(krv_string_int_arg(args, 1, 0), self->text.size());
  return krv_int_result(position_result(self->text.find_first_of(krv_string_text_arg(args, 0), start)));
}
KRV_STRING_METHOD(find_first_not_of) {
  const size_t start = forward_start(krv_string_int_arg(args, 1, 0), self->text.size());
  return krv_int_result(position_result(self->text.find_first_not_of(krv_string_text_arg(args, 0), start)));
}
KRV_STRING_METHOD(find_last_of) {
  if (self->text.empty()) return krv_int_result(not_found);
  const size_t start = backward_start(args, self->text.size());
  return krv_int_result(position_result(self->text.find_last_of(krv_string_text_arg(args, 0), start)));
}
KRV_STRING_METHOD(find_last_not_of) {
  if (self->text.empty()) return krv_int_result(not_found);
  const size_t start = backward_start(args, self->text.size());
  return krv_int_result(position_result(self->text.find_last_not_of(krv_string_text_arg(args, 0), start)));
}

KRV_STRING_METHOD(ljust) { return justified(*self, args, side::left, "ljust"); }
KRV_STRING_METHOD(rjust) { return justified(*self, args, side::right, "rjust"); }
KRV_STRING_METHOD(center) { return justified(*self, args, side::center, "center"); }

KRV_STRING_METHOD(extract) {
  const std::string left = krv_string_text_arg(args, 0), right = krv_string_text_arg(args, 1);
  const std::string_view text = self->text;
  const size_t opened = text.find(left);
  if (opened == std::string_view::npos) return krv_string_result(std::string());
  const size_t inner = opened + left.size();
  const size_t closed = text.find(right, inner);
  if (closed == std::string_view::npos) return krv_string_result(std::string());
  return krv_string_result(text.substr(inner, closed - inner));
}

KRV_STRING_METHOD(extract_quotes) {
  const std::string_view text = self->text;
  const size_t first = text.find('"'), last = text.rfind('"');
  if (first == std::string_view::npos || last <= first + 1) return krv_string_result(text);
  return krv_string_result(text.substr(first + 1, last - first - 1));
}

KRV_STRING_METHOD(extract_all) {
  krv_string_list_result list;
  const std::string left = krv_string_text_arg(args, 0), right = krv_string_text_arg(args, 1);
  if (left.empty() || right.empty()) {
    krv_string_warn_empty_search("extract_all", "delimiter");
    return list.take();
  }
  const std::string_view text = self->text;
  for (size_t p = 0; p < text.size();) {
    const size_t opened = text.find(left, p);
    if (opened == std::string_view::npos) break;
    const size_t inner = opened + left.size();
    const size_t closed = text.find(right, inner);
    if (closed == std::string_view::npos) {
      krv_log_line(*krv_log_base::instance(), KRV_LOG_WARNING, "extract_all: Missing right delimiter: ", right);
      break;
    }
    list.append(text.substr(inner, closed - inner));
    p = closed + right.size();
  }
  return list.take();
}

}  // namespace krv_string_methods
