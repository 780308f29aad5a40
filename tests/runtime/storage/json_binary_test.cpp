// The container's "j11" section: its layout, round trips of nested and keyed contents, and the walks
// that must fail whole: cycles, nesting past the limit, values without a binary form, forged counts.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "../exec/exec_fixture.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/base/value_records.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/json_visit_guard.h"
#include "runtime/values/binary_format.h"

namespace {

using namespace std::string_literals;
using bytes = std::vector<uint8_t>;

const bytes value_header = {0x03, 'v', '1', '1', 0x00};
const bytes section_header = {0x03, 'j', '1', '1', 0x00};

bytes concat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// A readable form of a value: containers as [key=value ...] with "-" for an unkeyed entry.
std::string describe(krvvar& value) {
  if (value.type != KRVVAR_JSON) {
    std::string text;
    value.string_value(text);
    return std::string(krvvar_type_name(value.type)) + ":" + text;
  }
  std::string out = "[";
  for (const krv_std_json_entry& entry : value.object_ptr<krv_std_json>()->entries)
    out += (entry.has_key() ? "'" + std::string(entry.key_view()) + "'" : "-") + "=" + describe(*entry.value) + " ";
  return out + "]";
}

// `levels` sections on the wire, each a value holding the next as its only entry, around a None.
bytes forged_nest(int levels) {
  bytes out;
  for (int level = 0; level < levels; ++level) out = concat({out, value_header, {0x07}, section_header, {0x01, 0x00, 0x00}});
  return concat({out, value_header, {0x01}});
}

// `depth` containers, each holding the next as its only entry.
krvvar_shared nest(int depth) {
  krvvar_shared inner = krvvar_shared::make_json();
  for (int level = 1; level < depth; ++level) {
    krvvar_shared outer = krvvar_shared::make_json();
    outer->json_ptr(false)->push_value(inner);
    inner = outer;
  }
  return inner;
}

using JsonBinary = ValueTest;

TEST_F(JsonBinary, SectionLayout) {
  krvptr_strong<krv_std_json> container = krv_std_json::create();
  bytes out;
  EXPECT_TRUE(container->to_binary(out));
  EXPECT_EQ(out, concat({section_header, {0x00}}));

  krvvar_shared one = krvvar_shared::make_int(1);
  container->push_value(one);
  krvvar_shared two = krvvar_shared::make_int(2);
  container->push_value(two, "ab");
  out.clear();
  EXPECT_TRUE(container->to_binary(out));
  EXPECT_EQ(out, concat({section_header, {0x02, 0x00, 0x00}, value_header, {0x02, 0x02},  //
                         {0x02, 'a', 'b', 0x00}, value_header, {0x02, 0x04}}));
}

TEST_F(JsonBinary, NestedContentsRoundTrip) {
  krvvar_shared root = krvvar_shared::make_json();
  krv_std_json& top = *root->json_ptr(false);
  krvvar_shared text = krvvar_shared::make_string(std::string("x\0y", 3));
  top.push_value(text, "text");
  const uint8_t raw[] = {0, 255, 7};
  krvvar_shared buffer = krvvar_shared::make_buffer(raw, 3);
  top.push_value(buffer);
  krvvar_shared quarter = krvvar_shared::make_float(0.25);
  top.get_or_insert("")->set(quarter);  // an empty key reads back unkeyed
  krvvar_shared inner = krvvar_shared::make_json();
  krvvar_shared none = krvvar_shared::make_none();
  inner->json_ptr(false)->push_value(none, "n");
  krvvar_shared empty = krvvar_shared::make_json();
  inner->json_ptr(false)->push_value(empty);
  top.push_value(inner, "inner");

  bytes out;
  ASSERT_TRUE(root->to_binary(out));
  krvvar_shared back = krvvar_shared::make_int(3);
  ASSERT_TRUE(back->from_binary_bytes(out.data(), out.size()));
  EXPECT_EQ(describe(*back), "['text'=string:x\0y -=binary: -=float:0.250000 'inner'=['n'=none: -=[] ] ]"s);
  // describe shows a buffer only up to its first zero byte: compare the bytes themselves.
  EXPECT_EQ(back->json_ptr(false)->at(1)->object_ptr<krv_std_buffer>()->bytes, bytes(raw, raw + 3));
  EXPECT_EQ(back->json_ptr(false)->get_or_insert("inner")->size(), 2);
  EXPECT_FALSE(back->json_ptr(false)->has_key(""));
  EXPECT_TRUE(errors().empty() && warnings().empty());
}

TEST_F(JsonBinary, DepthLimitOnBothSides) {
  krvvar_shared deepest = nest(1024);
  bytes out;
  ASSERT_TRUE(deepest->to_binary(out));
  krvvar_shared back = krvvar_shared::make_none();
  ASSERT_TRUE(back->from_binary_bytes(out.data(), out.size()));
  bytes again;
  back->to_binary(again);
  EXPECT_EQ(again, out);
  EXPECT_TRUE(warnings().empty());

  const bytes forged = forged_nest(1025);
  EXPECT_FALSE(back->from_binary_bytes(forged.data(), forged.size()));
  EXPECT_EQ(errors(), std::vector<std::string>{framed("JSON binary nesting exceeds the maximum depth of 1024.")});
}

// A write that cannot be completed anywhere inside a container fails whole: the container's section is
// taken back (the value's own header stays, as for a refused buffer), with one report.
TEST_F(JsonBinary, FailedWritesLeaveNoSection) {
  const std::string cycle = "Cannot serialize JSON to binary: the value contains a reference to itself (cycle).";
  const std::string too_deep = "Cannot serialize JSON to binary: nesting exceeds the maximum depth of 1024.";
  const struct {
    const char* name;
    std::function<krvvar_shared()> make;
    std::string warning;
    std::string error;
  } cases[] = {
      {"holds itself", [] {
         krvvar_shared self = krvvar_shared::make_json();
         krvvar_shared inner = nest(3);
         krvvar_shared alias = self;
         inner->json_ptr(false)->at(0)->json_ptr(false)->push_value(alias);
         self->json_ptr(false)->push_value(inner);
         return self;
       }, cycle, ""},
      {"1,025 levels", [] { return nest(1025); }, too_deep, ""},
      {"an object without a binary form (as json.bool)", [] {
         krvvar_shared outer = nest(2);
         krvvar_shared object = krvvar_shared::make_typed(KRVVAR_OBJECT);
         static_cast<krvvar_object_record*>(object->payload.record)->object = krvvar_shared::make_string("t")->object_strong();
         outer->json_ptr(false)->at(0)->json_ptr(false)->push_value(object, "flag");
         return outer;
       }, "", "to_binary(): not implemented."},
      {"a write-held buffer", [] {
         krvvar_shared outer = krvvar_shared::make_json();
         krvvar_shared buffer = krvvar_shared::make_buffer(nullptr, 0);
         outer->json_ptr(false)->push_value(buffer);
         outer->json_ptr(false)->at(0)->object_ptr<krv_std_buffer>()->write_holds = 1;
         return outer;
       }, "", framed(krv_buffer_in_use_text)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    krvvar_shared value = c.make();
    bytes out = {0xAA};
    EXPECT_FALSE(value->to_binary(out));
    EXPECT_EQ(out, concat({{0xAA}, value_header, {0x07}}));
    EXPECT_EQ(warnings(), c.warning.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.warning});
    EXPECT_EQ(errors(), c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error});
    EXPECT_TRUE(krv_json_visit_state_of_thread().stack.empty());
    EXPECT_EQ(krv_json_visit_state_of_thread().failed, 0);
    bytes section = {0xAA};  // the container's own write leaves nothing at all
    EXPECT_FALSE(value->json_ptr(false)->to_binary(section));
    EXPECT_EQ(section, bytes{0xAA});
    value->json_ptr(false)->clear_recursive();  // breaks the cycle
  }
}

// A count is tested against what remains after it before any entry is read.
TEST_F(JsonBinary, CountsAndTagsAreCheckedFirst) {
  const std::string invalid = "from_binary(): invalid data: ";
  const struct {
    const char* name;
    bytes section;
    std::string error;
    int64_t entries_read;
  } cases[] = {
      {"count 2 with 3 bytes left", concat({section_header, {0x02, 0x00, 0x00, 0x00}}),
       invalid + "JSON member count larger than the remaining data", 0},
      {"count 2^32+1 taken as 1", concat({section_header, {0x81, 0x80, 0x80, 0x80, 0x10, 0x00, 0x00}}),
       invalid + "Varint peek out of bounds", 1},
      {"count 1 with 2 bytes left", concat({section_header, {0x01, 0x00, 0x00}}),
       invalid + "Varint peek out of bounds", 1},
      {"count near 2^64", concat({section_header, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}}),
       invalid + "JSON member count larger than the remaining data", 0},
      {"key longer than the rest", concat({section_header, {0x01, 0x09, 'k', 0x00}}),
       invalid + "Buffer underflow in read_string_view", 0},
      {"tag j10", {0x03, 'j', '1', '0', 0x00, 0x00}, framed("invalid section."), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    krvvar_shared cell = krvvar_shared::make_none();
    const bytes input = concat({value_header, {0x07}, c.section});
    EXPECT_FALSE(cell->from_binary_bytes(input.data(), input.size()));
    EXPECT_EQ(errors(), std::vector<std::string>{c.error});
    EXPECT_EQ(cell->type, KRVVAR_JSON);
    EXPECT_EQ(cell->size(), c.entries_read);
  }
}

// On a running task the reader's refusals of a section stop the task: they are errors no catch block
// takes, so they leave the frame's status alone, unlike a catchable error.
using JsonBinaryOnATask = ExecTest;

TEST_F(JsonBinaryOnATask, RefusedSectionsAreNotCatchable) {
  krvptr_strong<krv_task> task = make_current_root();
  krv_vm_context& frame = *task->root_frame();
  const bytes inputs[] = {concat({value_header, {0x07, 0x03, 'j', '1', '0', 0x00, 0x00}}), forged_nest(1025)};
  for (const bytes& input : inputs) {
    frame.status = 0;
    krvvar_shared cell = krvvar_shared::make_none();
    EXPECT_FALSE(cell->from_binary_bytes(input.data(), input.size()));
    EXPECT_EQ(frame.status, 0u);
  }
  krv_std_json::create()->at(0);  // a catchable error, for contrast
  EXPECT_NE(frame.status, 0u);
}

}  // namespace
