// Methods of "std.kernel_struct": one struct type of a compiled unit read and written in the bytes of a
// std.buffer or of an object lending kernel memory. Every call takes a fresh view of the memory, so it
// sees the bytes as the last launch left them, and refuses what a running launch's holds forbid.
// An object made by the class factory has no struct: its methods answer None (fields: an empty list).
#include "classes/kernel/kernel_arguments.h"
#include "classes/kernel/kernel_classes.h"
#include "classes/kernel/kernel_memory_access.h"
#include "classes/kernel/kernel_struct_json.h"
#include "runtime/storage/json_object.h"

namespace {

using args_t = std::vector<krvvar_shared>;

// The view of a buffer argument, prepared the way every method of this class starts.
bool memory_view(const args_t& args, krv_kernel_memory_view& view) {
  view.in_use_text = krv_buffer_in_use_text;
  return krv_kernel_memory_of(args[0].get(), view);
}

// The argument when it is an int value (REF links followed); a float is refused.
bool int_arg(const krvvar_shared& arg, int64_t& out) {
  krvvar* value = krv_kernel_follow_refs(arg.get());
  if (value == nullptr || value->type != KRVVAR_INT) return false;
  out = value->payload.int_value;
  return true;
}

krvvar_shared index_out_of_range(int64_t index, uint64_t count) {
  return krv_raise_error("index ", index, " is out of range (", count, " structs in the buffer)");
}

// The checks get() and set() share: view, index, a number field. On success `offset` is the field's byte
// offset in the memory; otherwise `failure` holds the None of the raised error.
struct field_access {
  krv_kernel_memory_view view;
  uint64_t offset = 0;
  uint8_t prim = 0;
  krvvar_shared failure;
};

bool prepare_field_access(const krv_std_kernel_struct& self, const args_t& args, const char* method,
                          const char* use_instead, field_access& access) {
  const krvk_struct& record = *self.record();
  int64_t index = 0;
  if (!memory_view(args, access.view) || !int_arg(args[1], index)) {
    access.failure = krv_raise_error(method, "() expects (buffer, index, field", method[0] == 's' ? ", value)" : ")");
    return false;
  }
  const std::string path = krv_kernel_text_arg(args[2]);
  krv_kernel_field_ref field;
  std::string error;
  if (!krv_kernel_struct_resolve_path(*self.unit, self.index, path, field, error)) {
    access.failure = krv_raise_error_text(error);
    return false;
  }
  if (field.prim == KRVK_STRUCT || field.array_count != 0) {
    access.failure = krv_raise_error(method, "() needs a number field, '", path, "' is a struct or an array (use ",
                                     use_instead, "())");
    return false;
  }
  const uint64_t count = access.view.size / record.size;
  if (index < 0 || static_cast<uint64_t>(index) >= count) {
    access.failure = index_out_of_range(index, count);
    return false;
  }
  access.offset = static_cast<uint64_t>(index) * record.size + field.offset;
  access.prim = field.prim;
  return true;
}

// The struct index of read() and write(), checked against the view.
bool struct_address(const krvk_struct& record, const krv_kernel_memory_view& view, int64_t index, uint8_t*& address,
                    krvvar_shared& failure) {
  const uint64_t count = view.size / record.size;
  if (index < 0 || static_cast<uint64_t>(index) >= count) {
    failure = index_out_of_range(index, count);
    return false;
  }
  address = view.base + static_cast<uint64_t>(index) * record.size;
  return true;
}

namespace method {

krvvar_shared size(krv_std_kernel_struct* self, krv_vm_context&, args_t&) {
  const krvk_struct* record = self->record();
  return record == nullptr ? krvvar_shared::make_none() : krvvar_shared::make_int(record->size);
}

krvvar_shared name(krv_std_kernel_struct* self, krv_vm_context&, args_t&) {
  const krvk_struct* record = self->record();
  return record == nullptr ? krvvar_shared::make_none() : krvvar_shared::make_string(record->name);
}

krvvar_shared fields(krv_std_kernel_struct* self, krv_vm_context&, args_t&) {
  krvvar_shared list = krvvar_shared::make_json();
  const krvk_struct* record = self->record();
  if (record == nullptr) return list;
  for (const krvk_field& field : record->fields) {
    krvvar_shared entry = krvvar_shared::make_json();
    auto& members = *entry->object_ptr<krv_std_json>();
    const std::string type = field.prim == KRVK_STRUCT ? self->unit->structs[static_cast<size_t>(field.struct_index)].name
                                                       : krvk_prim_name(field.prim);
    krvvar_shared values[] = {krvvar_shared::make_string(field.name), krvvar_shared::make_string(type),
                              krvvar_shared::make_int(field.offset), krvvar_shared::make_int(field.array_count),
                              krvvar_shared::make_int(field.total_size())};
    const char* keys[] = {"name", "type", "offset", "count", "size"};
    for (size_t i = 0; i < 5; ++i) members.push_value(values[i], keys[i]);
    list->object_ptr<krv_std_json>()->push_value(entry);
  }
  return list;
}

krvvar_shared offset(krv_std_kernel_struct* self, krv_vm_context&, args_t& args) {
  if (self->record() == nullptr) return krvvar_shared::make_none();
  krv_kernel_field_ref field;
  std::string error;
  if (!krv_kernel_struct_resolve_path(*self->unit, self->index, krv_kernel_text_arg(args[0]), field, error)) {
    return krv_raise_error_text(error);
  }
  return krvvar_shared::make_int(field.offset);
}

krvvar_shared count(krv_std_kernel_struct* self, krv_vm_context&, args_t& args) {
  const krvk_struct* record = self->record();
  if (record == nullptr) return krvvar_shared::make_none();
  krv_kernel_memory_view view;
  if (!memory_view(args, view)) {
    return krv_raise_error("count() expects a std.buffer (or an object with kernel memory, e.g. a bitmap)");
  }
  return krvvar_shared::make_int(static_cast<int64_t>(view.size / record->size));
}

krvvar_shared get(krv_std_kernel_struct* self, krv_vm_context&, args_t& args) {
  if (self->record() == nullptr) return krvvar_shared::make_none();
  field_access access;
  if (!prepare_field_access(*self, args, "get", "read", access)) return access.failure;
  krvvar_shared out = krvvar_shared::make_none();
  std::string error;
  if (!krv_kernel_memory_read(access.view, access.offset, access.prim, out, error)) return krv_raise_error_text(error);
  return out;
}

krvvar_shared set(krv_std_kernel_struct* self, krv_vm_context&, args_t& args) {
  if (self->record() == nullptr) return krvvar_shared::make_none();
  field_access access;
  if (!prepare_field_access(*self, args, "set", "write", access)) return access.failure;
  std::string error;
  if (!krv_kernel_memory_write(access.view, access.offset, access.prim, args[3], error)) {
    return krv_raise_error_text(error);
  }
  return krvvar_shared::make_none();
}

krvvar_shared read(krv_std_kernel_struct* self, krv_vm_context&, args_t& args) {
  const krvk_struct* record = self->record();
  if (record == nullptr) return krvvar_shared::make_none();
  krv_kernel_memory_view view;
  int64_t index = 0;
  if (!memory_view(args, view) || !int_arg(args[1], index)) return krv_raise_error("read() expects (buffer, index)");
  if (view.held_for_reading) return krv_raise_error_text(view.in_use_text);
  uint8_t* address = nullptr;
  krvvar_shared failure;
  if (!struct_address(*record, view, index, address, failure)) return failure;
  return krv_kernel_struct_to_json(*self->unit, self->index, address);
}

krvvar_shared write(krv_std_kernel_struct* self, krv_vm_context&, args_t& args) {
  const krvk_struct* record = self->record();
  if (record == nullptr) return krvvar_shared::make_none();
  krv_kernel_memory_view view;
  int64_t index = 0;
  krvvar* values = krv_kernel_follow_refs(args[2].get());
  if (!memory_view(args, view) || !int_arg(args[1], index) || values == nullptr || values->type != KRVVAR_JSON) {
    return krv_raise_error("write() expects (buffer, index, json)");
  }
  if (view.held) return krv_raise_error_text(view.in_use_text);
  if (!view.writable) return krv_raise_error("the memory is read only");
  uint8_t* address = nullptr;
  krvvar_shared failure;
  if (!struct_address(*record, view, index, address, failure)) return failure;
  std::string error;
  if (!krv_kernel_json_to_struct(*self->unit, self->index, address, values, error)) return krv_raise_error_text(error);
  return krvvar_shared::make_none();
}

}  // namespace method

}  // namespace

const krvk_struct* krv_std_kernel_struct::record() const {
  if (!unit || index < 0 || static_cast<size_t>(index) >= unit->structs.size()) return nullptr;
  return &unit->structs[static_cast<size_t>(index)];
}

void krv_std_kernel_struct::script_register() {
  using T = krv_std_kernel_struct;
  constexpr const char* buffer_help = "buffer: std.buffer or an object with kernel memory";
  statics().create_new = krv_kernel_create_zeroed<T>;
  krv_kernel_add_method<T>("size", method::size, 0, 0, "Size of the struct in bytes (kernel structs are packed)");
  krv_kernel_add_method<T>("name", method::name, 0, 0, "Name of the struct");
  krv_kernel_add_method<T>("fields", method::fields, 0, 0,
                           "Fields: list of [name, type, offset, count (0: no array), size]");
  krv_kernel_add_method<T>("offset", method::offset, 1, 1, "Byte offset of a field",
                           {"path: string - 'x', 'pos.x' or 'm[2]'"});
  krv_kernel_add_method<T>("count", method::count, 1, 1, "Number of whole structs in a buffer", {buffer_help});
  krv_kernel_add_method<T>("get", method::get, 3, 3, "Reads a field of the struct at index",
                           {buffer_help, "index: int - struct index", "field: string - 'x', 'pos.x', 'm[2]'"});
  krv_kernel_add_method<T>("set", method::set, 4, 4, "Writes a field of the struct at index",
                           {buffer_help, "index: int", "field: string", "value: number"});
  krv_kernel_add_method<T>("read", method::read, 2, 2, "The struct at index as a json object",
                           {buffer_help, "index: int"});
  krv_kernel_add_method<T>("write", method::write, 3, 3,
                           "Writes the fields of a json object into the struct at index (missing fields are kept)",
                           {buffer_help, "index: int", "values: json"});
}
