// The binary value format: krvvar::to_binary, krvvar::from_binary and the LEB128 and section helpers
// that the container's "j11" section shares.
//
// Writing appends to the caller's vector and never takes anything back except a container's own
// section: a value that cannot be written leaves its six header bytes and returns false, so a caller
// that wants all or nothing remembers its length and cuts back. Reading overwrites the cell as soon as
// the type code is known; a read that fails part-way leaves the empty string, buffer or container (or the
// simple type with payload 0) that the type change gave it.
#include "runtime/values/binary_format.h"

#include <bit>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "runtime/base/krvvar.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/base/raise.h"
#include "runtime/objects/log.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"

static_assert(std::endian::native == std::endian::little, "floats are copied as they lie in memory");
static_assert(sizeof(double) == 8);

namespace {

constexpr uint64_t krv_float_bytes = 8;

constexpr const char* varint_too_large_text = "Varint too large";

[[noreturn]] void malformed(const char* text) { throw std::runtime_error(text); }

enum class varint_status { ok, out_of_bounds, too_large };

// The LEB128 number at `position` into `value`, its byte count into `length`.
varint_status decode_varint(const uint8_t* data, uint64_t size, uint64_t position, uint64_t& value,
                            uint64_t& length) noexcept {
  const uint64_t available = position < size ? size - position : 0;
  value = 0;
  unsigned shift = 0;
  for (uint64_t i = 0; i < available; ++i) {
    const uint8_t byte = data[position + i];
    value |= static_cast<uint64_t>(byte & 0x7F) << shift;  // the tenth byte's upper bits drop off
    length = i + 1;
    if ((byte & 0x80) == 0) return varint_status::ok;
    shift += 7;
    if (shift > 63) return varint_status::too_large;
  }
  return varint_status::out_of_bounds;
}

// The warning of a type the writer cannot carry; every one of them is written as header and type only.
const char* unsupported_write_text(uint8_t type) {
  switch (type) {
    case KRVVAR_ERR: return "to_binary(): KRVVAR_ERR not supported.";
    case KRVVAR_CLASS: return "to_binary(): KRVVAR_CLASS not implemented.";
    case KRVVAR_FUNCTION: return "to_binary(): KRVVAR_FUNCTION not implemented.";
    case KRVVAR_EXT_FUNCTION: return "to_binary(): KRVVAR_EXT_FUNCTION not implemented.";
    case KRVVAR_OBJECT_MEMBER_LITERAL: return "to_binary(): KRVVAR_OBJECT_MEMBER_LITERAL not implemented.";
    case KRVVAR_OBJECT_MEMBER_INDEX: return "to_binary(): KRVVAR_OBJECT_MEMBER_INDEX not implemented.";
    case KRVVAR_OBJECT_MEMBER_VAR: return "to_binary(): KRVVAR_OBJECT_MEMBER_VAR not implemented.";
    default: return "to_binary(): Unknown type.";
  }
}

void append_bytes(std::vector<uint8_t>& out, const void* bytes, size_t size) {
  const auto* first = static_cast<const uint8_t*>(bytes);
  out.insert(out.end(), first, first + size);
}

void write_float(std::vector<uint8_t>& out, double value) {
  const auto bits = std::bit_cast<uint64_t>(value);
  append_bytes(out, &bits, sizeof bits);
}

void write_string(std::vector<uint8_t>& out, const krv_std_string* string) {
  const std::string_view text = string != nullptr ? std::string_view(string->text) : std::string_view();
  write_varint(out, text.size());
  append_bytes(out, text.data(), text.size());
  out.push_back(0);
}

// A launch may be writing the bytes right now: a held buffer is refused rather than copied half-done.
bool write_buffer(std::vector<uint8_t>& out, const krv_std_buffer* buffer) {
  if (buffer == nullptr) {
    write_varint(out, 0);
    return true;
  }
  if (buffer->write_holds != 0) {
    krv_raise_error(krv_buffer_in_use_text);
    return false;
  }
  write_varint(out, buffer->bytes.size());
  append_bytes(out, buffer->bytes.data(), buffer->bytes.size());
  return true;
}

double read_float(krv_binary_reader& reader) {
  if (reader.remaining() < krv_float_bytes) malformed("Buffer underflow (trivial)");
  uint64_t bits;
  std::memcpy(&bits, reader.data + reader.position, sizeof bits);
  reader.position += krv_float_bytes;
  return std::bit_cast<double>(bits);
}

// A buffer's bytes: a LEB128 length and that many bytes, without a terminator. A length cut short is an
// underflow of the bytes like any other.
void read_bytes(krv_binary_reader& reader, std::vector<uint8_t>& bytes) {
  const char* const underflow_text = "Buffer underflow in read_bytes_view";
  uint64_t length_bytes = 0;
  uint64_t length = 0;
  switch (decode_varint(reader.data, reader.size, reader.position, length, length_bytes)) {
    case varint_status::ok: break;
    case varint_status::out_of_bounds: malformed(underflow_text);
    case varint_status::too_large: malformed(varint_too_large_text);
  }
  if (length > reader.remaining() - length_bytes) malformed(underflow_text);
  const uint8_t* first = reader.data + reader.position + length_bytes;
  bytes.assign(first, first + length);
  reader.position += length_bytes + length;
}

// The storage object a string, buffer or container value got from its type change; the change hands out
// an empty one only when no object could be made.
template <class Storage>
Storage& fresh_storage(krvvar& cell) {
  Storage* storage = cell.object_ptr<Storage>();
  if (storage == nullptr) throw std::bad_alloc();
  return *storage;
}

// How the reader takes a type code: built, read as None, or refused.
enum class code_reading { value, as_none, refused_object, unknown };

code_reading classify_code(uint64_t code) {
  switch (code) {
    case KRVVAR_NONE:
    case KRVVAR_INT:
    case KRVVAR_FLOAT:
    case KRVVAR_STRING:
    case KRVVAR_BUFFER:
    case KRVVAR_JSON: return code_reading::value;
    case KRVVAR_OBJECT: return code_reading::refused_object;
    case KRVVAR_PRIMITIVE_END:
    case KRVVAR_OBJECTS_END: return code_reading::unknown;
    default: return code < krvvar_type_count ? code_reading::as_none : code_reading::unknown;
  }
}

}  // namespace

void write_varint(std::vector<uint8_t>& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<uint8_t>(value));
}

void write_section(std::vector<uint8_t>& out, std::string_view tag) {
  write_varint(out, tag.size());
  append_bytes(out, tag.data(), tag.size());
  out.push_back(0);
}

uint64_t read_varint(const uint8_t* data, uint64_t size, uint64_t position, uint64_t& length) {
  uint64_t value = 0;
  switch (decode_varint(data, size, position, value, length)) {
    case varint_status::ok: return value;
    case varint_status::out_of_bounds: malformed("Varint peek out of bounds");
    case varint_status::too_large: malformed(varint_too_large_text);
  }
  return value;
}

uint64_t take_varint(krv_binary_reader& reader) {
  uint64_t length = 0;
  const uint64_t value = read_varint(reader.data, reader.size, reader.position, length);
  reader.position += length;
  return value;
}

bool check_section(krv_binary_reader& reader, std::string_view tag) {
  uint64_t length_bytes = 0;
  const uint64_t tag_length = read_varint(reader.data, reader.size, reader.position, length_bytes);
  const uint64_t rest = reader.remaining() - length_bytes;
  if (rest == 0 || tag_length > rest - 1) malformed("Buffer underflow in check_section");
  const auto* found = reinterpret_cast<const char*>(reader.data + reader.position + length_bytes);
  reader.position += length_bytes + tag_length + 1;
  return std::string_view(found, tag_length) == tag;
}

std::string_view read_string_view(krv_binary_reader& reader) {
  uint64_t length_bytes = 0;
  const uint64_t length = read_varint(reader.data, reader.size, reader.position, length_bytes);
  const uint64_t rest = reader.remaining() - length_bytes;
  if (rest == 0 || length > rest - 1) malformed("Buffer underflow in read_string_view");
  const auto* text = reinterpret_cast<const char*>(reader.data + reader.position + length_bytes);
  reader.position += length_bytes + length + 1;
  return {text, length};
}

bool krvvar::to_binary(std::vector<uint8_t>& out) {
  if (type == KRVVAR_REF) {
    krvvar_shared target;
    return deref(target)->to_binary(out);
  }
  write_section(out, krv_value_section_tag);
  write_varint(out, type);
  switch (type) {
    case KRVVAR_NONE: return true;
    case KRVVAR_INT: write_varint(out, krv_zigzag_encode(payload.int_value)); return true;
    case KRVVAR_FLOAT: write_float(out, payload.float_value); return true;
    case KRVVAR_STRING: write_string(out, object_ptr<krv_std_string>()); return true;
    case KRVVAR_BUFFER: return write_buffer(out, object_ptr<krv_std_buffer>());
    // The container's result counts: a section it could not write completely has been cut back.
    case KRVVAR_JSON: {
      krv_std_json* container = object_ptr<krv_std_json>();
      return container == nullptr || container->to_binary(out);
    }
    case KRVVAR_OBJECT: {
      krvobject_base* object = object_ptr();
      return object == nullptr || object->to_binary(out);
    }
    default: krv_raise_warning_text(unsupported_write_text(type)); return true;
  }
}

bool krvvar::from_binary(krv_binary_reader& reader) {
  if (!check_section(reader, krv_value_section_tag)) {
    krv_log_base::instance()->error("from_binary(): invalid section.");
    return false;
  }
  const uint64_t code = take_varint(reader);
  switch (classify_code(code)) {
    case code_reading::value: break;
    case code_reading::as_none:
      krv_log_line(*krv_log_base::instance(), KRV_LOG_WARNING, "from_binary(): type ", code,
                   " cannot be deserialized, reading it as None.");
      set_type_simple(KRVVAR_NONE);
      return true;
    case code_reading::refused_object: krv_raise_warning("Implement object deserialization in from_binary!"); return false;
    case code_reading::unknown:
      krv_log_line(*krv_log_base::instance(), KRV_LOG_ERROR, "from_binary(): unknown type ", code);
      return false;
  }
  set_type_simple(static_cast<uint8_t>(code));
  switch (code) {
    case KRVVAR_INT: payload.int_value = krv_zigzag_decode(take_varint(reader)); return true;
    case KRVVAR_FLOAT: payload.float_value = read_float(reader); return true;
    case KRVVAR_STRING: {
      const std::string_view text = read_string_view(reader);
      fresh_storage<krv_std_string>(*this).text.assign(text);
      return true;
    }
    case KRVVAR_BUFFER: read_bytes(reader, fresh_storage<krv_std_buffer>(*this).bytes); return true;
    case KRVVAR_JSON: return fresh_storage<krv_std_json>(*this).from_binary(reader);
    default: return true;  // None
  }
}

bool krvvar::from_binary_bytes(const uint8_t* data, size_t size) {
  krv_binary_reader reader{data, size, 0};
  try {
    return from_binary(reader);
  } catch (const std::exception& failure) {
    krv_log_line(*krv_log_base::instance(), KRV_LOG_ERROR, "from_binary(): invalid data: ", failure.what());
    return false;
  }
}
