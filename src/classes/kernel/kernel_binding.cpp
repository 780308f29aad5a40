#include "classes/kernel/kernel_binding.h"

#include <cstring>
#include <limits>

#include "classes/kernel/kernel_arguments.h"
#include "classes/kernel/kernel_classes.h"
#include "classes/kernel/kernel_memory_access.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"

namespace {

constexpr uint64_t max_invocations = 4294967295u;

std::string parameter_list(const krvk_program& program) {
  std::string list;
  for (const krvk_param& param : program.parameters) {
    if (!list.empty()) list += ", ";
    list += param.type_text + " " + param.name;
  }
  return list;
}

// The domain value as width x height; false with the reason (after the "kernel 'NAME'" prefix).
bool read_domain(krvvar* value, uint64_t& width, uint64_t& height, std::string& error) {
  static const char* negative = ": the domain must not be negative";
  if (value != nullptr && value->type == KRVVAR_INT) {
    if (value->payload.int_value < 0) return error = negative, false;
    width = static_cast<uint64_t>(value->payload.int_value);
    height = 1;
    return true;
  }
  if (value != nullptr && value->type == KRVVAR_JSON) {
    auto* list = value->object_ptr<krv_std_json>();
    if (list != nullptr && list->size() == 2) {
      krvvar_shared first = list->at(0), second = list->at(1);
      if (first->type == KRVVAR_INT && second->type == KRVVAR_INT) {
        if (first->payload.int_value < 0 || second->payload.int_value < 0) return error = negative, false;
        width = static_cast<uint64_t>(first->payload.int_value);
        height = static_cast<uint64_t>(second->payload.int_value);
        // Lowered so that width x height cannot overflow; the size check below still refuses it.
        if (width != 0) height = std::min(height, std::numeric_limits<uint64_t>::max() / width);
        return true;
      }
    }
  }
  error = ": the domain must be an int or [width, height] but got " + krv_var_type_name(value);
  return false;
}

void take_holds(krv_kernel_launch_state& state, int delta) {
  for (krv_kernel_held_arg& held : state.held) {
    if (held.buffer != nullptr) {
      (held.writable ? held.buffer->write_holds : held.buffer->read_holds) += static_cast<uint32_t>(delta);
    } else if (held.memory != nullptr) {
      held.memory->hold(held.writable != 0, delta);
    }
  }
}

bool bind_string(krvvar* value, bool writable, bool copy_strings, krv_kernel_held_arg& held, std::string& error) {
  if (writable) {
    error = "strings are read only, declare the parameter as const (const u8*) or use a std.buffer";
    return false;
  }
  auto* object = value->object_ptr<krv_std_string>();
  if (object == nullptr) return error = "invalid string", false;
  if (copy_strings) {
    held.string_copy = std::make_shared<std::string>(object->text);
    held.base = reinterpret_cast<uint8_t*>(held.string_copy->data());
    held.size = held.string_copy->size();
  } else {
    held.object = krvptr_strong<krvobject_base>::from_raw(object);
    held.base = reinterpret_cast<uint8_t*>(object->text.data());
    held.size = object->text.size();
  }
  return true;
}

// An object that lends kernel memory; false with `error` set when it refuses, or with `error` empty
// when the object lends none.
bool bind_memory_object(krvobject_base& object, bool writable, krv_kernel_held_arg& held, std::string& error) {
  krv_kernel_memory* memory = krv_kernel_memory_interface(object);
  if (memory == nullptr) return false;
  const std::string class_name = object.type_name();
  if (memory->in_use(writable)) {
    error = "the " + class_name + " is already used by another running kernel launch";
    return false;
  }
  if (!memory->get_memory(&held.base, &held.size, writable)) {
    error = "the memory of " + class_name + " is not writable (declare the parameter as const)";
    return false;
  }
  held.object = krvptr_strong<krvobject_base>::from_raw(&object);
  held.memory = memory;
  held.writable = writable;
  return true;
}

}  // namespace

bool krv_kernel_arg_buffer(krvvar* value, bool writable, bool copy_strings, krv_kernel_held_arg& held,
                           std::string& error) {
  if (value == nullptr) return error = "expects a std.buffer but got None", false;
  if (krv_std_buffer* buffer = krv_var_std_buffer(value)) {
    if (buffer->write_holds != 0 || (writable && buffer->read_holds != 0)) {
      error = "the std.buffer is already used by another running kernel launch";
      return false;
    }
    held.object = krvptr_strong<krvobject_base>::from_raw(buffer);
    held.buffer = buffer;
    held.base = buffer->bytes.data();
    held.size = buffer->bytes.size();
    held.writable = writable;
    return true;
  }
  if (value->type == KRVVAR_OBJECT) {
    if (krvobject_base* object = value->object_ptr()) {
      if (bind_memory_object(*object, writable, held, error)) return true;
      if (!error.empty()) return false;
    }
  } else if (value->type == KRVVAR_STRING) {
    return bind_string(value, writable, copy_strings, held, error);
  }
  error = "expects a std.buffer but got " + krv_var_type_name(value);
  return false;
}

std::shared_ptr<krv_kernel_launch_state> krv_kernel_launch_bind(krv_std_kernel& kernel,
                                                                std::vector<krvvar_shared>& args,
                                                                bool copy_strings, std::string& error) {
  const krvk_program& program = *kernel.program;
  // Built only for a message: a successful binding makes no text.
  auto prefix = [&program] { return "kernel '" + program.name + "'"; };
  if (args.empty()) {
    error = prefix() + " needs a domain: k.launch(n, ...) or k.launch([width, height], ...)";
    return nullptr;
  }
  const size_t count = program.parameters.size();
  if (args.size() - 1 != count) {
    error = prefix() + " expects " + std::to_string(count) + " argument" + (count == 1 ? "" : "s") + " (" +
            parameter_list(program) + ") after the domain but got " + std::to_string(args.size() - 1);
    return nullptr;
  }
  uint64_t width = 0, height = 0;
  if (!read_domain(krv_kernel_follow_refs(args[0].get()), width, height, error)) {
    error = prefix() + error;
    return nullptr;
  }
  if (width * height > max_invocations) {
    error = prefix() + ": the domain is too large (at most 4294967295 invocations)";
    return nullptr;
  }

  auto state = std::make_shared<krv_kernel_launch_state>();
  state->launch = std::make_shared<krvk_launch>();
  state->launch->prepare(kernel.unit, kernel.program, width, height);
  for (size_t i = 0; i < count; ++i) {
    const krvk_param& param = program.parameters[i];
    krvvar* value = krv_kernel_follow_refs(args[i + 1].get());
    std::string reason;
    if (!param.type.is_pointer) {
      uint64_t bits = 0;
      if (!krv_kernel_arg_scalar(value, param.type.prim, false, bits, reason)) {
        error = prefix() + ": argument " + std::to_string(i + 1) + " ('" + param.name + "') " + reason;
        return nullptr;
      }
      state->launch->registers[param.reg] = bits;
      continue;
    }
    krv_kernel_held_arg held;
    if (!krv_kernel_arg_buffer(value, !param.type.is_const, copy_strings, held, reason)) {
      error = prefix() + ": argument " + std::to_string(i + 1) + " ('" + param.type_text + " " + param.name + "') " +
              reason;
      return nullptr;
    }
    kptr& slot = state->launch->pointer_slots[param.pointer_slot];
    slot.base = held.base;
    slot.count = param.element_size == 0 ? 0 : held.size / param.element_size;
    slot.stride = param.element_size;
    slot.bytes = held.size;
    state->held.push_back(std::move(held));
  }
  take_holds(*state, +1);
  state->holding = 1;
  return state;
}

void krv_kernel_launch_state::release() {
  if (released) return;
  released = 1;
  if (holding) take_holds(*this, -1);
  holding = 0;
  held.clear();
}

krvvar_shared krv_kernel_value_to_var(uint8_t prim, uint64_t bits) {
  switch (prim) {
    case KRVK_VOID: return krvvar_shared::make_none();
    case KRVK_F32: {
      float single = 0;
      const auto low = static_cast<uint32_t>(bits);
      std::memcpy(&single, &low, sizeof single);
      return krvvar_shared::make_float(single);
    }
    case KRVK_F64: {
      double value = 0;
      std::memcpy(&value, &bits, sizeof value);
      return krvvar_shared::make_float(value);
    }
    default: return krvvar_shared::make_int(static_cast<int64_t>(bits));
  }
}
