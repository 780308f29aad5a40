#include "runtime/objects/member_def.h"

#include "runtime/base/value_records.h"
#include "runtime/objects/function_def.h"
#include "runtime/objects/object_base.h"

void krvobject_member_def_base::bind(krvvar_shared& out, krvobject_base&) { out = krvvar_shared::make_none(); }
void krvobject_member_def_base::set(krvobject_base&, krvvar_shared&) {}
void krvobject_member_def_base::get(krvvar_shared& out, krvobject_base&) { out = krvvar_shared::make_none(); }
krv_function_def* krvobject_member_def_base::function_descriptor() { return nullptr; }

void krv_bind_method(krvvar_shared& out, krvobject_base* object, krv_function_def& def) {
  out = krvvar_shared::make_none();
  out->set_ext_function(object, &def);
}

void krv_bind_member_reference(krvvar_shared& out, krvobject_base& object, uint64_t index) {
  out = krvvar_shared::make_typed(KRVVAR_OBJECT_MEMBER_INDEX);
  auto& record = *static_cast<krvvar_member_index_record*>(out->payload.record);
  record.object = krvptr_strong<krvobject_base>::from_raw(&object);
  record.index = index;
  record.definition_index = 1;
}
