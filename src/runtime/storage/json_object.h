// krv_std_json: the script class "std.json", the object behind every KRVVAR_JSON value and the
// language's only list and dictionary.
//
// A container is one ordered sequence of entries, each with an optional text key, so one container can
// be an array, an object or a mixture. Keys need not be unique. Lookups by key go through the lazy key
// index (krv_std_json_key_index), which a pure list never allocates.
//
// Invariants: with no keyed entry the index is absent or empty; each key of a keyed entry has a node
// whose count is the number of entries with that key and whose cell is one of theirs. Filling from JSON
// text defers the nodes (append_unindexed_key): most parsed objects are printed or walked and never
// looked up by key, and one index per object cost more than the rest of their filling. While
// `keys_unindexed` is set, the keyed entries are distinct keys without nodes, and every operation that
// reads or changes the index first builds it from the entries (indexed()), so a script never sees the
// difference.
//
// There is no lock: one thread at a time (normally the VM-lock holder) uses a container. Objects are
// pooled (krv_pooled_class); a released container rests in its pool empty, keeping its entry capacity.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/storage/json_entry.h"
#include "runtime/storage/json_key_index.h"
#include "module/vm_state.h"
#include "runtime/objects/class_template.h"
#include "runtime/objects/pooled_class.h"

class krv_std_json : public krvobject<krv_std_json, CLASS_STRING<"std.json">>, public krv_pooled_class {
 public:
  static constexpr auto pool = &krv_vm_state::json_pool;

  // A new empty container (pooled when this thread may use the VM's pools).
  static krvptr_strong<krv_std_json> create();

  // Release: empties the container and recycles it.
  void destroy() override;
  void get_index(krvvar_shared& out, int64_t index) override { out = at(index); }
  // Reading a missing key creates its entry (None).
  void get_named(krvvar_shared& out, std::string_view key) override { out = get_or_insert(key); }
  void set_index(int64_t index, krvvar_shared& value) override;
  void set_named(std::string_view key, krvvar_shared& value) override;
  bool has_index(int64_t index) override { return index >= 0 && index < size(); }
  bool has_named(std::string_view key) override { return has_key(key); }
  bool is_empty() override { return entries.empty(); }
  uint32_t element_count() override { return static_cast<uint32_t>(entries.size()); }

  int64_t size() const noexcept { return static_cast<int64_t>(entries.size()); }

  // Replaces the contents by copies of `other`'s entries (values assigned as krvvar::set does).
  void assign_from(const krv_std_json& other);
  // Removes every entry with `key`; true when one was removed.
  bool erase_key(std::string_view key);
  // Removes the entry at `index` (negative counts from the end); false when out of range.
  bool erase_index(int64_t index);
  // Removes the entries [first, last) in one step (positions past the end are clamped). A key that keeps
  // entries but loses the one its lookup gave then looks up its first remaining entry.
  void erase_range(size_t first, size_t last);
  // Inserts `cell` as an unkeyed entry before `position` (0..size(); later entries move up by one).
  void insert_unkeyed(size_t position, krvvar_shared cell);
  // Deletes the key of every entry and drops the index: the container becomes a list, values in order.
  void drop_keys();
  // Builds the index afresh from the entries: the first entry with a key gets the lookup, later ones only
  // count. An empty key is indexed only with `index_empty_keys`; otherwise it stays a key without a node.
  void rebuild_key_index(bool index_empty_keys);
  // Removes all entries and drops the index; the entry storage is kept.
  void clear_entries();
  // Clears this container and every container nested in it, each once (a cycle ends there), at any depth.
  void clear_recursive();
  // Erases `key` here and in every nested container, each once, at any depth; always true.
  bool remove_all_keys_recursive(std::string_view key);
  // The cell under `key` (a new reference), appending a keyed None entry when there is none.
  krvvar_shared get_or_insert(std::string_view key);
  // The cell at `index` (a new reference; negative counts from the end); out of range raises
  // "Out of bounds access." and gives a new None.
  krvvar_shared at(int64_t index);
  // Appends an unkeyed entry with a fresh None cell; the reference lives until the entries change.
  krvvar_shared& push_empty();
  // The same under `key` (unkeyed when the key is empty).
  krvvar_shared& push_empty_keyed(std::string_view key);
  // Appends a fresh cell assigned from `value` (under `key` unless empty); `value` is released.
  void push_value(krvvar_shared& value, std::string_view key = {});
  bool has_key(std::string_view key) const;
  // Appends `cell` under `key`, which stays a key even when empty (as get_or_insert keeps it). The key
  // must not be in the container yet: the filling from JSON text hands over each member once.
  void append_new_key(krvvar_shared cell, std::string_view key);
  // The same without the index node, which the first lookup makes, taking over one share of `key`;
  // the container's other keyed entries must be unindexed ones too (the key index is absent).
  void append_unindexed_key(krvvar_shared cell, krv_json_key* key);

  // JSON text (classes/std). The text of the container: pretty (4 spaces a level) or compact; keys in
  // byte order, a later duplicate winning, unkeyed entries under the empty key, cycles and nesting past
  // krv_json_max_depth printed as markers with one warning; empty when printing fails.
  std::string dump(bool compact);
  // The same walk, printing each value that is not a container as its reference-debugging record.
  std::string debug_dump(bool compact);
  // Replaces the contents with the parsed text; false (logged unless suppressed) when it does not parse
  // or nests too deeply, and the container is then empty.
  bool from_string(std::string_view text, bool suppress_errors);
  // The pretty text.
  void to_string(std::string& out) override;

  // Script setup of "std.json" and the body of the constructor function "json" (classes/std).
  static void script_register();
  static krvvar_shared constructor_function(krv_vm_context& frame, std::vector<krvvar_shared>& args);

  // The container's "j11" section in the binary value format (json_binary.cpp). Writing fails, leaving
  // `out` as it was, on a cycle, past the depth limit or when an entry's value cannot be written.
  bool to_binary(std::vector<uint8_t>& out) override;
  using krv_serializable::from_binary;
  // Replaces the contents with the section at the reader's position; throws std::runtime_error on
  // malformed input.
  bool from_binary(krv_binary_reader& reader) override;


  std::vector<krv_std_json_entry> entries;
  // Null until first needed; a cache of the keys, so const lookups may build it.
  mutable std::unique_ptr<krv_std_json_key_index> key_index;
  mutable bool keys_unindexed = false;  // keyed entries wait for their nodes (see the invariants)

 private:
  krvvar_shared& append(krvvar_shared cell, std::string_view key);
  krv_std_json_key_index& index();
  // The index with every key in it (null when there is none), built first when keys wait for it.
  krv_std_json_key_index* indexed() const;
};

template <>
struct krv_pool_traits<krv_std_json> : krv_pooled_class_traits<krv_std_json> {};
