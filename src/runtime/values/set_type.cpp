// krvvar::set_type: every change of a value's type releases what the old payload held, then builds the
// new one.
//
// The cell reads None with payload 0 while the old payload is released, so whatever the release reaches
// (an object's destruction) never sees a half-released value. Records of types 11 to 16 are kept for
// reuse when the type does not change: only their object handles are released.
//
// With krvvar_release_contents set, releasing a container first clears it and everything nested in it,
// and releasing an object tears the object down whoever else holds it; an object whose method runs on a
// worker right now is torn down later, by the host, from the VM's deferred releases.
#include "module/pool_return.h"
#include "module/thread_record.h"
#include "runtime/base/krvvar.h"
#include "runtime/base/value_records.h"
#include "runtime/objects/class_instance.h"
#include "runtime/objects/function_lambda.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/kernel_memory.h"
#include "runtime/storage/string_object.h"
#include "runtime/storage/value_release.h"

namespace {

// A record from its pool when this thread may use the pools, else from the heap.
template <class Record>
Record* allocate_record() {
  const krv_thread_local& record = krv_get_thread_local();
  if (record.may_use_vm_pools())
    if (Record* pooled = (record.vm->*Record::pool).allocate()) return pooled;
  return new Record(krv_pool_heap_slot);
}

// Releases a record's handles and frees it: a heap record to the heap, a pooled one to its page, or
// through its pool's return ring from a thread without the VM lock.
template <class Record>
void free_record(void* raw) noexcept {
  auto* record = static_cast<Record*>(raw);
  if (record->pool_slot == krv_pool_heap_slot) {
    delete record;
    return;
  }
  krv_pool_return<Record::pool>(record);
}

void release_object_block(krvptr_ref_block* block, bool release_contents) noexcept {
  krvptr_strong<krvptr_base_internal> handle = krvptr_strong<krvptr_base_internal>::adopt(block);
  if (!release_contents || !handle) return;
  auto* object = static_cast<krvobject_base*>(handle.get());
  if (krv_std_json* container = krvptr_cast<krv_std_json>(object)) container->clear_recursive();
}

// Ends the object now, whatever its strong count: its other holders see it gone. While a worker runs one
// of its methods, or a running kernel launch holds its bytes, a strong reference waits in the VM's
// deferred releases instead: the worker or the launch's helpers still use the object.
void tear_down_object(krvptr_strong<krvobject_base>& handle) noexcept {
  krvobject_base* object = handle.get();
  if (object != nullptr && object->worker_holds == 0 && !krv_object_lent_to_launch(*object)) {
    object->detach();
    object->destroy();
  } else if (object != nullptr) {
    const krv_thread_local& record = krv_get_thread_local();
    if (record.vm != nullptr) record.vm->deferred_releases.push_back(krvptr_strong<krvobject_base>::from_raw(object));
  }
  handle.release();
}

// A closure's captured values may hold closures that capture closures to any depth (a script builds
// such a chain in a loop): the last handle on them releases them through a release scope, so that the
// teardown of the list finds only empty handles instead of recursing once per closure.
void release_captured(krvptr_strong<krvvar_ptr_function_lambda>& captured) noexcept {
  if (krvvar_ptr_function_lambda* values = captured.get(); values != nullptr && captured.block()->strong == 1) {
    const krv_thread_local& record = krv_get_thread_local();
    krv_release_scope scope;
    for (krvvar_shared& value : *values) scope.release(value, record);
  }
  captured.release();
}

// The last handle on a native object (a std.thread keeping results, say) releases whatever the object
// keeps, which may hold the next such object: released through a release scope, so such chains of any
// depth end without recursing once per object.
template <class Object>
void release_object(krvptr_strong<Object>& handle) noexcept {
  krvptr_strong<krvptr_base_internal> object = krvptr_strong<krvptr_base_internal>::adopt(handle.take_block());
  krv_release_scope scope;
  scope.release(object, krv_get_thread_local());
}

// What a record keeps for reuse keeps; the rest of it is released. True when the record stays.
bool clear_record(uint8_t type, void* record, bool same_type, bool release_contents) noexcept {
  switch (type) {
    case KRVVAR_OBJECT:
      if (release_contents)
        tear_down_object(static_cast<krvvar_object_record*>(record)->object);
      else
        release_object(static_cast<krvvar_object_record*>(record)->object);
      return false;
    case KRVVAR_CLASS:
      if (release_contents)
        krv_class_tear_down(static_cast<krvvar_class_record*>(record)->instance);
      else
        static_cast<krvvar_class_record*>(record)->instance.release();
      return false;
    case KRVVAR_CLASS_DEF:
      static_cast<krvvar_class_def_record*>(record)->definition.release();
      return same_type;
    case KRVVAR_FUNCTION: {
      auto* function = static_cast<krvvar_function_record*>(record);
      function->function.release();
      function->context.release();
      release_captured(function->captured);
      function->drop_owner();
      return same_type;
    }
    case KRVVAR_EXT_FUNCTION: {
      auto* bound = static_cast<krvvar_ext_function_record*>(record);
      bound->definition.release();
      release_object(bound->object);
      return same_type;
    }
    case KRVVAR_OBJECT_MEMBER_LITERAL:
      if (same_type) static_cast<krvvar_member_literal_record*>(record)->object.release();
      return same_type;
    case KRVVAR_OBJECT_MEMBER_INDEX:
      if (same_type) static_cast<krvvar_member_index_record*>(record)->object.release();
      return same_type;
    case KRVVAR_OBJECT_MEMBER_VAR:
      if (same_type) static_cast<krvvar_member_var_record*>(record)->object.release();
      return same_type;
  }
  return false;
}

void free_record_of(uint8_t type, void* record) noexcept {
  switch (type) {
    case KRVVAR_OBJECT: return free_record<krvvar_object_record>(record);
    case KRVVAR_CLASS: return free_record<krvvar_class_record>(record);
    case KRVVAR_CLASS_DEF: return free_record<krvvar_class_def_record>(record);
    case KRVVAR_FUNCTION: return free_record<krvvar_function_record>(record);
    case KRVVAR_EXT_FUNCTION: return free_record<krvvar_ext_function_record>(record);
    case KRVVAR_OBJECT_MEMBER_LITERAL: return free_record<krvvar_member_literal_record>(record);
    case KRVVAR_OBJECT_MEMBER_INDEX: return free_record<krvvar_member_index_record>(record);
    case KRVVAR_OBJECT_MEMBER_VAR: return free_record<krvvar_member_var_record>(record);
  }
}

void* build_record(uint8_t type) {
  switch (type) {
    case KRVVAR_OBJECT: return allocate_record<krvvar_object_record>();
    case KRVVAR_CLASS: return allocate_record<krvvar_class_record>();
    case KRVVAR_CLASS_DEF: return allocate_record<krvvar_class_def_record>();
    case KRVVAR_FUNCTION: return allocate_record<krvvar_function_record>();
    case KRVVAR_EXT_FUNCTION: return allocate_record<krvvar_ext_function_record>();
    case KRVVAR_OBJECT_MEMBER_LITERAL: return allocate_record<krvvar_member_literal_record>();
    case KRVVAR_OBJECT_MEMBER_INDEX: return allocate_record<krvvar_member_index_record>();
    case KRVVAR_OBJECT_MEMBER_VAR: return allocate_record<krvvar_member_var_record>();
  }
  return nullptr;
}

// A fresh empty storage object for a string, buffer or container value, as the block whose strong
// count the cell keeps.
krvptr_ref_block* build_storage(uint8_t type) {
  switch (type) {
    case KRVVAR_STRING: return krv_std_string::create().take_block();
    case KRVVAR_BUFFER: return krv_std_buffer::create().take_block();
    case KRVVAR_JSON: return krv_std_json::create().take_block();
  }
  return &krvptr_empty_block;
}

bool holds_record(uint8_t type) noexcept {
  return type == KRVVAR_OBJECT || (type >= KRVVAR_CLASS && type <= KRVVAR_OBJECT_MEMBER_VAR);
}

}  // namespace

krvvar& krvvar::set_type(uint8_t new_type) {
  const uint8_t old_type = type;
  const krvvar_payload old = payload;
  by_value = 0;
  const bool release_contents = (flags & krvvar_release_contents) != 0;
  if (holds_record(old_type)) {
    if (clear_record(old_type, old.record, old_type == new_type, release_contents)) return *this;
  }
  type = KRVVAR_NONE;
  payload.bits = 0;
  if (krvvar_payload_is_block(old_type)) {
    release_object_block(old.block, release_contents && old_type == KRVVAR_JSON);
  } else if (holds_record(old_type)) {
    free_record_of(old_type, old.record);
  } else if (old_type == KRVVAR_REF) {
    krvvar_shared::adopt(old.target).release();
  }

  if (krvvar_payload_is_block(new_type)) {
    payload.block = build_storage(new_type);
  } else if (holds_record(new_type)) {
    payload.record = build_record(new_type);
  }
  type = new_type;
  return *this;
}

void krvvar_function_record::drop_owner() noexcept {
  krvptr_base_internal* held = std::exchange(owner, nullptr);
  if (held != nullptr)
    krvptr_strong<krvptr_base_internal>::adopt(krvptr_storage::get_ref_block(*held)).release();
}
