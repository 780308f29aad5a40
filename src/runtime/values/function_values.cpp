// Native-function values and class references.
#include "runtime/objects/function_def.h"
#include "runtime/objects/log.h"
#include "runtime/objects/object_base.h"
#include "runtime/values/krvvar.h"
#include "runtime/values/value_records.h"

void krvvar::set_ext_function(krvobject_base* object, krv_function_def* definition) {
  // Without an object this is a namespace function: still a callable value, bound to nothing.
  set_type(KRVVAR_EXT_FUNCTION);
  auto& record = *static_cast<krvvar_ext_function_record*>(payload.record);
  record.object = krvptr_strong<krvobject_base>::from_raw(object);
  record.definition = krvptr_weak<krv_function_def>::from_raw(definition);
}

bool krvvar::get_class_ref() {
  if (type != KRVVAR_CLASS) return false;
  if (static_cast<krvvar_class_record*>(payload.record)->instance) return true;
  krv_log_base::instance()->error("Cannot get class ref.");
  set_type(KRVVAR_NONE);
  return false;
}
