// The regular-expression methods of std.string.
//
// The six worker methods check and compile on the calling thread, where a refused input or pattern is
// raised as a runtime error and nothing is handed off; the matching then runs as a job that owns copies
// of the text and the replacement. regex_replace_inplace writes the receiver and so runs wholly on the
// calling thread.
#include "classes/std/string_methods.h"
#include "classes/std/string_regex.h"
#include "classes/std/string_regex_jobs.h"
#include "classes/std/worker_hand_off.h"

namespace krv_string_methods {
namespace {

using job_body = krvvar_shared (*)(const krv_regex_job&);

// The pattern is argument 0, a replacement (where there is one) argument 1.
krvvar_shared hand_off_pattern_job(const krv_std_string& self, krv_vm_context& frame, const krv_string_args& args,
                                   std::string_view method, job_body run) {
  krv_regex_compiled pattern = krv_regex_cache_get(krv_string_text_arg(args, 0), self.text.size(), method);
  if (!pattern) return krvvar_shared::make_none();
  krv_regex_job job{self.text, krv_string_text_arg(args, 1), std::move(pattern)};
  return krv_hand_off_to_worker(frame, [job = std::move(job), run] { return run(job); });
}

}  // namespace

KRV_STRING_METHOD(regex_match) {
  return hand_off_pattern_job(*self, frame, args, "regex_match", [](const krv_regex_job& job) {
    return krv_regex_match_job(job);
  });
}

KRV_STRING_METHOD(regex_search) {
  return hand_off_pattern_job(*self, frame, args, "regex_search", [](const krv_regex_job& job) {
    return krv_regex_search_job(job);
  });
}

KRV_STRING_METHOD(regex_findall) {
  return hand_off_pattern_job(*self, frame, args, "regex_findall", [](const krv_regex_job& job) {
    return krv_regex_findall_job(job);
  });
}

KRV_STRING_METHOD(regex_replace) {
  return hand_off_pattern_job(*self, frame, args, "regex_replace", [](const krv_regex_job& job) {
    return krv_regex_replace_job(job);
  });
}

KRV_STRING_METHOD(regex_replace_inplace) {
  const krv_regex_compiled pattern =
      krv_regex_cache_get(krv_string_text_arg(args, 0), self->text.size(), "regex_replace_inplace");
  if (!pattern) return krv_int_result(0);
  return krv_bool_result(krv_regex_replace_in_place(self->text, *pattern.regex, krv_string_text_arg(args, 1)));
}

KRV_STRING_METHOD(regex_split) {
  return hand_off_pattern_job(*self, frame, args, "regex_split", [](const krv_regex_job& job) {
    return krv_regex_split_job(job);
  });
}

// No limit and no cache: the escape pattern repeats nothing and is compiled once per process.
KRV_STRING_METHOD(regex_escape) {
  return krv_hand_off_to_worker(frame, [text = self->text] { return krv_regex_escape_job(text); });
}

}  // namespace krv_string_methods
