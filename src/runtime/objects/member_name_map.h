// krv_member_name_map: a class's member names -> their indexes in its member table.
//
// The interpreter looks members up by name on every uncached member access, so the lookup is one XXH3-64
// hash of the name's bytes and a short linear probe in a power-of-two table kept at most a quarter full
// (no division, no node chasing). Entries keep their first registration order, which is the order of
// iteration (metadata, the member list of a failed lookup). Written only while the class registers; read
// without locks.
//
// Member names are short. Names of up to 16 bytes are hashed by xxHash's own routine for such inputs,
// inlined here (XXH3_64bits runs the same routine for them, behind a call and its dispatch on length),
// and compared in registers rather than through memcmp.
#pragma once
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "module/name_hash.h"

// XXH3-64 of `name`, as krv_hasher gives it.
inline uint64_t krv_member_name_hash(std::string_view name) noexcept {
  if (name.size() <= 16) [[likely]]
    return XXH3_len_0to16_64b(reinterpret_cast<const xxh_u8*>(name.data()), name.size(), XXH3_kSecret, 0);
  return krv_hasher{}(name);
}

// Whether two names of the same `length` hold the same bytes. Up to 16 bytes, two overlapping words
// from each end cover the name without reading past it.
inline bool krv_same_name_bytes(const char* a, const char* b, size_t length) noexcept {
  const auto same = [a, b]<class Word>(Word, size_t at) {
    Word x, y;
    std::memcpy(&x, a + at, sizeof x);
    std::memcpy(&y, b + at, sizeof y);
    return x == y;
  };
  if (length > 16) return std::memcmp(a, b, length) == 0;
  if (length >= 8) return same(uint64_t{}, 0) && same(uint64_t{}, length - 8);
  if (length >= 4) return same(uint32_t{}, 0) && same(uint32_t{}, length - 4);
  for (size_t i = 0; i < length; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

class krv_member_name_map {
 public:
  struct entry {
    std::string_view name;  // a view into the module's static text
    uint64_t index;         // position in the class's member table
    uint64_t hash;          // XXH3-64 of the name
  };

  // The index stored for `name`, or -1. Inlined into each class's member_index.
  [[gnu::always_inline]] int64_t find(std::string_view name) const noexcept {
    if (slots_.empty()) return -1;
    const uint64_t hash = krv_member_name_hash(name);
    const size_t mask = slots_.size() - 1;
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      const uint32_t position = slots_[slot];
      if (position == 0) return -1;
      const entry& candidate = entries_[position - 1];
      if (candidate.hash == hash && candidate.name.size() == name.size() &&
          krv_same_name_bytes(candidate.name.data(), name.data(), name.size()))
        return static_cast<int64_t>(candidate.index);
    }
  }

  // Stores `index` under `name`; a name already present now refers to the new index.
  void assign(std::string_view name, uint64_t index) {
    const int64_t existing = find(name);
    if (existing >= 0) {
      for (entry& e : entries_)
        if (e.name == name) e.index = index;
      return;
    }
    entries_.push_back({name, index, krv_member_name_hash(name)});
    // At most a quarter full, so most names sit in their home slot (a hit reads one slot and one entry)
    // and every probe ends at an empty slot.
    if (entries_.size() * 4 > slots_.size()) rebuild(slots_.empty() ? 16 : slots_.size() * 2);
    else place(entries_.size() - 1);
  }

  // Entries in first-registration order.
  const std::vector<entry>& entries() const noexcept { return entries_; }
  size_t size() const noexcept { return entries_.size(); }

 private:
  void rebuild(size_t slot_count) {
    slots_.assign(slot_count, 0);
    for (size_t i = 0; i < entries_.size(); ++i) place(i);
  }
  void place(size_t position) {
    const size_t mask = slots_.size() - 1;
    size_t slot = entries_[position].hash & mask;
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = static_cast<uint32_t>(position + 1);
  }

  std::vector<entry> entries_;
  std::vector<uint32_t> slots_;  // 0: empty; else position in entries_ + 1
};
