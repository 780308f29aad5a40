#include "classes/kernel/kernel_memory_access.h"

#include <bit>
#include <cstring>

#include "classes/kernel/kernel_arguments.h"
#include "kernel/compiler/types.h"

static_assert(std::endian::native == std::endian::little, "kernel memory is little-endian, as the host is");

krv_std_buffer* krv_var_std_buffer(krvvar* value) {
  if (value == nullptr) return nullptr;
  switch (value->type) {
    case KRVVAR_STRING:
    case KRVVAR_BUFFER:
    case KRVVAR_JSON:
    case KRVVAR_OBJECT: {
      krvobject_base* object = value->object_ptr();
      return object != nullptr ? krvptr_cast<krv_std_buffer>(object) : nullptr;
    }
    default: return nullptr;
  }
}

namespace {

template <class T>
T load(const uint8_t* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// In range when the type has a size and the access ends within the view, computed without wrapping.
bool in_range(const krv_kernel_memory_view& view, uint64_t offset, uint8_t code, std::string& message) {
  const uint64_t size = static_cast<uint64_t>(krvk_prim_size(code));
  if (size != 0 && offset <= view.size && size <= view.size - offset) return true;
  message = "offset " + std::to_string(offset) + " is out of range (buffer size " + std::to_string(view.size) + ")";
  return false;
}

// A buffer's bytes and holds into a view; writability and the in-use text stay as the view has them.
void fill_from_buffer(krv_kernel_memory_view& view, krv_std_buffer& buffer) {
  view.base = buffer.bytes.data();
  view.size = buffer.bytes.size();
  view.held_for_reading = buffer.write_holds != 0;
  view.held = buffer.held();
}

}  // namespace

krvvar_shared krv_kernel_read_scalar(const uint8_t* bytes, uint8_t code) {
  switch (code) {
    case KRVK_I8: return krvvar_shared::make_int(load<int8_t>(bytes));
    case KRVK_U8: return krvvar_shared::make_int(load<uint8_t>(bytes));
    case KRVK_I16: return krvvar_shared::make_int(load<int16_t>(bytes));
    case KRVK_U16: return krvvar_shared::make_int(load<uint16_t>(bytes));
    case KRVK_I32: return krvvar_shared::make_int(load<int32_t>(bytes));
    case KRVK_U32: return krvvar_shared::make_int(load<uint32_t>(bytes));
    case KRVK_I64:
    case KRVK_U64: return krvvar_shared::make_int(load<int64_t>(bytes));
    case KRVK_F32: return krvvar_shared::make_float(load<float>(bytes));
    case KRVK_F64: return krvvar_shared::make_float(load<double>(bytes));
    default: return krvvar_shared::make_none();
  }
}

bool krv_kernel_memory_read(const krv_kernel_memory_view& view, uint64_t offset, uint8_t code, krvvar_shared& out,
                            std::string& message) {
  if (view.held_for_reading) {
    message = view.in_use_text;
    return false;
  }
  if (!in_range(view, offset, code, message)) return false;
  out = krv_kernel_read_scalar(view.base + offset, code);
  return true;
}

bool krv_kernel_memory_write(const krv_kernel_memory_view& view, uint64_t offset, uint8_t code,
                             const krvvar_shared& value, std::string& message) {
  if (view.held) {
    message = view.in_use_text;
    return false;
  }
  if (!view.writable) {
    message = "the memory is read only";
    return false;
  }
  if (!in_range(view, offset, code, message)) return false;
  uint64_t bits = 0;
  if (!krv_kernel_arg_scalar(krv_kernel_follow_refs(value.get()), code, true, bits, message)) return false;
  std::memcpy(view.base + offset, &bits, static_cast<size_t>(krvk_prim_size(code)));  // the low bytes
  return true;
}

bool krv_kernel_memory_of(krvvar* value, krv_kernel_memory_view& view) {
  value = krv_kernel_follow_refs(value);
  if (value == nullptr) return false;
  if (krv_std_buffer* buffer = krv_var_std_buffer(value)) {
    fill_from_buffer(view, *buffer);
    return true;
  }
  if (value->type != KRVVAR_OBJECT) return false;
  krvobject_base* object = value->object_ptr();
  krv_kernel_memory* memory = object != nullptr ? krv_kernel_memory_interface(*object) : nullptr;
  if (memory == nullptr) return false;
  view.in_use_text = std::string(object->type_name()) + " is in use by a running kernel launch (call wait() on the launch first)";
  view.held_for_reading = memory->in_use(false);
  view.held = memory->in_use(true);
  view.writable = memory->get_memory(&view.base, &view.size, true);
  return view.writable || memory->get_memory(&view.base, &view.size, false);
}

krv_kernel_memory_view krv_buffer_memory_view(krv_std_buffer& buffer) {
  krv_kernel_memory_view view;
  view.in_use_text = krv_buffer_in_use_text;
  fill_from_buffer(view, buffer);
  return view;
}
