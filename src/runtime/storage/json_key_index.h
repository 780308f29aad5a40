// krv_std_json_key_index: the lazy lookup of a container's entries by key.
//
// Made on the first keyed append or keyed lookup, never for a pure list. Each key maps to one node:
// the cell of one entry with that key (not counted: the entry owns it) and the number of entries that
// carry the key. Keys need not be unique; which entry a node points at is up to the operation that
// added them (keyed pushes: the newest; copying a container: the first).
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>

#include "module/name_hash.h"

struct krvvar;

struct krv_std_json_key_node {
  krvvar* cell = nullptr;  // the value cell of one entry with the key
  uint32_t count = 0;      // entries that carry the key
};

class krv_std_json_key_index
    : public std::unordered_map<std::string, krv_std_json_key_node, krv_hasher, krv_transparent_equal> {
 public:
  krv_std_json_key_index() : unordered_map(8) { max_load_factor(1.0f); }
};
