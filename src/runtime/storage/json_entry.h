// krv_std_json_entry: one element of a std.json container, 16 bytes.
//
// An entry holds one share of its key text (null for a list item; see json_key.h: entries with the
// same key name may share one text) and one reference to its value cell. Entries move but are never
// copied: copying an entry means sharing its key and assigning its value, which the container does.
#pragma once
#include <string_view>
#include <utility>

#include "runtime/base/krvvar_shared.h"
#include "runtime/storage/json_key.h"

struct krv_std_json_entry {
  krv_std_json_entry() = default;
  explicit krv_std_json_entry(krvvar_shared cell) noexcept : value(std::move(cell)) {}
  krv_std_json_entry(krvvar_shared cell, krv_json_key* shared_key) noexcept : key(shared_key), value(std::move(cell)) {}
  krv_std_json_entry(krv_std_json_entry&& other) noexcept
      : key(std::exchange(other.key, nullptr)), value(std::move(other.value)) {}
  krv_std_json_entry& operator=(krv_std_json_entry&& other) noexcept {
    if (&other == this) return *this;
    set_key(std::exchange(other.key, nullptr));
    value = std::move(other.value);
    return *this;
  }
  krv_std_json_entry(const krv_std_json_entry&) = delete;
  krv_std_json_entry& operator=(const krv_std_json_entry&) = delete;
  ~krv_std_json_entry() {
    if (key) key->release();
  }

  bool has_key() const noexcept { return key != nullptr; }
  std::string_view key_view() const noexcept { return key ? key->view() : std::string_view(); }
  // Takes over `shared_key` (one share of it, or null for a list item), giving back the old key's share.
  void set_key(krv_json_key* shared_key) noexcept {
    if (key) key->release();
    key = shared_key;
  }

  krv_json_key* key = nullptr;  // one share held; null for an unkeyed element
  krvvar_shared value;          // the element's cell, one reference held
};

static_assert(sizeof(krv_std_json_entry) == 16);
