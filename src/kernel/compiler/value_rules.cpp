#include "kernel/compiler/value_rules.h"

#include <cmath>

#include "kernel/compiler/types.h"

int64_t krvk_wrap_int(uint8_t prim, int64_t value) noexcept {
  const uint64_t bits = static_cast<uint64_t>(value);
  switch (prim) {
    case KRVK_BOOL: return value != 0 ? 1 : 0;
    case KRVK_I8: return static_cast<int8_t>(bits);
    case KRVK_U8: return static_cast<uint8_t>(bits);
    case KRVK_I16: return static_cast<int16_t>(bits);
    case KRVK_U16: return static_cast<uint16_t>(bits);
    case KRVK_I32: return static_cast<int32_t>(bits);
    case KRVK_U32: return static_cast<uint32_t>(bits);
    default: return value;
  }
}

namespace {

struct int_range {
  double low;  // inclusive
  double high;  // inclusive unless high_exclusive
  bool high_exclusive;
};

constexpr double kTwo63 = 9223372036854775808.0;
constexpr double kTwo64 = 18446744073709551616.0;

// Ranges of the integer codes 2..9, in code order.
constexpr int_range kRanges[] = {
    {-128.0, 127.0, false},
    {0.0, 255.0, false},
    {-32768.0, 32767.0, false},
    {0.0, 65535.0, false},
    {-2147483648.0, 2147483647.0, false},
    {0.0, 4294967295.0, false},
    {-kTwo63, kTwo63, true},
    {0.0, kTwo64, true},
};

}  // namespace

bool krvk_f2i(double value, uint8_t target, uint64_t& bits) noexcept {
  if (std::isnan(value)) return false;
  if (target < KRVK_I8 || target > KRVK_U64) return false;
  const double t = std::trunc(value);
  const int_range& range = kRanges[target - KRVK_I8];
  const bool above = range.high_exclusive ? t >= range.high : t > range.high;
  if (t < range.low || above) return false;
  if (target == KRVK_U64 && t >= kTwo63) {
    bits = static_cast<uint64_t>(t - kTwo63) + (uint64_t{1} << 63);
  } else if (t < 0) {
    bits = static_cast<uint64_t>(static_cast<int64_t>(t));
  } else {
    bits = static_cast<uint64_t>(t);  // -0 lands here as 0
  }
  return true;
}
