// The binary value format "v11": how a value becomes bytes and back, for IPC payloads and wherever values
// are kept in binary form.
//
// Numbers are LEB128: 7 bits a byte, least significant group first, 0x80 set on every byte but the last,
// at most 10 bytes for a u64. Signed integers are zigzag-encoded first, so small magnitudes of either
// sign stay short. A section header is a LEB128 tag length, the tag bytes and one byte 0.
//
// Every value, nested or not, is the header of tag "v11", its type code as a LEB128 number, then its
// payload by type:
//   None       nothing
//   int        the zigzag LEB128 of the i64
//   float      the IEEE-754 double, 8 bytes little-endian
//   string     LEB128 length n, the n bytes, one byte 0 (skipped on reading)
//   buffer     LEB128 length n, the n bytes
//   container  its "j11" section (runtime/storage/json_binary.cpp)
//   object     its class's binary form (krv_serializable); not read back
// Values that mean something only inside one process (functions, classes, member references) write the
// header and type alone and read back as None; a REF is written as its target.
//
// Readers take their input as hostile: a length is compared with what remains, never added to the
// position (which could wrap), so a bad length is an underflow error, never an allocation. Nesting only
// happens through containers, whose visit guard bounds it.
#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

#include "runtime/objects/binary_reader.h"

// The tag of a value's section.
inline constexpr std::string_view krv_value_section_tag = "v11";
// The longest LEB128 number: 64 bits in groups of 7.
inline constexpr uint64_t krv_varint_max_bytes = 10;

constexpr uint64_t krv_zigzag_encode(int64_t value) noexcept {
  return (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
}
constexpr int64_t krv_zigzag_decode(uint64_t bits) noexcept {
  return static_cast<int64_t>((bits >> 1) ^ (~(bits & 1) + 1));
}
static_assert(krv_zigzag_encode(-1) == 1 && krv_zigzag_encode(5) == 10);
static_assert(krv_zigzag_encode(INT64_MAX) == UINT64_MAX - 1 && krv_zigzag_encode(INT64_MIN) == UINT64_MAX);
static_assert(krv_zigzag_decode(UINT64_MAX) == INT64_MIN && krv_zigzag_decode(UINT64_MAX - 1) == INT64_MAX);

// Appends `value` as a LEB128 number.
void write_varint(std::vector<uint8_t>& out, uint64_t value);
// Appends a section header: the tag's length, the tag and a byte 0.
void write_section(std::vector<uint8_t>& out, std::string_view tag);

// The LEB128 number at `position`; `length` receives the bytes it takes. The position is not moved.
// Throws std::runtime_error "Varint peek out of bounds" when the bytes run out, "Varint too large" past
// ten bytes.
uint64_t read_varint(const uint8_t* data, uint64_t size, uint64_t position, uint64_t& length);
// read_varint at the reader's position, moving past the number.
uint64_t take_varint(krv_binary_reader& reader);
// Reads a section header and moves past it; true when its tag is `tag`. Throws "Buffer underflow in
// check_section" when the header does not fit.
bool check_section(krv_binary_reader& reader, std::string_view tag);
// Reads a LEB128 length, that many bytes and a terminating byte (whatever its value); a view of the
// bytes. Throws "Buffer underflow in read_string_view" when they do not fit.
std::string_view read_string_view(krv_binary_reader& reader);
