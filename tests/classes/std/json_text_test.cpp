// JSON text of std.json: printing against nlohmann_json's own dump of the same document (both layouts),
// the walk's markers, parsing with its stretch retry, error lines and depth limit, and the debug text.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>
#include <string>

#include "classes/std/json_bool.h"
#include "classes/std/json_text_readers.h"
#include "runtime/base/value_records.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/json_visit_guard.h"
#include "value_test_vm.h"

namespace {

using namespace std::literals;
using nlohmann::json;
using JsonText = ValueTest;

std::string nlohmann_text(const json& document, bool compact) {
  return document.dump(compact ? -1 : 4, ' ', false, json::error_handler_t::replace);
}

void add(krv_std_json& container, std::string_view key, krvvar_shared value) { container.push_value(value, key); }

krvvar_shared boolean(bool flag) {
  return krvvar_shared::make_object(krvptr_strong<krvobject_base>::from_raw(new krv_std_json_bool(krv_make_bool_value(flag))));
}

// A container value holding `nested` as its one unkeyed entry.
krvvar_shared wrapped(krvvar_shared nested) {
  krvvar_shared outer = krvvar_shared::make_json();
  add(*outer->object_ptr<krv_std_json>(), "", std::move(nested));
  return outer;
}

TEST_F(JsonText, PrintsAsNlohmannDumpsTheDocument) {
  const struct {
    const char* name;
    std::function<void(krv_std_json&)> fill;
    json expected;
  } cases[] = {
      {"sorted keys, later duplicate wins",
       [](krv_std_json& c) {
         add(c, "b", krvvar_shared::make_int(1));
         add(c, "a", krvvar_shared::make_int(2));
         add(c, "b", krvvar_shared::make_int(3));
       },
       json{{"a", 2}, {"b", 3}}},
      {"byte order, not locale order", [](krv_std_json& c) {
         add(c, "\xc3\xa9", krvvar_shared::make_int(1));
         add(c, "Z", krvvar_shared::make_int(2));
         add(c, "a", krvvar_shared::make_int(3));
       },
       json{{"Z", 2}, {"a", 3}, {"\xc3\xa9", 1}}},
      {"unkeyed entries collapse under the empty key",
       [](krv_std_json& c) {
         add(c, "", krvvar_shared::make_int(1));
         add(c, "k", krvvar_shared::make_string("v"));
         add(c, "", krvvar_shared::make_int(2));
       },
       json{{"", 2}, {"k", "v"}}},
      {"nested empty containers", [](krv_std_json& c) {
         add(c, "", krvvar_shared::make_json());
         add(c, "", wrapped(krvvar_shared::make_json()));
       },
       json::array({json::object(), json::array({json::object()})})},
      {"every value type",
       [](krv_std_json& c) {
         add(c, "", krvvar_shared::make_none());
         add(c, "", krvvar_shared::make_int(std::numeric_limits<int64_t>::min()));
         add(c, "", krvvar_shared::make_float(0.1));
         add(c, "", krvvar_shared::make_float(1e20));
         add(c, "", krvvar_shared::make_float(-0.0));
         add(c, "", krvvar_shared::make_float(std::numeric_limits<double>::infinity()));
         add(c, "", boolean(true));
         add(c, "", boolean(false));
         const uint8_t bytes[] = {'b', 'u', 'f', 0, 'x'};
         add(c, "", krvvar_shared::make_buffer(bytes, sizeof bytes));
         add(c, "", krvvar_shared::make_string("h\xc3\xa9llo \xe2\x82\xac \x01\t\"\\"));
         add(c, "", krvvar_shared::make_string("bad \xff \xe0\x80 \xed\xa0\x80 \xf4\x90 \xe2\x82"));
       },
       json::array({nullptr, std::numeric_limits<int64_t>::min(), 0.1, 1e20, -0.0, nullptr, true, false, "buf",
                    "h\xc3\xa9llo \xe2\x82\xac \x01\t\"\\", "bad \xff \xe0\x80 \xed\xa0\x80 \xf4\x90 \xe2\x82"})},
      {"empty", [](krv_std_json&) {}, json::object()},
      // Indentation deeper than the writer copies in one piece, and a text that outgrows its storage
      // several times, once by a single string longer than a growth step.
      {"deep and long",
       [](krv_std_json& c) {
         krvvar_shared inner = krvvar_shared::make_string(std::string(100000, 'x'));
         for (int level = 0; level < 12; ++level) inner = wrapped(std::move(inner));
         add(c, "deep", std::move(inner));
         for (int i = 0; i < 5000; ++i) add(c, "k" + std::to_string(i), krvvar_shared::make_string("value \"" + std::to_string(i)));
       },
       [] {
         json expected = json::array({std::string(100000, 'x')});
         for (int level = 0; level < 11; ++level) expected = json::array({expected});
         json document = {{"deep", expected}};
         for (int i = 0; i < 5000; ++i) document["k" + std::to_string(i)] = "value \"" + std::to_string(i);
         return document;
       }()},
  };
  for (const auto& c : cases) {
    krvptr_strong<krv_std_json> container = krv_std_json::create();
    c.fill(*container);
    EXPECT_EQ(container->dump(true), nlohmann_text(c.expected, true)) << c.name;
    EXPECT_EQ(container->dump(false), nlohmann_text(c.expected, false)) << c.name;
  }
  EXPECT_EQ(warnings(), std::vector<std::string>{});
}

// Random texts (invalid UTF-8 and control bytes likely) and random doubles, against nlohmann's dump.
TEST_F(JsonText, StringsAndNumbersMatchNlohmannOnRandomInput) {
  std::mt19937_64 random(7);
  const unsigned char interesting[] = {0x00, 0x1f, '"', '\\', 0x7f, 0x80, 0xbf, 0xc0, 0xc2, 0xdf, 0xe0, 0xed,
                                       0xef, 0xf0, 0xf4, 0xf5, 0xff, 0xa0, 0x9f, 0x90, 0x8f, 'a'};
  krvptr_strong<krv_std_json> container = krv_std_json::create();
  json expected = json::array();
  for (int i = 0; i < 3000; ++i) {
    std::string text(random() % 8, '\0');
    for (char& byte : text) byte = static_cast<char>(interesting[random() % sizeof interesting]);
    add(*container, "", krvvar_shared::make_string(text));
    expected.push_back(text);
    double number = 0.0;
    const uint64_t bits = random();
    std::memcpy(&number, &bits, sizeof number);
    add(*container, "", krvvar_shared::make_float(number));
    expected.push_back(number);
  }
  EXPECT_EQ(container->dump(true), nlohmann_text(expected, true));
}

TEST_F(JsonText, ACycleAndTheDepthLimitPrintMarkersWithOneWarning) {
  krvvar_shared self = krvvar_shared::make_json();
  krv_std_json& looped = *self->object_ptr<krv_std_json>();
  add(looped, "", self);
  add(looped, "", self);
  EXPECT_EQ(looped.dump(true), R"(["<cycle>","<cycle>"])");
  EXPECT_EQ(looped.debug_dump(true), R"(["<cycle>","<cycle>"])");
  EXPECT_EQ(warnings(),
            (std::vector<std::string>{
                "JSON contains a reference to itself, printing \"<cycle>\" instead of recursing forever.",
                "JSON contains a reference to itself, debug_refs shows \"<cycle>\" instead of recursing forever."}));
  looped.clear_entries();

  krvvar_shared nest = wrapped(krvvar_shared::make_int(1));
  for (uint32_t depth = 1; depth < krv_json_max_depth + 1; ++depth) nest = wrapped(nest);
  const std::string brackets(krv_json_max_depth, '[');
  EXPECT_EQ(nest->object_ptr<krv_std_json>()->dump(true),
            brackets + "\"<nested too deeply>\"" + std::string(krv_json_max_depth, ']'));
  EXPECT_EQ(warnings().size(), 3u);
  EXPECT_EQ(warnings().back(),
            "JSON nesting exceeds the maximum depth of 1024, printing \"<nested too deeply>\" for the rest.");
}

// A container `levels` deep, each level holding the one below twice: its text and its "j11" section
// are written once per path, 2^levels leaves.
krvvar_shared shared_twice(int levels) {
  krvvar_shared value = krvvar_shared::make_int(1);
  for (int i = 0; i < levels; ++i) {
    krvvar_shared outer = krvvar_shared::make_json();
    add(*outer->object_ptr<krv_std_json>(), "", value);
    add(*outer->object_ptr<krv_std_json>(), "", value);
    value = outer;
  }
  return value;
}

// The output budget: a text or a section that would pass it is not written at all, with one warning;
// one that fits to the byte is written whole. Sizes: 3 levels print "[[[1,1],[1,1]],[[1,1],[1,1]]]"
// (2^5 - 3 bytes); a value section holding the int 1 is 7 bytes, one holding a container 16 + twice the
// nested value's, and the outermost section 10 + twice its nested value's: 162 bytes at 3 levels.
TEST_F(JsonText, OutputOfSharedPartsStopsAtTheBudget) {
  const struct {
    int levels;
    uint64_t budget;
    size_t text_size;    // 0: refused
    size_t binary_size;  // 0: refused
  } cases[] = {
      {3, 162, 29, 162},
      {3, 161, 29, 0},
      {3, 29, 29, 0},
      {3, 28, 0, 0},
      {64, 1 << 20, 0, 0},  // 2^64 leaves: stops after the first MiB
  };
  krv_json_visit_state& walk = krv_json_visit_state_of_thread();
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.levels << " levels, budget " << c.budget);
    walk.output_budget = c.budget;
    const krvvar_shared value = shared_twice(c.levels);
    krv_std_json& container = *value->object_ptr<krv_std_json>();
    const std::string text = container.dump(true);
    EXPECT_EQ(text.size(), c.text_size);
    if (c.levels == 3 && c.text_size != 0) {
      EXPECT_EQ(text, "[[[1,1],[1,1]],[[1,1],[1,1]]]");
    }
    std::vector<uint8_t> out{0xAA};  // what the output held before stays as it was
    EXPECT_EQ(container.to_binary(out), c.binary_size != 0);
    EXPECT_EQ(out.size(), 1 + c.binary_size);
    EXPECT_EQ(out.front(), 0xAA);
    const std::string budget = std::to_string(c.budget);
    std::vector<std::string> expected;
    if (c.text_size == 0) expected.push_back("JSON text exceeds the maximum size of " + budget + " bytes, printing nothing.");
    if (c.binary_size == 0)
      expected.push_back("Cannot serialize JSON to binary: the output exceeds the maximum size of " + budget + " bytes.");
    EXPECT_EQ(warnings(), expected);
    log.clear();
    // The next write under the budget starts afresh.
    std::vector<uint8_t> small;
    EXPECT_TRUE(shared_twice(1)->to_binary(small));
  }
  walk.output_budget = krv_json_max_output_bytes;
}

TEST_F(JsonText, ReferencesAndContainerObjectsPrintAsWhatTheyHold) {
  krvvar_shared self = krvvar_shared::make_json();
  krv_std_json& container = *self->object_ptr<krv_std_json>();
  krvvar_shared target = krvvar_shared::make_int(4);
  krvvar_shared reference = krvvar_shared::make_none();
  reference->assign_ref(target.get());
  add(container, "", krvvar_shared::make_int(1));
  container.entries.emplace_back(reference);  // the entry holds the REF itself
  add(container, "", krvvar_shared::make_object(self->object_strong()));
  EXPECT_EQ(container.dump(true), R"([1,4,"<cycle>"])");
  EXPECT_EQ(warnings().size(), 1u);
  EXPECT_EQ(container.debug_dump(true),
            R"([{"is_ref":false,"refcount":1,"type":"int"},{"is_ref":true,"refcount":2,"type":"ref"},)"
            R"({"is_ref":false,"refcount":1,"type":"object"}])");
  container.clear_entries();
  EXPECT_EQ(container.debug_dump(false), "{}");
}

// Resolving a member reference may add to the very container being printed (reading a missing key
// creates it); the print covers the entries the container had when it began.
TEST_F(JsonText, AMemberReferenceMayGrowTheContainerBeingPrinted) {
  krvvar_shared self = krvvar_shared::make_json();
  krv_std_json& container = *self->object_ptr<krv_std_json>();
  krvvar_shared member = krvvar_shared::make_typed(KRVVAR_OBJECT_MEMBER_LITERAL);
  auto& record = *static_cast<krvvar_member_literal_record*>(member->payload.record);
  record.object = self->object_strong();
  record.name = "missing";
  container.entries.emplace_back(member);
  container.entries.emplace_back(krvvar_shared::make_int(5));
  container.entries.shrink_to_fit();
  EXPECT_EQ(container.dump(true), "[null,5]");
  EXPECT_EQ(container.size(), 3);
  container.clear_entries();
}

struct parse_case {
  std::string_view text;
  bool suppress;
  bool parsed;
  const char* printed;  // compact
  std::vector<std::string> errors;
};

TEST_F(JsonText, ParsesThroughNlohmann) {
  const std::string deepest = std::string(krv_json_max_depth, '[') + std::string(krv_json_max_depth, ']');
  const std::string too_deep = "[" + deepest + "]";
  std::string long_list = "[";
  std::string repeated;
  for (int i = 0; i < 30; ++i) repeated += "1,";
  long_list += repeated + repeated.substr(0, 40) + "?]";
  const std::string long_token = "[\"" + std::string(100, 'a');
  const std::string long_number = std::string(1000, '9') + "x";
  const std::string long_string_after_value = "[1] \"" + std::string(100, 'b');
  const parse_case cases[] = {
      {"// line\n{\"b\": [1, 2.5, \"x\", null], /* block */ \"a\": true}", false, true,
       R"({"a":true,"b":[1,2.5,"x",null]})", {}},
      {"12:00 request {\"id\": 7, \"ok\": false} done", false, true, R"({"id":7,"ok":false})", {}},
      {R"({"b":1,"a":2,"b":3})", false, true, R"({"a":2,"b":3})", {}},
      {R"({"a": [1], "b": {"y": 1, "x": 2}, "c": 2, "a": {}, "d": true})", false, true,
       R"({"a":{},"b":{"x":2,"y":1},"c":2,"d":true})", {}},
      {R"({"":1})", false, true, "[1]", {}},
      {"5", false, true, "[5]", {}},
      {"18446744073709551615", false, true, "[1.8446744073709552e+19]", {}},
      {"[9223372036854775807, -9223372036854775808]", false, true, "[9223372036854775807,-9223372036854775808]", {}},
      {"", false, false, "{}", {}},
      // The parser's own words are nlohmann_json 3.11.2's.
      {"{\"a\": tru}", false, false, "{}",
       {"JSON parse error at byte 10 of 10: [json.exception.parse_error.101] parse error at line 1, column 10: "
        "syntax error while parsing value - invalid literal; last read: '\"a\": tru}'\n  near: {\"a\": tru}"}},
      {"{\"a\": tru}", true, false, "{}", {}},
      // The snippet starts 60 bytes before the byte in front of the error position.
      {long_list.c_str(), false, false, "{}",
       {"JSON parse error at byte 102 of 103: [json.exception.parse_error.101] parse error at line 1, column 102: "
        "syntax error while parsing value - invalid literal; last read: '1,?'\n  near: " + repeated + "?]"}},
      // A zero byte outside a string is a stray byte like any other, and a text holding one is not retried.
      {"{\"a\":1}\0{\"b\":2"sv, false, false, "{}",
       {"JSON parse error at byte 8 of 14: [json.exception.parse_error.101] parse error at line 1, column 8: "
        "syntax error while parsing value - invalid literal; last read: '<U+0000>'; expected end of input\n"
        "  near: {\"a\":1}<U+0000>{\"b\":2"}},
      {"[1]\0garbage"sv, true, false, "{}", {}},
      {"x [1,\n 2]\0 y"sv, false, false, "{}",
       {"JSON parse error at byte 1 of 12: [json.exception.parse_error.101] parse error at line 1, column 1: "
        "syntax error while parsing value - invalid literal; last read: 'x'\n  near: x [1,\n 2]<U+0000> y"}},
      {"[1,\n 2]\0"sv, false, false, "{}",
       {"JSON parse error at byte 8 of 8: [json.exception.parse_error.101] parse error at line 2, column 4: "
        "syntax error while parsing value - invalid literal; last read: '<U+0000>'; expected end of input\n"
        "  near: [1,\n 2]<U+0000>"}},
      // The parser's quote of the token it stopped in keeps 64 bytes.
      {long_token.c_str(), false, false, "{}",
       {"JSON parse error at byte 102 of 102: [json.exception.parse_error.101] parse error at line 1, column 103: "
        "syntax error while parsing value - invalid string: missing closing quote; last read: '\"" +
        std::string(63, 'a') + "...'\n  near: " + long_token.substr(42)}},
      // So do the number the parser cannot hold and a token followed by what the parser expected.
      {long_number.c_str(), false, false, "{}",
       {"JSON parse error at byte 0 of 1001: [json.exception.out_of_range.406] number overflow parsing '" +
        std::string(64, '9') + "...'\n  near: " + long_number.substr(0, 120)}},
      {long_string_after_value.c_str(), false, false, "{}",
       {"JSON parse error at byte 105 of 105: [json.exception.parse_error.101] parse error at line 1, column 106: "
        "syntax error while parsing value - invalid string: missing closing quote; last read: '\"" +
        std::string(63, 'b') + "...'; expected end of input\n  near: " + long_string_after_value.substr(45)}},
      // Numbers at the edge of the doubles: those from 10^309 up are refused, in the parser's words.
      {"[0.0e99999, 1e-400, -1.7976931348623157e308, 0.01e310]", false, true,
       "[0.0,0.0,-1.7976931348623157e+308,1e+308]", {}},
      {"[-0.1e310]", false, false, "{}",
       {"JSON parse error at byte 0 of 10: [json.exception.out_of_range.406] number overflow parsing '-0.1e310'\n"
        "  near: [-0.1e310]"}},
      {"{\"a\": 10e308}", false, false, "{}",
       {"JSON parse error at byte 0 of 13: [json.exception.out_of_range.406] number overflow parsing '10e308'\n"
        "  near: {\"a\": 10e308}"}},
      {deepest.c_str(), false, true, nullptr, {}},
      {too_deep.c_str(), false, false, "{}", {"JSON parse error: nesting exceeds the maximum depth of 1024."}},
      {too_deep.c_str(), true, false, "{}", {}},
  };
  for (const parse_case& c : cases) {
    log.clear();
    krvptr_strong<krv_std_json> container = krv_std_json::create();
    EXPECT_EQ(container->from_string(c.text, c.suppress), c.parsed) << c.text;
    if (c.printed != nullptr) {
      EXPECT_EQ(container->dump(true), c.printed) << c.text;
    }
    EXPECT_EQ(errors(), c.errors) << c.text;
  }
}

TEST_F(JsonText, ParsedObjectsHoldTheirMembersInKeyOrder) {
  krvptr_strong<krv_std_json> container = krv_std_json::create();
  ASSERT_TRUE(container->from_string(R"({"b": 1, "a": 2, "b": 3, "": true})", false));
  std::vector<std::string_view> keys;
  for (const krv_std_json_entry& entry : container->entries) keys.push_back(entry.key_view());
  EXPECT_EQ(keys, (std::vector<std::string_view>{"", "a", "b"}));
  EXPECT_TRUE(container->entries[0].has_key());
  EXPECT_TRUE(container->has_key(""));
  krvvar& boolean = *container->entries[0].value;
  ASSERT_EQ(boolean.type, KRVVAR_OBJECT);
  EXPECT_STREQ(boolean.object_ptr()->type_name(), "json.bool");
  EXPECT_EQ(container->get_or_insert("b")->int_value(), 3);
  EXPECT_EQ(container->size(), 3);
}

// Each entry as its key (- for none), type and text, floats by their bits, nested containers in brackets.
std::string shape(const krv_std_json& container) {
  std::string out = "(";
  for (const krv_std_json_entry& entry : container.entries) {
    krvvar& value = *entry.value;
    out += (entry.has_key() ? "'" + std::string(entry.key_view()) + "'" : "-") + ":" +
           std::string(krvvar_type_name(value.type)) + "=";
    if (value.type == KRVVAR_JSON) {
      out += shape(*value.object_ptr<krv_std_json>());
    } else if (value.type == KRVVAR_FLOAT) {
      char bits[40];
      std::snprintf(bits, sizeof bits, "%a", value.payload.float_value);
      out += bits;
    } else {
      out += value.get_string();
    }
    out += ' ';
  }
  return out + ")";
}

// The strict reader takes plain JSON and gives up on everything else, and what it takes comes out as
// nlohmann's reading makes it: the same verdict and the same keys, types, bytes and number bits.
TEST_F(JsonText, TheStrictReaderFillsAsNlohmannOrGivesUp) {
  const std::string deepest = std::string(krv_json_max_depth, '[') + std::string(krv_json_max_depth, ']');
  const struct {
    std::string text;
    bool strict;  // the strict reader takes it
  } cases[] = {
      {R"({"a": "x\"y\\z\/\b\f\n\r\t", "b": ["\u00e9\u20AC\ud83d\ude00\uDBFF\uDFFF", "\u0000"]})", true},
      {"[\"caf\xc3\xa9 \xf0\x9f\x98\x80 \xe2\x82\xac\"]", true},
      {R"(["\ud800"])", false}, {R"(["\udc00"])", false}, {R"(["\ud800\u0041"])", false}, {R"(["\ud800x"])", false},
      {R"(["\u12G4"])", false}, {R"(["\x"])", false},
      {"[\"\xc3\"]", false}, {"[\"\xed\xa0\x80\"]", false}, {"[\"\xc0\xaf\"]", false}, {"[\"\xf4\x90\x80\x80\"]", false},
      {"[\"a\tb\"]", false}, {"[\"a\0b\"]"s, false},
      {"[0, -0, -0.0, 0e5, 0.1, 1E+2, 1e-2, 1.7976931348623157e308, 123456789012345678901234567890.5e-10]", true},
      {"[4.9e-324, 2.2250738585072011e-308]", true},
      {"[9223372036854775807, -9223372036854775808]", true},
      {"[9223372036854775808]", false}, {"[18446744073709551616]", false}, {"[-9223372036854775809]", false},
      {"[1e400]", false}, {"[-1e400]", false}, {"[1e-400]", false},
      {R"({"b": 1, "a": 2, "b": 3, "": 4, "c": {"y": [], "x": {}}})", true},
      {" \t\r\n[ 1 , { \"a\" : [ ] } , true, false, null ]\n ", true},
      {"\"text\"", true}, {"true", true}, {"null", true}, {"5", true},
      {deepest, true}, {"[" + deepest + "]", false},
      {"[1] // note", false}, {"/* a */ [1]", false}, {"\xEF\xBB\xBF[1]", false}, {"[1]\0"s, false},
      {"01", false}, {"[1,]", false}, {"[,1]", false}, {R"({"a" 1})", false}, {R"({"a":1,})", false}, {"{1:2}", false},
      {"tru", false}, {"nul", false}, {"-", false}, {"1.", false}, {"1e", false}, {".5", false}, {"+1", false},
      {"[] x", false}, {"[1", false}, {"{\"a\":", false}, {"\"open", false}, {"  ", false},
  };
  for (const auto& c : cases) {
    krvptr_strong<krv_std_json> strict = krv_std_json::create();
    krvptr_strong<krv_std_json> reference = krv_std_json::create();
    const bool read_strictly = krv_json_fill_strictly(*strict, c.text);
    const bool read_by_nlohmann = krv_json_fill_through_nlohmann(*reference, c.text);
    EXPECT_EQ(read_strictly, c.strict) << c.text;
    if (read_strictly) {
      EXPECT_TRUE(read_by_nlohmann) << c.text;
      EXPECT_EQ(shape(*strict), shape(*reference)) << c.text;
    } else {
      EXPECT_TRUE(strict->entries.empty()) << c.text;
    }
  }
}

// Members of one text that carry the same name share one key text, and so does a copy of them; the
// text outlives the container it was parsed into.
TEST_F(JsonText, MembersWithOneNameShareOneKeyText) {
  krvptr_strong<krv_std_json> parsed = krv_std_json::create();
  ASSERT_TRUE(parsed->from_string(R"([{"id": 1, "name": "x"}, {"name": "y", "id": 2, "b": {"id": 3}}])", false));
  const auto record = [&](size_t i) -> krv_std_json& { return *parsed->entries[i].value->object_ptr<krv_std_json>(); };
  const krv_json_key* id = record(0).entries[0].key;
  EXPECT_EQ(record(1).entries[1].key, id);
  EXPECT_EQ(record(1).entries[0].value->object_ptr<krv_std_json>()->entries[0].key, id);
  EXPECT_EQ(record(1).entries[2].key, record(0).entries[1].key);
  krvptr_strong<krv_std_json> copy = krv_std_json::create();
  copy->assign_from(record(1));
  EXPECT_EQ(copy->entries[1].key, id);
  parsed = {};
  EXPECT_EQ(copy->dump(true), R"({"b":{"id":3},"id":2,"name":"y"})");
  EXPECT_EQ(copy->get_or_insert("id")->int_value(), 2);
}

// A parsed object's key index is built by the first operation that needs it: each operation, the
// first after the parse, sees every parsed key, and the index it leaves counts them.
TEST_F(JsonText, TheFirstKeyedOperationAfterAParseIndexesEveryKey) {
  struct keyed_case {
    const char* operation;
    std::function<int64_t(krv_std_json&)> run;  // its result
    int64_t result;
    const char* printed;  // the container afterwards, compact
    uint32_t count_of_a;  // the index's count of "a" afterwards
  };
  const keyed_case cases[] = {
      {"has_key a", [](krv_std_json& c) { return int64_t{c.has_key("a")}; }, 1, R"({"":0,"a":2,"b":1})", 1},
      {"has_key empty", [](krv_std_json& c) { return int64_t{c.has_key("")}; }, 1, R"({"":0,"a":2,"b":1})", 1},
      {"get a", [](krv_std_json& c) { return c.get_or_insert("a")->int_value(); }, 2, R"({"":0,"a":2,"b":1})", 1},
      {"get z", [](krv_std_json& c) { return c.get_or_insert("z")->int_value(); }, 0, R"({"":0,"a":2,"b":1,"z":null})", 1},
      {"push a", [](krv_std_json& c) { return c.push_empty_keyed("a")->int_value(); }, 0, R"({"":0,"a":null,"b":1})", 2},
      {"erase b", [](krv_std_json& c) { return int64_t{c.erase_key("b")}; }, 1, R"({"":0,"a":2})", 1},
      {"erase index 2", [](krv_std_json& c) { return int64_t{c.erase_index(2)}; }, 1, R"({"":0,"a":2})", 1},
  };
  for (const keyed_case& c : cases) {
    krvptr_strong<krv_std_json> container = krv_std_json::create();
    ASSERT_TRUE(container->from_string(R"({"b": 1, "a": 2, "": 0})", false));
    EXPECT_EQ(c.run(*container), c.result) << c.operation;
    EXPECT_EQ(container->dump(true), c.printed) << c.operation;
    ASSERT_TRUE(container->key_index) << c.operation;
    EXPECT_EQ(container->key_index->at("a").count, c.count_of_a) << c.operation;
    EXPECT_EQ(container->key_index->contains("b"), std::string_view(c.printed).find("\"b\"") != std::string_view::npos)
        << c.operation;
  }
}

// Numbers read and print alike whatever LC_NUMERIC says; de_DE writes a decimal comma.
TEST_F(JsonText, NumbersIgnoreTheNumericLocale) {
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
    setenv("LOCPATH", KRV_TEST_LOCALE_DIR, 1);
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr)
      GTEST_SKIP() << "no de_DE.UTF-8 locale, and none could be made in " << KRV_TEST_LOCALE_DIR;
  }
  const char decimal_point = *std::localeconv()->decimal_point;
  krvptr_strong<krv_std_json> container = krv_std_json::create();
  const bool parsed = container->from_string("[1.5, -2.25e3]", false);
  const std::string printed = container->dump(true);
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(decimal_point, ',');
  EXPECT_TRUE(parsed);
  EXPECT_EQ(printed, "[1.5,-2250.0]");
}

}  // namespace
