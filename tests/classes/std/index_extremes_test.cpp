// The index, count, width and part-count arguments of the std.buffer and std.string methods at the
// extremes of a script int: each gives its result or its error, with no signed overflow on the way (the
// asan preset's UBSan halts on one).
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "runtime/storage/buffer_object.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"
#include "value_test_vm.h"

namespace {

constexpr int64_t lowest = std::numeric_limits<int64_t>::min();
constexpr int64_t highest = std::numeric_limits<int64_t>::max();
constexpr int64_t past_u32 = int64_t{1} << 32;

using arg = std::variant<int64_t, const char*>;

class IndexExtremes : public ValueTest {
 protected:
  void SetUp() override {
    ValueTest::SetUp();
    krv_std_buffer::script_register_internal();
    krv_std_string::script_register_internal();
  }

  template <class T>
  static krv_function_def& method(std::string_view name) {
    const int64_t index = T::statics().names.find(name);
    EXPECT_GE(index, 0) << name;
    return *T::statics().members.at(static_cast<size_t>(index))->function_descriptor();
  }

  // The result as text ("self" for the receiver, lists in brackets, long texts by their size), then
  // " -> " and the receiver's text or bytes afterwards, then the errors and warnings it raised.
  template <class T>
  std::string call(krvptr_strong<T> receiver, std::string_view name, const std::vector<arg>& args) {
    std::vector<krvvar_shared> values;
    for (const arg& a : args)
      values.push_back(std::holds_alternative<int64_t>(a) ? krvvar_shared::make_int(std::get<int64_t>(a))
                                                          : krvvar_shared::make_string(std::get<const char*>(a)));
    krv_vm_context frame;
    frame.native_self = receiver.get();
    const krvvar_shared result = method<T>(name).callable(frame, values);
    std::string after;
    receiver->to_string(after);
    std::string text = shown(*result, receiver.get()) + " -> " + after;
    for (const std::string& report : errors()) text += " | " + report;
    for (const std::string& report : warnings()) text += " | " + report;
    log.clear();
    return text;
  }

  static std::string shown(krvvar& value, const krvobject_base* receiver) {
    switch (value.type) {
      case KRVVAR_NONE: return "None";
      case KRVVAR_INT: return std::to_string(value.int_value());
      case KRVVAR_STRING: {
        const std::string text = value.get_string();
        return text.size() > 64 ? "<" + std::to_string(text.size()) + " bytes>" : "'" + text + "'";
      }
      case KRVVAR_JSON: {
        std::string list;
        for (const krv_std_json_entry& entry : value.object_ptr<krv_std_json>()->entries)
          list += (list.empty() ? "" : ",") + shown(*entry.value, receiver);
        return "[" + list + "]";
      }
      default: return value.object_ptr() == receiver ? "self" : "other";
    }
  }
};

TEST_F(IndexExtremes, BufferAndStringMethods) {
  const auto refused = [](const std::string& error) { return "None -> korva | " + framed(error); };
  const auto range = [&](const std::string& call) { return refused(call + " is out of range (buffer size 5)"); };
  const struct {
    bool buffer;  // receiver: a std.buffer holding "korva", else a std.string "korva"
    const char* method;
    std::vector<arg> args;
    std::string expected;
  } cases[] = {
      {true, "string", {lowest}, range("string(-9223372036854775808)")},
      {true, "string", {highest}, range("string(9223372036854775807)")},
      {true, "string", {past_u32}, range("string(4294967296)")},
      {true, "string", {lowest, int64_t{1}}, range("string(-9223372036854775808, 1)")},
      {true, "string", {int64_t{1}, highest}, range("string(1, 9223372036854775807)")},
      {true, "string", {int64_t{1}, lowest}, range("string(1, -9223372036854775808)")},
      {true, "string", {int64_t{5}}, "'' -> korva"},
      {true, "read", {"u64", highest}, refused("index 9223372036854775807 is out of range (0 elements of u64)")},
      {true, "read", {"u8", past_u32}, refused("index 4294967296 is out of range (5 elements of u8)")},
      {true, "write", {"u8", lowest, int64_t{1}}, refused("write() expects an element index >= 0")},
      {true, "resize", {lowest}, refused("resize() expects a size >= 0")},
      {true, "push", {highest, lowest}, "self -> korva\xff"},
      {false, "substr", {lowest}, "'korva' -> korva"},
      {false, "substr", {highest}, "'' -> korva"},
      {false, "substr", {int64_t{1}, highest}, "'orva' -> korva"},
      {false, "substr", {lowest, lowest}, "'korva' -> korva"},
      {false, "substr_inplace", {past_u32, int64_t{1}}, "1 -> "},
      {false, "insert", {lowest, "x"}, "self -> korva"},
      {false, "insert", {highest, "x"}, "self -> korva"},
      {false, "find", {"a", lowest}, "4 -> korva"},
      {false, "find_first_of", {"k", highest}, "-1 -> korva"},
      {false, "find_first_not_of", {"k", past_u32}, "-1 -> korva"},
      {false, "rfind", {"k", lowest}, "0 -> korva"},
      {false, "rfind", {"a", highest}, "4 -> korva"},
      {false, "find_last_of", {"o", lowest}, "1 -> korva"},
      {false, "find_last_not_of", {"a", highest}, "3 -> korva"},
      {false, "split", {"r", lowest}, "['ko','va'] -> korva"},
      {false, "split", {"r", highest}, "['ko','va'] -> korva"},
      {false, "smart_split", {"r", highest}, "['ko','va'] -> korva"},
      {false, "ljust", {lowest}, "'korva' -> korva"},
      {false, "center", {past_u32 - 1, "-"},
       "<1048576 bytes> -> korva | center: width 4294967295 clamped to 1048576"},
  };
  for (const auto& c : cases) {
    std::string seen;
    if (c.buffer) {
      krvptr_strong<krv_std_buffer> buffer = krv_std_buffer::create();
      buffer->bytes = {'k', 'o', 'r', 'v', 'a'};
      seen = call(buffer, c.method, c.args);
    } else {
      seen = call(krv_std_string::create("korva"), c.method, c.args);
    }
    EXPECT_EQ(seen, c.expected) << c.method;
  }
}

}  // namespace
