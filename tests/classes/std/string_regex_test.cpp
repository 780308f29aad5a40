// The regular-expression methods of std.string: input limits, the per-thread cache, error texts, the
// jobs' results and failure lines, and matching at the limits on a thread with the VM thread's stack.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "classes/std/string_regex.h"
#include "classes/std/string_regex_jobs.h"
#include "forked_child.h"
#include "large_stack_thread.h"
#include "string_method_call.h"

namespace {

class StringRegex : public StringMethods {
 protected:
  void SetUp() override {
    StringMethods::SetUp();
    krv_regex_cache().clear();
  }
  // The pattern's compiled form, straight from the cache.
  std::shared_ptr<const std::regex> compiled(const std::string& pattern) {
    return krv_regex_cache_get(pattern, 0, "test").regex;
  }
  // The limit `method` (a pattern in `args`) names on a thread of `stack_bytes`, found and tried in a
  // forked child, so that a stack overflow ends the child, not the test: "LIMIT RESULT refused", RESULT
  // being what the call gives on LIMIT bytes of `filler` (and the receiver when the call changed it),
  // "refused" that one byte more is refused with the exact error naming LIMIT.
  std::string limit_on_stack(size_t stack_bytes, const char* method, const std::vector<arg>& args, char filler);
  std::string limit_report(const char* method, const std::vector<arg>& args, char filler);
};

const std::string limit_message_tail =
    " characters for this pattern (the matcher could exhaust the thread's stack). Shorten the input, use a "
    "simpler pattern, or use a plain string search (find/replace/split).";

std::string limit_error(const std::string& method, uint64_t length, uint64_t limit) {
  if (limit == 0)
    return method + ": the std::regex limit for this pattern is 0 characters on this thread: its matcher could "
                    "exhaust the stack even on an empty input. Use a simpler pattern (fewer alternatives, shorter "
                    "groups) or a plain string search (find/replace/split).";
  return method + ": input of " + std::to_string(length) + " characters exceeds the std::regex limit of " +
         std::to_string(limit) + limit_message_tail;
}

std::string StringRegex::limit_report(const char* method, const std::vector<arg>& args, char filler) {
  log.clear();
  call(method, std::string(krv_regex_plain_limit + 1, filler), args);
  const std::string named = errors().empty() ? "" : errors()[0];
  if (named.find(" pattern of ") != std::string::npos) return named;  // refused whatever the input
  const size_t at = named.find("limit of ");
  const uint64_t limit = at == std::string::npos ? 0 : std::strtoull(named.c_str() + at + 9, nullptr, 10);
  log.clear();
  const auto [result, after] = call(method, std::string(limit, filler), args);
  std::string report = std::to_string(limit) + " " + result + (after.size() == limit ? "" : " " + after) +
                       (errors().empty() ? "" : " with errors");
  log.clear();
  call(method, std::string(limit + 1, filler), args);
  const bool refused = errors() == std::vector<std::string>{framed(limit_error(method, limit + 1, limit))};
  return report + (refused ? " refused" : " not refused");
}

std::string StringRegex::limit_on_stack(size_t stack_bytes, const char* method, const std::vector<arg>& args,
                                        char filler) {
  lock.reset();  // the child's thread takes the VM lock, which a thread of the parent cannot hand over
  const std::string outcome = krv_outcome_in_child([&] {
    std::string report;
    krv_run_on_large_stack([&] { as_vm_thread([&] { report = limit_report(method, args, filler); }); }, stack_bytes);
    return report;
  });
  lock.emplace();
  return outcome;
}

TEST(RegexInputLimit, FollowsThePatternsShape) {
  const struct {
    const char* pattern;
    uint64_t limit;
  } cases[] = {
      {"abc", 262144},       {"", 262144},        {"a{3}", 262144},      {"a?", 262144},
      {"[*+]", 262144},      {"a\\*", 262144},    {"a\\{2,}", 262144},   {"a{2,5x", 262144},
      {"a*", 16384},         {"a+", 16384},       {"a{2,5}", 16384},     {"a{2,}", 16384},
      {"a{,5}", 16384},      {"a{2,", 16384},     {"[(]*", 16384},       {"\\\\*", 16384},
      {"(ab)*", 8192},       {"(a|b)+", 8192},    {"(ab){1,3}", 8192},   {"\\)*", 8192},
      {"x+(y)+", 8192},      {"[a\\]]*", 16384},  {"[)]+", 16384},       {"*", 16384},
      // Shorter where the matcher's stack bound passes its budget first (string_regex_depth.h).
      {"(a|b|c|d|e|f|g|h|i|j)+", 8192},   {"(a|b|c|d|e|f|g|h|i|j|k)+", 8192},
      {"((((a))))+", 8192},               {"(((((a)))))+", 7802},
      {"(?:(?:(?:(?:(?:a)))))+", 8192},
      {"(a)(b)(c)(d)(e)", 262144},        {"[(|(|(|(|(]+", 16384},
  };
  for (const auto& c : cases) EXPECT_EQ(krv_regex_input_limit(c.pattern, krv_regex_max_stack_budget), c.limit) << c.pattern;
  EXPECT_EQ(krv_regex_read_shape("(a(b)[(]\\(c)((d))").deepest_nesting, 2u);
}

// The bound of the compiler's stack charges each build what its compiler takes there, per piece of an
// alternative and per group level: measured here between two sizes of each shape on a painted stack, no
// less (a pattern let through must not overflow its thread: 1,000 groups did on 1 MiB under ASan) and at
// most a quarter more (a pattern that fits must not be refused: long runs were, in the optimised build).
// The whole bound, the entry's share with it, covers the larger size.
TEST(RegexCompilerStack, ChargesEachBuildWhatItsCompilerTakes) {
  const auto repeated = [](const char* piece, size_t count) {
    std::string text;
    for (size_t n = 0; n < count; ++n) text += piece;
    return text;
  };
  const auto nested = [&](const char* opening, size_t levels) {
    return repeated(opening, levels) + "a" + std::string(levels, ')');
  };
  const uint64_t piece = krv_regex_compile_piece_frame;
  const uint64_t level = krv_regex_compile_piece_frame + krv_regex_compile_group_frame;
  const struct {
    const char* shape;
    std::function<std::string(size_t)> pattern;
    size_t few, many;
    uint64_t charged;  // per unit of size
  } rows[] = {
      {"plain_characters", [&](size_t n) { return std::string(n, 'a'); }, 2000, 10000, piece},
      {"quantified_classes", [&](size_t n) { return repeated("[a-c]*", n); }, 2000, 10000, piece},
      {"capturing_groups", [&](size_t n) { return nested("(", n); }, 200, 1000, level},
      {"non_capturing_groups", [&](size_t n) { return nested("(?:", n); }, 200, 1000, level},
      {"lookaheads", [&](size_t n) { return nested("(?=", n); }, 200, 1000, level},
  };
  const auto taken = [](const std::string& pattern) {
    return krv_stack_taken_by([&] { std::regex compiled(pattern, std::regex::ECMAScript); });
  };
  const size_t thread_start = taken("");  // the thread's own start, which the calling thread has behind it
  for (const auto& row : rows) {
    const size_t few = taken(row.pattern(row.few)), many = taken(row.pattern(row.many));
    const uint64_t measured = (many - few) / (row.many - row.few);
    RecordProperty(row.shape, std::to_string(measured));  // the figures of docs/reliability.md
    EXPECT_LE(measured, row.charged) << row.shape << ": " << measured << " bytes measured per unit";
    EXPECT_GE(measured + measured / 4, row.charged) << row.shape << ": " << measured << " bytes measured per unit";
    EXPECT_LE(many - thread_start, krv_regex_read_shape(row.pattern(row.many)).compiler_stack + krv_regex_entry_stack)
        << row.shape;
  }
}

// Every form of escape, bracket and group opening, each followed by a group that a misreading would
// hide or invent: the guards see the limit, the nesting and the capturing groups the library sees
// (its mark_count), and a pattern the library refuses is refused with the library's reason.
TEST_F(StringRegex, EscapesAndBracketsAreReadAsTheLibraryReadsThem) {
  const struct {
    const char* pattern;
    uint64_t limit;
    size_t nesting;
    const char* error;  // empty: compiles
  } cases[] = {
      {R"(\c[(a)*)", 8192, 1, ""},                  {R"(\c\(a)*)", 8192, 1, ""},
      {R"(\c((a)*)", 8192, 1, ""},                  {R"(\c[|(a|b)*c)", 8192, 1, ""},
      {R"(a\c)", 262144, 0, "error_escape"},        {R"(\x5B(a)*)", 8192, 1, ""},
      {R"(\u005b(a)*)", 8192, 1, ""},               {R"(\x5(a))", 262144, 0, "error_escape"},
      {R"(\u00(a))", 262144, 0, "error_escape"},    {R"(\0(a)*)", 8192, 1, ""},
      {R"(\d\D\s\S\w\W\b\B(a)+)", 8192, 1, ""}, {R"([\b\d](a)+)", 8192, 1, ""},
      {R"(\(\[\{\|\*\.\/(a))", 262144, 1, ""},  {R"((a)\1+)", 16384, 1, ""},
      {R"((a)(b)(c)(d)(e)(f)(g)(h)(i)(j)\10)", 262144, 1, ""},
      {R"((a)\2)", 262144, 1, "error_backref"},     {R"(\1(a))", 262144, 1, "error_backref"},
      {R"((a)\99999999999999999999)", 262144, 1, "error_backref"},
      {R"([\99999999999999999999])", 262144, 0, "error_brack"},
      {R"([\]](a)*)", 8192, 1, ""},                 {R"([\c](a)])", 262144, 0, ""},
      {R"([\x5d(a)]*)", 16384, 0, ""},              {R"([[:alpha:]](a)*)", 8192, 1, ""},
      {R"([[:digit:](a)])", 262144, 0, ""},          {R"([[.a.](a)])", 262144, 0, ""},
      {R"([[=]=](a)])", 262144, 0, "error_collate"},
      {R"([^]](a)*)", 8192, 1, ""},                  {R"([](a)*)", 8192, 1, ""},
      {R"((a)*\)", 8192, 1, "error_escape"},        {R"([a\)", 262144, 0, "error_escape"},
      {R"((?:a|b)*)", 8192, 1, ""},                  {R"((?=(a)))", 262144, 2, ""},
      {R"((?<a))", 262144, 1, "error_paren"},
      // Byte ranges across 0x80 compile; one reversed as bytes is refused (the library took signed ends).
      {R"([\x20-\xff](a)*)", 8192, 1, ""},        {R"([ -\u00ff\cJ-\xa0])", 262144, 0, ""},
      {R"([\xff-\x20](a))", 262144, 1, "error_range"}, {R"([\x80--])", 262144, 0, "error_range"},
  };
  for (const auto& c : cases) {
    log.clear();
    const krv_regex_shape shape = krv_regex_read_shape(c.pattern);
    EXPECT_EQ(krv_regex_input_limit(c.pattern, krv_regex_max_stack_budget), c.limit) << c.pattern;
    EXPECT_EQ(shape.deepest_nesting, c.nesting) << c.pattern;
    const std::shared_ptr<const std::regex> pattern = compiled(c.pattern);
    if (*c.error == '\0') {
      ASSERT_NE(pattern, nullptr) << c.pattern;
      EXPECT_EQ(shape.capturing_groups, pattern->mark_count()) << c.pattern;
    } else {
      EXPECT_EQ(errors(), std::vector<std::string>{framed(std::string("test: invalid regex pattern '") + c.pattern +
                                                           "' (" + c.error + ")")});
    }
  }
}

// Method calls: each worker method's job value comes back as the call's result; refused inputs and
// patterns raise their error, return None (regex_replace_inplace: 0), run nothing and leave the cache.
TEST_F(StringRegex, MethodCallsAndTheirErrors) {
  const std::string deep_nesting = std::string(1001, '(') + std::string(1001, ')');
  std::string bottomless;  // far deeper than the compiler's recursion could survive
  for (int level = 0; level < 200000; ++level) bottomless += "(?:";
  const std::string megabyte_bad = ")" + std::string(1 << 20, 'b');  // refused at its first byte
  const std::string bad_64 = megabyte_bad.substr(0, 64);
  const struct {
    const char* method;
    std::string text;
    std::vector<arg> args;
    const char* result;
    std::string error;
    const char* receiver_after = nullptr;  // null: unchanged
    bool raised_while_matching = false;    // the pattern was compiled and kept before the error
  } cases[] = {
      {"regex_match", "a.c", {"a\\.c"}, "1", ""},
      {"regex_search", "abc", {"c"}, "2", ""},
      {"regex_findall", "a1b22", {"[0-9]+"}, "['1','22',]", ""},
      {"regex_replace", "ab", {"(a)(b)", "$2$1"}, "'ba'", ""},
      {"regex_replace_inplace", "ab", {"(a)(b)", "$2$1"}, "1", "", "ba"},
      {"regex_split", "a1b", {int64_t{1}}, "['a','b',]", ""},
      {"regex_escape", "a+b", {}, "'a\\+b'", ""},
      {"regex_search", std::string(16385, 'a'), {"a*"}, "None",
       "regex_search: input of 16385 characters exceeds the std::regex limit of 16384" + limit_message_tail},
      {"regex_split", std::string(8193, 'a'), {"(a)+"}, "None",
       "regex_split: input of 8193 characters exceeds the std::regex limit of 8192" + limit_message_tail},
      {"regex_match", "abc", {"("}, "None", "regex_match: invalid regex pattern '(' (error_paren)"},
      // A refused pattern is quoted as far as its first 64 bytes.
      {"regex_findall", "abc", {deep_nesting.c_str()}, "None",
       "regex_findall: invalid regex pattern '" + std::string(64, '(') + "...' (error_complexity)"},
      {"regex_findall", "abc", {bottomless.c_str()}, "None",
       "regex_findall: invalid regex pattern '" + bottomless.substr(0, 64) + "...' (error_complexity)"},
      {"regex_match", "abc", {megabyte_bad.c_str()}, "None",
       "regex_match: invalid regex pattern '" + bad_64 + "...' (error_paren)"},
      {"regex_match", "abc", {bad_64.c_str()}, "None",
       "regex_match: invalid regex pattern '" + bad_64 + "' (error_paren)"},
      {"regex_replace_inplace", "abc", {"[b", "x"}, "0",
       "regex_replace_inplace: invalid regex pattern '[b' (error_brack)"},
      // Repeat counts above 1,000, also past 64 bits; an escaped brace holds no count.
      {"regex_match", "a", {"a{99999999999999999999}"}, "None",
       "regex_match: invalid regex pattern 'a{99999999999999999999}' (error_badbrace)"},
      {"regex_search", "a", {"a{1,1001}"}, "None", "regex_search: invalid regex pattern 'a{1,1001}' (error_badbrace)"},
      {"regex_search", "a", {"(a){1001,}"}, "None",
       "regex_search: invalid regex pattern '(a){1001,}' (error_badbrace)"},
      {"regex_search", "xa", {"a{1,1000}"}, "1", ""},
      {"regex_search", "a{99999999999999999999}", {"\\{99999999999999999999}"}, "1", ""},
      // Each match adds the rest of the text: 2 GiB in all, stopped as it passes the buffer bound.
      {"regex_replace", std::string(65536, 'a'), {"a", "$'"}, "None",
       "regex_replace: the result would pass 1048576 bytes, the most a regex replacement may build", nullptr, true},
  };
  vm.state().settings.max_buffer_bytes = 1 << 20;
  on_vm_thread([&] {  // the limits of the host's 32 MiB threads
    for (const auto& c : cases) {
      log.clear();
      const auto cached_before = krv_regex_cache().size();
      const auto [result, after] = call(c.method, c.text, c.args);
      EXPECT_EQ(result, c.result) << c.method;
      EXPECT_EQ(after, c.receiver_after ? c.receiver_after : c.text) << c.method;
      EXPECT_EQ(errors(), c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{framed(c.error)})
          << c.method;
      if (!c.error.empty() && !c.raised_while_matching) {
        EXPECT_EQ(krv_regex_cache().size(), cached_before) << c.method;
      }
    }
  });
  vm.state().settings.max_buffer_bytes = krv_default_max_buffer_bytes;
  // A group nested exactly as deep as allowed still compiles.
  EXPECT_NE(compiled(std::string(1000, '(') + std::string(1000, ')')), nullptr);
}

TEST_F(StringRegex, CacheKeepsEightPatternsPerThread) {
  const std::shared_ptr<const std::regex> first = compiled("p0");
  EXPECT_EQ(compiled("p0"), first);  // found, not compiled again
  for (int n = 1; n < 8; ++n) compiled("p" + std::to_string(n));
  ASSERT_EQ(krv_regex_cache().size(), 8u);
  EXPECT_EQ(compiled("p0"), first);

  const std::shared_ptr<const std::regex> ninth = compiled("p8");
  ASSERT_EQ(krv_regex_cache().size(), 1u);
  EXPECT_EQ(krv_regex_cache()[0].pattern, "p8");
  EXPECT_EQ(first.use_count(), 1);  // the cache let go; the holder keeps it alive
  EXPECT_NE(compiled("p0"), first);  // compiled again
  EXPECT_EQ(compiled("p8"), ninth);

  std::thread([&] {
    EXPECT_TRUE(krv_regex_cache().empty());
    EXPECT_NE(krv_regex_cache_get("p8", 0, "test").regex, ninth);
    EXPECT_EQ(krv_regex_cache().size(), 1u);
  }).join();
  EXPECT_EQ(krv_regex_cache().size(), 2u);  // p8 and p0 of this thread only
}

// What a job gives for a text and a pattern (and a replacement), shown as the script would see it.
std::string job_result(const char* method, const std::string& text, const std::string& pattern,
                       const std::string& replacement = {}) {
  const krv_regex_job job{text, replacement, krv_regex_cache_get(pattern, text.size(), "test")};
  const std::string_view name = method;
  if (name == "match") return shown(krv_regex_match_job(job), nullptr);
  if (name == "search") return shown(krv_regex_search_job(job), nullptr);
  if (name == "findall") return shown(krv_regex_findall_job(job), nullptr);
  if (name == "replace") return shown(krv_regex_replace_job(job), nullptr);
  if (name == "split") return shown(krv_regex_split_job(job), nullptr);
  return shown(krv_regex_escape_job(text), nullptr);
}

TEST_F(StringRegex, JobResults) {
  const struct {
    const char* job;
    const char* text;
    const char* pattern;
    const char* replacement;
    const char* result;
  } cases[] = {
      {"match", "abc", "a.c", "", "1"},
      {"search", "abc", "c", "", "2"},
      {"search", "abc", "x", "", "-1"},
      {"findall", "a1b22c333", "[0-9]+", "", "['1','22','333',]"},
      {"findall", "abc", "b*", "", "['','b','','',]"},
      {"replace", "ab", "(a)(b)", "$2$1", "'ba'"},
      {"replace", "abc", "b", "[$&]", "'a[b]c'"},
      {"replace", "abc", "b", "$$", "'a$c'"},
      {"replace", "abc", "b", "<$`|$'>", "'a<a|c>c'"},
      {"split", "a1b2", "[0-9]", "", "['a','b',]"},
      {"split", "1a", "[0-9]", "", "['','a',]"},
      {"split", "a12b", "[0-9]", "", "['a','','b',]"},
      {"split", "", "x", "", "['',]"},
      // A retry after an empty match does not start the text again: ^ and \B see the character before.
      {"findall", "ab", "\\B|^b", "", "['',]"},
      {"replace", "ab", "\\B|^b", "<$&>", "'a<>b'"},
      {"split", "ab", "\\B|^b", "", "['a','b',]"},
      {"findall", "ab", "\\B|\\bb", "", "['',]"},
      {"replace", "abc", "x*", "[$`]", "'[]a[a]b[b]c[c]'"},
      {"replace", "ab", "(a)", "$1$9$x$", "'a$x$b'"},
      // \cX is the control character, inside brackets too; \c before a non-letter is that character.
      {"search", "J\n", "\\cJ", "", "1"},
      {"search", "xJ\n", "[\\cj]", "", "2"},
      {"search", "c[", "\\c[", "", "1"},
      {"replace", "caf\xc3\xa9!", "[\\x7b-\\xff]", "_", "'caf__!'"},
      {"replace", "caf\xc3\xa9!", "[^\\x00-\\x7a]", "_", "'caf__!'"},
      {"replace", "d-\xff", "[a-c-\\xff]", "_", "'d__'"},  // a '-' after a range is a character
      {"escape", "1+1=2?", "", "", "'1\\+1=2\\?'"},
      {"escape", "\\", "", "", "'\\\\'"},
      {"escape", ".^$|()[]{}*+?", "", "", "'\\.\\^\\$\\|\\(\\)\\[\\]\\{\\}\\*\\+\\?'"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(job_result(c.job, c.text, c.pattern, c.replacement), c.result)
        << c.job << " '" << c.pattern << "' on '" << c.text << "'";
}

// A failing step: what the matcher would do if it gave up half way.
[[noreturn]] void give_up() { throw std::regex_error(std::regex_constants::error_complexity); }

TEST_F(StringRegex, FailuresWhileMatchingLogAndKeepWhatWasFound) {
  const std::string what = std::regex_error(std::regex_constants::error_complexity).what();
  const krv_regex_job job{"a1b2", "x", krv_regex_cache_get("[0-9]", 4, "test")};
  const auto collect_one_then_fail = [](const std::string&, const std::regex&, std::vector<std::string_view>& out) {
    out.push_back("found");
    give_up();
  };
  const auto failing_replace = [](const std::string&, const std::regex&, const std::string&) -> std::string {
    give_up();
  };
  std::string in_place = "a1b2";
  const struct {
    std::function<krvvar_shared()> run;
    const char* result;
    std::string line;
  } cases[] = {
      {[&] { return krv_regex_match_job(job, [](const std::string&, const std::regex&) -> bool { give_up(); }); }, "0",
       "regex_match: matching failed (error_complexity): " + what},
      {[&] {
         return krv_regex_search_job(job, [](const std::string&, const std::regex&) -> std::ptrdiff_t { give_up(); });
       },
       "-1", "regex_search: pattern '" + what + "' failed while matching (error_complexity)"},
      {[&] { return krv_regex_findall_job(job, collect_one_then_fail); }, "['found',]",
       "regex_findall: pattern '" + what + "' failed while matching (error_complexity)"},
      {[&] { return krv_regex_replace_job(job, failing_replace); }, "'a1b2'",
       "regex_replace: pattern '" + what + "' failed while matching (error_complexity)"},
      {[&] { return krv_regex_split_job(job, collect_one_then_fail); }, "['found',]",
       "regex_split: pattern '" + what + "' failed while matching (error_complexity)"},
      {[&] {
         return krv_int_result(krv_regex_replace_in_place(in_place, *job.pattern.regex, "x", failing_replace) ? 1 : 0);
       },
       "0", "regex_replace_inplace: pattern '" + what + "' failed while matching (error_complexity)"},
  };
  for (const auto& c : cases) {
    log.clear();
    EXPECT_EQ(shown(c.run(), nullptr), c.result) << c.line;
    EXPECT_EQ(errors(), std::vector<std::string>{c.line});
  }
  EXPECT_EQ(in_place, "a1b2");
}

TEST_F(StringRegex, InputsAtTheLimitsMatchOnTheVmThreadsStack) {
  const std::string a16k(16384, 'a');
  const std::string ab8k = [] {
    std::string text;
    for (int n = 0; n < 4096; ++n) text += "ab";
    return text;
  }();
  std::vector<std::pair<std::string, std::string>> results;
  on_vm_thread([&] {
    results.push_back(call("regex_search", a16k, {"a*"}));
    results.push_back(call("regex_findall", ab8k, {"(a|b)+"}));
    results.push_back(call("regex_replace_inplace", a16k, {"a*", "x"}));
    results.push_back(call("regex_search", a16k.substr(0, 1638), {"((((((((((((((((((((a))))))))))))))))))))+"}));
  });
  ASSERT_EQ(results.size(), 4u);
  EXPECT_EQ(results[3].first, "0");
  EXPECT_EQ(results[0].first, "0");
  EXPECT_EQ(results[1].first, "['" + ab8k + "',]");
  EXPECT_EQ(results[2], std::make_pair(std::string("1"), std::string("xx")));  // the whole text, then the empty end
  EXPECT_TRUE(errors().empty());
}

// Nested quantified groups, lazy or greedy, on the VM thread's stack: each pattern is held to the input
// its matcher's stack bound allows (string_regex_depth.h), and runs at that limit. The first two at
// 8,192 bytes used to pass every guard and overflow the stack (SIGSEGV); common patterns keep their
// 8 KiB and 16 KiB limits.
TEST_F(StringRegex, NestedRepeatsAreHeldToTheInputTheirStackAllows) {
  std::string nested_lazy = "a";
  for (int level = 0; level < 13; ++level) nested_lazy = "(?:" + nested_lazy + ")*?";
  std::string lazy_optionals;
  for (int n = 0; n < 30; ++n) lazy_optionals += "b??";
  lazy_optionals = "(?:" + lazy_optionals + "a)*?";
  const auto a = [](size_t count) { return std::string(count, 'a'); };
  const std::string mail = std::string(8186, 'x') + "@y.com";
  const struct {
    const char* method;
    std::string pattern;
    std::string text;
    const char* result;
    uint64_t limit;  // 0: no error
  } cases[] = {
      {"regex_match", nested_lazy, a(8192), "None", 359},
      {"regex_match", nested_lazy, a(359), "1", 0},
      {"regex_search", nested_lazy, a(360), "None", 359},
      {"regex_match", lazy_optionals, a(8192), "None", 2372},
      {"regex_match", lazy_optionals, a(2372), "1", 0},
      {"regex_findall", "(?:(?:(?:a*)*)*)*", a(8192), "None", 2946},
      {"regex_match", "(?:(?:(?:a*)*)*)*", a(2946), "1", 0},
      {"regex_match", "(a+)+$", a(8192), "1", 0},
      {"regex_match", R"((\w+)@(\w+)\.com)", mail, "1", 0},
      {"regex_match", "(a|b)*c", a(8191) + "c", "1", 0},
      {"regex_match", "(a|b)*c", a(8192), "0", 0},
      {"regex_match", "[a-z]*", a(16384), "1", 0},
  };
  std::vector<std::pair<std::string, std::string>> results;
  std::vector<std::vector<std::string>> logged_errors;
  on_vm_thread([&] {
    for (const auto& c : cases) {
      log.clear();
      results.push_back(call(c.method, c.text, {c.pattern.c_str()}));
      logged_errors.push_back(errors());
    }
  });
  ASSERT_EQ(results.size(), std::size(cases));
  for (size_t n = 0; n < std::size(cases); ++n) {
    const auto& c = cases[n];
    EXPECT_EQ(results[n].first, c.result) << c.pattern << " on " << c.text.size();
    const std::string error = std::string(c.method) + ": input of " + std::to_string(c.text.size()) +
                              " characters exceeds the std::regex limit of " + std::to_string(c.limit) +
                              limit_message_tail;
    EXPECT_EQ(logged_errors[n], c.limit == 0 ? std::vector<std::string>{} : std::vector<std::string>{framed(error)})
        << c.pattern;
  }
}

#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
constexpr bool optimised_build = true;
#else
constexpr bool optimised_build = false;
#endif

// The limits follow the stack of the thread that matches: on a host's 8 MiB thread each pattern's limit
// is lower, and no input within it overflows the stack (the three patterns at their 32 MiB limits did:
// SIGSEGV); on the host's 32 MiB threads the limits are what they were.
TEST_F(StringRegex, LimitsFollowTheCallingThreadsStack) {
  const auto long_pattern_error = [](size_t length) {
    return "regex_match: pattern of " + std::to_string(length) +
           " characters is too long to compile on this thread's stack (std::regex recurses once per piece of each "
           "alternative). Shorten the pattern or split it into alternatives, or use a plain string search "
           "(find/replace/split).";
  };
  const auto alternation = [](size_t count, const std::string& word) {
    std::string pattern = word;
    for (size_t n = 1; n < count; ++n) pattern += "|" + word;
    return pattern;
  };
  std::string lazy_optionals;
  for (int n = 0; n < 30; ++n) lazy_optionals += "b??";
  lazy_optionals = "(?:" + lazy_optionals + "a)*?$";
  constexpr size_t mib = size_t{1} << 20;
  const struct {
    size_t stack;
    const char* method;
    std::string pattern;
    char filler;
    std::string result;  // on an input of the limit's length, or the error that refuses the pattern
    uint64_t least, most;
    // Where the compiler costs more than optimised (the sanitizers, -O0), the pattern may be refused
    // as too long instead: its length, 0 for no such refusal.
    size_t or_refused_unoptimised = 0;
  } rows[] = {
      {8 * mib, "regex_replace_inplace", lazy_optionals, 'a', "1 xx", 550, 2371},
      {8 * mib, "regex_replace_inplace", "(?:(a)|(b)|(c)|(a))*$", 'a', "1 xx", 3800, 8191},
      {8 * mib, "regex_replace_inplace", "(?:((((((((((a)))))))))))*$", 'a', "1 xx", 1000, 4226},
      {8 * mib, "regex_match", "(a|b)*c", 'a', "0", 4800, 8192},
      {8 * mib, "regex_match", "(a+)+$", 'a', "1", 3400, 8192},
      {8 * mib, "regex_match", R"((\w+)@(\w+)\.com)", 'x', "0", 11700, 16384},
      {8 * mib, "regex_search", "a*", 'a', "0", 11700, 16384},
      {32 * mib, "regex_replace_inplace", lazy_optionals, 'a', "1 xx", 2372, 2372},
      {32 * mib, "regex_replace_inplace", "(?:((((((((((a)))))))))))*$", 'a', "1 xx", 4227, 4227},
      {32 * mib, "regex_match", "(a|b)*c", 'a', "0", 8192, 8192},
      {32 * mib, "regex_match", "(a+)+$", 'a', "1", 8192, 8192},
      {32 * mib, "regex_match", R"((\w+)@(\w+)\.com)", 'x', "0", 16384, 16384},
      {32 * mib, "regex_search", "a*", 'a', "0", 16384, 16384},
      // The compiler recurses once per character of a long run (SIGSEGV before it was bounded), and a
      // long alternation passes its matcher's stack before any input; a word list keeps its limit.
      {8 * mib, "regex_match", std::string(99990, 'a'), 'a', long_pattern_error(99990), 0, 0},
      {32 * mib, "regex_match", std::string(99990, 'a'), 'a', "0", 262144, 262144, 99990},
      {32 * mib, "regex_match", std::string(60000, 'a'), 'b', "0", 262144, 262144},
      // Each build is charged its own compiler's stack: optimised, long runs compile on small threads
      // (they were refused), and under ASan 1,000 nested groups are refused on 1 MiB (they overflowed).
      {1 * mib, "regex_match", std::string(5000, 'a'), 'b', "0", 262144, 262144, 5000},
      {8 * mib, "regex_match", std::string(40000, 'a'), 'b', "0", 262144, 262144, 40000},
      {1 * mib, "regex_match", std::string(1000, '(') + "a" + std::string(1000, ')'), 'a', "0", 262144, 262144, 2001},
      {1 * mib, "regex_match", std::string(1000, '(') + std::string(1000, ')'), 'a', "0", 262144, 262144, 2000},
      {1 * mib, "regex_match", alternation(15001, "a"), 'b', "None with errors", 0, 0},
      {8 * mib, "regex_match", alternation(15001, "a"), 'b', "0", 262144, 262144},
      {8 * mib, "regex_match", alternation(2000, "word"), 'b', "0", 262144, 262144},
  };
  for (const auto& row : rows) {
    std::vector<arg> args{row.pattern.c_str()};
    if (std::string_view(row.method) == "regex_replace_inplace") args.emplace_back("x");
    const std::string report = limit_on_stack(row.stack, row.method, args, row.filler);
    if (!optimised_build && row.or_refused_unoptimised != 0 &&
        report == framed(long_pattern_error(row.or_refused_unoptimised)))
      continue;
    const uint64_t limit = std::strtoull(report.c_str(), nullptr, 10);
    const bool limit_named = !report.empty() && std::isdigit(static_cast<unsigned char>(report[0]));
    EXPECT_EQ(report, limit_named ? std::to_string(limit) + " " + row.result + " refused" : framed(row.result))
        << row.pattern.substr(0, 64) << " on " << row.stack;
    EXPECT_GE(limit, row.least) << row.pattern.substr(0, 64) << " on " << row.stack;
    EXPECT_LE(limit, row.most) << row.pattern.substr(0, 64) << " on " << row.stack;
  }
}

// A job checks the limit again on the thread that runs it: a worker's stack may be smaller than that of
// the thread that checked the input and compiled the pattern. Here an input within the limit of a
// 32 MiB thread reaches each job on an 8 MiB thread, where it is refused with the limit that applies.
TEST_F(StringRegex, AJobChecksTheLimitOnTheThreadThatRunsIt) {
  std::string pattern;
  for (int n = 0; n < 30; ++n) pattern += "b??";
  pattern = "(?:" + pattern + "a)*?$";
  const krv_regex_job job{std::string(2372, 'a'), "x", {}};
  const struct {
    const char* method;
    krvvar_shared (*run)(const krv_regex_job&);
  } jobs[] = {
      {"regex_match", [](const krv_regex_job& j) { return krv_regex_match_job(j); }},
      {"regex_search", [](const krv_regex_job& j) { return krv_regex_search_job(j); }},
      {"regex_findall", [](const krv_regex_job& j) { return krv_regex_findall_job(j); }},
      {"regex_replace", [](const krv_regex_job& j) { return krv_regex_replace_job(j); }},
      {"regex_split", [](const krv_regex_job& j) { return krv_regex_split_job(j); }},
  };
  lock.reset();
  const std::string outcome = krv_outcome_in_child([&] {
    krv_regex_job checked = job;
    krv_run_on_large_stack([&] { checked.pattern = krv_regex_cache_get(pattern, job.text.size(), "test"); });
    std::string shown_results;
    krv_run_on_large_stack(
        [&] {
          as_vm_thread([&] {
            for (const auto& j : jobs) {
              log.clear();
              const std::string result = shown(j.run(checked), nullptr);
              shown_results += result + "|" + (errors().empty() ? "" : errors()[0]);
            }
          });
        },
        size_t{8} << 20);
    return shown_results;
  });
  lock.emplace();
  const size_t named = outcome.find("limit of ");
  const uint64_t limit = named == std::string::npos ? 0 : std::strtoull(outcome.c_str() + named + 9, nullptr, 10);
  std::string expected;
  for (const auto& j : jobs) expected += "None|" + framed(limit_error(j.method, 2372, limit));
  EXPECT_EQ(outcome, expected);
  EXPECT_GE(limit, 550u);
  EXPECT_LT(limit, 2372u);
}

}  // namespace
