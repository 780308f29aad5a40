// std.buffer through its method definitions and slots: the method table, results and error texts for given
// bytes and arguments, the refusals under launch holds, and the fate of held buffers torn down or recycled.
#include <gtest/gtest.h>

#include <limits>
#include <variant>

#include "classes/kernel/kernel_memory_access.h"
#include "runtime/base/value_records.h"
#include "runtime/storage/json_object.h"
#include "value_test_vm.h"

namespace {

using bytes = std::vector<uint8_t>;
using arg = std::variant<int64_t, double, const char*, bytes /* a std.json list of ints */>;

krvvar_shared make_arg(const arg& a) {
  if (auto* number = std::get_if<int64_t>(&a)) return krvvar_shared::make_int(*number);
  if (auto* real = std::get_if<double>(&a)) return krvvar_shared::make_float(*real);
  if (auto* text = std::get_if<const char*>(&a)) return krvvar_shared::make_string(*text);
  krvvar_shared list = krvvar_shared::make_json();
  for (uint8_t b : std::get<bytes>(a)) list->object_ptr<krv_std_json>()->push_empty() = krvvar_shared::make_int(b + 256);
  return list;
}

std::string shown(const krvvar_shared& value) {
  switch (value->type) {
    case KRVVAR_NONE: return "None";
    case KRVVAR_INT: return std::to_string(value->int_value());
    case KRVVAR_FLOAT: return std::to_string(value->float_value());
    case KRVVAR_STRING: return "'" + value->get_string() + "'";
    case KRVVAR_OBJECT: return "buffer";
    default: return "type " + std::to_string(value->type);
  }
}

class BufferMethods : public ValueTest {
 protected:
  void SetUp() override {
    ValueTest::SetUp();
    krv_std_buffer::script_register_internal();
  }
  static krv_function_def& method(std::string_view name) {
    const int64_t index = krv_std_buffer::statics().names.find(name);
    EXPECT_GE(index, 0) << name;
    return *krv_std_buffer::statics().members.at(static_cast<size_t>(index))->function_descriptor();
  }
  krvvar_shared call(krv_std_buffer& self, std::string_view name, const std::vector<arg>& args) {
    std::vector<krvvar_shared> values;
    for (const arg& a : args) values.push_back(make_arg(a));
    krv_vm_context frame;
    frame.native_self = &self;
    return method(name).callable(frame, values);
  }
  // The one error raised, or "" when none was.
  std::string raised() {
    const std::vector<std::string> all = errors();
    log.clear();
    return all.empty() ? "" : all.size() == 1 ? all[0] : "several errors";
  }
};

TEST_F(BufferMethods, TableAndFactory) {
  std::string listed;
  for (const auto& member : krv_std_buffer::statics().members) {
    const krv_function_def& f = *member->function_descriptor();
    listed += std::string(f.name) + " " + std::to_string(f.min_args) + ".." + std::to_string(f.max_args) + " " +
              std::to_string(f.param_help.size()) + ",";
  }
  EXPECT_EQ(listed, "size 0..0 0,clear 0..0 0,resize 1..2 2,fill 1..1 1,push 1..999 1,append 1..1 1,string 0..2 2,"
                    "read 2..2 2,write 3..3 3,");
  EXPECT_EQ(method("append").param_help[0], "data: std.buffer | string | json");
  ASSERT_TRUE(krv_global().class_factories->contains("std.buffer"));
  krvptr_strong<krvobject_base> made = (*krv_global().class_factories)["std.buffer"]();
  EXPECT_NE(krvptr_cast<krv_std_buffer>(made.get()), nullptr);
}

TEST_F(BufferMethods, ResultsBytesAndErrors) {
  const bytes five = {1, 2, 0, 'x', 'y'};
  constexpr int64_t lowest = std::numeric_limits<int64_t>::min(), highest = std::numeric_limits<int64_t>::max();
  const struct {
    bytes before;
    const char* method;
    std::vector<arg> args;
    std::string result;
    bytes after;
    const char* error;
  } cases[] = {
      {{}, "push", {int64_t{256}, int64_t{-1}, 2.9}, "buffer", {0x00, 0xFF, 0x02}, ""},
      {{}, "resize", {2.0}, "None", {}, "resize() expects a size >= 0"},
      {{7}, "resize", {int64_t{-1}}, "None", {7}, "resize() expects a size >= 0"},
      {{7}, "resize", {int64_t{3}, int64_t{300}}, "buffer", {7, 0x2C, 0x2C}, ""},
      {five, "resize", {int64_t{2}}, "buffer", {1, 2}, ""},
      {five, "fill", {int64_t{0x141}}, "buffer", {0x41, 0x41, 0x41, 0x41, 0x41}, ""},
      {five, "clear", {}, "buffer", {}, ""},
      {{1}, "append", {"a\0b"}, "buffer", {1, 'a'}, ""},
      {{1}, "append", {bytes{2, 255}}, "buffer", {1, 2, 255}, ""},
      {{1}, "append", {int64_t{3}}, "None", {1}, "append() expects a std.buffer, a string or a list of byte values"},
      {five, "size", {}, "5", five, ""},
      {five, "string", {int64_t{2}}, std::string("'\0xy'", 5), five, ""},
      {five, "string", {int64_t{6}}, "None", five, "string(6) is out of range (buffer size 5)"},
      {five, "string", {int64_t{1}, int64_t{5}}, "None", five, "string(1, 5) is out of range (buffer size 5)"},
      // Indexes and counts at the extremes of a script int: no signed overflow on the way.
      {five, "string", {lowest}, "None", five, "string(-9223372036854775808) is out of range (buffer size 5)"},
      {five, "string", {highest}, "None", five, "string(9223372036854775807) is out of range (buffer size 5)"},
      {five, "string", {lowest, int64_t{1}}, "None", five,
       "string(-9223372036854775808, 1) is out of range (buffer size 5)"},
      {five, "string", {int64_t{1}, highest}, "None", five,
       "string(1, 9223372036854775807) is out of range (buffer size 5)"},
      {five, "string", {int64_t{5}, lowest}, "None", five,
       "string(5, -9223372036854775808) is out of range (buffer size 5)"},
      {five, "string", {int64_t{1} << 32}, "None", five, "string(4294967296) is out of range (buffer size 5)"},
      {five, "read", {"u64", highest}, "None", five, "index 9223372036854775807 is out of range (0 elements of u64)"},
      {five, "write", {"u8", lowest, int64_t{1}}, "None", five, "write() expects an element index >= 0"},
      {five, "resize", {lowest}, "None", five, "resize() expects a size >= 0"},
      {{}, "push", {highest, lowest}, "buffer", {0xFF, 0x00}, ""},
      {five, "read", {"u16", int64_t{1}}, "30720", five, ""},
      {five, "read", {"u16", int64_t{2}}, "None", five, "index 2 is out of range (2 elements of u16)"},
      {five, "read", {"bool", int64_t{0}}, "None", five,
       "unknown element type 'bool' (i8, u8, i16, u16, i32, u32, i64, u64, f32, f64)"},
      {five, "read", {"i8", int64_t{-1}}, "None", five, "read() expects an element index >= 0"},
      {five, "read", {"i8", 1.0}, "None", five, "read() expects an element index >= 0"},
      {{0xFE}, "read", {"i8", int64_t{0}}, "-2", {0xFE}, ""},
      {bytes(8, 0xFF), "read", {"u64", int64_t{0}}, "-1", bytes(8, 0xFF), ""},
      {{0, 0, 0xC0, 0x3F}, "read", {"f32", int64_t{0}}, "1.500000", {0, 0, 0xC0, 0x3F}, ""},
      {{0, 0}, "write", {"i16", int64_t{0}, int64_t{-2}}, "buffer", {0xFE, 0xFF}, ""},
      {{0, 0, 0, 0}, "write", {"f32", int64_t{0}, int64_t{1}}, "buffer", {0, 0, 0x80, 0x3F}, ""},
      {{0}, "write", {"u8", int64_t{0}, int64_t{256}}, "None", {0}, "expects u8 but 256 does not fit"},
      {{0}, "write", {"u8", int64_t{0}, 2.5}, "None", {0},
       "expects u8 but got float (~~x makes an int of a float x, dropping its fraction)"},
      {{0}, "write", {"write", int64_t{0}, int64_t{1}}, "None", {0},
       "unknown element type 'write' (i8, u8, i16, u16, i32, u32, i64, u64, f32, f64)"},
      // Growth past the VM's bound (8 bytes here) is refused whole, the buffer left as it was.
      {five, "resize", {int64_t{8}}, "buffer", {1, 2, 0, 'x', 'y', 0, 0, 0}, ""},
      {five, "resize", {int64_t{9}}, "None", five, "resize() would make the buffer 9 bytes, over the limit of 8 bytes"},
      {five, "push", {int64_t{1}, int64_t{2}, int64_t{3}, int64_t{4}}, "None", five,
       "push() would make the buffer 9 bytes, over the limit of 8 bytes"},
      {five, "append", {"abcd"}, "None", five, "append() would make the buffer 9 bytes, over the limit of 8 bytes"},
      {five, "append", {bytes{1, 2, 3, 4}}, "None", five,
       "append() would make the buffer 9 bytes, over the limit of 8 bytes"},
  };
  vm.state().settings.max_buffer_bytes = 8;
  for (const auto& c : cases) {
    krvptr_strong<krv_std_buffer> buffer = krv_std_buffer::create();
    buffer->bytes = c.before;
    EXPECT_EQ(shown(call(*buffer, c.method, c.args)), c.result) << c.method;
    EXPECT_EQ(buffer->bytes, c.after) << c.method;
    EXPECT_EQ(raised(), c.error[0] ? framed(c.error) : "") << c.method;
  }
  // The default bound: a resize to 4 GiB - 1 takes nothing.
  vm.state().settings.max_buffer_bytes = krv_default_max_buffer_bytes;
  krvptr_strong<krv_std_buffer> buffer = krv_std_buffer::create();
  EXPECT_EQ(shown(call(*buffer, "resize", {int64_t{4294967295}})), "None");
  EXPECT_EQ(raised(), framed("resize() would make the buffer 4294967295 bytes, over the limit of 1073741824 bytes"));
}

TEST_F(BufferMethods, AppendingItselfDoublesOnce) {
  // The empty buffer has no storage at all: nothing is copied (UBSan checks the copy's pointers).
  for (const bytes& before : {bytes{1, 2, 3}, bytes{}}) {
    krvptr_strong<krv_std_buffer> buffer = krv_std_buffer::create();
    bytes(before).swap(buffer->bytes);  // no storage left from the buffer's earlier use
    std::vector<krvvar_shared> args = {krvvar_shared::make_object(buffer)};
    krv_vm_context frame;
    frame.native_self = buffer.get();
    method("append").callable(frame, args);
    bytes doubled = before;
    doubled.insert(doubled.end(), before.begin(), before.end());
    EXPECT_EQ(buffer->bytes, doubled);
  }
}

TEST_F(BufferMethods, HoldsRefuseWhatTheyMust) {
  // Per hold kind, the methods that still work; every other one is refused with the in-use text.
  const std::vector<std::pair<const char*, std::vector<arg>>> calls = {
      {"size", {}}, {"clear", {}}, {"resize", {int64_t{1}}}, {"fill", {int64_t{1}}}, {"push", {int64_t{1}}},
      {"append", {"x"}}, {"string", {}}, {"read", {"u8", int64_t{0}}}, {"write", {"u8", int64_t{0}, int64_t{9}}}};
  for (bool write_hold : {false, true}) {
    std::string allowed;
    for (const auto& [name, args] : calls) {
      krvptr_strong<krv_std_buffer> buffer = krv_std_buffer::create();
      buffer->bytes = {7, 0};
      (write_hold ? buffer->write_holds : buffer->read_holds) = 1;
      call(*buffer, name, args);
      const std::string error = raised();
      if (error.empty()) {
        allowed += std::string(name) + ",";
      } else {
        EXPECT_EQ(error, framed(krv_buffer_in_use_text)) << name;
      }
      EXPECT_EQ(buffer->bytes, (bytes{7, 0})) << name;
    }
    EXPECT_EQ(allowed, write_hold ? "size," : "size,string,read,") << write_hold;
  }
  krvptr_strong<krv_std_buffer> buffer = krv_std_buffer::create(), source = krv_std_buffer::create();
  buffer->bytes = {7};
  krvvar_shared out;
  std::string text;
  buffer->read_holds = 1;
  buffer->get_index(out, -1);
  buffer->to_string(text);
  EXPECT_EQ(shown(out) + text, "7\a");
  krvvar_shared nine = krvvar_shared::make_int(9);
  buffer->set_index(0, nine);
  EXPECT_EQ(raised(), framed(krv_buffer_in_use_text));
  buffer->write_holds = 1;
  buffer->get_index(out, 0);
  buffer->to_string(text);
  EXPECT_EQ(raised(), framed(krv_buffer_in_use_text));
  EXPECT_EQ(text, "<std.buffer in use by a kernel launch>");
  source->write_holds = 1;
  EXPECT_EQ(shown(call(*source, "size", {})), "0");
  std::vector<krvvar_shared> args = {krvvar_shared::make_object(source)};
  krv_vm_context frame;
  krvptr_strong<krv_std_buffer> target = krv_std_buffer::create();
  frame.native_self = target.get();
  method("append").callable(frame, args);
  EXPECT_EQ(raised(), framed(krv_buffer_in_use_text));
}

TEST_F(BufferMethods, IndexSlots) {
  krvptr_strong<krv_std_buffer> buffer = krv_std_buffer::create();
  buffer->bytes = {1, 2, 3, 4, 5};
  std::string results;
  for (int64_t index : {-1, 0, 4, 5, -5, -6}) {
    krvvar_shared out;
    buffer->get_index(out, index);
    results += shown(out) + ",";
  }
  EXPECT_EQ(results, "5,1,5,None,1,None,");
  krvvar_shared value = krvvar_shared::make_int(0x1FF);
  buffer->set_index(-5, value);
  EXPECT_EQ(buffer->bytes[0], 0xFF);
  EXPECT_FALSE(value);
  value = krvvar_shared::make_int(1);
  buffer->set_index(-6, value);
  EXPECT_EQ(raised(), framed("Index -1 is out of range!"));
}

TEST_F(BufferMethods, HeldBuffersOutliveForcedTeardownAndComeBackClean) {
  krvptr_strong<krv_std_buffer> buffer = krv_std_buffer::create();
  buffer->bytes = {1, 2, 3};
  buffer->read_holds = 1;
  krvvar_shared value = krvvar_shared::make_object(buffer);
  value->flags |= krvvar_release_contents;
  value.release();
  ASSERT_EQ(vm.state().deferred_releases.size(), 1u);
  EXPECT_EQ(buffer->bytes, (bytes{1, 2, 3}));
  buffer->read_holds = 0;
  vm.release_deferred();

  // Released with holds still set, a pooled buffer comes back from the pool without them.
  krv_std_buffer* raw = buffer.get();
  raw->write_holds = 2;
  raw->worker_holds = 3;
  buffer.release();
  krvptr_strong<krv_std_buffer> reused = krv_std_buffer::create();
  ASSERT_EQ(reused.get(), raw);
  EXPECT_EQ(reused->read_holds + reused->write_holds + reused->worker_holds, 0u);
}

}  // namespace
