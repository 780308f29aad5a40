// krv_std_json_entry: one element of a std.json container, 16 bytes.
//
// An entry owns its key text on the heap (null for a list item) and holds one reference to its value
// cell. Entries move but are never copied: a key has exactly one owner.
#pragma once
#include <string>
#include <string_view>
#include <utility>

#include "runtime/base/krvvar_shared.h"

struct krv_std_json_entry {
  krv_std_json_entry() = default;
  explicit krv_std_json_entry(krvvar_shared cell) noexcept : value(std::move(cell)) {}
  krv_std_json_entry(krv_std_json_entry&& other) noexcept
      : key(std::exchange(other.key, nullptr)), value(std::move(other.value)) {}
  krv_std_json_entry& operator=(krv_std_json_entry&& other) noexcept {
    if (&other == this) return *this;
    delete std::exchange(key, std::exchange(other.key, nullptr));
    value = std::move(other.value);
    return *this;
  }
  krv_std_json_entry(const krv_std_json_entry&) = delete;
  krv_std_json_entry& operator=(const krv_std_json_entry&) = delete;
  ~krv_std_json_entry() { delete key; }

  bool has_key() const noexcept { return key != nullptr; }
  std::string_view key_view() const noexcept { return key ? std::string_view(*key) : std::string_view(); }

  std::string* key = nullptr;  // owned; null for an unkeyed element
  krvvar_shared value;         // the element's cell, one reference held
};

static_assert(sizeof(krv_std_json_entry) == 16);
