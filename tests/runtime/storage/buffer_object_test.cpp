// std.buffer storage: its text form with and without a writing launch, sizes, and pooled release.
#include <gtest/gtest.h>

#include "runtime/storage/buffer_object.h"
#include "value_test_vm.h"

namespace {

using BufferObject = ValueTest;

TEST_F(BufferObject, TextStopsAtTheFirstZeroByteAndHidesWrittenBytes) {
  krvptr_strong<krv_std_buffer> buffer = krv_std_buffer::create();
  buffer->bytes = {'a', 'b', 0, 'c'};
  std::string text;
  buffer->to_string(text);
  EXPECT_EQ(text, "ab");
  buffer->read_holds = 1;
  buffer->to_string(text);
  EXPECT_EQ(text, "ab");
  buffer->write_holds = 1;
  buffer->to_string(text);
  EXPECT_EQ(text, "<std.buffer in use by a kernel launch>");
  EXPECT_TRUE(buffer->held());
  buffer->read_holds = buffer->write_holds = 0;
  EXPECT_EQ(buffer->element_count(), 4u);
  EXPECT_FALSE(buffer->is_empty());
}

TEST_F(BufferObject, ReleaseKeepsSmallStorageOnly) {
  for (const size_t reserved : {size_t{512}, size_t{5000}}) {
    krv_std_buffer* raw = nullptr;
    {
      krvptr_strong<krv_std_buffer> buffer = krv_std_buffer::create();
      ASSERT_NE(buffer->pool_slot, krv_pool_heap_slot);
      buffer->bytes.resize(reserved);
      raw = buffer.get();
    }
    krvptr_strong<krv_std_buffer> again = krv_std_buffer::create();
    ASSERT_EQ(again.get(), raw);
    EXPECT_TRUE(again->bytes.empty());
    EXPECT_EQ(again->bytes.capacity() >= reserved, reserved <= krv_buffer_kept_capacity);
  }
}

}  // namespace
