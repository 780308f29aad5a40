// Makers of string and buffer values: a new cell holding a fresh storage object with a copy of the data.
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/string_object.h"
#include "runtime/values/krvvar_shared.h"

krvvar_shared krvvar_shared::make_string(std::string_view text) {
  krvvar_shared handle = make_typed(KRVVAR_STRING);
  handle->object_ptr<krv_std_string>()->text.assign(text);
  return handle;
}

krvvar_shared krvvar_shared::make_buffer(const uint8_t* bytes, size_t size) {
  krvvar_shared handle = make_typed(KRVVAR_BUFFER);
  handle->object_ptr<krv_std_buffer>()->bytes.assign(bytes, bytes + size);
  return handle;
}
