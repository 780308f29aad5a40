#include "runtime/base/krvvar.h"

#include "module/thread_record.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/base/value_records.h"
#include "runtime/objects/log.h"

void krvvar::report_negative_count() noexcept { krv_log_base::instance()->error("refcount < 0 !!!"); }

krvptr_base_internal* krvvar::object_base() noexcept {
  if (krvvar_payload_is_block(type)) return payload.block->object;
  if (type != KRVVAR_OBJECT) return nullptr;
  krvptr_base_internal* object = static_cast<krvvar_object_record*>(payload.record)->object.block()->object;
  if (object == nullptr) set_type(KRVVAR_NONE);
  return object;
}

krvvar_shared krvvar_shared::make_typed(uint8_t type) {
  krvvar_shared handle = adopt_new();
  handle->set_type_simple(type);
  return handle;
}

krvvar_shared krvvar_shared::deref_copy() const {
  if (cell_ == nullptr || cell_->type < KRVVAR_OBJECT_MEMBER_LITERAL) return *this;
  krvvar_shared resolved;
  cell_->deref(resolved);
  return resolved;
}
