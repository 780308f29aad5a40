// What scripts reach of "std.string": its method table, the constructor function "string" in namespace
// "std", and the registrar that adds both while the library loads. Its place among the sources of
// classes/std fixes its place in the registry.
//
// Methods register in table order, which is also the order of the class's member list. Methods of one
// shape (a substring to search for, a delimiter to split by, a set of characters, a pair of delimiters, a
// pattern) share their argument range and parameter help through one row maker each. The methods that
// hand their work to a worker carry the worker call kind, which the host reads.
#include <string_view>

#include "classes/std/method_registration.h"
#include "classes/std/string_methods.h"
#include "module/namespace_registry.h"
#include "runtime/objects/class_registration.h"

namespace {

using row = krv_method_row<krv_std_string>;
using body_function = row::body_function;

constexpr row sub_method(std::string_view name, body_function body, uint32_t max_args, std::string_view help) {
  return {name, body, 1, max_args, help, {"sub: string - Substring to search for"}};
}

constexpr row split_method(std::string_view name, body_function body, std::string_view help) {
  return {name, body, 1, 3, help,
          {"delim: string - Delimiter to split the string by",
           "max_parts: int - Maximum number of resulting strings (-1 is the default, disables this)",
           "strip: bool - Strip individual parts."}};
}

constexpr row chars_method(std::string_view name, body_function body, std::string_view help) {
  return {name, body, 1, 2, help, {"chars: string - Set of characters to search for"}};
}

constexpr row delimiters_method(std::string_view name, body_function body, std::string_view help) {
  return {name, body, 2, 2, help,
          {"left: string - Left delimiter to search for", "right: string - Right delimiter to search for"}};
}

constexpr row pattern_method(std::string_view name, body_function body, std::string_view help) {
  return {name, body, 1, 1, help, {"pattern: string - Regular expression pattern to search for"},
          krv_worker_call_kind};
}

namespace m = krv_string_methods;

constexpr row string_methods[] = {
    {"length", m::length, 0, 0, "Retrieve the length of the string"},
    {"size", m::length, 0, 0, "Retrieve the size of the string"},
    {"empty", m::empty, 0, 0, "Check if string is empty and return 1 if true, 0 otherwise"},
    {"count", m::count, 0, 1, "Check how often a string appears in this string", {"str: string"}},
    {"insert", m::insert, 2, 2, "Insert text into the string",
     {"index: int - Where to insert", "text: string - What to insert"}},
    {"replace", m::replace, 1, 2, "Replace all occurrences of a substring or apply a json map of replacements",
     {"search_or_map: string|json - Substring to search for or json map of replacements",
      "replace: string - Replacement string"}},
    {"replace_ignoring_whitespace", m::replace_ignoring_whitespace, 1, 2,
     "Replace all occurrences of a substring, ignoring whitespace",
     {"search: string - Substring to search for and replace", "replace: string - Replacement string"}},
    {"replace_inplace", m::replace_inplace, 2, 2, "Replace all occurrences of a substring within the string in-place",
     {"search: string - Substring to search for and replace"}},
    {"replace_first", m::replace_first, 2, 2, "Replaces the first occurrence of a substring with another substring",
     {"search: string - Substring to search for and replace"}},
    {"lowercase", m::lowercase, 0, 0, "Convert string to lowercase"},
    {"lowercase_inplace", m::lowercase_inplace, 0, 0, "Convert string to lowercase"},
    {"uppercase", m::uppercase, 0, 0, "Convert string to uppercase"},
    {"uppercase_inplace", m::uppercase_inplace, 0, 0, "Convert string to uppercase"},
    {"trim", m::trim, 0, 0, "Remove leading and trailing whitespace"},
    {"trim_inplace", m::trim_inplace, 0, 0, "Remove leading and trailing whitespace"},
    {"strip", m::trim, 0, 0, "Remove leading and trailing whitespace"},
    {"strip_inplace", m::trim_inplace, 0, 0, "Remove leading and trailing whitespace"},
    {"ltrim", m::ltrim, 0, 0, "Remove leading whitespace"},
    {"ltrim_inplace", m::ltrim_inplace, 0, 0, "Remove leading whitespace"},
    {"rtrim", m::rtrim, 0, 0, "Remove trailing whitespace"},
    {"rtrim_inplace", m::rtrim_inplace, 0, 0, "Remove trailing whitespace"},
    {"rstrip_lines", m::rstrip_lines, 0, 0, "Remove trailing whitespace from each line while preserving newlines"},
    {"compress_whitespace", m::compress_whitespace, 0, 0,
     "Compress consecutive whitespace characters to a single space"},
    {"compress_whitespace_inplace", m::compress_whitespace_inplace, 0, 0,
     "Compress consecutive whitespace characters to a single space in-place"},
    {"starts", m::starts, 1, 1, "Check if string starts with specified prefix",
     {"prefix: string - Prefix to check if the string starts with"}},
    {"ends", m::ends, 1, 1, "Check if string ends with specified suffix",
     {"suffix: string - The suffix to check if the string ends with"}},
    {"substr", m::substr, 1, 2,
     "Extracts a substring from the original string with support for Python-style negative indices",
     {"start: int - Starting index for the substring (supports negative indices)"}},
    {"substr_inplace", m::substr_inplace, 1, 2,
     "Extracts a substring from the string and modifies the original string in-place",
     {"start: int - Starting index of the substring (supports negative indices for Python-style slicing)"}},
    {"reverse", m::reverse, 0, 0, "Return a reversed copy of the string"},
    {"reverse_inplace", m::reverse_inplace, 0, 0, "Reverse the string in-place"},
    sub_method("contains", m::contains, 1, "Check if string contains substring"),
    sub_method("contains_ignoring_whitespaces", m::contains_ignoring_whitespaces, 1,
               "Check if string contains substring"),
    split_method("split", m::split, "Split string into parts using specified delimiter"),
    {"split_words", m::split_words, 0, 0,
     "Split string into words based on whitespace, automatically handling multiple spaces"},
    split_method(
        "smart_split", m::smart_split,
        "Smart split string into parts using a delimiter while ignoring delimiters inside strings, comments, and "
        "brackets"),
    {"find", m::find, 1, 2, "Find the position of a substring within the string",
     {"substring: string - Substring to search for"}},
    sub_method("rfind", m::rfind, 2, "Find last occurrence of substring in string, searching backwards"),
    chars_method("find_first_of", m::find_first_of,
                 "Find first occurrence of any character from the given set within the string"),
    chars_method("find_last_of", m::find_last_of,
                 "Finds the last occurrence of any character from the given set in the string"),
    {"find_first_not_of", m::find_first_not_of, 1, 2, "Find first character not in specified set",
     {"chars: string - Set of characters to exclude from search"}},
    {"find_last_not_of", m::find_last_not_of, 1, 2,
     "Find the last character in the string that is not in the specified set of characters",
     {"chars: string - Set of characters to exclude from search"}},
    {"ljust", m::ljust, 1, 2,
     "Left-justify the string by padding it with the specified fill character to reach the given width",
     {"width: int - Target width for the string"}},
    {"rjust", m::rjust, 1, 2, "Right-justify string by padding with specified character",
     {"width: int - Target width for the right-justified string"}},
    {"center", m::center, 1, 2, "Center the string within specified width using padding characters",
     {"width: int - Target width for the centered string"}},
    {"removeprefix", m::removeprefix, 1, 1, "Remove a prefix from the string if it starts with that prefix",
     {"prefix: string - The prefix to remove from the string"}},
    {"removesuffix", m::removesuffix, 1, 1, "Remove specified suffix from string if it exists at the end",
     {"suffix: string - Suffix to remove from the end of the string"}},
    {"removechars", m::removechars, 1, 1, "Remove all occurrences of specified characters from the string",
     {"chars: string - Characters to remove from the string"}},
    {"removecharsexcept", m::removecharsexcept, 1, 1,
     "Remove all characters from the string except those specified in the parameter",
     {"chars: string - Characters to keep in the string"}},
    delimiters_method("extract", m::extract, "Extract substring between specified left and right delimiters"),
    {"extract_quotes", m::extract_quotes, 0, 0,
     "Extract substring between the first pair of double quotes in the string"},
    delimiters_method("extract_all", m::extract_all,
                      "Extract all substring between specified left and right delimiters"),
    {"regex_match", m::regex_match, 1, 1,
     "Check if the string matches a regular expression pattern. Input longer than the limit for the pattern "
     "(8 KB - 256 KB, see the docs) is rejected with a runtime error",
     {"pattern: string - Regular expression pattern to match against"}, krv_worker_call_kind},
    pattern_method("regex_search", m::regex_search,
                   "Search for a regular expression pattern in the string and return the starting position of the "
                   "match. Input longer than the limit for the pattern (8 KB - 256 KB, see the docs) is rejected with "
                   "a runtime error"),
    pattern_method("regex_findall", m::regex_findall,
                   "Find all matches of a regex pattern in the string. Input longer than the limit for the pattern (8 "
                   "KB - 256 KB, see the docs) is rejected with a runtime error"),
    {"regex_replace", m::regex_replace, 2, 2,
     "Replace all occurrences of a regular expression pattern in the string. Input longer than the limit for the "
     "pattern (8 KB - 256 KB, see the docs) is rejected with a runtime error",
     {"pat: string - Regular expression pattern to search for"}, krv_worker_call_kind},
    {"regex_replace_inplace", m::regex_replace_inplace, 2, 2,
     "Replace all occurrences of a regular expression pattern in the string with a replacement text. Input longer "
     "than the limit for the pattern (8 KB - 256 KB, see the docs) is rejected with a runtime error",
     {"pattern: string - Regular expression pattern to search for"}},
    {"regex_split", m::regex_split, 1, 1,
     "Split string using regular expression pattern and return results as JSON array. Input longer than the limit "
     "for the pattern (8 KB - 256 KB, see the docs) is rejected with a runtime error",
     {"pattern: string - Regular expression pattern to split the string"}, krv_worker_call_kind},
    {"regex_escape", m::regex_escape, 0, 0, "Escape regex metacharacters in string", {}, krv_worker_call_kind},
};

}  // namespace

void krv_std_string::script_register() {
  statics().create_new = [] { return create(); };
  krv_class_methods<krv_std_string>::add_rows(string_methods);
}
krvvar_shared krv_std_string::constructor_function(krv_vm_context&, std::vector<krvvar_shared>& args) {
  std::string joined;
  for (const krvvar_shared& arg : args) {
    if (arg) joined += arg->get_string();
  }
  return krvvar_shared::make_string(joined);
}

namespace {

void register_string_class(krv_namespace& ns) {
  krv_function_def* constructor =
      ns.add_class<krv_std_string>(&krv_std_string::constructor_function, 0, krv_any_arg_count,
                                   "Create a new string, optionally initialized with given values that are concatenated");
  if (constructor != nullptr) constructor->param_help.push_back("value: string - Initial string values to concatenate");
}

const krv_namespace_static_registrar string_registrar("std", register_string_class);

}  // namespace
