#include "runtime/objects/object_base.h"

#include "runtime/base/raise.h"

void krvobject_base::to_string(std::string& out) { out = type_name(); }

void krvobject_base::class_name_view(std::string_view& out) { out = type_name(); }

void krvobject_base::strong_self(krvptr_strong<krvobject_base>& out) { out = krvptr_strong<krvobject_base>::from_raw(this); }

namespace {

void warn_string_access(krvobject_base& object, const char* operation, const krvvar& key) {
  krv_raise_warning("type '", object.type_name(), "' does not implement '", operation, "' for var type ",
                    static_cast<int>(key.type), ", defaulting to string access.");
}

}  // namespace

void krvobject_base::get_member(krvvar_shared& out, krvvar_shared& key) {
  if (!key) key = krvvar_shared::make_none();
  krvvar& k = *key;
  if (k.type == KRVVAR_INT) {
    get_index(out, k.payload.int_value);
  } else if (k.type == KRVVAR_STRING) {
    get_named(out, k.string_view_value());
  } else {
    warn_string_access(*this, "get_member", k);
    get_named(out, k.get_string());
  }
  key.release();
}

void krvobject_base::get_index(krvvar_shared& out, int64_t index) {
  out = krv_raise_error("type '", type_name(), "' does not have indexmember '", index, "'");
}

void krvobject_base::get_named(krvvar_shared& out, std::string_view name) {
  out = krv_raise_error("type '", type_name(), "' does not have (any) member '", name, "'");
}

void krvobject_base::set_member(krvvar_shared& key, krvvar_shared& value) {
  if (!key) key = krvvar_shared::make_none();
  krvvar& k = *key;
  if (k.type == KRVVAR_INT) {
    set_index(k.payload.int_value, value);
  } else if (k.type == KRVVAR_STRING) {
    set_named(k.string_view_value(), value);
  } else {
    warn_string_access(*this, "set_member", k);
    set_named(k.get_string(), value);
  }
  value.release();
  key.release();
}

void krvobject_base::set_index(int64_t, krvvar_shared& value) {
  krv_raise_error("type '", type_name(), "' does not implement 'set member'");
  value.release();
}

void krvobject_base::set_named(std::string_view, krvvar_shared& value) {
  krv_raise_error("type '", type_name(), "' does not implement 'set member'");
  value.release();
}

bool krvobject_base::has_member(krvvar_shared& key) {
  krvvar_shared probe_key = key;
  krvvar_shared found;
  get_member(found, probe_key);
  return found && found->type != KRVVAR_NONE;
}

bool krvobject_base::has_index(int64_t index) {
  krvvar_shared found;
  get_index(found, index);
  return found && found->type != KRVVAR_NONE;
}

bool krvobject_base::has_named(std::string_view name) {
  krvvar_shared found;
  get_named(found, name);
  return found && found->type != KRVVAR_NONE;
}

bool krvobject_base::is_empty() { return false; }
uint32_t krvobject_base::element_count() { return 0; }
int64_t krvobject_base::class_query_first() { return -1; }
int64_t krvobject_base::class_query_second() { return -1; }

bool krvobject_base::op_add(krvvar_shared&, krvvar_shared&) { return false; }
bool krvobject_base::op_add_swapped(krvvar_shared&, krvvar_shared&) { return false; }
bool krvobject_base::op_subtract(krvvar_shared&, krvvar_shared&) { return false; }
bool krvobject_base::op_subtract_swapped(krvvar_shared&, krvvar_shared&) { return false; }
bool krvobject_base::op_multiply(krvvar_shared&, krvvar_shared&) { return false; }
bool krvobject_base::op_multiply_swapped(krvvar_shared&, krvvar_shared&) { return false; }
bool krvobject_base::op_divide(krvvar_shared&, krvvar_shared&) { return false; }
bool krvobject_base::op_divide_swapped(krvvar_shared&, krvvar_shared&) { return false; }
bool krvobject_base::equals(krvvar_shared&) { return false; }
bool krvobject_base::less_than(krvvar_shared&, bool) { return false; }
bool krvobject_base::greater_than(krvvar_shared&, bool) { return false; }

void* krvobject_base::query_interface(uint64_t) { return nullptr; }
bool krvobject_base::is_type(uint64_t hash) { return hash == type_hash_; }
const char* krvobject_base::type_name() { return "object"; }

int64_t krvobject_base::member_index(std::string_view) { return -1; }
void krvobject_base::member_value_at(krvvar_shared& out, uint64_t) { out = krvvar_shared::make_none(); }
void krvobject_base::set_member_at(uint64_t, krvvar_shared&) {}
void krvobject_base::get_member_at(krvvar_shared& out, uint64_t) { out = krvvar_shared::make_none(); }
