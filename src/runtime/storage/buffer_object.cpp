#include "runtime/storage/buffer_object.h"

#include <algorithm>

krvptr_strong<krv_std_buffer> krv_std_buffer::create() {
  return krvptr_strong<krv_std_buffer>::from_raw(krv_pooled_allocate<krv_std_buffer>());
}

void krv_std_buffer::destroy() {
  bytes.clear();
  if (bytes.capacity() > krv_buffer_kept_capacity) bytes.shrink_to_fit();
  krv_pooled_recycle(this);
}

void krv_std_buffer::to_string(std::string& out) {
  if (write_holds != 0) {
    out = "<std.buffer in use by a kernel launch>";
    return;
  }
  out.assign(bytes.begin(), std::find(bytes.begin(), bytes.end(), uint8_t{0}));
}
