// Member and index access on a value, and the member test.
//
// A container answers with its entries (a missing key creates its entry). A string, buffer or object
// value answers with a member reference that resolves when read and writes through when assigned.
// Every other value first turns into an empty container: reading a member of a plain value is how
// scripts make lists and dictionaries.
#include "runtime/base/krvvar.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/base/value_records.h"
#include "runtime/objects/class_instance.h"
#include "runtime/objects/object_base.h"
#include "runtime/storage/json_object.h"

namespace {

bool answers_with_member_reference(uint8_t type) noexcept {
  return type == KRVVAR_STRING || type == KRVVAR_BUFFER || type == KRVVAR_OBJECT;
}

}  // namespace

void krvvar::get_member(std::string_view name, krvvar_shared& out) {
  if (type == KRVVAR_CLASS) {
    // A script-class instance answers by name itself; a dead one gives None.
    krv_class* instance = krv_instance_of(*this);
    out = instance != nullptr ? instance->read_member(name) : krvvar_shared::make_none();
    return;
  }
  if (answers_with_member_reference(type)) {
    if (krvptr_strong<krvobject_base> object = object_strong()) {
      out = krvvar_shared::make_typed(KRVVAR_OBJECT_MEMBER_LITERAL);
      auto& record = *static_cast<krvvar_member_literal_record*>(out->payload.record);
      record.object = std::move(object);
      record.name.assign(name);
      return;
    }
  }
  out = json_ptr(false)->get_or_insert(name);
}

void krvvar::get_index(int64_t index, krvvar_shared& out) {
  if (answers_with_member_reference(type)) {
    if (krvptr_strong<krvobject_base> object = object_strong()) {
      out = krvvar_shared::make_typed(KRVVAR_OBJECT_MEMBER_INDEX);
      auto& record = *static_cast<krvvar_member_index_record*>(out->payload.record);
      record.object = std::move(object);
      record.index = static_cast<uint64_t>(index);
      return;
    }
  }
  out = json_ptr(false)->at(index);
}

bool krvvar::has_member(std::string_view name) {
  if (type != KRVVAR_STRING && type != KRVVAR_BUFFER && type != KRVVAR_JSON && type != KRVVAR_OBJECT) return false;
  krvptr_strong<krvobject_base> object = object_strong();
  return object && object->has_named(name);
}
