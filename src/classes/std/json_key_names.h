// krv_json_key_names: the key names met while filling containers from one JSON text, each made once and
// shared by every member that carries it.
//
// A document of 100,000 records with seven members each names seven keys, not 700,000: each member gets
// a share of the one text (json_key.h) instead of a heap string of its own, which spares the allocation
// while parsing and the free while releasing. The table holds one share of every name it keeps and gives
// them back when it goes; the containers keep theirs. It keeps at most `kept_names` names (an object
// used as a dictionary has few repeats, and the table stays bounded whatever the text); a name past that
// gets a key of its own. Open addressing over XXH3-64 hashes, at most half full.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "module/name_hash.h"
#include "runtime/storage/json_key.h"

class krv_json_key_names {
 public:
  static constexpr size_t kept_names = 16384;

  krv_json_key_names() = default;
  krv_json_key_names(const krv_json_key_names&) = delete;
  krv_json_key_names& operator=(const krv_json_key_names&) = delete;
  ~krv_json_key_names() {
    for (const name_slot& slot : slots_)
      if (slot.key) slot.key->release();
  }

  // One share of the key named `text`, for an entry to take over.
  krv_json_key* share(std::string_view text) {
    const uint64_t hash = krv_hasher{}(text);
    if (slots_.empty()) slots_.resize(initial_slots);
    const size_t mask = slots_.size() - 1;
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
      name_slot& slot = slots_[at];
      if (slot.key == nullptr) return kept_ < kept_names ? keep(slot, hash, text) : krv_json_key::make(text);
      if (slot.hash == hash && slot.key->view() == text) return slot.key->share();
    }
  }

 private:
  static constexpr size_t initial_slots = 64;

  struct name_slot {
    uint64_t hash = 0;
    krv_json_key* key = nullptr;  // one share held by the table; null for a free slot
  };

  krv_json_key* keep(name_slot& slot, uint64_t hash, std::string_view text) {
    slot = {hash, krv_json_key::make(text)};
    krv_json_key* shared = slot.key->share();
    if (++kept_ * 2 > slots_.size()) grow();
    return shared;
  }

  void grow() {
    std::vector<name_slot> old(slots_.size() * 2);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const name_slot& slot : old) {
      if (slot.key == nullptr) continue;
      size_t at = slot.hash & mask;
      while (slots_[at].key != nullptr) at = (at + 1) & mask;
      slots_[at] = slot;
    }
  }

  std::vector<name_slot> slots_;  // a power of two of them, or none before the first name
  size_t kept_ = 0;               // names the table holds
};
