// splitmix64: the small seeded generator behind the random test programs. Its sequence is the same on
// every platform and standard library, so a seed names one generated case for good.
#pragma once
#include <cstdint>

// Advances `state` and returns the next output.
inline uint64_t krv_splitmix64_next(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}
