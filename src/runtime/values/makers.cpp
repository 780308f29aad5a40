// Makers of string, buffer and object values: a new cell holding a fresh storage object with a copy of the
// data, or a reference to an existing object.
#include "runtime/base/krvvar_shared.h"
#include "runtime/base/value_records.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/string_object.h"

krvvar_shared krvvar_shared::make_string(std::string_view text) { return make_string(text, krv_get_thread_local()); }

// The cell is fresh (None, no payload), so it takes the new object's block directly: set_type would only
// release nothing and make an empty string to be overwritten.
krvvar_shared krvvar_shared::make_string(std::string_view text, const krv_thread_local& record) {
  krvvar_shared handle = adopt_new(record);
  handle->payload.block = krv_std_string::create(text, record).take_block();
  handle->type = KRVVAR_STRING;
  return handle;
}

// What set_type's release does for a string payload: the cell reads None with payload 0 first.
void krvvar::release_string(const krv_thread_local& record) noexcept {
  krvptr_ref_block* block = payload.block;
  type = KRVVAR_NONE;
  by_value = 0;
  payload.bits = 0;
  krv_std_string::release_value_block(block, record);
}

krvvar_shared krvvar_shared::make_buffer(const uint8_t* bytes, size_t size) {
  krvvar_shared handle = make_typed(KRVVAR_BUFFER);
  handle->object_ptr<krv_std_buffer>()->bytes.assign(bytes, bytes + size);
  return handle;
}

krvvar_shared krvvar_shared::make_object(krvptr_strong<krvobject_base> object) {
  if (!object) return make_none();
  krvvar_shared handle = make_typed(KRVVAR_OBJECT);
  static_cast<krvvar_object_record*>(handle->payload.record)->object = std::move(object);
  return handle;
}
