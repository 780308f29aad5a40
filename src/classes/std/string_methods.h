// The bodies of the std.string methods, registered in method-table order by krv_std_string::script_register
// (string_registration.cpp). Each receives the receiver, the calling frame and the arguments. Only the
// regular-expression methods raise errors (an input above the pattern's limit, a pattern that does not
// compile); the others clamp or ignore out-of-range numbers and warn about empty search texts.
#pragma once
#include <vector>

#include "runtime/objects/vm_context.h"
#include "runtime/storage/string_object.h"

namespace krv_string_methods {

// Declares (and, in the method sources, defines) one body; a body reads only what it needs.
#define KRV_STRING_METHOD(name)                                                                  \
  krvvar_shared name([[maybe_unused]] krv_std_string* self, [[maybe_unused]] krv_vm_context& frame, \
                     [[maybe_unused]] std::vector<krvvar_shared>& args)

// Length, counting, insertion, replacing, case, trimming, whitespace, prefixes, reversal, removal
// (string_edit_methods.cpp).
KRV_STRING_METHOD(length);
KRV_STRING_METHOD(empty);
KRV_STRING_METHOD(count);
KRV_STRING_METHOD(insert);
KRV_STRING_METHOD(replace);
KRV_STRING_METHOD(replace_ignoring_whitespace);
KRV_STRING_METHOD(replace_inplace);
KRV_STRING_METHOD(replace_first);
KRV_STRING_METHOD(lowercase);
KRV_STRING_METHOD(lowercase_inplace);
KRV_STRING_METHOD(uppercase);
KRV_STRING_METHOD(uppercase_inplace);
KRV_STRING_METHOD(trim);
KRV_STRING_METHOD(trim_inplace);
KRV_STRING_METHOD(ltrim);
KRV_STRING_METHOD(ltrim_inplace);
KRV_STRING_METHOD(rtrim);
KRV_STRING_METHOD(rtrim_inplace);
KRV_STRING_METHOD(rstrip_lines);
KRV_STRING_METHOD(compress_whitespace);
KRV_STRING_METHOD(compress_whitespace_inplace);
KRV_STRING_METHOD(starts);
KRV_STRING_METHOD(ends);
KRV_STRING_METHOD(reverse);
KRV_STRING_METHOD(reverse_inplace);
KRV_STRING_METHOD(contains);
KRV_STRING_METHOD(contains_ignoring_whitespaces);
KRV_STRING_METHOD(removeprefix);
KRV_STRING_METHOD(removesuffix);
KRV_STRING_METHOD(removechars);
KRV_STRING_METHOD(removecharsexcept);

// Substrings, splitting, searching, justification and extraction (string_split_methods.cpp).
KRV_STRING_METHOD(substr);
KRV_STRING_METHOD(substr_inplace);
KRV_STRING_METHOD(split);
KRV_STRING_METHOD(split_words);
KRV_STRING_METHOD(smart_split);
KRV_STRING_METHOD(find);
KRV_STRING_METHOD(rfind);
KRV_STRING_METHOD(find_first_of);
KRV_STRING_METHOD(find_last_of);
KRV_STRING_METHOD(find_first_not_of);
KRV_STRING_METHOD(find_last_not_of);
KRV_STRING_METHOD(ljust);
KRV_STRING_METHOD(rjust);
KRV_STRING_METHOD(center);
KRV_STRING_METHOD(extract);
KRV_STRING_METHOD(extract_quotes);
KRV_STRING_METHOD(extract_all);

// Regular expressions (string_regex_methods.cpp); all but regex_replace_inplace hand their matching to a
// worker.
KRV_STRING_METHOD(regex_match);
KRV_STRING_METHOD(regex_search);
KRV_STRING_METHOD(regex_findall);
KRV_STRING_METHOD(regex_replace);
KRV_STRING_METHOD(regex_replace_inplace);
KRV_STRING_METHOD(regex_split);
KRV_STRING_METHOD(regex_escape);

}  // namespace krv_string_methods
