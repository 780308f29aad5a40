#include "runtime/storage/buffer_object.h"

#include <algorithm>

#include "runtime/base/raise.h"

krvptr_strong<krv_std_buffer> krv_std_buffer::create() {
  return krvptr_strong<krv_std_buffer>::from_raw(krv_pooled_allocate<krv_std_buffer>());
}

void krv_std_buffer::destroy() {
  // A resting buffer is not rebuilt: a hold left set would refuse every change of its next user.
  read_holds = 0;
  write_holds = 0;
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

krvvar_shared krv_std_buffer::refuse_in_use() { return krv_raise_error(krv_buffer_in_use_text); }

void krv_std_buffer::get_index(krvvar_shared& out, int64_t index) {
  if (write_holds != 0) {
    out = refuse_in_use();
    return;
  }
  const int64_t size = static_cast<int64_t>(bytes.size());
  if (index < 0) index += size;
  out = index >= 0 && index < size ? krvvar_shared::make_int(bytes[static_cast<size_t>(index)]) : krvvar_shared::make_none();
}

void krv_std_buffer::set_index(int64_t index, krvvar_shared& value) {
  krvvar_shared written = std::move(value);
  if (held()) {
    refuse_in_use();
    return;
  }
  const int64_t size = static_cast<int64_t>(bytes.size());
  if (index < 0) index += size;
  if (index < 0 || index >= size) {
    krv_raise_error("Index ", index, " is out of range!");
    return;
  }
  bytes[static_cast<size_t>(index)] = static_cast<uint8_t>(written ? written->int_value() : 0);
}
