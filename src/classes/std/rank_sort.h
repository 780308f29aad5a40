// Sorting slots by a 64-bit rank in linear time, for the sorts of std.json.
//
// A sort of n entries past the caches pays a cache miss for most of its n log2 n comparisons, so its
// cost per n log2 n grows with n. Here each slot carries a rank: a u64 whose order is the order of what
// it stands for, as far as its 8 bytes can tell (a number mapped to an order-preserving u64, or a text's
// first eight bytes big-endian). A least-significant-digit radix sort orders the slots by rank in a few
// sequential passes, one per byte in which the ranks differ, and keeps the order of equal ranks; only
// slots whose ranks are equal are then compared in full, run by run. Few slots fall back to a
// comparison sort by rank, which costs less than the passes' histograms there and orders the same way.
//
// Slot: trivially copyable, with a `uint64_t rank` field.
#pragma once
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

// Below this many slots the radix passes cost more than a comparison sort.
inline constexpr size_t krv_rank_sort_radix_min = 256;

// Stable sort of `slots` by rank, ascending.
template <class Slot>
void krv_sort_by_rank(std::vector<Slot>& slots) {
  static_assert(std::is_trivially_copyable_v<Slot>);
  const size_t count = slots.size();
  if (count < krv_rank_sort_radix_min) {
    std::stable_sort(slots.begin(), slots.end(), [](const Slot& a, const Slot& b) { return a.rank < b.rank; });
    return;
  }
  const auto digit = [](uint64_t rank, int d) { return static_cast<uint8_t>(rank >> (8 * d)); };
  // Only the bytes in which ranks differ take a pass (numbers and short texts share several), and only
  // they are counted: counting a shared byte would add to one counter in a chain of dependent stores.
  uint64_t all_ones = ~uint64_t{0}, any_ones = 0;
  for (const Slot& slot : slots) {
    all_ones &= slot.rank;
    any_ones |= slot.rank;
  }
  int varying[8];
  int varying_count = 0;
  for (int d = 0; d < 8; ++d)
    if (digit(all_ones ^ any_ones, d) != 0) varying[varying_count++] = d;
  std::vector<std::array<size_t, 256>> counts(static_cast<size_t>(varying_count));
  for (const Slot& slot : slots)
    for (int v = 0; v < varying_count; ++v) ++counts[v][digit(slot.rank, varying[v])];
  std::vector<Slot> scratch(varying_count != 0 ? count : 0);
  Slot* from = slots.data();
  Slot* to = scratch.data();
  for (int v = 0; v < varying_count; ++v) {
    std::array<size_t, 256>& starts = counts[v];
    size_t start = 0;
    for (size_t& bucket : starts) start += std::exchange(bucket, start);
    for (size_t i = 0; i < count; ++i) to[starts[digit(from[i].rank, varying[v])]++] = from[i];
    std::swap(from, to);
  }
  if (from != slots.data()) std::copy(from, from + count, slots.data());
}

// Calls order_run(first, last) on every run of two or more slots of equal rank in sorted `slots`.
template <class Slot, class OrderRun>
void krv_for_each_rank_tie(std::vector<Slot>& slots, OrderRun order_run) {
  for (auto first = slots.begin(); first != slots.end();) {
    const auto last = std::find_if(first + 1, slots.end(), [&](const Slot& slot) { return slot.rank != first->rank; });
    if (last - first > 1) order_run(first, last);
    first = last;
  }
}
