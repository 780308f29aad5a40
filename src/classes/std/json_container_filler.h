// krv_json_container_filler: fills a container from the events of a JSON reader (nlohmann's parser or
// our strict reader, json_strict_reader.h), without building a document first.
//
// The container comes out as filling from nlohmann's document would make it:
//   - an object's members in byte-wise ascending key order, a later duplicate key winning, each keyed
//     (the empty key too, as get_or_insert keeps it); an array's elements unkeyed in order;
//   - null, strings and integers as themselves, booleans as heap "json.bool" objects wrapping 1 or 0,
//     unsigned integers from 2^63 and all other numbers as floats;
//   - a document that is neither object nor array as the one unkeyed element;
//   - a container at level krv_json_max_depth (the filled container being level 0) fails the fill; what
//     it holds is still read, without filling, so a syntax error anywhere is reported as such.
// Members with the same key name share one key text (json_key_names.h). Every event returns true (go on).
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "classes/std/json_bool.h"
#include "classes/std/json_key_names.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/json_visit_guard.h"
#include "runtime/storage/string_object.h"

class krv_json_container_filler {
 public:
  // Entries reserved in each new container: most are small, and this saves their first reallocations.
  static constexpr size_t small_container = 4;

  explicit krv_json_container_filler(krv_std_json& root) : root_(root) {}

  bool null() {
    next_slot();  // the new slot already holds None
    return true;
  }
  bool boolean(bool value) {
    if (krvvar_shared* slot = next_slot()) {
      auto* object = new krv_std_json_bool();
      object->value->set_type_simple(KRVVAR_INT);
      object->value->payload.int_value = value ? 1 : 0;
      *slot = krvvar_shared::make_object(krvptr_strong<krvobject_base>::from_raw(object));
    }
    return true;
  }
  bool number_integer(int64_t value) {
    if (krvvar_shared* slot = next_slot()) {
      (*slot)->set_type_simple(KRVVAR_INT);
      (*slot)->payload.int_value = value;
    }
    return true;
  }
  bool number_unsigned(uint64_t value) {
    if (value < (uint64_t{1} << 63)) return number_integer(static_cast<int64_t>(value));
    return number_float(static_cast<double>(value));
  }
  bool number_float(double value) {
    if (krvvar_shared* slot = next_slot()) {
      (*slot)->set_type_simple(KRVVAR_FLOAT);
      (*slot)->payload.float_value = value;
    }
    return true;
  }
  bool string(std::string_view value) {
    if (krvvar_shared* slot = next_slot()) {
      (*slot)->set_type(KRVVAR_STRING);
      if (krv_std_string* string = (*slot)->object_ptr<krv_std_string>()) string->text.assign(value);
    }
    return true;
  }

  bool start_object(std::size_t /*size*/) { return open(true); }
  bool key(std::string_view key) {
    if (skipped_ > 0) return true;
    open_container& object = open_.back();
    krv_std_json& container = *object.container;
    // Keys in ascending order go straight in; the first one out of order moves the members to the side,
    // to be put in order when the object closes.
    if (!object.staged && (container.entries.empty() || container.entries.back().key_view() < key)) {
      container.append_unindexed_key(krvvar_shared::make_none(), names_.share(key));
      return true;
    }
    if (!object.staged) stage_entries(object);
    members_.emplace_back(krvvar_shared::make_none(), names_.share(key));
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t /*size*/) { return open(false); }
  bool end_array() { return close(); }

  // A container of the text lies at or past the depth limit: the fill failed.
  bool too_deep() const noexcept { return too_deep_; }

 private:
  struct open_container {
    krv_std_json* container;
    size_t first_member;  // this object's members in members_ start here
    bool is_object;
    bool staged = false;  // its members wait in members_ (a key came out of order)
  };

  // The handle the next value goes into (holding a fresh None); null while skipping.
  krvvar_shared* next_slot() {
    if (skipped_ > 0) return nullptr;
    if (open_.empty()) return &root_.push_empty();  // a document that is a single value
    const open_container& innermost = open_.back();
    if (!innermost.is_object) return &innermost.container->push_empty();
    return innermost.staged ? &members_.back().value : &innermost.container->entries.back().value;
  }

  bool open(bool is_object) {
    if (skipped_ > 0 || open_.size() >= krv_json_max_depth) {
      too_deep_ = true;
      ++skipped_;
      return true;
    }
    krv_std_json* container = &root_;
    if (!open_.empty()) {
      krvvar& cell = **next_slot();
      cell.set_type(KRVVAR_JSON);
      container = cell.object_ptr<krv_std_json>();
    }
    if (container->entries.capacity() < small_container) container->entries.reserve(small_container);
    open_.push_back({container, members_.size(), is_object});
    return true;
  }

  bool close() {
    if (skipped_ > 0) {
      --skipped_;
      return true;
    }
    const open_container closed = open_.back();
    open_.pop_back();
    if (closed.staged) add_members(*closed.container, closed.first_member);
    return true;
  }

  // Moves the object's entries so far aside, as members waiting for their order.
  void stage_entries(open_container& object) {
    object.staged = true;
    object.first_member = members_.size();
    for (krv_std_json_entry& entry : object.container->entries) members_.push_back(std::move(entry));
    object.container->clear_entries();
  }

  // Moves the members from `first` on into the container, in key order, the last of equal keys winning.
  void add_members(krv_std_json& container, size_t first) {
    const auto begin = members_.begin() + static_cast<std::ptrdiff_t>(first);
    const auto by_key = [](const krv_std_json_entry& a, const krv_std_json_entry& b) { return a.key_view() < b.key_view(); };
    if (!std::is_sorted(begin, members_.end(), by_key)) std::stable_sort(begin, members_.end(), by_key);
    for (auto at = begin; at != members_.end(); ++at) {
      const auto next = at + 1;
      if (next != members_.end() && next->key_view() == at->key_view()) continue;
      container.append_unindexed_key(std::move(at->value), std::exchange(at->key, nullptr));
    }
    members_.erase(begin, members_.end());
  }

  krv_std_json& root_;
  std::vector<open_container> open_;         // the containers being filled, innermost last
  std::vector<krv_std_json_entry> members_;  // members of the open objects, kept until each object closes
  krv_json_key_names names_;                 // the text's key names, shared by the members that carry them
  size_t skipped_ = 0;                       // containers open past the depth limit
  bool too_deep_ = false;
};
