// What scripts reach of "std.buffer": its methods, the constructor function "buffer" in namespace "std",
// and the registrar that adds both while the library loads (first among the std classes).
//
// Every method that would move or change the bytes is refused while a kernel launch holds the buffer;
// reading is refused only while a launch may be writing. Typed element access goes through the kernel
// memory view, so scripts see the bytes as kernels do. Failures are catchable runtime errors with None as
// the result.
#include <cstring>
#include <new>
#include <stdexcept>

#include "classes/kernel/kernel_memory_access.h"
#include "classes/std/method_registration.h"
#include "kernel/compiler/types.h"
#include "module/namespace_registry.h"
#include "module/thread_record.h"
#include "runtime/objects/class_registration.h"
#include "runtime/storage/json_object.h"

namespace {

using args_t = std::vector<krvvar_shared>;

krvvar_shared the_buffer(krv_std_buffer* self) {
  return krvvar_shared::make_object(krvptr_strong<krvobject_base>::from_raw(self));
}

// The integer of an argument: ints as they are, floats truncated and saturated (NaN 0), others converted.
int64_t integer_arg(const args_t& args, size_t index, int64_t fallback) {
  return index < args.size() && args[index] ? args[index]->int_value() : fallback;
}
uint8_t byte_arg(const args_t& args, size_t index) { return static_cast<uint8_t>(integer_arg(args, index, 0)); }

// The argument when it is an int value, dereferenced.
bool int_value_arg(const args_t& args, size_t index, int64_t& out) {
  if (index >= args.size() || !args[index]) return false;
  krvvar_shared value = args[index].deref_copy();
  if (value->type != KRVVAR_INT) return false;
  out = value->payload.int_value;
  return true;
}

namespace method {

krvvar_shared size(krv_std_buffer* self, krv_vm_context&, args_t&) {
  return krvvar_shared::make_int(static_cast<int64_t>(self->bytes.size()));
}

krvvar_shared clear(krv_std_buffer* self, krv_vm_context&, args_t&) {
  if (self->held()) return krv_std_buffer::refuse_in_use();
  self->bytes.clear();
  return the_buffer(self);
}


// Runs `change`, which makes the buffer `new_size` bytes, unless that is past the limit; an allocation
// the system refuses is the same catchable error. Either way the buffer stays as it was (the vector's
// growth gives the strong guarantee), and the script can catch it.
template <class Change>
krvvar_shared grow(krv_std_buffer* self, const char* method, uint64_t new_size, Change&& change) {
  if (const uint64_t limit = krv_thread_max_buffer_bytes(); new_size > limit)
    return krv_raise_error(method, "() would make the buffer ", new_size, " bytes, over the limit of ", limit,
                           " bytes");
  try {
    change();
  } catch (const std::bad_alloc&) {
    return krv_raise_error(method, "(): out of memory for a buffer of ", new_size, " bytes");
  } catch (const std::length_error&) {
    return krv_raise_error(method, "(): out of memory for a buffer of ", new_size, " bytes");
  }
  return the_buffer(self);
}

krvvar_shared resize(krv_std_buffer* self, krv_vm_context&, args_t& args) {
  if (self->held()) return krv_std_buffer::refuse_in_use();
  int64_t size = 0;
  if (!int_value_arg(args, 0, size) || size < 0) return krv_raise_error("resize() expects a size >= 0");
  return grow(self, "resize", static_cast<uint64_t>(size),
              [&] { self->bytes.resize(static_cast<size_t>(size), byte_arg(args, 1)); });
}

krvvar_shared fill(krv_std_buffer* self, krv_vm_context&, args_t& args) {
  if (self->held()) return krv_std_buffer::refuse_in_use();
  std::fill(self->bytes.begin(), self->bytes.end(), byte_arg(args, 0));
  return the_buffer(self);
}

krvvar_shared push(krv_std_buffer* self, krv_vm_context&, args_t& args) {
  if (self->held()) return krv_std_buffer::refuse_in_use();
  return grow(self, "push", self->bytes.size() + args.size(), [&] {
    self->bytes.reserve(self->bytes.size() + args.size());
    for (size_t i = 0; i < args.size(); ++i) self->bytes.push_back(byte_arg(args, i));
  });
}

// Appends the buffer's own bytes: they are copied once, after the storage has grown (a range of the
// vector itself cannot be inserted into it). An empty buffer has no storage to copy from (a null data
// pointer, which memcpy must not be given even for no bytes).
void append_self(std::vector<uint8_t>& bytes) {
  const size_t count = bytes.size();
  if (count == 0) return;
  bytes.resize(2 * count);
  std::memcpy(bytes.data() + count, bytes.data(), count);
}

krvvar_shared append(krv_std_buffer* self, krv_vm_context&, args_t& args) {
  if (self->held()) return krv_std_buffer::refuse_in_use();
  krvvar_shared data = args.empty() || !args[0] ? krvvar_shared::make_none() : args[0].deref_copy();
  std::vector<uint8_t>& bytes = self->bytes;
  if (krv_std_buffer* source = krv_var_std_buffer(data.get())) {
    if (source->write_holds != 0) return krv_std_buffer::refuse_in_use();
    return grow(self, "append", bytes.size() + source->bytes.size(), [&] {
      if (source == self)
        append_self(bytes);
      else
        bytes.insert(bytes.end(), source->bytes.begin(), source->bytes.end());
    });
  }
  if (data->type == KRVVAR_STRING) {
    const std::string_view text = data->string_view_value();
    return grow(self, "append", bytes.size() + text.size(), [&] { bytes.insert(bytes.end(), text.begin(), text.end()); });
  }
  if (data->type == KRVVAR_JSON) {
    const auto& entries = data->object_ptr<krv_std_json>()->entries;
    return grow(self, "append", bytes.size() + entries.size(), [&] {
      bytes.reserve(bytes.size() + entries.size());
      for (const krv_std_json_entry& entry : entries)
        bytes.push_back(static_cast<uint8_t>(entry.value ? entry.value->int_value() : 0));
    });
  }
  return krv_raise_error("append() expects a std.buffer, a string or a list of byte values");
}

// The bytes from start, count of them or all the rest. The rest is measured only from a start inside the
// buffer: from any other, size - start could overflow.
krvvar_shared string(krv_std_buffer* self, krv_vm_context&, args_t& args) {
  if (self->write_holds != 0) return krv_std_buffer::refuse_in_use();
  const int64_t size = static_cast<int64_t>(self->bytes.size());
  const int64_t start = integer_arg(args, 0, 0);
  const int64_t rest = start >= 0 && start <= size ? size - start : -1;
  const int64_t count = integer_arg(args, 1, rest);
  if (rest < 0 || count < 0 || count > rest) {
    if (args.size() < 2) return krv_raise_error("string(", start, ") is out of range (buffer size ", size, ")");
    return krv_raise_error("string(", start, ", ", count, ") is out of range (buffer size ", size, ")");
  }
  const char* first = reinterpret_cast<const char*>(self->bytes.data()) + start;
  return krvvar_shared::make_string(std::string_view(first, static_cast<size_t>(count)));
}

// Where read and write access an element: its kernel type code and byte offset.
struct element_access {
  uint8_t code = 0;
  uint64_t offset = 0;
};

// The steps read and write share: the element type, the index and its range; false once an error is raised.
bool locate_element(krv_std_buffer& self, const args_t& args, const char* method, element_access& access) {
  const std::string type = args.empty() || !args[0] ? std::string() : args[0]->get_string();
  const uint8_t code = krvk_prim_from_name(type);
  if (code < KRVK_I8 || code > KRVK_F64) {
    krv_raise_error("unknown element type '", type, "' (i8, u8, i16, u16, i32, u32, i64, u64, f32, f64)");
    return false;
  }
  int64_t index = 0;
  if (!int_value_arg(args, 1, index) || index < 0) {
    krv_raise_error(method, "() expects an element index >= 0");
    return false;
  }
  const uint64_t element_size = static_cast<uint64_t>(krvk_prim_size(code));
  const uint64_t count = self.bytes.size() / element_size;
  if (static_cast<uint64_t>(index) >= count) {
    krv_raise_error("index ", index, " is out of range (", count, " elements of ", krvk_prim_name(code), ")");
    return false;
  }
  access = {code, static_cast<uint64_t>(index) * element_size};
  return true;
}

krvvar_shared read(krv_std_buffer* self, krv_vm_context&, args_t& args) {
  element_access access;
  if (!locate_element(*self, args, "read", access)) return krvvar_shared::make_none();
  krvvar_shared value = krvvar_shared::make_none();
  std::string message;
  if (!krv_kernel_memory_read(krv_buffer_memory_view(*self), access.offset, access.code, value, message))
    return krv_raise_error(message);
  return value;
}

krvvar_shared write(krv_std_buffer* self, krv_vm_context&, args_t& args) {
  element_access access;
  if (!locate_element(*self, args, "write", access)) return krvvar_shared::make_none();
  std::string message;
  const krvvar_shared& value = args.size() > 2 ? args[2] : krvvar_shared();
  if (!krv_kernel_memory_write(krv_buffer_memory_view(*self), access.offset, access.code, value, message))
    return krv_raise_error(message);
  return the_buffer(self);
}

}  // namespace method

using methods = krv_class_methods<krv_std_buffer>;

}  // namespace

void krv_std_buffer::script_register() {
  statics().create_new = [] { return create(); };
  methods::add("size", method::size, 0, 0, "Returns the number of bytes stored in the buffer.");
  methods::add("clear", method::clear, 0, 0, "Removes all bytes from the buffer and returns the buffer.");
  methods::add("resize", method::resize, 1, 2, "Sets the number of bytes. New bytes are set to fill (default 0). Returns the buffer.",
               {"size: int", "fill: int - optional byte value"});
  methods::add("fill", method::fill, 1, 1, "Sets every byte to value. Returns the buffer.", {"value: int - byte value"});
  methods::add("push", method::push, 1, krv_any_arg_count, "Appends bytes (values are truncated to 8 bit). Returns the buffer.",
               {"...: int - byte values"});
  methods::add("append", method::append, 1, 1,
               "Appends the bytes of a std.buffer, the bytes of a string or a list of byte values. Returns the buffer.",
               {"data: std.buffer | string | json"});
  methods::add("string", method::string, 0, 2,
               "The bytes as a string, byte exact (also zero bytes; converting the buffer with std.string() stops at the "
               "first zero byte).",
               {"start: int - optional first byte", "count: int - optional number of bytes"});
  methods::add("read", method::read, 2, 2,
               "Reads element index of the buffer viewed as an array of type (little endian, like kernels see it).",
               {"type: string - i8, u8, i16, u16, i32, u32, i64, u64, f32, f64",
                "index: int - element index (byte offset = index * size of type)"});
  methods::add("write", method::write, 3, 3,
               "Writes element index of the buffer viewed as an array of type. Integers must fit into the type. Returns "
               "the buffer.",
               {"type: string", "index: int", "value: number"});
}

namespace {

krvvar_shared buffer_constructor(krv_vm_context&, std::vector<krvvar_shared>&) {
  return krvvar_shared::make_object(krv_std_buffer::statics().create_new());
}

void register_buffer_class(krv_namespace& ns) {
  ns.add_class<krv_std_buffer>(&buffer_constructor, 0, 0, "Instantiate a new krv_std_buffer object");
}

const krv_namespace_static_registrar buffer_registrar("std", register_buffer_class);

}  // namespace
