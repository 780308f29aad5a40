// krv_member_name_map: a class's member names -> their indexes in its member table.
//
// The interpreter looks members up by name on every uncached member access, so the lookup is one XXH3-64
// hash of the name's bytes and a short linear probe in a power-of-two table (no division, no node
// chasing). Entries keep their first registration order, which is the order of iteration (metadata,
// the member list of a failed lookup). Written only while the class registers; read without locks.
#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

#include "module/name_hash.h"

class krv_member_name_map {
 public:
  struct entry {
    std::string_view name;  // a view into the module's static text
    uint64_t index;         // position in the class's member table
    uint64_t hash;          // XXH3-64 of the name
  };

  // The index stored for `name`, or -1.
  int64_t find(std::string_view name) const noexcept {
    if (slots_.empty()) return -1;
    const uint64_t hash = krv_hasher{}(name);
    const size_t mask = slots_.size() - 1;
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      const uint32_t position = slots_[slot];
      if (position == 0) return -1;
      const entry& candidate = entries_[position - 1];
      if (candidate.hash == hash && candidate.name == name) return static_cast<int64_t>(candidate.index);
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
    entries_.push_back({name, index, krv_hasher{}(name)});
    // At most half full, so probes stay short and always end at an empty slot.
    if (entries_.size() * 2 > slots_.size()) rebuild(slots_.empty() ? 16 : slots_.size() * 2);
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
