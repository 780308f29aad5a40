// Makers of string, buffer and object values: a new cell holding a fresh storage object with a copy of the
// data, or a reference to an existing object.
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/string_object.h"
#include "runtime/values/krvvar_shared.h"
#include "runtime/values/value_records.h"

// The cell is fresh (None, no payload), so it takes the new object's block directly: set_type would only
// release nothing and make an empty string to be overwritten.
krvvar_shared krvvar_shared::make_string(std::string_view text) {
  krvvar_shared handle = adopt_new();
  handle->payload.block = krv_std_string::create(text).take_block();
  handle->type = KRVVAR_STRING;
  return handle;
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
