// krv_seen_texts: the texts a single pass has met, asked once per text "seen before?".
//
// The set only grows and lives for one pass (unique of std.json), so it is flat: the texts are copied one
// after another into one arena and described by records in the order they came; an open-addressing table
// of 32-bit record numbers, kept at most half full, finds them. The table is small (4 bytes a slot) so
// that its random reads stay in cache; a new text costs one hash and a probe that ends at an empty slot,
// a text seen before one record read and one comparison of bytes. Hashing and comparison are those of the
// member-name map (XXH3-64, short texts compared in registers). A pass adds fewer than 2^32 texts: each
// comes from a container entry, and no process holds that many.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/objects/member_name_map.h"

class krv_seen_texts {
 public:
  // Room for `expected` texts before the table grows.
  explicit krv_seen_texts(size_t expected) : slots_(std::bit_ceil(2 * expected + 2)) { records_.reserve(expected); }

  // Adds `text`; true when it was not in the set before.
  bool insert(std::string_view text) {
    const uint64_t hash = krv_member_name_hash(text);
    const size_t mask = slots_.size() - 1;
    size_t at = hash & mask;
    for (; slots_[at] != 0; at = (at + 1) & mask) {
      const record& seen = records_[slots_[at] - 1];
      if (seen.hash == hash && seen.length == text.size() &&
          krv_same_name_bytes(arena_.data() + seen.offset, text.data(), text.size()))
        return false;
    }
    records_.push_back({hash, arena_.size(), text.size()});
    arena_.append(text);
    slots_[at] = static_cast<uint32_t>(records_.size());
    if (records_.size() * 2 > slots_.size()) grow();
    return true;
  }

 private:
  struct record {
    uint64_t hash;
    size_t offset;  // of the text's bytes in the arena
    size_t length;
  };

  void grow() {
    slots_.assign(slots_.size() * 2, 0);
    const size_t mask = slots_.size() - 1;
    for (size_t n = 0; n < records_.size(); ++n) {
      size_t at = records_[n].hash & mask;
      while (slots_[at] != 0) at = (at + 1) & mask;
      slots_[at] = static_cast<uint32_t>(n + 1);
    }
  }

  std::vector<uint32_t> slots_;  // 0 free, else a record number + 1; a power of two, at most half used
  std::vector<record> records_;  // in the order the texts came
  std::string arena_;            // the texts, back to back
};
