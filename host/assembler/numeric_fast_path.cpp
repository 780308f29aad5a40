#include "host/assembler/numeric_fast_path.h"

#include <cstring>
#include <stdexcept>

#include "runtime/exec/interp/script_opcodes.h"

namespace {

using layout = krv_numeric_fast_path;

template <class V>
void put(uint8_t* at, V value) {
  std::memcpy(at, &value, sizeof value);
}
template <class V>
V get(const uint8_t* at) {
  V value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

}  // namespace

void krv_write_fast_path_body(uint8_t* header, const krv_fast_path_body& body) {
  if (body.steps.size() > layout::max_steps) throw std::invalid_argument("numeric_fast_path: more than 16 steps");
  if (body.constants.size() > layout::max_constants)
    throw std::invalid_argument("numeric_fast_path: more than 6 constants");
  put<int16_t>(header + layout::step_count, static_cast<int16_t>(body.steps.size()));
  uint16_t float_mask = 0;
  for (size_t i = 0; i < body.constants.size(); ++i) {
    if (body.constants[i].is_float) float_mask |= static_cast<uint16_t>(1u << i);
    put<uint64_t>(header + layout::constants + 8 * i, body.constants[i].bits);
  }
  put<uint16_t>(header + layout::float_mask, float_mask);
  for (size_t i = 0; i < body.steps.size(); ++i) {
    uint8_t* step = header + layout::steps + layout::step_size * i;
    step[0] = body.steps[i].kind;
    step[1] = body.steps[i].depth;
    put<uint32_t>(step + 4, body.steps[i].index);
  }
}

krv_fast_path_body krv_read_fast_path_body(const uint8_t* header) {
  krv_fast_path_body body;
  const int16_t count = get<int16_t>(header + layout::step_count);
  if (count > static_cast<int16_t>(layout::max_steps))
    throw std::invalid_argument("numeric_fast_path: step count above 16");
  for (int16_t i = 0; i < count; ++i) {
    const uint8_t* step = header + layout::steps + layout::step_size * i;
    body.steps.push_back({step[0], step[1], get<uint32_t>(step + 4)});
  }
  const uint16_t float_mask = get<uint16_t>(header + layout::float_mask);
  size_t used = 0;
  for (size_t i = 0; i < layout::max_constants; ++i) {
    body.constants.push_back({(float_mask >> i & 1u) != 0, get<uint64_t>(header + layout::constants + 8 * i)});
    if (body.constants.back().is_float || body.constants.back().bits != 0) used = i + 1;
  }
  body.constants.resize(used);
  return body;
}
