// krv_address_index: record address -> number, for the tools that name or look up the records of a
// program (the block walk, the verifier, the disassembler).
//
// Open addressing with linear probing in one flat table, at most half full: a lookup touches one or two
// adjacent slots and adding allocates nothing between doublings. Programs have as many records as their
// text has lines, so node-based hash maps, with an allocation per entry and a pointer chase per lookup,
// made these tools slower per record the larger the program. Null is not a valid key.
#pragma once
#include <bit>
#include <cstdint>
#include <vector>

class krv_address_index {
 public:
  explicit krv_address_index(size_t expected = 0) { rebuild(std::bit_ceil(2 * expected + 16)); }

  // Adds `address` with `number`; false (and no change) when it is present already.
  bool add(const void* address, uint32_t number) {
    if (2 * (size_ + 1) > slots_.size()) rebuild(2 * slots_.size());
    slot& found = slots_[probe(address)];
    if (found.address != nullptr) return false;
    found = {address, number};
    ++size_;
    return true;
  }
  // The number of `address`, or null when absent.
  const uint32_t* find(const void* address) const {
    const slot& found = slots_[probe(address)];
    return found.address != nullptr ? &found.number : nullptr;
  }
  bool contains(const void* address) const { return find(address) != nullptr; }

 private:
  struct slot {
    const void* address = nullptr;
    uint32_t number = 0;
  };

  // The slot holding `address`, or the empty slot where it would go.
  size_t probe(const void* address) const {
    const size_t mask = slots_.size() - 1;
    // Fibonacci hashing, top bits: records lie 8- or 16-byte aligned, so the low bits alone would cluster.
    size_t at = static_cast<size_t>((reinterpret_cast<uintptr_t>(address) * 0x9E3779B97F4A7C15ull) >> shift_);
    while (slots_[at].address != nullptr && slots_[at].address != address) at = (at + 1) & mask;
    return at;
  }

  void rebuild(size_t capacity) {
    std::vector<slot> old = std::move(slots_);
    slots_.assign(capacity, slot{});
    shift_ = 64 - std::countr_zero(capacity);
    size_ = 0;
    for (const slot& entry : old)
      if (entry.address != nullptr) add(entry.address, entry.number);
  }

  std::vector<slot> slots_;  // size is a power of two
  int shift_ = 0;            // 64 - log2(slots)
  size_t size_ = 0;
};
