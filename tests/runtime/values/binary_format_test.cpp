// The binary value format: golden bytes of every type, read-back, the reader's refusals with their exact
// texts, and the LEB128 limits.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "runtime/base/krvvar_shared.h"
#include "runtime/values/binary_format.h"
#include "value_makers.h"
#include "value_test_vm.h"

namespace {

using bytes = std::vector<uint8_t>;

// The value header 03 "v11" 00 followed by `rest`.
bytes value_bytes(std::initializer_list<uint8_t> rest) {
  bytes out = {0x03, 'v', '1', '1', 0x00};
  for (uint8_t byte : rest) out.push_back(byte);
  return out;
}

value_maker typed(uint8_t type) {
  return [type] { return krvvar_shared::make_typed(type); };
}
value_maker buffer_of(std::string content) {
  return [content] {
    return krvvar_shared::make_buffer(reinterpret_cast<const uint8_t*>(content.data()), content.size());
  };
}
value_maker ref_to(value_maker target) {
  return [target] {
    krvvar_shared held = target();
    krvvar_shared ref = krvvar_shared::make_none();
    ref->assign_ref(held.get());
    return ref;
  };
}

using BinaryFormat = ValueTest;

// Each value's bytes, the writer's warning, and what reading the bytes back gives: a supported value
// writes the same bytes again, an unsupported one reads as None with the reader's warning line. (A
// refused buffer keeps its header too: json_binary_test.)
TEST_F(BinaryFormat, GoldenBytesAndReadBack) {
  const char* const no_warning = "";
  const struct {
    const char* name;
    value_maker value;
    bytes expected;
    const char* write_warning;
    const char* read_warning;
  } cases[] = {
      {"none", none(), value_bytes({0x01}), no_warning, no_warning},
      {"five", integer(5), value_bytes({0x02, 0x0A}), no_warning, no_warning},
      {"minus one", integer(-1), value_bytes({0x02, 0x01}), no_warning, no_warning},
      {"largest i64", integer(std::numeric_limits<int64_t>::max()),
       value_bytes({0x02, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}), no_warning, no_warning},
      {"smallest i64", integer(std::numeric_limits<int64_t>::min()),
       value_bytes({0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}), no_warning, no_warning},
      {"float 1.5", number(1.5), value_bytes({0x03, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}), no_warning, no_warning},
      {"string hi", text("hi"), value_bytes({0x05, 0x02, 'h', 'i', 0x00}), no_warning, no_warning},
      {"string with zero bytes", text(std::string("a\0b\0", 4)), value_bytes({0x05, 0x04, 'a', 0, 'b', 0, 0}),
       no_warning, no_warning},
      {"empty buffer", buffer_of(""), value_bytes({0x06, 0x00}), no_warning, no_warning},
      {"buffer", buffer_of(std::string("\0\1\xFF", 3)), value_bytes({0x06, 0x03, 0x00, 0x01, 0xFF}), no_warning,
       no_warning},
      {"ref to a string", ref_to(text("hi")), value_bytes({0x05, 0x02, 'h', 'i', 0x00}), no_warning, no_warning},
      {"empty container", typed(KRVVAR_JSON), value_bytes({0x07, 0x03, 'j', '1', '1', 0x00, 0x00}), no_warning,
       no_warning},
      {"error", typed(KRVVAR_ERR), value_bytes({0x00}), "to_binary(): KRVVAR_ERR not supported.",
       "from_binary(): type 0 cannot be deserialized, reading it as None."},
      {"class definition", typed(KRVVAR_CLASS_DEF), value_bytes({0x0B}), "to_binary(): Unknown type.",
       "from_binary(): type 11 cannot be deserialized, reading it as None."},
      {"function", typed(KRVVAR_FUNCTION), value_bytes({0x0C}), "to_binary(): KRVVAR_FUNCTION not implemented.",
       "from_binary(): type 12 cannot be deserialized, reading it as None."},
      {"native function", typed(KRVVAR_EXT_FUNCTION), value_bytes({0x0D}),
       "to_binary(): KRVVAR_EXT_FUNCTION not implemented.",
       "from_binary(): type 13 cannot be deserialized, reading it as None."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    bytes out = {0xAA};  // appended to, never replaced
    EXPECT_TRUE(c.value()->to_binary(out));
    bytes expected = {0xAA};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(out, expected);
    EXPECT_EQ(warnings(), *c.write_warning ? std::vector<std::string>{c.write_warning} : std::vector<std::string>{});

    log.clear();
    krvvar_shared back = krvvar_shared::make_string("previous");
    bytes input = c.expected;
    input.insert(input.end(), {0xFF, 0x00});  // bytes after a complete value are not looked at
    ASSERT_TRUE(back->from_binary_bytes(input.data(), input.size()));
    EXPECT_EQ(warnings(), *c.read_warning ? std::vector<std::string>{c.read_warning} : std::vector<std::string>{});
    bytes again;
    if (*c.read_warning) {
      EXPECT_EQ(back->type, KRVVAR_NONE);
    } else {
      back->to_binary(again);
      EXPECT_EQ(again, c.expected);
    }
  }
}

// Malformed or refused input: the result is false, and the reason is the one line given (through
// from_binary_bytes, exceptions become "from_binary(): invalid data: " lines).
TEST_F(BinaryFormat, ReaderRefusals) {
  const std::string invalid = "from_binary(): invalid data: ";
  const struct {
    const char* name;
    bytes input;
    std::string error;    // the error line; empty when the reason is a warning
    std::string warning;
  } cases[] = {
      {"type 9", value_bytes({0x09}), "from_binary(): unknown type 9", ""},
      {"type 4", value_bytes({0x04}), "from_binary(): unknown type 4", ""},
      {"type 18", value_bytes({0x12}), "from_binary(): unknown type 18", ""},
      {"two-byte type 200", value_bytes({0xC8, 0x01}), "from_binary(): unknown type 200", ""},
      {"object", value_bytes({0x08}), "", "Implement object deserialization in from_binary!"},
      {"tag v10", {0x03, 'v', '1', '0', 0x00, 0x01}, "from_binary(): invalid section.", ""},
      {"tag of another length", {0x02, 'v', '1', 0x00, 0x01}, "from_binary(): invalid section.", ""},
      {"nothing", {}, invalid + "Varint peek out of bounds", ""},
      {"header cut short", {0x03, 'v', '1'}, invalid + "Buffer underflow in check_section", ""},
      {"header without terminator", {0x03, 'v', '1', '1'}, invalid + "Buffer underflow in check_section", ""},
      {"no type", value_bytes({}), invalid + "Varint peek out of bounds", ""},
      {"string of 5 with 3 left", value_bytes({0x05, 0x05, 'a', 'b', 'c'}), invalid + "Buffer underflow in read_string_view", ""},
      {"string without terminator", value_bytes({0x05, 0x02, 'a', 'b'}), invalid + "Buffer underflow in read_string_view", ""},
      {"string length 2^64-1",
       value_bytes({0x05, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 'a'}),
       invalid + "Buffer underflow in read_string_view", ""},
      {"buffer of 5 with 1 left", value_bytes({0x06, 0x05, 0x01}), invalid + "Buffer underflow in read_bytes_view", ""},
      {"buffer length cut short", value_bytes({0x06, 0x80}), invalid + "Buffer underflow in read_bytes_view", ""},
      {"buffer length 2^64-1",
       value_bytes({0x06, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 'a'}),
       invalid + "Buffer underflow in read_bytes_view", ""},
      {"float of 3 bytes", value_bytes({0x03, 0, 0, 0}), invalid + "Buffer underflow (trivial)", ""},
      {"integer of ten continued bytes",
       value_bytes({0x02, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}),
       invalid + "Varint too large", ""},
      {"integer cut short", value_bytes({0x02, 0x80}), invalid + "Varint peek out of bounds", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    krvvar_shared cell = krvvar_shared::make_int(7);
    EXPECT_FALSE(cell->from_binary_bytes(c.input.data(), c.input.size()));
    EXPECT_EQ(errors(), c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error});
    EXPECT_EQ(warnings(), c.warning.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.warning});
  }
}

TEST_F(BinaryFormat, ReadVarintLeavesThePosition) {
  const bytes input = {0x00, 0xE5, 0x8E, 0x26, 0x7F};
  uint64_t length = 0;
  EXPECT_EQ(read_varint(input.data(), input.size(), 1, length), 624485u);
  EXPECT_EQ(length, 3u);
  // A tenth byte's bits beyond 64 drop off; it must not continue.
  const bytes widest = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
  EXPECT_EQ(read_varint(widest.data(), widest.size(), 0, length), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(length, 10u);
  EXPECT_THROW(read_varint(input.data(), input.size(), 5, length), std::runtime_error);
  EXPECT_THROW(read_varint(input.data(), input.size(), std::numeric_limits<uint64_t>::max(), length),
               std::runtime_error);
}

}  // namespace
