// std.json methods through their definitions: the method table, then each method's result, the container
// afterwards and the warnings for given containers and arguments, then what a table cannot show (cells
// shared with the result, key lookups afterwards, containers that hold themselves, deep nesting).
#include "json_method_call.h"

#include "classes/std/seen_texts.h"
#include "runtime/storage/json_visit_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

namespace {

krvvar_shared i(int64_t value) { return krvvar_shared::make_int(value); }
krvvar_shared s(std::string_view text) { return krvvar_shared::make_string(text); }

// Appends `value` (shared when a container) to the container of `to`.
void add(const krvvar_shared& to, krvvar_shared value, std::string_view key = {}) {
  to->object_ptr<krv_std_json>()->push_value(value, key);
}

TEST_F(JsonMethods, TableInRegistrationOrder) {
  const struct {
    const char* name;
    uint32_t min, max;
    size_t param_helps;
  } table[] = {{"push", 1, 1, 1},          {"push_back", 1, 1, 1},     {"pop", 0, 0, 0},
               {"pop_back", 0, 0, 0},      {"insert", 2, 2, 1},        {"size", 0, 0, 0},
               {"clear", 0, 0, 0},         {"clear_free", 0, 0, 0},    {"key", 1, 1, 1},
               {"has", 1, 1, 1},           {"has_value", 1, 1, 1},     {"has_value_str", 1, 1, 1},
               {"geti", 1, 1, 1},          {"hasi", 1, 1, 1},          {"erase", 1, 1, 1},
               {"remove", 1, 1, 1},        {"erase_value", 1, 1, 1},   {"remove_value", 1, 1, 1},
               {"remove_all_keys", 1, 1, 1}, {"copy", 0, 0, 0},        {"sort", 0, 0, 0},
               {"sort_reverse", 0, 0, 0},  {"rsort", 0, 0, 0},         {"sort_by", 1, 2, 1},
               {"string", 0, 1, 1},        {"compact_string", 0, 0, 0}, {"combine_string", 0, 1, 1},
               {"from_string", 1, 1, 1},   {"filter_key", 1, 1, 1},    {"filter_value", 1, 1, 1},
               {"filter", 1, 1, 1},        {"merge", 1, 2, 1},         {"append", 1, 2, 1},
               {"map", 1, 1, 1},           {"reduce", 1, 2, 1},        {"any", 1, 1, 1},
               {"all", 1, 1, 1},           {"foreach", 1, 1, 1},       {"to_list", 0, 0, 0},
               {"resize", 1, 1, 1},        {"unique", 0, 0, 0},
               {"push_cyclic", 2, 2, 2},   {"debug_refs", 0, 1, 1}};
  const auto& members = krv_std_json::statics().members;
  ASSERT_EQ(members.size(), std::size(table));
  for (size_t n = 0; n < members.size(); ++n) {
    const krv_function_def& function = *members[n]->function_descriptor();
    EXPECT_EQ(function.name, table[n].name);
    EXPECT_EQ(function.min_args, table[n].min) << table[n].name;
    EXPECT_EQ(function.max_args, table[n].max) << table[n].name;
    EXPECT_EQ(function.param_help.size(), table[n].param_helps) << table[n].name;
  }
  for (auto [a, b] : {std::pair{"push", "push_back"}, {"pop", "pop_back"}, {"erase", "remove"},
                      {"erase_value", "remove_value"}, {"sort_reverse", "rsort"}}) {
    EXPECT_EQ(method(a).help, method(b).help) << a;
    EXPECT_EQ(method(a).param_help, method(b).param_help) << a;
  }
  EXPECT_EQ(method("merge").param_help, method("append").param_help);
  EXPECT_EQ(method("any").param_help, method("all").param_help);
  EXPECT_EQ(members.size(), 43u);
  EXPECT_NE(method("merge").help, method("append").help);
  // sort_by leaves a plain list as it is (a row below), and its help says so.
  EXPECT_NE(method("sort_by").help.find("entries without a key, such as those of a plain list, are not sorted"),
            std::string::npos);
}

TEST_F(JsonMethods, ResultsAndContainersAfterwards) {
  const struct {
    const char* before;
    const char* name;
    std::vector<krvvar_shared> args;
    const char* result;
    const char* after;
    const char* warning = nullptr;
  } cases[] = {
      {"1", "push", {s("x")}, "self", "1,'x'"},
      {"1", "push_back", {i(2)}, "self", "1,2"},
      {"", "pop", {}, "self", ""},
      {"1,2", "pop", {}, "self", "1"},
      {"1,a=2", "pop_back", {}, "self", "1"},
      {"'a','b','c'", "insert", {i(-1), s("x")}, "self", "'a','b','x','c'"},
      {"'a','b','c'", "insert", {i(-10), s("x")}, "self", "'x','a','b','c'"},
      {"'a','b','c'", "insert", {i(10), s("x")}, "self", "'a','b','c','x'"},
      {"a=1,2", "size", {}, "2", "a=1,2"},
      {"a=1,[b=2]", "clear", {}, "self", ""},
      {"a=1,b=2", "key", {i(-1)}, "'b'", "a=1,b=2"},
      {"1", "key", {i(0)}, "None", "1"},
      {"a=1,b=2", "key", {i(5)}, "None", "a=1,b=2", "index out of range!"},
      {"a=1,b=2", "key", {i(-3)}, "None", "a=1,b=2", "index out of range!"},
      {"1", "has", {s("1")}, "0", "1"},
      {"a=1", "has", {s("a")}, "1", "a=1"},
      {"1,[2]", "has_value", {notation("2")}, "1", "1,[2]"},
      {"1,2", "has_value", {s("x")}, "0", "1,2"},
      {"'x',1", "has_value_str", {s("1")}, "1", "'x',1"},
      {"name=1", "hasi", {s("NAME")}, "1", "name=1"},
      {"=1", "hasi", {s("")}, "0", "=1"},
      {"'a','b','c'", "erase", {krvvar_shared::make_float(1.9)}, "1", "'a','c'"},
      {"x=1,y=2,x=3", "erase", {s("x")}, "1", "y=2"},
      {"1,2", "erase", {i(2)}, "0", "1,2"},
      {"x=1,y=2,x=3", "remove", {s("x")}, "1", "y=2"},
      {"'a','b'", "remove", {i(-1)}, "1", "'a'"},
      {"2,2", "erase_value", {i(2)}, "1", "2"},
      {"1,2", "remove_value", {s("3")}, "0", "1,2"},
      {"x=1,n=[x=2,y=3],4", "remove_all_keys", {s("x")}, "self", "n=[y=3],4"},
      {"a=1,b=2", "to_list", {}, "self", "1,2"},
      {"1,2", "resize", {i(0)}, "self", ""},
      {"'a'", "resize", {i(3)}, "self", "'a',None,None"},
      {"'a'", "resize", {i(-1)}, "self", "'a'", "size out of range!"},
      {"1,2,3", "push_cyclic", {s("x"), i(3)}, "self", "2,3,'x'"},
      {"1,2,3,4,5", "push_cyclic", {s("x"), i(3)}, "self", "4,5,'x'"},
      {"1,2", "push_cyclic", {s("x"), i(0)}, "self", "1,2", "push_cyclic: max_entries must be greater than 0"},
      {"b=1,a=[2]", "string", {i(1)}, "'{\"a\":[2],\"b\":1}'", "b=1,a=[2]"},
      {"1", "string", {}, "'[\n    1\n]'", "1"},
      {"1", "string", {i(0)}, "'[\n    1\n]'", "1"},
      {"1,'x'", "compact_string", {}, "'[1,\"x\"]'", "1,'x'"},
      {"9", "from_string", {s("{\"b\": [1], \"a\": 2}")}, "1", "a=2,b=[1]"},
      {"a=1", "debug_refs", {i(1)}, "'{\"a\":{\"is_ref\":false,\"refcount\":1,\"type\":\"int\"}}'", "a=1"},
      {"'a','b'", "combine_string", {s(",")}, "'a,b,'", "'a','b'"},
      {"'a',b=2", "combine_string", {}, "'a2'", "'a',b=2"},
      {"", "combine_string", {s(",")}, "''", ""},
      {"a=0", "merge", {notation("a=1,b=2")}, "self", "a=1,b=2"},
      {"a=0", "merge", {notation("a=1,b=2"), i(0)}, "self", "a=0,b=2"},
      {"a=0", "merge", {notation("1,2")}, "self", "a=0"},
      {"a=0", "merge", {i(5)}, "self", "a=0"},
      {"a=0", "append", {notation("1,a=1,2")}, "self", "a=1,1,2"},
      {"a=0", "append", {notation("a=1"), i(0)}, "self", "a=0"},
      {"1", "append", {i(5)}, "self", "1,5"},
      {"1", "append", {krvvar_shared::make_none()}, "self", "1"},
      {"b=1,A=2,3,c=4", "sort", {}, "self", "A=2,b=1,c=4,3"},
      {"1,2,3", "sort", {}, "self", "1,2,3"},
      {"1,b=3,a=2", "sort", {}, "self", "a=2,b=3,1"},
      {"abcdefghX=1,abc=2,ABCDEFGHa=3,abcdefgh=4", "sort", {}, "self", "abc=2,abcdefgh=4,ABCDEFGHa=3,abcdefghX=1"},
      {"abcdefgh=1,abcdefghB=2,abcdefghb=3", "sort_reverse", {}, "self", "abcdefghb=3,abcdefghB=2,abcdefgh=1"},
      {"b=1,a=2,B=3,4", "sort_reverse", {}, "self", "b=1,a=2,B=3,4"},
      {"B=1,a=2,b=3", "rsort", {}, "self", "b=3,a=2,B=1"},
      {"a=[n=2],b=[n=10],c=[n=1]", "sort_by", {s("n")}, "self", "c=[n=1],a=[n=2],b=[n=10]"},
      {"[n=2],[n=10],[n=1]", "sort_by", {s("n")}, "self", "[n=2],[n=10],[n=1]"},
      {"a=[n=1],m=[x=0],b=[n=3],c=[n=2]", "sort_by", {s("n"), i(1)}, "self", "b=[n=3],c=[n=2],a=[n=1],m=[x=0]"},
      {"m=[x=0],a=[n=1],b=[n=3],c=[n=2]", "sort_by", {s("n")}, "self", "a=[n=1],c=[n=2],b=[n=3],m=[x=0]"},
      {"a=[n='9'],b=[n=10]", "sort_by", {s("n")}, "self", "b=[n=10],a=[n='9']"},
      {"a=[n=None],b=7,c=[n=2.5],d=[n=2]", "sort_by", {s("n")}, "self", "d=[n=2],c=[n=2.500000],a=[n=None],b=7"},
      {"1,1,'1',2", "unique", {}, "self", "1,'1',2"},
      {"a=1,b=1,a=2", "unique", {}, "self", "a=1,b=1"},
      {"a=1,5,5", "unique", {}, "self", "a=1,5"},
      {"[1],[1],[2]", "unique", {}, "self", "[1],[2]"},
      {"7", "unique", {}, "self", "7"},
      {"ab=1,xabx=2,ba=3,4", "filter", {s("ab")}, "[ab=1,xabx=2]", "ab=1,xabx=2,ba=3,4"},
      {"ab=1,b=2,c=3", "filter_key", {notation("'a','b'")}, "[ab=1,b=2]", "ab=1,b=2,c=3"},
      {"a=1,b=2,3", "filter_key", {s("")}, "[a=1,b=2]", "a=1,b=2,3"},
      {"a=1", "filter_key", {s("aa")}, "[]", "a=1"},
      {"a='x12',b=12,'12'", "filter_value", {s("12")}, "[a='x12','12']", "a='x12',b=12,'12'"},
      {"a='x12',b=12,'12'", "filter_value", {notation("'12'")}, "[a='x12',b=12,'12']", "a='x12',b=12,'12'"},
      {"1,ab=2", "any", {s("")}, "1", "1,ab=2"},
      {"1,2", "any", {s("")}, "0", "1,2"},
      {"ab=1,cd=2", "any", {s("d")}, "1", "ab=1,cd=2"},
      {"ab=1,2", "all", {s("")}, "0", "ab=1,2"},
      {"ab=1,abc=2", "all", {s("ab")}, "1", "ab=1,abc=2"},
      {"", "all", {s("x")}, "1", ""},
      {"a=1", "any", {i(1)}, "0", "a=1", "any expects string or function"},
      {"a=1", "all", {i(1)}, "0", "a=1", "all expects string or function"},
      {"a=1", "map", {i(1)}, "[]", "a=1", "map expects a function"},
      {"a=1", "reduce", {i(1)}, "None", "a=1", "reduce expects a callback"},
  };
  for (const auto& c : cases) {
    const std::string label = std::string(c.name) + " on " + c.before;
    krvvar_shared receiver = notation(c.before);
    const size_t warnings_before = warnings().size();
    krvvar_shared result = call(receiver, c.name, c.args);
    EXPECT_EQ(shown_value(*result, &container(receiver)), c.result) << label;
    EXPECT_EQ(shown_entries(container(receiver)), c.after) << label;
    const std::vector<std::string> expected = c.warning ? std::vector<std::string>{c.warning} : std::vector<std::string>{};
    const std::vector<std::string> all = warnings();
    EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(warnings_before), all.end()), expected)
        << label;
  }
}

// Growth is held to the bytes a buffer may hold (1 GiB: 32 bytes an entry) and refused at once, the
// container left as it was.
TEST_F(JsonMethods, ResizeIsBoundedAsBuffersAre) {
  for (const int64_t size : {int64_t{33554433}, int64_t{1} << 60}) {
    krvvar_shared receiver = notation("'a'");
    const size_t errors_before = errors().size();
    EXPECT_EQ(shown_value(*call(receiver, "resize", {i(size)})), "None");
    EXPECT_EQ(shown_entries(container(receiver)), "'a'");
    ASSERT_EQ(errors().size(), errors_before + 1);
    EXPECT_NE(errors().back().find("resize() would make the container " + std::to_string(size) +
                                   " entries, over the limit of 33554432 entries"),
              std::string::npos)
        << errors().back();
  }
}

TEST_F(JsonMethods, FromStringFailureEmptiesAndReports) {
  krvvar_shared receiver = notation("1");
  EXPECT_EQ(call(receiver, "from_string", {s("{")})->int_value(), 0);
  EXPECT_EQ(container(receiver).size(), 0);
  EXPECT_EQ(errors().size(), 1u);
}

// Equal children keep their order, through the insertion sort of short groups and the merge sort of long.
TEST_F(JsonMethods, SortByIsStable) {
  for (int count : {20, 100}) {
    krvvar_shared receiver = krvvar_shared::make_json();
    for (int n = 0; n < count; ++n) {
      add(receiver, notation("n=" + std::to_string(n % 3)), "e" + std::to_string(n));
    }
    call(receiver, "sort_by", {s("n"), i(1)});
    std::vector<int> order;
    for (const krv_std_json_entry& entry : container(receiver).entries) order.push_back(std::stoi(std::string(entry.key_view().substr(1))));
    std::vector<int> expected;
    for (int group : {2, 1, 0})
      for (int n = group; n < count; n += 3) expected.push_back(n);
    EXPECT_EQ(order, expected) << count;
  }
}

// Groups long enough for the rank sort, against a stable sort with the comparator itself: numbers of both
// signs (0 and -0 equal, floats beside ints), texts that share their first eight bytes or differ only
// past them or in length, missing children, and the mixes whose order is the comparator's alone.
TEST_F(JsonMethods, SortByLargeGroupsFollowTheComparator) {
  using child_maker = krvvar_shared (*)(uint32_t);
  const child_maker number = [](uint32_t r) {
    const double values[] = {-2.5, -1, -0.0, 0, 3, 1e300, -1e300, 7.25, 1e-300};
    return r % 3 == 0 ? i(static_cast<int64_t>(r % 21) - 10) : krvvar_shared::make_float(values[r / 3 % 9]);
  };
  const child_maker text = [](uint32_t r) {
    const char* stems[] = {"abcdefgh", "abcdefg", "abcdefghi", "", "b", "abcdefgh\xff", "ABCDEFGH"};
    return s(std::string(stems[r % 7]) + (r % 2 ? std::to_string(r % 97) : ""));
  };
  const child_maker missing_or_number = [](uint32_t r) {
    return r % 4 == 0 ? krvvar_shared::make_none() : i(static_cast<int64_t>(r % 50) - 25);
  };
  const child_maker digits_or_letters = [](uint32_t r) {  // text order agrees with number order here
    return r % 2 ? i(r % 10) : s(std::string(1, static_cast<char>('a' + r % 26)));
  };
  const child_maker with_nan = [](uint32_t r) {
    return r % 50 == 0 ? krvvar_shared::make_float(std::nan("")) : i(r % 100);
  };
  const struct {
    const char* name;
    child_maker make;
  } cases[] = {{"numbers", number}, {"texts", text}, {"missing", missing_or_number},
               {"digits and letters", digits_or_letters}, {"NaN", with_nan}};
  for (const auto& c : cases) {
    for (const bool descending : {false, true}) {
      constexpr uint32_t count = 700;
      std::mt19937 random(7);
      krvvar_shared receiver = krvvar_shared::make_json();
      std::vector<krvvar_shared> children;
      for (uint32_t n = 0; n < count; ++n) {
        children.push_back(c.make(random()));
        krvvar_shared entry = krvvar_shared::make_json();
        if (children.back()->type != KRVVAR_NONE || n % 8 == 0) add(entry, children.back(), "n");
        add(receiver, entry, "e" + std::to_string(n));
      }
      // The comparator: missing last; two numbers as doubles; else texts bytewise.
      const auto goes_before = [&](uint32_t a, uint32_t b) {
        krvvar &x = *children[a], &y = *children[b];
        const bool x_missing = x.type == KRVVAR_NONE, y_missing = y.type == KRVVAR_NONE;
        if (x_missing || y_missing) return !x_missing && y_missing;
        const auto numeric = [](krvvar& v) { return v.type == KRVVAR_INT || v.type == KRVVAR_FLOAT; };
        if (numeric(x) && numeric(y)) return descending ? x.float_value() > y.float_value() : x.float_value() < y.float_value();
        const int order = x.get_string().compare(y.get_string());
        return descending ? order > 0 : order < 0;
      };
      std::vector<uint32_t> expected(count);
      std::iota(expected.begin(), expected.end(), 0u);
      std::stable_sort(expected.begin(), expected.end(), goes_before);
      call(receiver, "sort_by", {s("n"), i(descending)});
      std::vector<uint32_t> order;
      for (const krv_std_json_entry& entry : container(receiver).entries)
        order.push_back(static_cast<uint32_t>(std::stoul(std::string(entry.key_view().substr(1)))));
      EXPECT_EQ(order, expected) << c.name << (descending ? " descending" : "");
    }
  }
}

// sort and sort_reverse of groups long enough for the rank sort, keys tied in their first eight bytes
// (case folded for sort) and no two equal but for letter case, so the order is defined.
TEST_F(JsonMethods, SortLargeGroupsByWholeKeys) {
  std::vector<std::string> keys;
  for (int n = 0; n < 600; ++n)
    keys.push_back((n % 3 == 0 ? "Prefixed" : n % 3 == 1 ? "prefixeD" : "pre") + std::to_string(n * 7919 % 600));
  for (const bool reverse : {false, true}) {
    krvvar_shared receiver = krvvar_shared::make_json();
    for (const std::string& key : keys) add(receiver, i(1), key);
    call(receiver, reverse ? "sort_reverse" : "sort");
    std::vector<std::string> expected = keys;
    const auto folded = [](std::string text) {
      for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return text;
    };
    std::sort(expected.begin(), expected.end(), [&](const std::string& a, const std::string& b) {
      return reverse ? a > b : folded(a) < folded(b);
    });
    std::vector<std::string> order;
    for (const krv_std_json_entry& entry : container(receiver).entries) order.push_back(std::string(entry.key_view()));
    EXPECT_EQ(order, expected) << reverse;
  }
}

TEST_F(JsonMethods, KeyLookupsAfterEntriesGo) {
  krvvar_shared receiver = notation("k=1,k=2,k=3");
  auto lookup = [&](std::string_view key) { return container(receiver).get_or_insert(key)->int_value(); };
  EXPECT_EQ(lookup("k"), 3);
  call(receiver, "resize", {i(2)});  // the looked-up entry goes: the key looks up its first entry left
  EXPECT_EQ(lookup("k"), 1);
  call(receiver, "push_cyclic", {i(9), i(2)});
  EXPECT_EQ(shown_entries(container(receiver)), "k=2,9");
  EXPECT_EQ(lookup("k"), 2);
  call(receiver, "push_cyclic", {i(8), i(2)});
  EXPECT_FALSE(container(receiver).has_key("k"));

  receiver = notation("=1,a=2,1,a=3");
  call(receiver, "unique");
  EXPECT_EQ(shown_entries(container(receiver)), "=1,a=2");
  EXPECT_EQ(lookup("a"), 2);
  EXPECT_EQ(call(receiver, "has", {s("")})->int_value(), 0);  // kept, still keyed, but not indexed
  EXPECT_EQ(call(receiver, "erase", {i(0)})->int_value(), 1);
  EXPECT_EQ(shown_entries(container(receiver)), "a=2");
  EXPECT_EQ(lookup("a"), 2);
}

TEST_F(JsonMethods, GetiGivesTheEntrysOwnCell) {
  krvvar_shared receiver = notation("x=0,name=1,=2");
  call(receiver, "geti", {s("NAME")})->set_simple(*i(5));
  EXPECT_EQ(shown_entries(container(receiver)), "x=0,name=5,=2");
  EXPECT_EQ(call(receiver, "geti", {s("")})->type, KRVVAR_NONE);
}

// erase finds the very container; remove takes its text as a key.
TEST_F(JsonMethods, EraseAndRemoveWithAContainer) {
  krvvar_shared first = notation("1"), second = notation("1");
  for (const char* name : {"erase", "remove"}) {
    krvvar_shared receiver = krvvar_shared::make_json();
    add(receiver, first);
    add(receiver, second);
    const bool erased = call(receiver, name, {second})->int_value() != 0;
    EXPECT_EQ(erased, name == std::string_view("erase"));
    EXPECT_EQ(container(receiver).entries.front().value->object_ptr(), first->object_ptr());
  }
}

TEST_F(JsonMethods, ContainersHoldingThemselves) {
  krvvar_shared receiver = notation("x=1,y=2");
  add(receiver, receiver, "self");
  call(receiver, "remove_all_keys", {s("x")});
  EXPECT_EQ(shown_entries(container(receiver)), "y=2,self=<cycle>");

  krvvar_shared copy = call(receiver, "copy");
  krv_std_json& copied = container(copy);
  EXPECT_NE(&copied, &container(receiver));
  EXPECT_EQ(copied.get_or_insert("self")->object_ptr(), &copied);
  EXPECT_EQ(shown_entries(copied), "y=2,self=<cycle>");

  call(receiver, "append", {receiver});  // walks the entries there were, appending list items only
  EXPECT_EQ(shown_entries(container(receiver)), "y=2,self=<cycle>");
  call(receiver, "push", {i(3)});
  call(receiver, "append", {receiver, i(0)});
  EXPECT_EQ(shown_entries(container(receiver)), "y=2,self=<cycle>,3,3");
  EXPECT_EQ(warnings(), std::vector<std::string>{});
  for (const krvvar_shared& looped : {receiver, copy}) call(looped, "clear");
}

TEST_F(JsonMethods, CopyIsIndependentAndStopsAtTheDepthLimit) {
  krvvar_shared source = notation("a=[1],t='x'");
  krvvar_shared copy = call(source, "copy");
  call(container(copy).get_or_insert("a"), "push", {i(2)});
  container(copy).get_or_insert("t")->string_ref() = "y";
  EXPECT_EQ(shown_entries(container(source)), "a=[1],t='x'");
  EXPECT_EQ(shown_entries(container(copy)), "a=[1,2],t='y'");

  krvvar_shared deep = krvvar_shared::make_json();
  for (int level = 1; level < 1100; ++level) deep = [&] {
    krvvar_shared outer = krvvar_shared::make_json();
    add(outer, deep);
    return outer;
  }();
  krvvar_shared deep_copy = call(deep, "copy");
  EXPECT_EQ(warnings(), std::vector<std::string>{
                            "JSON copy exceeds the maximum nesting depth of 1024, the remaining members are not copied."});
  krvvar_shared level = deep_copy;
  for (int depth = 1; depth < 1025; ++depth) {
    ASSERT_EQ(level->type, KRVVAR_JSON) << depth;
    level = container(level).entries.at(0).value;
  }
  EXPECT_EQ(level->type, KRVVAR_NONE);
}

// Each level holds the level below twice: 64 levels are 2^64 places for 65 containers. The copy stops
// after its entry budget (lowered here to 100) with one warning; a structure within the budget is copied
// whole, each shared part once per place.
TEST_F(JsonMethods, CopyOfSharedPartsStopsAtItsEntryBudget) {
  auto doubled = [&](int levels) {
    krvvar_shared part = notation("1");
    for (int level = 0; level < levels; ++level) {
      krvvar_shared outer = krvvar_shared::make_json();
      add(outer, part);
      add(outer, part);
      part = outer;
    }
    return part;
  };
  krv_json_visit_state& walk = krv_json_visit_state_of_thread();
  walk.copy_entry_budget = 100;
  krvvar_shared small = call(doubled(5), "copy");  // 2 + 4 + ... + 32 + 32 leaves = 94 entries
  EXPECT_EQ(warnings(), std::vector<std::string>{});
  call(container(container(small).entries.at(0).value).entries.at(0).value, "clear");
  EXPECT_EQ(container(container(container(small).entries.at(1).value).entries.at(0).value).entries.size(), 2u);

  call(doubled(64), "copy");
  walk.copy_entry_budget = krv_json_max_copy_entries;
  EXPECT_EQ(warnings(), std::vector<std::string>{
                            "JSON copy exceeds the maximum size of 16777216 entries, the remaining members are not copied."});
}

TEST(SeenTexts, GrowsPastTheExpectedCount) {
  krv_seen_texts seen(1);
  for (int pass = 0; pass < 2; ++pass)
    for (int n = 0; n < 100; ++n) EXPECT_EQ(seen.insert(std::string(n, 'x')), pass == 0) << n;
}

}  // namespace
