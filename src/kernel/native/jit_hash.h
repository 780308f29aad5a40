// The 64-bit FNV-1a loop behind JIT cache keys and kernel hashes.
//
// It starts from 0x14650fb0739d0383 rather than the usual FNV offset basis; every byte, taken unsigned,
// is folded in by exclusive-or and a multiply by the FNV prime modulo 2^64. Keys and hashes are stored
// on disk (file names, ahead-of-time tables), so the loop and its start value never change.
#pragma once
#include <cstdint>
#include <string_view>

inline constexpr uint64_t krvk_jit_hash_start = 0x14650fb0739d0383ULL;

constexpr uint64_t krvk_jit_hash_bytes(std::string_view bytes, uint64_t hash = krvk_jit_hash_start) {
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}
