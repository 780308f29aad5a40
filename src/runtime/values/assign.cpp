// krvvar::set and krvvar::assign_ref: assigning a value, and binding one by reference.
//
// set gives the destination the source's value by the source's type. Strings and buffers are copied
// (the destination gets a fresh object), containers are shared, objects are shared with
// krvvar_share_on_assign and otherwise take what the object's strong_self hands out. A destination that
// is a member reference writes through its object instead of changing itself.
//
// Any report leaves the values as they were: a buffer held for writing by a kernel launch is refused
// before the destination is touched.
#include "runtime/base/krvvar.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/base/raise.h"
#include "runtime/base/value_records.h"
#include "runtime/objects/object_base.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/string_object.h"

namespace {

// Writes `source` into the member that the member reference `destination` names.
void write_through(krvvar& destination, const krvvar_shared& source) {
  krvvar_shared value = source;
  switch (destination.type) {
    case KRVVAR_OBJECT_MEMBER_LITERAL: {
      auto& record = *static_cast<krvvar_member_literal_record*>(destination.payload.record);
      if (!record.object) break;
      return krvptr_strong<krvobject_base>(record.object)->set_named(record.name, value);
    }
    case KRVVAR_OBJECT_MEMBER_INDEX: {
      auto& record = *static_cast<krvvar_member_index_record*>(destination.payload.record);
      if (!record.object) break;
      krvptr_strong<krvobject_base> object = record.object;
      if (record.definition_index) return object->set_member_at(record.index, value);
      return object->set_index(static_cast<int64_t>(record.index), value);
    }
    case KRVVAR_OBJECT_MEMBER_VAR: {
      auto& record = *static_cast<krvvar_member_var_record*>(destination.payload.record);
      krvptr_strong<krvobject_base> object = record.object.lock();
      if (!object) break;
      krvvar_shared key = record.key;
      return object->set_member(key, value);
    }
  }
  krv_raise_warning("Cannot set object member, doesnt exist anymore!");
}

template <class Object>
Object* storage_of(krvvar& value) {
  return value.object_ptr<Object>();
}

void copy_object_record(krvvar& destination, krvvar& source) {
  auto& from = *static_cast<krvvar_object_record*>(source.payload.record);
  krvptr_strong<krvobject_base> object = from.object;
  destination.set_type(KRVVAR_OBJECT);
  auto& to = *static_cast<krvvar_object_record*>(destination.payload.record);
  if (!object) return;
  if (source.flags & krvvar_share_on_assign)
    to.object = std::move(object);
  else
    object->strong_self(to.object);
}

void copy_ext_function(krvvar& destination, krvvar& source) {
  auto& from = *static_cast<krvvar_ext_function_record*>(source.payload.record);
  krvptr_weak<krv_function_def> definition = from.definition;
  krvptr_strong<krvobject_base> object = from.object;
  destination.set_type(KRVVAR_EXT_FUNCTION);
  auto& to = *static_cast<krvvar_ext_function_record*>(destination.payload.record);
  to.definition = std::move(definition);
  to.object = std::move(object);
}

// A buffer that a launch may be writing cannot be read for a copy; raised before anything changes.
bool refuse_held_buffer(krvvar& source) {
  const krv_std_buffer* buffer = storage_of<krv_std_buffer>(source);
  if (buffer == nullptr || buffer->write_holds == 0) return false;
  krv_raise_error(krv_buffer_in_use_text);
  return true;
}

void copy_text(krvvar& destination, krvvar& source) {
  const krv_std_string* from = storage_of<krv_std_string>(source);
  // Only a string value's own object is a string; a container's or buffer's is not.
  krv_std_string* own = destination.is_string() ? storage_of<krv_std_string>(destination) : nullptr;
  // A string object held by this value alone can take the text in place: nobody could tell it from a
  // fresh object, and its storage is reused.
  if (own != nullptr && from != own) {
    const krvptr_ref_block* block = destination.payload.block;
    if (block->strong == 1 && block->weak == 0) {
      if (from != nullptr)
        own->text.assign(from->text);
      else
        own->text.clear();
      return;
    }
  }
  std::string text = from ? from->text : std::string();
  destination.set_type(KRVVAR_STRING);
  storage_of<krv_std_string>(destination)->text = std::move(text);
}

void copy_bytes(krvvar& destination, krvvar& source) {
  if (refuse_held_buffer(source)) return;
  const krv_std_buffer* from = storage_of<krv_std_buffer>(source);
  std::vector<uint8_t> bytes = from ? from->bytes : std::vector<uint8_t>();
  destination.set_type(KRVVAR_BUFFER);
  storage_of<krv_std_buffer>(destination)->bytes = std::move(bytes);
}

void share_container(krvvar& destination, krvvar& source) {
  krvptr_strong<krvobject_base> container = source.object_strong();
  if (!container) {
    destination.set_type(KRVVAR_JSON);
    return;
  }
  destination.set_type(KRVVAR_NONE);
  destination.payload.block = container.take_block();
  destination.type = KRVVAR_JSON;
}

void copy_ref(krvvar& destination, krvvar& source) {
  krvvar* target = source.payload.target;
  // The new target is counted before the old one is given up; the type change releases the old one.
  if (target != nullptr) ++target->refcount;
  destination.set_type(KRVVAR_REF);
  destination.payload.target = target;
}

}  // namespace

void krvvar::set(krvvar_shared& source) {
  if (!source || source.get() == this) return;
  if (source->is_member_ref()) {
    krvvar_shared resolved;
    source->deref(resolved);
    source = std::move(resolved);
    if (!source || source.get() == this) return;
  }
  if (is_member_ref()) return write_through(*this, source);

  krvvar& from = *source;
  if (set_simple(from)) return;
  switch (from.type) {
    case KRVVAR_ERR:
    case KRVVAR_NONE:
    case KRVVAR_INT:
    case KRVVAR_FLOAT: {
      const krvvar_payload value = from.payload;
      set_type(from.type);
      payload = value;
      return;
    }
    case KRVVAR_STRING: return copy_text(*this, from);
    case KRVVAR_BUFFER: return copy_bytes(*this, from);
    case KRVVAR_JSON:
      if (from.payload.block == payload.block) return;
      return share_container(*this, from);
    case KRVVAR_OBJECT: return copy_object_record(*this, from);
    case KRVVAR_CLASS: {
      auto& record = *static_cast<krvvar_class_record*>(from.payload.record);
      if (type == KRVVAR_CLASS && payload.record == from.payload.record) return;
      krvptr_strong<krv_class> instance = record.instance;
      set_type(KRVVAR_CLASS);
      static_cast<krvvar_class_record*>(payload.record)->instance = std::move(instance);
      return;
    }
    case KRVVAR_CLASS_DEF: {
      krvptr_weak<krvptr_base_internal> definition = static_cast<krvvar_class_def_record*>(from.payload.record)->definition;
      set_type(KRVVAR_CLASS_DEF);
      static_cast<krvvar_class_def_record*>(payload.record)->definition = std::move(definition);
      return;
    }
    case KRVVAR_FUNCTION: return copy_function(from);
    case KRVVAR_EXT_FUNCTION: return copy_ext_function(*this, from);
    case KRVVAR_REF: return copy_ref(*this, from);
  }
  krv_raise_warning("set() not implemented for var type: ", int{from.type});
}

void krvvar::assign_ref(krvvar* source) {
  if (source == nullptr) {
    set_type_simple(KRVVAR_NONE);
    return;
  }
  if ((source->by_value & 1) != 0 && !is_member_ref()) {
    krvvar_shared resolved;
    source->deref(resolved);
    set(resolved);
    return;
  }
  ++source->refcount;
  set_type(KRVVAR_REF);
  payload.target = source;
}
