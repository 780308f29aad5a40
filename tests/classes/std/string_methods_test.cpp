// std.string methods called through their definitions, as the interpreter calls them: the method table,
// results for given receivers and arguments, in-place changes, and the exact warning texts.
#include <gtest/gtest.h>

#include <limits>

#include "string_method_call.h"

namespace {

TEST_F(StringMethods, TableOrderRangesAndKinds) {
  const std::string expected =
      "length 0 0,size 0 0,empty 0 0,count 0 1,insert 2 2,replace 1 2,replace_ignoring_whitespace 1 2,"
      "replace_inplace 2 2,replace_first 2 2,lowercase 0 0,lowercase_inplace 0 0,uppercase 0 0,uppercase_inplace 0 0,"
      "trim 0 0,trim_inplace 0 0,strip 0 0,strip_inplace 0 0,ltrim 0 0,ltrim_inplace 0 0,rtrim 0 0,rtrim_inplace 0 0,"
      "rstrip_lines 0 0,compress_whitespace 0 0,compress_whitespace_inplace 0 0,starts 1 1,ends 1 1,substr 1 2,"
      "substr_inplace 1 2,reverse 0 0,reverse_inplace 0 0,contains 1 1,contains_ignoring_whitespaces 1 1,split 1 3,"
      "split_words 0 0,smart_split 1 3,find 1 2,rfind 1 2,find_first_of 1 2,find_last_of 1 2,find_first_not_of 1 2,"
      "find_last_not_of 1 2,ljust 1 2,rjust 1 2,center 1 2,removeprefix 1 1,removesuffix 1 1,removechars 1 1,"
      "removecharsexcept 1 1,extract 2 2,extract_quotes 0 0,extract_all 2 2,regex_match 1 1 worker,"
      "regex_search 1 1 worker,regex_findall 1 1 worker,regex_replace 2 2 worker,regex_replace_inplace 2 2,"
      "regex_split 1 1 worker,regex_escape 0 0 worker,";
  std::string listed;
  for (const auto& member : krv_std_string::statics().members) {
    const krv_function_def& f = *member->function_descriptor();
    EXPECT_TRUE(f.kind == 1 || f.kind == 2) << f.name;
    listed += std::string(f.name) + " " + std::to_string(f.min_args) + " " + std::to_string(f.max_args) +
              (f.kind == 2 ? " worker," : ",");
  }
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(method("split").param_help.size(), 3u);
  EXPECT_EQ(method("smart_split").param_help.at(1),
            "max_parts: int - Maximum number of resulting strings (-1 is the default, disables this)");
  EXPECT_EQ(method("extract_all").param_help.at(1), "right: string - Right delimiter to search for");
  EXPECT_EQ(method("rfind").param_help.at(0), "sub: string - Substring to search for");
  using helps = std::vector<std::string_view>;
  EXPECT_EQ(method("regex_search").param_help, helps{"pattern: string - Regular expression pattern to search for"});
  EXPECT_EQ(method("regex_replace").param_help, helps{"pat: string - Regular expression pattern to search for"});
  EXPECT_TRUE(method("regex_escape").param_help.empty());
  EXPECT_EQ(method("replace").param_help.at(0),
            "search_or_map: string|json - Substring to search for or json map of replacements");
}

TEST_F(StringMethods, ResultsAndReceivers) {
  using map = std::vector<std::pair<const char*, const char*>>;
  constexpr int64_t lowest = std::numeric_limits<int64_t>::min(), highest = std::numeric_limits<int64_t>::max();
  const struct {
    const char* method;
    const char* text;
    std::vector<arg> args;
    const char* result;
    const char* receiver_after;  // null: unchanged
  } cases[] = {
      {"length", "a\tb", {}, "3", nullptr},
      {"size", "", {}, "0", nullptr},
      {"count", "aaaa", {"aa"}, "2", nullptr},
      {"count", "abc", {}, "3", nullptr},
      {"count", "abc", {""}, "0", nullptr},
      {"insert", "abc", {int64_t{3}, "X"}, "self", "abcX"},
      {"insert", "abc", {int64_t{0}, "X"}, "self", "Xabc"},
      {"insert", "abc", {int64_t{4}, "X"}, "self", nullptr},
      {"insert", "abc", {int64_t{-1}, "X"}, "self", nullptr},
      {"replace", "a.b.c", {".", ""}, "'abc'", nullptr},
      {"replace", "aaa", {"a", "aa"}, "'aaaaaa'", nullptr},
      {"replace", "a-b", {map{{"a", "b"}, {"b", "c"}}}, "'c-c'", nullptr},
      {"replace", "a-b", {map{{"b", "c"}, {"a", "b"}}}, "'b-c'", nullptr},
      {"replace", "a-b", {map{{nullptr, "z"}, {"-", "+"}}}, "'a+b'", nullptr},
      {"replace", "a-b", {int64_t{5}}, "'a-b'", nullptr},
      {"replace_ignoring_whitespace", "a b c", {"bc", "X"}, "'a X'", nullptr},
      {"replace_ignoring_whitespace", "x = a  +\tb; y = a+b", {"a + b", "s"}, "'x = s; y = s'", nullptr},
      {"replace_ignoring_whitespace", "ab", {"ab", "ab"}, "'ab'", nullptr},
      {"replace_inplace", "abab", {"b", "c"}, "1", "acac"},
      {"replace_inplace", "abab", {"x", "c"}, "0", nullptr},
      {"replace_first", "abcabc", {"b", ""}, "'acabc'", nullptr},
      {"lowercase", "\xC3\x80" "B", {}, "'\xC3\x80" "b'", nullptr},
      {"uppercase_inplace", "a\xE9z", {}, "1", "A\xE9Z"},
      {"trim", "  a  b  ", {}, "'a  b'", nullptr},
      {"strip_inplace", "\v\fa\r\n", {}, "1", "a"},
      {"ltrim", " \ta ", {}, "'a '", nullptr},
      {"rtrim_inplace", " a \t", {}, "1", " a"},
      {"rstrip_lines", "x \t\r\ny  \n  ", {}, "'x\r\ny\n'", nullptr},
      {"rstrip_lines", "a\r \r\n", {}, "'a\r\r\n'", nullptr},
      {"compress_whitespace", "  a  b  ", {}, "' a b '", nullptr},
      {"compress_whitespace_inplace", "a\t\n b", {}, "1", "a b"},
      {"starts", "abc", {""}, "1", nullptr},
      {"starts", "ab", {"abc"}, "0", nullptr},
      {"ends", "abc", {"bc"}, "1", nullptr},
      {"reverse", "abc", {}, "'cba'", nullptr},
      {"reverse_inplace", "ab", {}, "1", "ba"},
      {"contains", "abc", {""}, "1", nullptr},
      {"contains_ignoring_whitespaces", "ab", {" a b "}, "1", nullptr},
      {"contains_ignoring_whitespaces", "a b", {"ba"}, "0", nullptr},
      {"removeprefix", "aXbX", {""}, "'aXbX'", nullptr},
      {"removesuffix", "aXbX", {"X"}, "'aXb'", nullptr},
      {"removechars", "aXbX", {"X"}, "'ab'", nullptr},
      {"removecharsexcept", "aXbX", {"ab"}, "'ab'", nullptr},
      {"removecharsexcept", "aXbX", {""}, "''", nullptr},
      {"substr", "hello", {int64_t{-3}}, "'llo'", nullptr},
      {"substr", "hello", {int64_t{1}, int64_t{2}}, "'el'", nullptr},
      {"substr", "hello", {int64_t{10}}, "''", nullptr},
      {"substr", "hello", {int64_t{-10}, int64_t{2}}, "'he'", nullptr},
      {"substr_inplace", "hello", {int64_t{2}, int64_t{-5}}, "1", "llo"},
      {"split", "a,,b,", {","}, "['a','','b','',]", nullptr},
      {"split", "a, b ,c", {",", int64_t{-1}, int64_t{1}}, "['a','b','c',]", nullptr},
      {"split", "a,b,c", {",", int64_t{2}}, "['a','b,c',]", nullptr},
      {"split", "a,b", {",", int64_t{0}}, "[]", nullptr},
      {"split", " a ", {",", int64_t{1}, int64_t{1}}, "[' a ',]", nullptr},
      {"split", "", {","}, "['',]", nullptr},
      {"split_words", "  one \t two\nthree ", {}, "['one','two','three',]", nullptr},
      {"split_words", " \n ", {}, "[]", nullptr},
      {"smart_split", "f(a, b), [1, 2], {x: 1}, z", {","}, "['f(a, b)',' [1, 2]',' {x: 1}',' z',]", nullptr},
      {"smart_split", "\"a,b\",'c,d'", {","}, "['\"a,b\"',''c,d'',]", nullptr},
      {"smart_split", "a/*,*/,b", {","}, "['a/*,*/','b',]", nullptr},
      {"smart_split", "a//x,y\n,b", {","}, "['a//x,y\n','b',]", nullptr},
      {"smart_split", "R\"x(a, b)x\", c", {","}, "['R\"x(a, b)x\"',' c',]", nullptr},
      {"smart_split", "\"a\\\",b\",c", {","}, "['\"a\\\",b\"','c',]", nullptr},
      {"smart_split", "\"a\\\\\",b", {","}, "['\"a\\\\\"','b',]", nullptr},
      {"smart_split", "'''a,'b''',c", {","}, "[''''a,'b'''','c',]", nullptr},
      {"smart_split", "a)b,c", {","}, "['a)b','c',]", nullptr},
      {"smart_split", "R\"a b\",c(", {","}, "['R\"a b\"','c(',]", nullptr},
      {"smart_split", "a,b,c", {",", int64_t{2}}, "['a','b,c',]", nullptr},
      {"smart_split", " a , b ", {",", int64_t{-1}, int64_t{1}}, "['a','b',]", nullptr},
      {"smart_split", "", {","}, "['',]", nullptr},
      {"smart_split", "a,b", {""}, "['a,b',]", nullptr},
      {"find", "abcabc", {"c", int64_t{-2}}, "5", nullptr},
      {"find", "abcabc", {"x"}, "-1", nullptr},
      {"find", "abcabc", {"", int64_t{99}}, "6", nullptr},
      {"rfind", "abcabc", {"abc"}, "3", nullptr},
      {"rfind", "abcabc", {"abc", int64_t{2}}, "0", nullptr},
      {"rfind", "abcabc", {"c", int64_t{-100}}, "5", nullptr},
      {"rfind", "", {""}, "0", nullptr},
      {"find_first_of", "hello", {"lo"}, "2", nullptr},
      {"find_last_of", "hello", {"l"}, "3", nullptr},
      {"find_first_not_of", "hello", {"he"}, "2", nullptr},
      {"find_last_not_of", "hello", {"o"}, "3", nullptr},
      {"find_first_of", "hello", {""}, "-1", nullptr},
      {"find_first_not_of", "hello", {"", int64_t{1}}, "1", nullptr},
      {"find_last_of", "", {"a"}, "-1", nullptr},
      {"ljust", "ab", {int64_t{5}, "*-"}, "'ab***'", nullptr},
      {"rjust", "ab", {int64_t{5}}, "'   ab'", nullptr},
      {"center", "ab", {int64_t{5}, "-"}, "'-ab--'", nullptr},
      {"center", "ab", {int64_t{1}}, "'ab'", nullptr},
      {"ljust", "ab", {int64_t{-3}, ""}, "'ab'", nullptr},
      {"extract", "x[a]y[b]z", {"[", "]"}, "'a'", nullptr},
      {"extract", "x[a]y[b]z", {"[", ""}, "''", nullptr},
      {"extract", "x[a]y[b]z", {"(", ")"}, "''", nullptr},
      {"extract_quotes", "say \"hi\" and \"bye\"", {}, "'hi\" and \"bye'", nullptr},
      {"extract_quotes", "\"\"", {}, "'\"\"'", nullptr},
      {"extract_all", "x[a]y[b]z", {"[", "]"}, "['a','b',]", nullptr},
      // Positions, counts and widths at the extremes of a script int: no signed overflow on the way.
      {"substr", "korva", {lowest, lowest}, "'korva'", nullptr},
      {"substr", "korva", {int64_t{1}, highest}, "'orva'", nullptr},
      {"substr_inplace", "korva", {int64_t{1} << 32, int64_t{1}}, "1", ""},
      {"insert", "korva", {lowest, "x"}, "self", nullptr},
      {"find", "korva", {"a", lowest}, "4", nullptr},
      {"rfind", "korva", {"k", lowest}, "0", nullptr},
      {"find_last_not_of", "korva", {"a", highest}, "3", nullptr},
      {"split", "korva", {"r", lowest}, "['ko','va',]", nullptr},
      {"smart_split", "korva", {"r", highest}, "['ko','va',]", nullptr},
      {"ljust", "korva", {lowest}, "'korva'", nullptr},
  };
  for (const auto& c : cases) {
    const auto [result, after] = call(c.method, c.text, c.args);
    EXPECT_EQ(result, c.result) << c.method << " on '" << c.text << "'";
    EXPECT_EQ(after, c.receiver_after ? c.receiver_after : c.text) << c.method << " on '" << c.text << "'";
  }
  EXPECT_TRUE(warnings().empty());
}

TEST_F(StringMethods, WarningsAndLogLines) {
  const struct {
    const char* method;
    const char* text;
    std::vector<arg> args;
    const char* result;
    const char* warning;
  } cases[] = {
      {"replace", "abc", {"", "x"}, "'abc'", "replace: empty search string - nothing to search for, call ignored."},
      {"replace", "abc", {std::vector<std::pair<const char*, const char*>>{{"", "x"}}}, "'abc'",
       "replace: empty map key - nothing to search for, call ignored."},
      {"replace_ignoring_whitespace", "x  y", {" ", "Z"}, "'x  y'",
       "replace_ignoring_whitespace: empty search string - nothing to search for, call ignored."},
      {"replace_inplace", "abc", {"", "x"}, "0", "replace_inplace: empty search string - nothing to search for, call ignored."},
      {"replace_first", "abc", {"", "x"}, "'abc'", "replace_first: empty search string - nothing to search for, call ignored."},
      {"split", "abc", {""}, "['abc',]", "split: empty delimiter - nothing to search for, call ignored."},
      {"extract_all", "abc", {"[", ""}, "[]", "extract_all: empty delimiter - nothing to search for, call ignored."},
      {"ljust", "ab", {int64_t{2000000}}, nullptr, "ljust: width 2000000 clamped to 1048576"},
      {"extract_all", "x[a]y[b]z[", {"[", "]"}, "['a','b',]", "extract_all: Missing right delimiter: ]"},
  };
  for (const auto& c : cases) {
    log.clear();
    const auto [result, after] = call(c.method, c.text, c.args);
    if (c.result) {
      EXPECT_EQ(result, c.result) << c.method;
    }
    EXPECT_EQ(after, c.text) << c.method;
    EXPECT_EQ(warnings(), std::vector<std::string>{c.warning}) << c.method;
  }
  const std::string wide(1048576, 'w');
  log.clear();
  EXPECT_EQ(call("rjust", wide, {int64_t{2000000}}).first.size(), wide.size() + 2);  // quoted, no fill
  EXPECT_EQ(warnings(), std::vector<std::string>{"rjust: width 2000000 clamped to 1048576"});
}

}  // namespace
