#include "runtime/storage/json_object.h"

#include <algorithm>
#include <iterator>
#include <unordered_set>
#include <utility>

#include "runtime/base/quoted_text.h"
#include "runtime/base/raise.h"
#include "runtime/objects/log.h"
#include "runtime/storage/value_release.h"
#include "runtime/storage/json_visit_guard.h"

namespace {

// Entries (16 bytes each) whose storage a released container keeps for its next use: 1 KiB.
constexpr size_t kept_entry_capacity = 64;

// Releases every entry (values and keys) without recursing by nesting depth; the storage stays.
void release_entries(std::vector<krv_std_json_entry>& entries) {
  const krv_thread_local& record = krv_get_thread_local();
  {
    krv_release_scope scope;
    for (krv_std_json_entry& entry : entries) scope.release(entry.value, record);
  }
  entries.clear();
}

}  // namespace

krvptr_strong<krv_std_json> krv_std_json::create() {
  return krvptr_strong<krv_std_json>::from_raw(krv_pooled_allocate<krv_std_json>());
}

void krv_std_json::destroy() {
  clear_entries();
  // A resting container keeps a small entry vector for its next use and gives a larger one back.
  if (entries.capacity() > kept_entry_capacity) std::vector<krv_std_json_entry>().swap(entries);
  krv_pooled_recycle(this);
}

void krv_std_json::set_index(int64_t index, krvvar_shared& value) {
  krvvar_shared cell = at(index);
  cell->set(value);
  value.release();
}

void krv_std_json::set_named(std::string_view key, krvvar_shared& value) {
  krvvar_shared cell = get_or_insert(key);
  cell->set(value);
  value.release();
}

krv_std_json_key_index& krv_std_json::index() {
  if (indexed() == nullptr) key_index = std::make_unique<krv_std_json_key_index>();
  return *key_index;
}

krv_std_json_key_index* krv_std_json::indexed() const {
  if (keys_unindexed) {
    keys_unindexed = false;
    key_index = std::make_unique<krv_std_json_key_index>();
    for (const krv_std_json_entry& entry : entries)
      if (entry.has_key()) key_index->emplace(entry.key_view(), krv_std_json_key_node{entry.value.get(), 1});
  }
  return key_index.get();
}

krvvar_shared& krv_std_json::append(krvvar_shared cell, std::string_view key) {
  krv_std_json_entry& entry = entries.emplace_back(std::move(cell));
  if (!key.empty()) {
    entry.key = krv_json_key::make(key);
    krv_std_json_key_node& node = index()[std::string(key)];
    node.cell = entry.value.get();
    ++node.count;
  }
  return entry.value;
}

void krv_std_json::append_new_key(krvvar_shared cell, std::string_view key) {
  krv_std_json_entry& entry = entries.emplace_back(std::move(cell));
  entry.key = krv_json_key::make(key);
  index().emplace(key, krv_std_json_key_node{entry.value.get(), 1});
}

void krv_std_json::append_unindexed_key(krvvar_shared cell, krv_json_key* key) {
  entries.emplace_back(std::move(cell), key);
  keys_unindexed = true;
}

krvvar_shared& krv_std_json::push_empty() { return entries.emplace_back(krvvar_shared::make_none()).value; }

krvvar_shared& krv_std_json::push_empty_keyed(std::string_view key) { return append(krvvar_shared::make_none(), key); }

void krv_std_json::push_value(krvvar_shared& value, std::string_view key) {
  krvvar_shared source = value;
  krvvar_shared cell = krvvar_shared::make_none();
  cell->set(source);
  append(std::move(cell), key);
  value.release();
}

krvvar_shared krv_std_json::get_or_insert(std::string_view key) {
  if (krv_std_json_key_index* keys = indexed()) {
    auto found = keys->find(key);
    if (found != keys->end()) return krvvar_shared::from_raw(found->second.cell);
  }
  // Without an index there is no keyed entry to find; an empty key is kept as a key here.
  append_new_key(krvvar_shared::make_none(), key);
  return entries.back().value;
}

krvvar_shared krv_std_json::at(int64_t index) {
  if (index < 0) index += size();
  if (index < 0 || index >= size()) return krv_raise_error("Out of bounds access.");
  return entries[static_cast<size_t>(index)].value;
}

bool krv_std_json::has_key(std::string_view key) const {
  const krv_std_json_key_index* keys = indexed();
  return keys && keys->contains(key);
}

bool krv_std_json::erase_index(int64_t index) {
  if (index < 0) index += size();
  if (index < 0 || index >= size()) return false;
  erase_range(static_cast<size_t>(index), static_cast<size_t>(index) + 1);
  return true;
}

void krv_std_json::erase_range(size_t first, size_t last) {
  last = std::min(last, entries.size());
  if (first >= last) return;
  const auto begin = entries.begin() + static_cast<std::ptrdiff_t>(first);
  const auto end = entries.begin() + static_cast<std::ptrdiff_t>(last);
  // Keys losing their looked-up cell are marked (null cell) and pointed at a remaining entry below. A key
  // may have no node (an empty key kept by unique): nothing to count then.
  size_t unpointed = 0;
  if (indexed()) {
    for (auto entry = begin; entry != end; ++entry) {
      if (!entry->has_key()) continue;
      auto node = key_index->find(entry->key_view());
      if (node != key_index->end() && --node->second.count == 0) key_index->erase(node);
    }
    for (auto entry = begin; entry != end; ++entry) {
      if (!entry->has_key()) continue;
      auto node = key_index->find(entry->key_view());
      if (node == key_index->end() || node->second.cell != entry->value.get()) continue;
      node->second.cell = nullptr;
      ++unpointed;
    }
  }
  // The removed entries are released only once the container is consistent again.
  std::vector<krv_std_json_entry> removed(std::make_move_iterator(begin), std::make_move_iterator(end));
  entries.erase(begin, end);
  for (auto entry = entries.begin(); unpointed != 0 && entry != entries.end(); ++entry) {
    if (!entry->has_key()) continue;
    auto node = key_index->find(entry->key_view());
    if (node == key_index->end() || node->second.cell != nullptr) continue;
    node->second.cell = entry->value.get();
    --unpointed;
  }
}

void krv_std_json::insert_unkeyed(size_t position, krvvar_shared cell) {
  position = std::min(position, entries.size());
  entries.emplace(entries.begin() + static_cast<std::ptrdiff_t>(position), std::move(cell));
}

void krv_std_json::drop_keys() {
  key_index.reset();
  keys_unindexed = false;
  for (krv_std_json_entry& entry : entries) entry.set_key(nullptr);
}

void krv_std_json::rebuild_key_index(bool index_empty_keys) {
  key_index.reset();
  keys_unindexed = false;
  for (const krv_std_json_entry& entry : entries) {
    if (!entry.has_key() || (entry.key->empty() && !index_empty_keys)) continue;
    auto [node, inserted] = index().try_emplace(std::string(entry.key_view()), krv_std_json_key_node{entry.value.get(), 0});
    ++node->second.count;
  }
}

bool krv_std_json::erase_key(std::string_view key) {
  if (!indexed()) return false;
  auto node = key_index->find(key);
  if (node == key_index->end()) {
    krv_log_line(*krv_log_base::instance(), KRV_LOG_INFO, "Key ", krv_quoted_text(key), " does not exist!");
    return false;
  }
  key_index->erase(node);
  // The removed entries are released only once the container is consistent again.
  std::vector<krv_std_json_entry> removed;
  auto kept = std::stable_partition(entries.begin(), entries.end(), [key](const krv_std_json_entry& entry) {
    return !(entry.has_key() && entry.key_view() == key);
  });
  std::move(kept, entries.end(), std::back_inserter(removed));
  entries.erase(kept, entries.end());
  return !removed.empty();
}

void krv_std_json::clear_entries() {
  // Releasing values may reach this container again (an object torn down with it): it is already empty
  // by then. The entry storage is kept for reuse.
  std::vector<krv_std_json_entry> old;
  old.swap(entries);
  key_index.reset();
  keys_unindexed = false;
  release_entries(old);
  if (entries.empty()) entries.swap(old);
}

namespace {

// The containers held by `container`'s entries, each one once over a whole walk (`walked`), in entry
// order. A walk holds each while it waits, as the walk may release the entries that held it.
void hold_nested(krv_std_json& container, std::unordered_set<const krv_std_json*>& walked,
                 std::vector<krvptr_strong<krv_std_json>>& waiting) {
  const size_t first = waiting.size();
  for (krv_std_json_entry& entry : container.entries) {
    krvvar& value = *entry.value;
    krv_std_json* nested = value.type == KRVVAR_JSON ? value.object_ptr<krv_std_json>() : nullptr;
    if (nested != nullptr && walked.insert(nested).second)
      waiting.push_back(krvptr_strong<krv_std_json>::from_raw(nested));
  }
  // Taken from the back: the first entry's container is walked first, as a recursive walk would.
  std::reverse(waiting.begin() + static_cast<std::ptrdiff_t>(first), waiting.end());
}

}  // namespace

// The recursive walks below keep their own list of containers to visit instead of recursing, so a chain
// of any depth is walked in full on a stack of constant depth; each container is visited once, which also
// ends cycles and keeps a part shared at many places from being walked once per path to it.

void krv_std_json::clear_recursive() {
  std::unordered_set<const krv_std_json*> walked{this};
  std::vector<krvptr_strong<krv_std_json>> waiting;
  krv_std_json* container = this;
  krvptr_strong<krv_std_json> held;
  while (container != nullptr) {
    hold_nested(*container, walked, waiting);
    for (krv_std_json_entry& entry : container->entries)
      if (entry.value->type != KRVVAR_JSON) entry.value->flags |= krvvar_release_contents;
    container->clear_entries();
    held = waiting.empty() ? krvptr_strong<krv_std_json>() : std::move(waiting.back());
    if (!waiting.empty()) waiting.pop_back();
    container = held.get();
  }
}

bool krv_std_json::remove_all_keys_recursive(std::string_view key) {
  std::unordered_set<const krv_std_json*> walked{this};
  std::vector<krvptr_strong<krv_std_json>> waiting;
  krv_std_json* container = this;
  krvptr_strong<krv_std_json> held;
  while (container != nullptr) {
    container->erase_key(key);
    hold_nested(*container, walked, waiting);
    held = waiting.empty() ? krvptr_strong<krv_std_json>() : std::move(waiting.back());
    if (!waiting.empty()) waiting.pop_back();
    container = held.get();
  }
  return true;
}

void krv_std_json::assign_from(const krv_std_json& other) {
  if (&other == this) return;
  // Copied before anything here is released: `other` may live only through one of these entries.
  std::vector<krv_std_json_entry> copied;
  copied.reserve(other.entries.size());
  for (const krv_std_json_entry& source : other.entries) {
    krvvar_shared value = source.value;
    krvvar_shared cell = krvvar_shared::make_none();
    cell->set(value);
    copied.emplace_back(std::move(cell), source.has_key() ? source.key->share() : nullptr);
  }
  clear_entries();
  entries.swap(copied);
  // Keys are copied as they are: an empty key stays a key and is indexed.
  rebuild_key_index(true);
}
