#include "classes/ipc/ipc_payload.h"

#include <cstring>
#include <string_view>

#include "runtime/storage/buffer_object.h"
#include "runtime/storage/string_object.h"
#include "runtime/values/krvvar.h"

namespace {

constexpr uint8_t value_header[] = {0x03, 'v', '1', '1', 0x00};
constexpr size_t max_leb128_bytes = 10;

void write_leb128(uint64_t number, std::vector<uint8_t>& out) {
  while (number >= 0x80) {
    out.push_back(static_cast<uint8_t>(number | 0x80));
    number >>= 7;
  }
  out.push_back(static_cast<uint8_t>(number));
}

void write_sized(const void* data, size_t size, std::vector<uint8_t>& out) {
  write_leb128(size, out);
  const auto* bytes = static_cast<const uint8_t*>(data);
  out.insert(out.end(), bytes, bytes + size);
}

// A bounded cursor over the payload: every read checks what remains, so no length can run past it.
struct payload_cursor {
  const uint8_t* data;
  size_t size;
  size_t position = 0;

  size_t remaining() const { return size - position; }
  bool read_leb128(uint64_t& number) {
    number = 0;
    for (size_t i = 0; i < max_leb128_bytes && position < size; ++i) {
      const uint8_t byte = data[position++];
      number |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
      if ((byte & 0x80) == 0) return true;
    }
    return false;
  }
  // A LEB128 length followed by that many bytes.
  bool read_sized(const uint8_t*& bytes, size_t& length) {
    uint64_t declared = 0;
    if (!read_leb128(declared) || declared > remaining()) return false;
    bytes = data + position;
    length = static_cast<size_t>(declared);
    position += length;
    return true;
  }
};

}  // namespace

bool krv_ipc_write_payload(krvvar_shared& value, std::vector<uint8_t>& out) {
  krvvar_shared resolved = value.deref_copy();
  const size_t start = out.size();
  out.insert(out.end(), std::begin(value_header), std::end(value_header));
  out.push_back(resolved->type);
  switch (resolved->type) {
    case KRVVAR_NONE:
      return true;
    case KRVVAR_INT: {
      const int64_t number = resolved->payload.int_value;
      write_leb128((static_cast<uint64_t>(number) << 1) ^ static_cast<uint64_t>(number >> 63), out);
      return true;
    }
    case KRVVAR_FLOAT: {
      uint8_t bytes[sizeof(double)];
      std::memcpy(bytes, &resolved->payload.float_value, sizeof bytes);
      out.insert(out.end(), bytes, bytes + sizeof bytes);
      return true;
    }
    case KRVVAR_STRING: {
      const std::string& text = resolved->object_ptr<krv_std_string>()->text;
      write_sized(text.data(), text.size(), out);
      out.push_back(0);
      return true;
    }
    case KRVVAR_BUFFER: {
      const krv_std_buffer& buffer = *resolved->object_ptr<krv_std_buffer>();
      if (buffer.write_holds != 0) break;
      write_sized(buffer.bytes.data(), buffer.bytes.size(), out);
      return true;
    }
    default:
      break;
  }
  out.resize(start);
  return false;
}

bool krv_ipc_read_payload(const uint8_t* data, size_t size, krvvar_shared& out) {
  payload_cursor cursor{data, size};
  if (size < sizeof value_header + 1 || std::memcmp(data, value_header, sizeof value_header) != 0) return false;
  cursor.position = sizeof value_header;
  const uint8_t type = data[cursor.position++];
  switch (type) {
    case KRVVAR_NONE:
      out = krvvar_shared::make_none();
      return true;
    case KRVVAR_INT: {
      uint64_t zigzag = 0;
      if (!cursor.read_leb128(zigzag)) return false;
      out = krvvar_shared::make_int(static_cast<int64_t>((zigzag >> 1) ^ (~(zigzag & 1) + 1)));
      return true;
    }
    case KRVVAR_FLOAT: {
      if (cursor.remaining() < sizeof(double)) return false;
      double number = 0;
      std::memcpy(&number, data + cursor.position, sizeof number);
      out = krvvar_shared::make_float(number);
      return true;
    }
    case KRVVAR_STRING: {
      const uint8_t* text = nullptr;
      size_t length = 0;
      if (!cursor.read_sized(text, length) || cursor.remaining() < 1) return false;
      out = krvvar_shared::make_string(std::string_view(reinterpret_cast<const char*>(text), length));
      return true;
    }
    case KRVVAR_BUFFER: {
      const uint8_t* bytes = nullptr;
      size_t length = 0;
      if (!cursor.read_sized(bytes, length)) return false;
      out = krvvar_shared::make_buffer(bytes, length);
      return true;
    }
    default:
      return false;
  }
}
