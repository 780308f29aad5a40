// Instances and member access in the interpreter: the instance opcodes (52-54), member access by name
// with its call-site cache (61), keyed access (62, 64, 68, 69) and their hand-over to __getitem__ and
// __setitem__.
//
// A member-cache entry remembers the last class (member index and method flag) or the last native
// object type (type key and member index) a site saw, so a site that keeps seeing one class skips the
// name lookup and the private check. Entries outside the block's table are not cached, only looked up.
#include "runtime/base/raise.h"
#include "runtime/base/value_records.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/interp/program_records.h"
#include "runtime/exec/interp/vm_operator_methods.h"
#include "runtime/exec/interp/vm_ops.h"
#include "runtime/objects/class_def.h"
#include "runtime/objects/class_instance.h"
#include "runtime/objects/object_base.h"
#include "runtime/storage/json_object.h"

namespace krv_vm {

namespace {

bool is_number(const krvvar& value) { return value.type == KRVVAR_INT || value.type == KRVVAR_FLOAT; }

// Values that have no members at all: numbers and functions.
bool has_no_members(const krvvar& value) {
  return is_number(value) || value.type == KRVVAR_FUNCTION || value.type == KRVVAR_EXT_FUNCTION;
}

std::string key_text(krvvar& key) {
  std::string text;
  key.string_value(text);
  return text;
}

// Whether `accessing` may reach the private members of `klass`.
bool may_see_private(const krv_class_def* accessing, const krv_class_def* klass) {
  return accessing == klass || krv_class_is_related(accessing, klass);
}

krvvar_shared instance_value(krvptr_strong<krv_class> instance) {
  krvvar_shared value = krvvar_shared::make_typed(KRVVAR_CLASS);
  static_cast<krvvar_class_record*>(value->payload.record)->instance = std::move(instance);
  return value;
}

// The instance that is the frame's captured context, or null.
krv_class* context_instance(const krv_vm_context& frame) {
  return dynamic_cast<krv_class*>(frame.captured_context.get());
}

krv_member_cache_entry* cache_entry(const krv_program_block& block, uint32_t index) {
  auto& table = const_cast<krv_program_block&>(block).member_cache;
  return index < table.size() ? &table[index] : nullptr;
}

// The instance branch of opcode 61: the member's symbol through the cache, then the member.
void instance_member(krv_vm_context& frame, krv_class& instance, krvvar_shared& held, const std::string& name,
                     krv_member_cache_entry* entry, const krv_class_def* accessing) {
  krv_class_def* klass = instance.class_def();
  krvvar_shared& slot = accumulator(frame);
  if (klass == nullptr) {
    slot = instance.read_member(name);
    return;
  }
  int32_t index;
  uint8_t method;
  if (entry != nullptr && entry->klass == klass) {
    index = entry->member_index;
    method = entry->filled;
  } else {
    const krv_symbol* symbol = klass->symbols ? klass->symbols->find(name) : nullptr;
    if (symbol == nullptr) {
      slot = krv_raise_error("class '", klass->name, "' does not have member '", name, "'");
      return;
    }
    if (symbol->is_private != 0 && !may_see_private(accessing, klass)) {
      slot = krv_raise_error("member '", name, "' of class '", klass->name, "' is private");
      return;
    }
    index = static_cast<int32_t>(symbol->member_index);
    method = symbol->is_method;
    if (entry != nullptr) *entry = krv_member_cache_entry{klass, index, method, {}, 0};
  }
  // A method fetched from an instance that only this expression holds keeps the instance alive until
  // the call that follows binds it as the callee's self.
  const bool temporary = slot.get() == held.get() && held->refcount == 2 &&
                         krvptr_storage::get_ref_block(instance)->strong == 1;
  krvvar_shared member = instance.member_at(index, method != 0);
  slot = std::move(member);
  if (method != 0 && temporary && slot->type == KRVVAR_FUNCTION) {
    auto& function = *static_cast<krvvar_function_record*>(slot->payload.record);
    function.drop_owner();
    function.owner = krvptr_strong<krv_class>::from_raw(&instance).take_block()->object;
  }
}

// The native-object branch of opcode 61: member slots 34 and 35 keyed by the object's type; false
// sends the access to the generic member lookup.
bool object_member(krv_vm_context& frame, krvvar& value, const std::string& name, krv_member_cache_entry* entry) {
  krvptr_strong<krvobject_base> object = value.object_strong();
  if (!object) {
    krv_raise_error("variable is not a valid object anymore, cannot get member '", name, "'");
    value.set_json();
    return false;
  }
  const uint64_t key = object->object_type_hash();
  int64_t index;
  if (entry != nullptr && entry->klass == nullptr && entry->type_key == key && key != 0) {
    index = entry->member_index;
  } else {
    index = object->member_index(name);
    if (entry != nullptr) *entry = krv_member_cache_entry{nullptr, static_cast<int32_t>(index), 0, {}, key};
  }
  if (index < 0) return false;
  krvvar_shared member;
  object->member_value_at(member, static_cast<uint64_t>(index));
  accumulator(frame) = member ? std::move(member) : krvvar_shared::make_none();
  return true;
}

// Opcode 62 with flag 1 and opcode 69: the keyed read of `container` into A.
void keyed_read_into(krv_vm_context& frame, krvvar_shared& container, krvvar_shared& key,
                     const krv_class_def* accessing, uint8_t quiet) {
  if (krv_class* instance = krv_instance_of(*container)) {
    if (uses_item_operator(*instance, *key, KRV_OPERATOR_GETITEM) &&
        try_operator_method(frame, container, KRV_OPERATOR_GETITEM, &key, nullptr, KRV_OPERATOR_RESULT_VALUE))
      return;
  }
  bool ok = true;
  krvvar_shared element = index_get(container, key, accessing, ok, quiet);
  accumulator(frame) = std::move(element);
}

}  // namespace

bool uses_item_operator(krv_class& instance, krvvar& key, uint8_t op) {
  krv_class_def* klass = instance.class_def();
  if (klass == nullptr || klass->operator_method(op) == nullptr) return false;
  if (is_number(key)) return true;
  if (key.type != KRVVAR_STRING) return false;
  return !klass->symbols || klass->symbols->find(key_text(key)) == nullptr;
}

krvvar_shared index_get(krvvar_shared& container, krvvar_shared& key, const krv_class_def* accessing, bool& ok,
                        uint8_t quiet) {
  ok = true;
  if (quiet == 0 && has_no_members(*container)) {
    ok = false;
    return krv_raise_error("type '", krvvar_type_name(container->type), "' has no member '", key_text(*key), "'");
  }
  krv_class* instance = krv_instance_of(*container);
  if (instance != nullptr && !is_number(*key)) {
    const krv_class_def* klass = instance->class_def();
    const krv_symbol* symbol = klass != nullptr && klass->symbols ? klass->symbols->find(key_text(*key)) : nullptr;
    if (symbol != nullptr && symbol->is_private != 0 && !may_see_private(accessing, klass)) {
      ok = false;
      return krv_raise_error("member '", key_text(*key), "' of class '", klass->name, "' is private");
    }
  }
  krvvar_shared result;
  if (is_number(*key)) {
    const int64_t index = key->int_value();
    // An instance's elements are its data members; other values answer through their own elements.
    if (instance != nullptr) return instance->member_at(index, false);
    container->get_index(index, result);
    if (!result) {
      ok = false;
      return krv_raise_error("Index out of range!");
    }
    return result;
  }
  container->get_member(key_text(*key), result);
  return result ? result : krvvar_shared::make_none();
}

void load_context(krv_vm_context& frame) {
  krv_class* instance = context_instance(frame);
  krvptr_strong<krv_class> held = krvptr_strong<krv_class>::from_raw(instance);
  if (!held) {
    krv_raise_error("object not valid.");
    return;
  }
  accumulator(frame) = instance_value(std::move(held));
}

void context_member(krv_vm_context& frame, uint32_t index, uint8_t method) {
  krv_class* instance = context_instance(frame);
  if (instance == nullptr) {
    krv_raise_error("class not valid.");
    return;
  }
  krvvar_shared member = instance->member_at(index, method != 0);
  accumulator(frame) = std::move(member);
}

void new_instance(krv_vm_context& frame) {
  // Member i comes from local i; the locals are left with fresh None cells.
  const size_t count = frame.local_limit();
  std::vector<krvvar_shared> initial(frame.locals.begin(), frame.locals.begin() + static_cast<std::ptrdiff_t>(count));
  for (size_t i = 0; i < count; ++i) frame.locals[i].release();
  auto* instance = new krv_class(krvptr_weak<krv_class_def>(frame.block->class_def), initial);
  for (size_t i = 0; i < count; ++i) frame.locals[i] = std::move(initial[i]);
  accumulator(frame) = instance_value(krvptr_strong<krv_class>::from_raw(instance));
}

void member(krv_vm_context& frame, const uint8_t* ip) {
  const krv_program* program = frame.block->program;
  const uint32_t name_index = operand<uint32_t>(ip + 4);
  if (program == nullptr || name_index >= program->strings.size()) return invalid_variable();
  const std::string& name = program->strings[name_index];
  krv_member_cache_entry* entry = cache_entry(*frame.block, operand<uint32_t>(ip + 8));
  const auto* accessing = operand<const krv_class_def*>(ip + 16);
  const uint8_t quiet = ip[24];
  krvvar_shared value = stack_top_copy(*frame.task);
  if (krv_class* instance = krv_instance_of(*value)) return instance_member(frame, *instance, value, name, entry, accessing);
  if (quiet == 0 && has_no_members(*value)) {
    accumulator(frame) = krv_raise_error("type '", krvvar_type_name(value->type), "' has no member '", name, "'");
    return;
  }
  if (value->type < KRVVAR_STRING || value->type > KRVVAR_OBJECT) value->set_json();
  if (object_member(frame, *value, name, entry)) return;
  krvvar_shared found;
  value->get_member(name, found);
  accumulator(frame) = found ? std::move(found) : krvvar_shared::make_none();
}

void index_read(krv_vm_context& frame, uint8_t flag, const krv_class_def* accessing, uint8_t quiet) {
  krvvar_shared popped;
  if (!pop(frame, popped)) return;
  krvvar_shared key = popped.deref_copy();
  if (flag == 0) {
    accumulator(frame) = std::move(key);
    return;
  }
  krvvar_shared container = stack_top_copy(*frame.task);
  keyed_read_into(frame, container, key, accessing, quiet);
}

void keyed_read(krv_vm_context& frame) {
  krvvar_shared popped;
  if (!pop(frame, popped)) return;
  krvvar_shared key = popped.deref_copy();
  krvvar_shared container = stack_top_copy(*frame.task);
  krvvar_shared found;
  if (!is_number(*key)) {
    const std::string text = key_text(*key);
    if (container->has_member(text)) container->get_member(text, found);
  } else if (krv_std_json* json = container->type == KRVVAR_JSON ? container->object_ptr<krv_std_json>() : nullptr) {
    int64_t n = key->int_value();
    if (n < 0) n += json->size();
    if (n >= 0 && n < json->size()) found = json->entries[static_cast<size_t>(n)].value;
  }
  if (found)
    accumulator(frame) = std::move(found);
  else
    set_int(*frame.task, accumulator(frame), 0);
}

void index_write(krv_vm_context& frame, const krv_class_def* accessing) {
  krvvar_shared value, popped_key;
  if (!pop(frame, value) || !pop(frame, popped_key)) return;
  krvvar_shared key = popped_key.deref_copy();
  krvvar_shared container = stack_top_copy(*frame.task);
  if (krv_class* instance = krv_instance_of(*container)) {
    if (uses_item_operator(*instance, *key, KRV_OPERATOR_SETITEM) &&
        try_operator_method(frame, container, KRV_OPERATOR_SETITEM, &key, &value, KRV_OPERATOR_RESULT_VALUE))
      return;
  }
  bool ok = true;
  krvvar_shared target = index_get(container, key, accessing, ok, 1);
  accumulator(frame) = target;
  if (!ok) return;
  if (!value || !target) return invalid_variable();
  target->set(value);
}

void index_read_keep(krv_vm_context& frame, const krv_class_def* accessing) {
  krvvar_shared* below = stack_below(*frame.task, 1);
  if (below == nullptr || !*below) return invalid_variable();
  krvvar_shared key = accumulator(frame).deref_copy();
  krvvar_shared container = below->deref_copy();
  push(frame, krvvar_shared::make_none());
  keyed_read_into(frame, container, key, accessing, 1);
}

}  // namespace krv_vm
