// The return ring on its own: where tickets land, ticket order through the wrap of the 32-bit counter,
// and the limit of 16,384 entries in transit.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "runtime/memory/return_ring.h"

namespace {

void* entry(uintptr_t n) { return reinterpret_cast<void*>(n * 16); }

TEST(ReturnRing, TicketsLandOneCacheLineApart) {
  struct row {
    uint32_t ticket;
    uint32_t slot;
  };
  const row table[] = {{0, 0},   {1, 8},   {2, 16},  {3, 24},  {4, 32},     {5, 40},      {6, 48},
                       {7, 56},  {8, 1},   {9, 9},   {10, 17}, {11, 25},    {12, 33},     {13, 41},
                       {14, 49}, {15, 57}, {16, 2},  {63, 63}, {64, 64},    {65, 72},     {16383, 16383},
                       {16384, 0}, {16385, 8}, {16392, 1}, {0xFFFFFFFFu, 16383}};
  for (const row& r : table) EXPECT_EQ(krv_return_ring_slot(r.ticket), r.slot) << r.ticket;
  // Every slot belongs to exactly one ticket of a round.
  std::vector<int> seen(krv_return_ring_slots, 0);
  for (uint32_t t = 0; t < krv_return_ring_slots; ++t) ++seen[krv_return_ring_slot(t)];
  for (int count : seen) ASSERT_EQ(count, 1);
}

// Everything the consumer takes in one call, in order.
std::vector<void*> consume_all(krv_pool_return_ring& ring) {
  std::vector<void*> taken;
  ring.consume([&](void* e) { taken.push_back(e); });
  return taken;
}

TEST(ReturnRing, EntriesComeOutInTicketOrderAcrossTheCounterWrap) {
  auto ring = std::make_unique<krv_pool_return_ring>();
  ring->tail = ring->head = 0xFFFFFFF0u;
  std::vector<void*> pushed;
  for (uintptr_t i = 1; i <= 200; ++i) {
    ASSERT_TRUE(ring->push(entry(i)));
    pushed.push_back(entry(i));
  }
  EXPECT_EQ(ring->tail.load(), 0xFFFFFFF0u + 200);
  EXPECT_EQ(consume_all(*ring), pushed);
  EXPECT_EQ(ring->head.load(), ring->tail.load());
  EXPECT_TRUE(consume_all(*ring).empty());
  for (const auto& slot : ring->slots) ASSERT_EQ(slot.load(), 0u);
}

TEST(ReturnRing, HoldsAtMost16384EntriesInTransit) {
  auto ring = std::make_unique<krv_pool_return_ring>();
  for (uintptr_t i = 1; i <= krv_return_ring_slots; ++i) ASSERT_TRUE(ring->push(entry(i)));
  EXPECT_FALSE(ring->push(entry(99999)));
  EXPECT_EQ(ring->tail.load(), krv_return_ring_slots);  // a refused push claims no ticket
  EXPECT_EQ(consume_all(*ring).size(), krv_return_ring_slots);
  EXPECT_TRUE(ring->push(entry(99999)));
  // The slot emptied by the consumer serves the next round's first ticket.
  EXPECT_EQ(ring->slots[0].load(), reinterpret_cast<uint64_t>(entry(99999)));
  EXPECT_EQ(consume_all(*ring), std::vector<void*>{entry(99999)});
}

TEST(ReturnRing, AClaimedTicketWithoutItsEntryStopsTheConsumerThere) {
  auto ring = std::make_unique<krv_pool_return_ring>();
  ASSERT_TRUE(ring->push(entry(1)));
  ring->tail = 3;  // tickets 1 and 2 claimed, their entries not stored yet
  ring->slots[krv_return_ring_slot(2)] = reinterpret_cast<uint64_t>(entry(3));
  EXPECT_EQ(consume_all(*ring), std::vector<void*>{entry(1)});
  EXPECT_EQ(ring->head.load(), 1u);
  ring->slots[krv_return_ring_slot(1)] = reinterpret_cast<uint64_t>(entry(2));
  EXPECT_EQ(consume_all(*ring), (std::vector<void*>{entry(2), entry(3)}));
}

}  // namespace
