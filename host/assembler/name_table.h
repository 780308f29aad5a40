// krv_name_table<T>: the names a text declares (blocks, natives, cells, classes, sources) and what each
// stands for, in declaration order.
//
// Entries live in a deque (their addresses never change, so callers may keep pointers to them); a flat
// open-addressing index of hashes finds them. A lookup touches one index slot and one entry, where a
// node-based map chases a chain of nodes: with a hundred thousand names that difference is most of the
// cost of reading a line.
#pragma once
#include <bit>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "module/name_hash.h"

template <class T>
class krv_name_table {
 public:
  struct entry {
    std::string name;
    T value;
  };

  krv_name_table() { slots_.assign(16, slot{}); }

  // The new entry of `name`, or null (and no change) when the name is declared already.
  entry* add(std::string_view name, T value) {
    if (2 * (entries_.size() + 1) > slots_.size()) grow();
    const uint64_t hash = krv_hasher{}(name);
    slot& found = slots_[probe(name, hash)];
    if (found.index != 0) return nullptr;
    entries_.push_back({std::string(name), std::move(value)});
    found = {static_cast<uint32_t>(hash), static_cast<uint32_t>(entries_.size())};
    return &entries_.back();
  }
  // The entry of `name`, or null.
  const entry* find(std::string_view name) const {
    const slot& found = slots_[probe(name, krv_hasher{}(name))];
    return found.index == 0 ? nullptr : &entries_[found.index - 1];
  }
  // Every entry, in declaration order.
  const std::deque<entry>& entries() const noexcept { return entries_; }

 private:
  struct slot {
    uint32_t hash = 0;   // low half of the name's hash, compared before the name
    uint32_t index = 0;  // entry index + 1; 0 marks an empty slot
  };

  // The slot of `name`, or the empty slot where it would go.
  size_t probe(std::string_view name, uint64_t hash) const {
    const size_t mask = slots_.size() - 1;
    for (size_t at = (hash >> 32) & mask;; at = (at + 1) & mask) {
      const slot& s = slots_[at];
      if (s.index == 0 || (s.hash == static_cast<uint32_t>(hash) && entries_[s.index - 1].name == name)) return at;
    }
  }

  void grow() {
    slots_.assign(2 * slots_.size(), slot{});
    const size_t mask = slots_.size() - 1;
    for (size_t i = 0; i < entries_.size(); ++i) {
      const uint64_t hash = krv_hasher{}(entries_[i].name);
      size_t at = (hash >> 32) & mask;
      while (slots_[at].index != 0) at = (at + 1) & mask;
      slots_[at] = {static_cast<uint32_t>(hash), static_cast<uint32_t>(i + 1)};
    }
  }

  std::deque<entry> entries_;
  std::vector<slot> slots_;  // size is a power of two, at most half full
};
