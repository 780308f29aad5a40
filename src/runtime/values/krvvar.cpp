#include "runtime/values/krvvar.h"

#include "module/thread_record.h"
#include "runtime/memory/pool_return.h"
#include "runtime/objects/log.h"
#include "runtime/values/krvvar_shared.h"
#include "runtime/values/value_records.h"

krvvar* krvvar::create() {
  const krv_thread_local& record = krv_get_thread_local();
  if (record.may_use_vm_pools()) {
    // A pool that cannot make a page has logged it; the heap still serves the value.
    if (krvvar* cell = record.vm->var_pool.allocate()) {
      cell->flags = 0;
      cell->by_value = 0;
      return cell;
    }
  }
  return new krvvar();
}

void krvvar::destroy(krvvar* cell) noexcept {
  if (cell == nullptr) return;
  if (cell->refcount < 0) {
    krv_log_base::instance()->error("refcount < 0 !!!");
    return;
  }
  cell->set_type_simple(KRVVAR_NONE);
  if (cell->pool_slot == krv_pool_heap_slot) {
    delete cell;
    return;
  }
  krv_pool_return<&krv_vm_state::var_pool>(cell);
}

krvptr_base_internal* krvvar::object_base() noexcept {
  if (krvvar_holds_object(type) && type != KRVVAR_OBJECT) return payload.block->object;
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
