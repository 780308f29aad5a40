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
#include <bit>
#include <charconv>
#include <cstdint>
#include <deque>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "classes/std/json_methods.h"
#include "classes/std/rank_sort.h"
#include "classes/std/seen_texts.h"
#include "classes/std/string_bytes.h"

namespace {

using entry_vector = std::vector<krv_std_json_entry>;

// Keyed entries first (std::partition on random-access iterators is the two-cursor partition: a front
// cursor over keyed entries, a back cursor over unkeyed ones, swapping where they stop); the keyed count.
size_t partition_keyed_first(entry_vector& entries) {
  const auto keyed_end =
      std::partition(entries.begin(), entries.end(), [](const krv_std_json_entry& entry) { return entry.has_key(); });
  return static_cast<size_t>(keyed_end - entries.begin());
}

// How many entries ahead a walk in an order the memory does not follow asks for what it will read: enough
// for the misses to overlap, few enough that the lines are still there when used.
constexpr size_t gather_ahead = 16;

// Puts the keyed group [0, keyed) in the order of `records`, each naming an entry by its position there;
// the unkeyed entries stay behind it in their order.
template <class Record>
void arrange_keyed(entry_vector& entries, const std::vector<Record>& records) {
  entry_vector arranged;
  arranged.reserve(entries.size());
  // A gather in random order: past the caches each entry is a miss.
  for (size_t i = 0; i < records.size(); ++i) {
    if (i + gather_ahead < records.size()) __builtin_prefetch(&entries[records[i + gather_ahead].position]);
    arranged.push_back(std::move(entries[records[i].position]));
  }
  std::move(entries.begin() + static_cast<std::ptrdiff_t>(records.size()), entries.end(),
            std::back_inserter(arranged));
  entries.swap(arranged);
}

// What sort and sort_reverse order a keyed entry by. Keys live behind a pointer each, so a comparison
// sort of the entries themselves waits on a cache miss in most of its comparisons; the first eight bytes
// of the key (lowered when folding case), read once into a slot's rank, decide almost all of the order.
// Prefixes as big-endian numbers order as the bytes do, with a short key padded by zero bytes, so the
// slots are sorted by rank (rank_sort.h) and only keys of equal prefix are compared whole.
//
// A text's first eight bytes as a big-endian number, lowered when folding case.
template <bool FoldCase>
uint64_t big_endian_prefix(std::string_view text) {
  uint64_t prefix = 0;
  for (size_t n = 0; n < 8; ++n) {
    const char byte = n < text.size() ? text[n] : '\0';
    prefix = prefix << 8 | static_cast<unsigned char>(FoldCase ? krv_lower_byte(byte) : byte);
  }
  return prefix;
}

struct ranked_slot {
  uint64_t rank;    // ascending rank order is the order sought, up to ties
  size_t position;  // of the entry in the keyed group
};

// Sorts the keyed group by key: ascending with case folded, or descending by raw bytes.
template <bool FoldCase>
void sort_keyed(entry_vector& entries, size_t keyed) {
  std::vector<ranked_slot> slots(keyed);
  for (size_t i = 0; i < keyed; ++i) {
    // Keys lie wherever they were made, in no order the entries keep: ask for one a few entries ahead.
    if (i + gather_ahead < keyed) __builtin_prefetch(entries[i + gather_ahead].key);
    const uint64_t prefix = big_endian_prefix<FoldCase>(entries[i].key_view());
    slots[i] = {FoldCase ? prefix : ~prefix, i};
  }
  krv_sort_by_rank(slots);
  krv_for_each_rank_tie(slots, [&entries](auto first, auto last) {
    std::sort(first, last, [&entries](const ranked_slot& a, const ranked_slot& b) {
      const std::string_view x = entries[a.position].key_view(), y = entries[b.position].key_view();
      return FoldCase ? krv_less_ignoring_case(x, y) : x > y;
    });
  });
  arrange_keyed(entries, slots);
}

// An order-preserving u64 of a number that is not NaN; 0.0 and -0.0, equal numbers, share a rank.
uint64_t number_rank(double number) {
  const uint64_t bits = std::bit_cast<uint64_t>(number == 0 ? 0.0 : number);
  return bits >> 63 != 0 ? ~bits : bits | uint64_t{1} << 63;
}

// What sort_by orders a keyed entry by: the first entry under the sort key in the entry's own container
// value, read once before sorting. A child that is missing (no container, no such entry, or None) goes
// after every present one in both directions; two numbers (int or float) compare as doubles; any other
// pair compares as texts, bytewise. The slot is 16 bytes and trivially copyable: `word` holds the number,
// or a text's big-endian prefix as the key slots hold it, which decides most text comparisons without
// reading the text.
//
// When the present children are all numbers (none NaN) or all texts, that order is a total order of
// ranks (the number's, or the prefix) with ties only between texts of equal prefix, and the entries are
// sorted by rank, stably. Numbers beside texts compare as texts only against texts (9 < 10 < "5" < 9),
// and NaN equals every number: no rank can follow such a comparator, so those groups keep the stable
// comparison sort, whose order the comparator alone defines.
// Comparisons give exactly the results of comparing the children's full texts and values, so the order
// is that of a stable sort by them.
enum class child_kind : uint32_t { missing, number, text };

struct sort_by_slot {
  uint64_t word;
  uint32_t position;  // of the entry in the keyed group; a container holds fewer than 2^32 entries
  child_kind kind;
  double number() const { return std::bit_cast<double>(word); }
};

// The slots of the keyed group and, by position, the children's texts. A number's text is written only
// when some child is a text, the only case in which a number is compared as one.
class sort_by_children {
 public:
  sort_by_children(const entry_vector& entries, size_t keyed, std::string_view sort_key) {
    slots_.reserve(keyed);
    for (size_t i = 0; i < keyed; ++i) {
      if (i + gather_ahead < keyed) __builtin_prefetch(entries[i + gather_ahead].value.get());
      slots_.push_back(read_child(entries[i], sort_key, static_cast<uint32_t>(i)));
      const sort_by_slot& slot = slots_.back();
      any_text_ |= slot.kind == child_kind::text;
      any_number_ |= slot.kind == child_kind::number;
      any_nan_ |= slot.kind == child_kind::number && slot.number() != slot.number();
    }
    if (any_text_ && any_number_) write_number_texts(entries, sort_key);
  }

  // Whether the children's order is one of ranks (see above).
  bool ranks_decide() const { return !(any_text_ && any_number_) && !any_nan_; }

  // The present children by rank, equal ranks ordered by their texts, stably; then the missing ones in
  // their order.
  std::vector<ranked_slot> by_rank(bool descending) const {
    std::vector<ranked_slot> ranked;
    ranked.reserve(slots_.size());
    for (const sort_by_slot& slot : slots_)
      if (slot.kind != child_kind::missing) ranked.push_back({rank(slot, descending), slot.position});
    krv_sort_by_rank(ranked);
    if (any_text_)
      krv_for_each_rank_tie(ranked, [this, descending](auto first, auto last) {
        std::stable_sort(first, last, [this, descending](const ranked_slot& a, const ranked_slot& b) {
          const int order = texts_[a.position].compare(texts_[b.position]);
          return descending ? order > 0 : order < 0;
        });
      });
    for (const sort_by_slot& slot : slots_)
      if (slot.kind == child_kind::missing) ranked.push_back({0, slot.position});
    return ranked;
  }

  // The slots by a stable sort with the comparator itself.
  std::vector<sort_by_slot> by_comparison(bool descending) const {
    std::vector<sort_by_slot> sorted = slots_;
    std::stable_sort(sorted.begin(), sorted.end(), [this, descending](const sort_by_slot& a, const sort_by_slot& b) {
      return descending ? goes_before<true>(a, b) : goes_before<false>(a, b);
    });
    return sorted;
  }

 private:
  static krvvar* child_cell(const krv_std_json_entry& entry, std::string_view sort_key) {
    krvvar& value = *entry.value;
    const krv_std_json* nested = value.type == KRVVAR_JSON ? value.object_ptr<krv_std_json>() : nullptr;
    if (nested == nullptr) return nullptr;
    for (const krv_std_json_entry& candidate : nested->entries)
      if (candidate.has_key() && candidate.key_view() == sort_key) return candidate.value.get();
    return nullptr;
  }

  sort_by_slot read_child(const krv_std_json_entry& entry, std::string_view sort_key, uint32_t position) {
    krvvar* found = child_cell(entry, sort_key);
    if (found == nullptr || found->type == KRVVAR_NONE) return {0, position, child_kind::missing};
    if (found->type == KRVVAR_INT || found->type == KRVVAR_FLOAT)
      return {std::bit_cast<uint64_t>(found->float_value()), position, child_kind::number};
    texts_.resize(slots_.capacity());  // the keyed group's size, reserved by the constructor
    texts_[position] = found->type == KRVVAR_STRING ? found->string_view_value() : converted_text(*found);
    return {big_endian_prefix<false>(texts_[position]), position, child_kind::text};
  }

  void write_number_texts(const entry_vector& entries, std::string_view sort_key) {
    for (const sort_by_slot& slot : slots_)
      if (slot.kind == child_kind::number) texts_[slot.position] = converted_text(*child_cell(entries[slot.position], sort_key));
  }

  // A text the cell has no storage for; the deque keeps earlier texts where they are.
  std::string_view converted_text(krvvar& cell) {
    cell.string_value(converted_.emplace_back());
    return converted_.back();
  }

  // A present child's rank among children of its own kind.
  static uint64_t rank(const sort_by_slot& slot, bool descending) {
    const uint64_t ascending = slot.kind == child_kind::number ? number_rank(slot.number()) : slot.word;
    return descending ? ~ascending : ascending;
  }

  template <bool Descending>
  bool goes_before(const sort_by_slot& a, const sort_by_slot& b) const {
    const bool a_missing = a.kind == child_kind::missing, b_missing = b.kind == child_kind::missing;
    if (a_missing || b_missing) return !a_missing && b_missing;
    if (a.kind == child_kind::number && b.kind == child_kind::number)
      return Descending ? a.number() > b.number() : a.number() < b.number();
    if (a.kind == child_kind::text && b.kind == child_kind::text && a.word != b.word)
      return Descending ? a.word > b.word : a.word < b.word;
    const int order = texts_[a.position].compare(texts_[b.position]);
    return Descending ? order > 0 : order < 0;
  }

  std::vector<sort_by_slot> slots_;
  // By position, from the first text child on (numbers only never need it); empty for missing children.
  std::vector<std::string_view> texts_;
  std::deque<std::string> converted_;
  bool any_text_ = false, any_number_ = false;
  bool any_nan_ = false;  // a NaN equals every number, so numbers with one have no ranks
};

// Appends the value's signature for unique: its resolved type code in decimal, a colon and its text, so
// the int 1 ("2:1") and the text 1 ("5:1") differ while two containers with the same text are equal.
void append_signature(const krvvar_shared& value, std::string& out) {
  if (!value) {
    out += "0:";
    return;
  }
  // Only references and member references need resolving; every other cell stands for itself.
  const bool indirect = value->type == KRVVAR_REF || value->is_member_ref();
  const krvvar_shared resolved = indirect ? value.deref_copy() : krvvar_shared();
  krvvar& cell = indirect ? *resolved : *value;
  if (cell.type >= 10) out += static_cast<char>('0' + cell.type / 10);
  out += static_cast<char>('0' + cell.type % 10);
  out += ':';
  if (cell.type == KRVVAR_INT) {
    // The int's decimal text, written straight into the signature.
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, cell.payload.int_value).ptr);
  } else {
    out += cell.string_view_value();
  }
}

// Which entries unique keeps: the first entry of each non-empty key in object mode (a container with at
// least one such key), the first of each value signature for every other entry.
std::vector<uint8_t> first_occurrences(const entry_vector& entries) {
  const auto keyed = static_cast<size_t>(
      std::count_if(entries.begin(), entries.end(), [](const krv_std_json_entry& e) { return !e.key_view().empty(); }));
  const bool object_mode = keyed > 0;
  krv_seen_texts seen_keys(keyed);
  krv_seen_texts seen_values(entries.size() - keyed);
  std::vector<uint8_t> keep(entries.size());
  std::string signature;
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string_view key = entries[i].key_view();
    if (object_mode && !key.empty()) {
      keep[i] = seen_keys.insert(key);
    } else {
      signature.clear();
      append_signature(entries[i].value, signature);
      keep[i] = seen_values.insert(signature);
    }
  }
  return keep;
}

}  // namespace

namespace krv_json_methods {

// Unstable: keys that differ only in letter case end in no defined order.
KRV_JSON_METHOD(sort) {
  sort_keyed<true>(self->entries, partition_keyed_first(self->entries));
  return krv_json_self_result(self);
}

// Descending raw bytes: lower-case letters (greater bytes) before upper-case ones.
KRV_JSON_METHOD(sort_reverse) {
  sort_keyed<false>(self->entries, partition_keyed_first(self->entries));
  return krv_json_self_result(self);
}

// Stable: entries whose children compare equal keep their order from after the partition.
KRV_JSON_METHOD(sort_by) {
  const std::string sort_key = args[0]->get_string();
  const bool descending = args.size() > 1 && args[1]->is_nonzero();
  entry_vector& entries = self->entries;
  const sort_by_children children(entries, partition_keyed_first(entries), sort_key);
  if (children.ranks_decide())
    arrange_keyed(entries, children.by_rank(descending));
  else
    arrange_keyed(entries, children.by_comparison(descending));
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
