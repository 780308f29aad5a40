// std.string storage: index reads and writes with padding and the clamp, key writes, cloning, release
// with the capacity rule, and pooled allocation.
#include <gtest/gtest.h>

#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"
#include "runtime/storage/string_text.h"
#include "value_test_vm.h"

namespace {

using StringObject = ValueTest;

std::string read_at(std::string text, int64_t index) {
  krvptr_strong<krv_std_string> object = krv_std_string::create(text);
  krvvar_shared out;
  object->get_index(out, index);
  EXPECT_EQ(out->type, KRVVAR_STRING);
  return out->get_string();
}

std::string write_at(std::string text, int64_t index, krvvar_shared value) {
  krvptr_strong<krv_std_string> object = krv_std_string::create(text);
  object->set_index(index, value);
  EXPECT_FALSE(value);
  return object->text;
}

std::string write_key(std::string text, std::string_view key, krvvar_shared value) {
  krvptr_strong<krv_std_string> object = krv_std_string::create(text);
  object->set_named(key, value);
  EXPECT_FALSE(value);
  return object->text;
}

krvvar_shared list_of(std::vector<std::string> items) {
  krvvar_shared list = krvvar_shared::make_json();
  for (const std::string& item : items) {
    krvvar_shared value = krvvar_shared::make_string(item);
    list->json_ptr(false)->push_value(value);
  }
  return list;
}

TEST_F(StringObject, IndexRead) {
  const struct {
    const char* text;
    int64_t index;
    const char* expected;
  } cases[] = {{"abc", -1, "c"}, {"abc", 0, "a"}, {"abc", -4, ""}, {"abc", 3, ""}, {"", 0, ""}, {"", -1, ""}};
  for (const auto& c : cases) EXPECT_EQ(read_at(c.text, c.index), c.expected) << c.text << " " << c.index;
  EXPECT_EQ(read_at(std::string("a\0b", 3), 1), std::string(1, '\0'));
}

TEST_F(StringObject, IndexWrite) {
  const struct {
    int64_t index;
    const char* value;
    const char* expected;
  } cases[] = {{3, "x", "abcx"}, {5, "x", "abc  x"}, {1, "XYZ", "aXYZ"}, {0, "Z", "Zbc"},
               {-1, "Q", "abQ"}, {-10, "Q", "Qbc"}, {1, "", "abc"},     {0, "ABCDE", "ABCDE"}};
  for (const auto& c : cases)
    EXPECT_EQ(write_at("abc", c.index, krvvar_shared::make_string(c.value)), c.expected) << c.index << " " << c.value;
  EXPECT_EQ(write_at("abc", 1, krvvar_shared::make_int(42)), "a42");
  EXPECT_TRUE(warnings().empty());
}

TEST_F(StringObject, IndexWriteFarPastTheEndIsClamped) {
  const std::string padded = write_at("", 2000000, krvvar_shared::make_string("x"));
  EXPECT_EQ(warnings(), (std::vector<std::string>{"std.string[]: index 2000000 clamped to 1048576"}));
  ASSERT_EQ(padded.size(), 1048577u);
  EXPECT_EQ(padded.find_first_not_of(' '), 1048576u);
  EXPECT_EQ(padded.back(), 'x');
}

TEST_F(StringObject, ALongTextIsNeverCut) {
  const std::string long_text = std::string(1048580, 'a') + "tail";
  const std::string written = write_at(long_text, 2000000, krvvar_shared::make_string("x"));
  EXPECT_EQ(written, long_text + "x");
  EXPECT_EQ(warnings(), (std::vector<std::string>{"std.string[]: index 2000000 clamped to 1048584"}));
}

TEST_F(StringObject, KeyWrite) {
  EXPECT_EQ(write_key("abcb", "b", krvvar_shared::make_string("XX")), "aXXcXX");
  EXPECT_EQ(write_key("abcb", "b", list_of({"1"})), "a1cb");
  EXPECT_EQ(write_key("abcb", "b", list_of({"1", "2", "3"})), "a1c2");
  EXPECT_EQ(write_key("a", "a", krvvar_shared::make_string("aa")), "aa");
  EXPECT_EQ(write_key("bbb", "b", list_of({"b", "bb"})), "bbbb");
  EXPECT_EQ(write_key("abc", "zz", krvvar_shared::make_string("y")), "abc");
  EXPECT_EQ(write_key("abc", "b", krvvar_shared::make_int(7)), "a7c");
  EXPECT_TRUE(warnings().empty());
  EXPECT_EQ(write_key("abc", "", krvvar_shared::make_string("y")), "abc");
  EXPECT_EQ(warnings(),
            (std::vector<std::string>{"std.string[]: empty search key - nothing to search for, call ignored."}));
}

TEST_F(StringObject, ReplaceAll) {
  const struct {
    const char* text;
    const char* search;
    const char* replacement;
    const char* expected;
    bool replaced;
  } cases[] = {{"aaa", "aa", "b", "ba", true}, {"abc", "abcd", "x", "abc", false}, {"x.y.z", ".", "..", "x..y..z", true},
               {"abab", "ab", "", "", true}};
  for (const auto& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(krv_string_replace_all(text, c.search, c.replacement), c.replaced) << c.text;
    EXPECT_EQ(text, c.expected) << c.text;
  }
}

TEST_F(StringObject, ReleaseGivesLargeStorageBack) {
  for (const size_t reserved : {size_t{1000}, size_t{4000}}) {
    krv_std_string* raw = nullptr;
    {
      krvptr_strong<krv_std_string> object = krv_std_string::create();
      ASSERT_NE(object->pool_slot, krv_pool_heap_slot);
      object->text.reserve(reserved);
      object->text = "content";
      raw = object.get();
    }
    // The pool hands the same object out again, emptied.
    krvptr_strong<krv_std_string> again = krv_std_string::create();
    ASSERT_EQ(again.get(), raw);
    EXPECT_TRUE(again->text.empty());
    if (reserved <= krv_string_kept_capacity)
      EXPECT_GE(again->text.capacity(), reserved);
    else
      EXPECT_LT(again->text.capacity(), krv_string_kept_capacity);
  }
}

TEST_F(StringObject, OffThePoolStringsLiveOnTheHeap) {
  krv_native_call_scope heap_only;
  krvptr_strong<krv_std_string> object = krv_std_string::create("heap");
  EXPECT_EQ(object->pool_slot, krv_pool_heap_slot);
}

TEST_F(StringObject, StrongSelfIsAClone) {
  krvptr_strong<krv_std_string> object = krv_std_string::create("same text");
  krvptr_strong<krvobject_base> self;
  object->strong_self(self);
  ASSERT_TRUE(self);
  EXPECT_NE(self.get(), object.get());
  EXPECT_EQ(static_cast<krv_std_string*>(self.get())->text, "same text");
  EXPECT_TRUE(krv_std_string::create()->is_empty());
  EXPECT_EQ(object->element_count(), 9u);
  std::string text;
  object->to_string(text);
  EXPECT_EQ(text, "same text");
}

}  // namespace
