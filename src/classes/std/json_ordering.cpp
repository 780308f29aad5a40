// Ordering and de-duplication of std.json entries in place: sort, sort_reverse (rsort), sort_by, unique.
//
// The sorts order only the keyed part of a container. They first move every keyed entry (a key string,
// even an empty one) before every unkeyed entry with the two-cursor partition, which keeps the order of
// neither group, and then sort the keyed group. Entries move as whole {key, value} pairs: the value cells,
// and with them every handle scripts hold, stay the same, and the key index (which maps keys to cells,
// not positions) stays valid. unique removes entries and so rebuilds the index.
//
// Letter case is folded byte by byte as the "C" locale folds it (only ASCII letters), whatever locale the
// host set, as std.string does.
#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "classes/std/json_methods.h"
#include "classes/std/string_bytes.h"
#include "module/name_hash.h"

namespace {

using entry_vector = std::vector<krv_std_json_entry>;

// Keyed entries first (std::partition on random-access iterators is the two-cursor partition: a front
// cursor over keyed entries, a back cursor over unkeyed ones, swapping where they stop); the keyed count.
size_t partition_keyed_first(entry_vector& entries) {
  const auto keyed_end =
      std::partition(entries.begin(), entries.end(), [](const krv_std_json_entry& entry) { return entry.has_key(); });
  return static_cast<size_t>(keyed_end - entries.begin());
}

// Byte-string order of the keys with ASCII letters lowered, without copying them.
bool key_less_ignoring_case(const krv_std_json_entry& a, const krv_std_json_entry& b) {
  const std::string_view x = a.key_view(), y = b.key_view();
  return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(), [](char p, char q) {
    return static_cast<unsigned char>(krv_lower_byte(p)) < static_cast<unsigned char>(krv_lower_byte(q));
  });
}

// What sort_by compares an entry by: the value of the first entry under the sort key in the entry's own
// container value. Taken once per entry before sorting, so the comparisons convert nothing.
struct sort_by_child {
  bool missing = true;  // no container, no such entry, or None
  bool number = false;  // an int or float, compared as a double against another number
  double value = 0;
  std::string text;      // compared as bytes when either side is not a number
  size_t position = 0;   // the entry's place in the keyed group
};

sort_by_child child_of(const krv_std_json_entry& entry, std::string_view sort_key, size_t position) {
  sort_by_child child;
  child.position = position;
  krvvar& value = *entry.value;
  const krv_std_json* nested = value.type == KRVVAR_JSON ? value.object_ptr<krv_std_json>() : nullptr;
  if (nested == nullptr) return child;
  for (const krv_std_json_entry& candidate : nested->entries) {
    if (!candidate.has_key() || *candidate.key != sort_key) continue;
    krvvar& found = *candidate.value;
    child.missing = found.type == KRVVAR_NONE;
    child.number = found.type == KRVVAR_INT || found.type == KRVVAR_FLOAT;
    if (child.number) child.value = found.float_value();
    if (!child.missing) found.string_value(child.text);
    break;
  }
  return child;
}

// A child goes before a missing one in both directions; numbers compare as numbers, all else as texts.
bool child_first(const sort_by_child& a, const sort_by_child& b, bool descending) {
  if (a.missing != b.missing) return !a.missing;
  if (a.number && b.number) return descending ? a.value > b.value : a.value < b.value;
  const int order = a.text.compare(b.text);
  return descending ? order > 0 : order < 0;
}

// Appends the value's signature for unique: its resolved type code in decimal, a colon and its text, so
// the int 1 ("2:1") and the text 1 ("5:1") differ while two containers with the same text are equal.
void append_signature(const krvvar_shared& value, std::string& out) {
  if (!value) {
    out += "0:";
    return;
  }
  krvvar_shared resolved = value.deref_copy();
  const unsigned type = resolved->type;
  if (type >= 10) out += static_cast<char>('0' + type / 10);
  out += static_cast<char>('0' + type % 10);
  out += ':';
  out += resolved->string_view_value();
}

template <class Key>
class seen_set : public std::unordered_set<Key, krv_hasher, krv_transparent_equal> {
 public:
  seen_set() : std::unordered_set<Key, krv_hasher, krv_transparent_equal>(8) { this->max_load_factor(1.0f); }
};

// Which entries unique keeps: the first entry of each non-empty key in object mode (a container with at
// least one such key), the first of each value signature for every other entry.
std::vector<uint8_t> first_occurrences(const entry_vector& entries) {
  const bool object_mode =
      std::any_of(entries.begin(), entries.end(), [](const krv_std_json_entry& e) { return !e.key_view().empty(); });
  seen_set<std::string_view> seen_keys;  // views of the entries' own keys, which stay put in this pass
  seen_set<std::string> seen_values;
  std::vector<uint8_t> keep(entries.size());
  std::string signature;
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string_view key = entries[i].key_view();
    if (object_mode && !key.empty()) {
      keep[i] = seen_keys.insert(key).second;
    } else {
      signature.clear();
      append_signature(entries[i].value, signature);
      keep[i] = seen_values.insert(signature).second;
    }
  }
  return keep;
}

}  // namespace

namespace krv_json_methods {

KRV_JSON_METHOD(sort) {
  entry_vector& entries = self->entries;
  const size_t keyed = partition_keyed_first(entries);
  std::sort(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(keyed), key_less_ignoring_case);
  return krv_json_self_result(self);
}

// Descending raw bytes: lower-case letters (greater bytes) before upper-case ones.
KRV_JSON_METHOD(sort_reverse) {
  entry_vector& entries = self->entries;
  const size_t keyed = partition_keyed_first(entries);
  std::sort(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(keyed),
            [](const krv_std_json_entry& a, const krv_std_json_entry& b) { return a.key_view() > b.key_view(); });
  return krv_json_self_result(self);
}

// Stable: entries whose children compare equal keep their order from after the partition.
KRV_JSON_METHOD(sort_by) {
  const std::string sort_key = args[0]->get_string();
  const bool descending = args.size() > 1 && args[1]->is_nonzero();
  entry_vector& entries = self->entries;
  const size_t keyed = partition_keyed_first(entries);
  std::vector<sort_by_child> children;
  children.reserve(keyed);
  for (size_t i = 0; i < keyed; ++i) children.push_back(child_of(entries[i], sort_key, i));
  std::stable_sort(children.begin(), children.end(), [descending](const sort_by_child& a, const sort_by_child& b) {
    return child_first(a, b, descending);
  });
  entry_vector sorted;
  sorted.reserve(entries.size());
  for (const sort_by_child& child : children) sorted.push_back(std::move(entries[child.position]));
  std::move(entries.begin() + static_cast<std::ptrdiff_t>(keyed), entries.end(), std::back_inserter(sorted));
  entries.swap(sorted);
  return krv_json_self_result(self);
}

// Keeps the first occurrences in order. Every non-empty key then looks up its first surviving entry;
// entries with an empty key stay keyed but get no index node (erasing them copes with that).
KRV_JSON_METHOD(unique) {
  entry_vector& entries = self->entries;
  if (entries.size() < 2) return krv_json_self_result(self);
  const std::vector<uint8_t> keep = first_occurrences(entries);
  entry_vector kept;
  kept.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i)
    if (keep[i]) kept.push_back(std::move(entries[i]));
  entries.swap(kept);
  self->rebuild_key_index(false);
  // The dropped entries are released only now, with the container consistent again.
  kept.clear();
  return krv_json_self_result(self);
}

}  // namespace krv_json_methods
