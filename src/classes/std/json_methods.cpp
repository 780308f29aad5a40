// The std.json methods that read or change single elements, reshape the container or convert it to and
// from text.
//
// Every method returns at once; none starts a task. Lookups by value (has_value, erase_value) use the
// value core's deep equality, which reaches any depth without recursing and compares each pair of
// nested containers once. Entries are read by index and re-checked against the current
// count wherever converting or comparing a value might reach the container again.
#include <algorithm>
#include <string>
#include <string_view>

#include "classes/std/json_methods.h"
#include "classes/std/string_bytes.h"
#include "classes/std/string_method_support.h"
#include "module/thread_record.h"
#include "module/vm_state.h"
#include "runtime/base/raise.h"

namespace {

using args_t = std::vector<krvvar_shared>;

// A fresh cell assigned from `value` as krvvar::set assigns (texts copied, containers shared).
krvvar_shared copied(const krvvar_shared& value) {
  krvvar_shared source = value;
  krvvar_shared cell = krvvar_shared::make_none();
  cell->set(source);
  return cell;
}

// The index (negative counts from the end) as a position, or -1 when out of range.
int64_t position_of(const krv_std_json& container, int64_t index) {
  if (index < 0) index += container.size();
  return index >= 0 && index < container.size() ? index : -1;
}

// The compact flag of `string` and `debug_refs`: the integer of their one optional argument.
bool compact_flag(const args_t& args) { return args.size() == 1 && args[0]->int_value() != 0; }

bool equal_ignoring_case(std::string_view key, std::string_view lowered) {
  return key.size() == lowered.size() &&
         std::equal(key.begin(), key.end(), lowered.begin(), [](char a, char b) { return krv_lower_byte(a) == b; });
}

// Position of the first entry whose non-empty key equals `wanted` ignoring ASCII case; -1 when none.
int64_t find_key_ignoring_case(const krv_std_json& container, std::string wanted) {
  std::transform(wanted.begin(), wanted.end(), wanted.begin(), krv_lower_byte);
  for (size_t i = 0; i < container.entries.size(); ++i) {
    const std::string_view key = container.entries[i].key_view();
    if (!key.empty() && equal_ignoring_case(key, wanted)) return static_cast<int64_t>(i);
  }
  return -1;
}

// Position of the first entry whose value equals `value` by the value core's equality; -1 when none.
int64_t find_equal_value(const krv_std_json& container, krvvar& value) {
  for (size_t i = 0; i < container.entries.size(); ++i) {
    krvvar_shared entry = container.entries[i].value;
    if (entry && entry->compare_equal(value)) return static_cast<int64_t>(i);
  }
  return -1;
}

// Position of the first entry holding the very container `nested`; -1 when none.
int64_t find_container(const krv_std_json& container, const krvobject_base* nested) {
  for (size_t i = 0; i < container.entries.size(); ++i) {
    krvvar& value = *container.entries[i].value;
    if (value.type == KRVVAR_JSON && value.object_ptr() == nested) return static_cast<int64_t>(i);
  }
  return -1;
}

// erase and remove: a number erases by index, anything else by its text as a key.
bool erase_by_index_or_key(krv_std_json& self, krvvar& what) {
  if (what.type == KRVVAR_INT || what.type == KRVVAR_FLOAT) return self.erase_index(what.int_value());
  return self.erase_key(what.get_string());
}

// The most entries resize may give a container: a script's number grows it at once, so it is held to
// the bytes a std.buffer may hold (the VM's bound), counted as the entry and the None cell each new
// element takes.
uint64_t resize_entry_limit() {
  constexpr uint64_t bytes_per_entry = sizeof(krv_std_json_entry) + sizeof(krvvar);
  return krv_thread_max_buffer_bytes() / bytes_per_entry;
}

}  // namespace

namespace krv_json_methods {

KRV_JSON_METHOD(push) {
  krvvar_shared cell = self->push_empty();
  cell->set(args[0]);
  return krv_json_self_result(self);
}

// Drops the last entry; the removed value is not the result.
KRV_JSON_METHOD(pop) {
  if (!self->entries.empty()) self->erase_index(-1);
  return krv_json_self_result(self);
}

// A position before the start inserts first, one past the end appends.
KRV_JSON_METHOD(insert) {
  const int64_t count = self->size();
  int64_t index = args[0]->int_value();
  if (index < 0) index += count;
  krvvar_shared cell = copied(args[1]);
  self->insert_unkeyed(static_cast<size_t>(std::clamp<int64_t>(index, 0, count)), std::move(cell));
  return krv_json_self_result(self);
}

KRV_JSON_METHOD(size) { return krv_int_result(self->size()); }

KRV_JSON_METHOD(clear) {
  self->clear_entries();
  return krv_json_self_result(self);
}

KRV_JSON_METHOD(clear_free) {
  self->clear_recursive();
  return krv_json_self_result(self);
}

KRV_JSON_METHOD(key) {
  const int64_t position = position_of(*self, args[0]->int_value());
  if (position < 0) {
    krv_raise_warning("index out of range!");
    return krvvar_shared::make_none();
  }
  const krv_std_json_entry& entry = self->entries[static_cast<size_t>(position)];
  return entry.has_key() ? krv_string_result(std::string_view(*entry.key)) : krvvar_shared::make_none();
}

KRV_JSON_METHOD(has) { return krv_bool_result(self->has_key(args[0]->get_string())); }

KRV_JSON_METHOD(has_value) { return krv_bool_result(find_equal_value(*self, *args[0]) >= 0); }

KRV_JSON_METHOD(has_value_str) {
  const std::string wanted = args[0]->get_string();
  std::string text;
  for (size_t i = 0; i < self->entries.size(); ++i) {
    krvvar_shared value = self->entries[i].value;
    value->string_value(text);
    if (text == wanted) return krv_bool_result(true);
  }
  return krv_bool_result(false);
}

// The entry's own cell, so that assigning to the result changes the entry.
KRV_JSON_METHOD(geti) {
  const int64_t position = find_key_ignoring_case(*self, args[0]->get_string());
  return position < 0 ? krvvar_shared::make_none() : self->entries[static_cast<size_t>(position)].value;
}

KRV_JSON_METHOD(hasi) { return krv_bool_result(find_key_ignoring_case(*self, args[0]->get_string()) >= 0); }

// A container argument erases the entry that holds that very container.
KRV_JSON_METHOD(erase) {
  krvvar& what = *args[0];
  if (what.type != KRVVAR_JSON) return krv_bool_result(erase_by_index_or_key(*self, what));
  const int64_t position = find_container(*self, what.object_ptr());
  return krv_bool_result(position >= 0 && self->erase_index(position));
}

// Unlike erase, a container argument is a key: its JSON text.
KRV_JSON_METHOD(remove) { return krv_bool_result(erase_by_index_or_key(*self, *args[0])); }

// Only the first equal entry goes.
KRV_JSON_METHOD(erase_value) {
  const int64_t position = find_equal_value(*self, *args[0]);
  return krv_bool_result(position >= 0 && self->erase_index(position));
}

KRV_JSON_METHOD(remove_all_keys) {
  self->remove_all_keys_recursive(args[0]->get_string());
  return krv_json_self_result(self);
}

KRV_JSON_METHOD(to_list) {
  self->drop_keys();
  return krv_json_self_result(self);
}

// Shrinks from the back or grows with None values. The storage is reserved first, so a size no memory
// can hold fails before anything changes.
KRV_JSON_METHOD(resize) {
  const int64_t wanted = args[0]->int_value();
  if (wanted < 0) {
    krv_raise_warning("size out of range!");
    return krv_json_self_result(self);
  }
  if (const uint64_t limit = resize_entry_limit(); static_cast<uint64_t>(wanted) > limit)
    return krv_raise_error("resize() would make the container ", wanted, " entries, over the limit of ", limit,
                           " entries");
  const size_t target = static_cast<size_t>(wanted);
  if (target < self->entries.size()) {
    self->erase_range(target, self->entries.size());
  } else {
    self->entries.reserve(target);
    while (self->entries.size() < target) self->push_empty();
  }
  return krv_json_self_result(self);
}

// Makes room by dropping the whole surplus from the front in one step, then appends.
KRV_JSON_METHOD(push_cyclic) {
  const int64_t max_entries = args[1]->int_value();
  if (max_entries <= 0) {
    krv_raise_warning("push_cyclic: max_entries must be greater than 0");
    return krv_json_self_result(self);
  }
  if (self->size() >= max_entries) self->erase_range(0, static_cast<size_t>(self->size() - max_entries + 1));
  krvvar_shared cell = self->push_empty();
  cell->set(args[0]);
  return krv_json_self_result(self);
}

KRV_JSON_METHOD(string) { return krv_string_result(self->dump(compact_flag(args))); }

KRV_JSON_METHOD(compact_string) { return krv_string_result(self->dump(true)); }

KRV_JSON_METHOD(from_string) { return krv_bool_result(self->from_string(args[0]->get_string(), false)); }

KRV_JSON_METHOD(debug_refs) { return krv_string_result(self->debug_dump(compact_flag(args))); }

}  // namespace krv_json_methods
