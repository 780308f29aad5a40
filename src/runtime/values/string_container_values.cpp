// Making a value a string or a container, and reaching the storage of one.
#include "runtime/base/krvvar.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"

void krvvar::set_string(const char* text, size_t length) { string_ref().assign(text, length); }

std::string& krvvar::string_ref() {
  if (type != KRVVAR_STRING) set_type(KRVVAR_STRING);
  return object_ptr<krv_std_string>()->text;
}

void krvvar::set_json() {
  if (type != KRVVAR_JSON) set_type(KRVVAR_JSON);
}

krv_std_json* krvvar::json_ptr(bool clear) {
  set_json();
  krv_std_json* container = object_ptr<krv_std_json>();
  if (clear) container->clear_entries();
  return container;
}
