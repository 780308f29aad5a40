// Kernel memory as scripts reach it: typed reads and writes through a view (range, holds, read-only
// memory, REF chains), the scalar conversion's messages, and the view of a buffer or of an object that
// lends its bytes through the memory interface.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "classes/kernel/kernel_arguments.h"
#include "classes/kernel/kernel_memory_access.h"
#include "kernel/compiler/types.h"
#include "value_test_vm.h"

namespace {

using KernelMemory = ValueTest;

// An object that lends 8 bytes of its own, read-only when asked, and answers in_use as told.
class lender : public krvobject<lender, CLASS_STRING<"test.bitmap">>, public krv_kernel_memory {
 public:
  static void script_register() {}
  void* query_interface(uint64_t hash) override {
    return hash == krvptr_type_hash<krv_kernel_memory>() ? static_cast<krv_kernel_memory*>(this) : nullptr;
  }
  bool get_memory(uint8_t** base, uint64_t* size, bool writable) override {
    if (writable && read_only) return false;
    *base = pixels;
    *size = sizeof pixels;
    return true;
  }
  void hold(bool, int) override {}
  bool in_use(bool writable) override { return writable ? busy_for_writing : busy_for_reading; }

  uint8_t pixels[8] = {};
  bool read_only = false, busy_for_reading = false, busy_for_writing = false;
};

TEST_F(KernelMemory, ReadsAndWritesThroughAView) {
  uint8_t bytes[8] = {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  krv_kernel_memory_view view;
  view.base = bytes;
  view.size = sizeof bytes;
  view.in_use_text = "busy";
  krvvar_shared out = krvvar_shared::make_none();
  std::string message;
  EXPECT_TRUE(krv_kernel_memory_read(view, 4, KRVK_I32, out, message));
  EXPECT_EQ(out->int_value(), -1);
  EXPECT_FALSE(krv_kernel_memory_read(view, 5, KRVK_I32, out, message));
  EXPECT_EQ(message, "offset 5 is out of range (buffer size 8)");
  EXPECT_FALSE(krv_kernel_memory_read(view, UINT64_MAX - 1, KRVK_I32, out, message));
  EXPECT_EQ(message, "offset 18446744073709551614 is out of range (buffer size 8)");

  // A write through a REF to a REF stores the number; a failed conversion leaves the bytes alone.
  krvvar_shared number = krvvar_shared::make_int(0x0102), first = krvvar_shared::make_none(),
                second = krvvar_shared::make_none();
  first->assign_ref(number.get());
  second->assign_ref(first.get());
  EXPECT_TRUE(krv_kernel_memory_write(view, 0, KRVK_U16, second, message));
  EXPECT_EQ(bytes[0] + 256 * bytes[1], 0x0102);
  EXPECT_FALSE(krv_kernel_memory_write(view, 0, KRVK_I8, krvvar_shared::make_int(300), message));
  EXPECT_EQ(message, "expects i8 but 300 does not fit");
  EXPECT_EQ(bytes[0], 2);

  view.writable = 0;
  EXPECT_FALSE(krv_kernel_memory_write(view, 0, KRVK_U8, number, message));
  EXPECT_EQ(message, "the memory is read only");
  view.held = 1;
  EXPECT_FALSE(krv_kernel_memory_write(view, 99, KRVK_U8, number, message));
  EXPECT_EQ(message, "busy");  // the hold is reported before any other check
  view.held_for_reading = 1;
  EXPECT_FALSE(krv_kernel_memory_read(view, 99, KRVK_U8, out, message));
  EXPECT_EQ(message, "busy");
}

TEST_F(KernelMemory, ScalarConversion) {
  const struct {
    krvvar_shared value;
    uint8_t prim;
    bool ints_for_floats;
    uint64_t bits;  // expected on success
    const char* error;
  } cases[] = {
      {krvvar_shared::make_int(1), KRVK_BOOL, false, 1, ""},
      {krvvar_shared::make_int(2), KRVK_BOOL, false, 0, "expects bool (true / false) but got the int 2"},
      {krvvar_shared::make_float(1.0), KRVK_BOOL, false, 0, "expects bool (true / false) but got float"},
      {krvvar_shared::make_int(127), KRVK_I8, false, 127, ""},
      {krvvar_shared::make_int(-129), KRVK_I8, false, 0, "expects i8 but -129 does not fit"},
      {krvvar_shared::make_int(-1), KRVK_I32, false, UINT64_MAX, ""},
      {krvvar_shared::make_int(-1), KRVK_U64, false, 0, "expects u64 but -1 does not fit"},
      {krvvar_shared::make_int(INT64_MAX), KRVK_U64, false, INT64_MAX, ""},
      {krvvar_shared::make_float(2.5), KRVK_I32, false, 0,
       "expects i32 but got float (~~x makes an int of a float x, dropping its fraction)"},
      {krvvar_shared::make_string("2"), KRVK_I32, false, 0, "expects i32 but got string"},
      {krvvar_shared::make_int(2), KRVK_F64, false, 0, "expects f64 but got int (write 2.0 instead of 2, or x * 1.0)"},
      {krvvar_shared::make_int(2), KRVK_F64, true, 0x4000000000000000, ""},
      {krvvar_shared::make_float(1.5), KRVK_F32, false, 0x3FC00000, ""},
      {krvvar_shared::make_float(1e300), KRVK_F32, false, 0x7F800000, ""},
      {krvvar_shared::make_float(-1e300), KRVK_F32, false, 0xFF800000, ""},
      {krvvar_shared::make_float(std::numeric_limits<float>::max() * 1.0000000001), KRVK_F32, false, 0x7F7FFFFF, ""},
      {krvvar_shared::make_none(), KRVK_F32, true, 0, "expects f32 but got None"},
      {krvvar_shared::make_int(1), KRVK_STRUCT, true, 0, "unsupported type"},
  };
  for (const auto& c : cases) {
    uint64_t bits = 12345;
    std::string error;
    const bool converted = krv_kernel_arg_scalar(c.value.get(), c.prim, c.ints_for_floats, bits, error);
    EXPECT_EQ(converted, c.error[0] == 0) << c.error;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(bits, c.bits) << c.error;
  }
  uint64_t bits = 0;
  std::string error;
  EXPECT_TRUE(krv_kernel_arg_scalar(krvvar_shared::make_float(NAN).get(), KRVK_F32, false, bits, error));
  EXPECT_TRUE(std::isnan(std::bit_cast<float>(static_cast<uint32_t>(bits))));
}

TEST_F(KernelMemory, ViewsOfBuffersAndLendingObjects) {
  lender::script_register_internal();
  krvptr_strong<lender> object = krvptr_strong<lender>::from_raw(new lender());
  krvvar_shared value = krvvar_shared::make_object(object), ref = krvvar_shared::make_none();
  ref->assign_ref(value.get());

  krv_kernel_memory_view view;
  ASSERT_TRUE(krv_kernel_memory_of(ref.get(), view));
  EXPECT_EQ(view.base, object->pixels);
  EXPECT_EQ(view.size, 8u);
  EXPECT_EQ(view.writable + view.held + view.held_for_reading, 1);
  EXPECT_EQ(view.in_use_text, "test.bitmap is in use by a running kernel launch (call wait() on the launch first)");

  object->read_only = true;
  object->busy_for_writing = true;
  krv_kernel_memory_view read_only;
  ASSERT_TRUE(krv_kernel_memory_of(value.get(), read_only));
  EXPECT_EQ(read_only.writable, 0);
  EXPECT_EQ(read_only.held, 1);
  EXPECT_EQ(read_only.held_for_reading, 0);
  EXPECT_TRUE(krv_object_lent_to_launch(*object));

  krvptr_strong<krv_std_buffer> buffer = krv_std_buffer::create();
  buffer->bytes = {1, 2};
  buffer->read_holds = 1;
  krv_kernel_memory_view of_buffer;
  ASSERT_TRUE(krv_kernel_memory_of(krvvar_shared::make_object(buffer).get(), of_buffer));
  EXPECT_EQ(of_buffer.base, buffer->bytes.data());
  EXPECT_EQ(of_buffer.held + 2 * of_buffer.held_for_reading, 1);
  buffer->read_holds = 0;

  krv_kernel_memory_view none;
  EXPECT_FALSE(krv_kernel_memory_of(krvvar_shared::make_string("text").get(), none));
  lender* raw = object.get();  // torn down as a forced teardown does: other holders see it gone
  raw->detach();
  raw->destroy();
  EXPECT_FALSE(krv_kernel_memory_of(value.get(), none));
  EXPECT_EQ(value->type, KRVVAR_NONE);  // the dead object's value reads as None from now on
}

}  // namespace
