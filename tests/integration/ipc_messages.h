// The messages of the two-process IPC tests, known to both sides: the receiver regenerates what the
// sender must have sent and checks each arrival against it.
//
// Stress messages are string values: a 24-byte header (index, body size, FNV-1a checksum of the body,
// little-endian u64 each) and a body generated from the seed and the index. Sizes are mostly small, about
// one in 500 up to the largest text a message can carry. Mixed messages are a fixed list of values of
// every payload kind, the largest message among them.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/base/krvvar.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/string_object.h"

// The longest text whose payload (header, type, 3-byte length, text, trailing zero) is 1,048,576 bytes.
inline constexpr size_t krv_test_largest_text = 1048566;
inline constexpr size_t krv_test_stress_header = 24;

inline uint64_t krv_test_mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

inline uint64_t krv_test_checksum(const char* data, size_t size) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<uint8_t>(data[i])) * 0x100000001B3ull;
  return hash;
}

inline size_t krv_test_stress_body_size(uint64_t seed, uint64_t index) {
  const uint64_t draw = krv_test_mix(seed * 1000003 + index);
  if (draw % 500 == 0) return (draw >> 16) % (krv_test_largest_text - krv_test_stress_header + 1);
  return (draw >> 16) % 200;
}

// The text of stress message `index`.
inline std::string krv_test_stress_text(uint64_t seed, uint64_t index) {
  const size_t body_size = krv_test_stress_body_size(seed, index);
  std::string text(krv_test_stress_header + body_size, '\0');
  uint64_t state = krv_test_mix(seed ^ (index << 20));
  for (size_t i = 0; i < body_size; i += 8) {
    state = krv_test_mix(state);
    std::memcpy(&text[krv_test_stress_header + i], &state, std::min<size_t>(8, body_size - i));
  }
  const uint64_t header[3] = {index, body_size, krv_test_checksum(text.data() + krv_test_stress_header, body_size)};
  std::memcpy(text.data(), header, sizeof header);
  return text;
}

// Reads a stress message's header; false when its size or checksum does not hold.
inline bool krv_test_stress_check(const std::string& text, uint64_t& index) {
  if (text.size() < krv_test_stress_header) return false;
  uint64_t header[3];
  std::memcpy(header, text.data(), sizeof header);
  index = header[0];
  return header[1] == text.size() - krv_test_stress_header &&
         header[2] == krv_test_checksum(text.data() + krv_test_stress_header, header[1]);
}

// Mixed message `index` (of krv_test_mixed_count): every payload kind the channel carries.
inline constexpr size_t krv_test_mixed_count = 8;
inline krvvar_shared krv_test_mixed_value(size_t index) {
  static const uint8_t bytes[] = {0, 1, 2, 0xFE, 0xFF, 0};
  switch (index) {
    case 0: return krvvar_shared::make_none();
    case 1: return krvvar_shared::make_int(-1234567890123);
    case 2: return krvvar_shared::make_float(-0.125);
    case 3: return krvvar_shared::make_string(std::string("zero\0bytes\0inside", 17));
    case 4: return krvvar_shared::make_buffer(bytes, sizeof bytes);
    case 5: return krvvar_shared::make_string("");
    case 6: return krvvar_shared::make_string(std::string(krv_test_largest_text, 'L'));
    default: return krvvar_shared::make_int(static_cast<int64_t>(index));
  }
}

// Whether two values of the kinds above are equal in type and content.
inline bool krv_test_same_value(krvvar_shared& a, krvvar_shared& b) {
  if (a->type != b->type) return false;
  switch (a->type) {
    case KRVVAR_NONE: return true;
    case KRVVAR_INT: return a->int_value() == b->int_value();
    case KRVVAR_FLOAT: return a->float_value() == b->float_value();
    case KRVVAR_STRING: return a->object_ptr<krv_std_string>()->text == b->object_ptr<krv_std_string>()->text;
    case KRVVAR_BUFFER: return a->object_ptr<krv_std_buffer>()->bytes == b->object_ptr<krv_std_buffer>()->bytes;
    default: return false;
  }
}
