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

TEST(ReturnRing, EntriesComeOutInTicketOrderAcrossTheCounterWrap) {
  auto ring = std::make_unique<krv_pool_return_ring>();
  ring->tail = ring->head = 0xFFFFFFF0u;
  for (uintptr_t i = 1; i <= 40; ++i) ASSERT_TRUE(ring->push(entry(i)));
  EXPECT_EQ(ring->tail.load(), 0xFFFFFFF0u + 40);
  for (uintptr_t i = 1; i <= 40; ++i) {
    ASSERT_EQ(ring->peek(), entry(i));
    ring->pop();
  }
  EXPECT_EQ(ring->peek(), nullptr);
  for (const auto& slot : ring->slots) ASSERT_EQ(slot.load(), 0u);
}

TEST(ReturnRing, HoldsAtMost16384EntriesInTransit) {
  auto ring = std::make_unique<krv_pool_return_ring>();
  for (uintptr_t i = 1; i <= krv_return_ring_slots; ++i) ASSERT_TRUE(ring->push(entry(i)));
  EXPECT_FALSE(ring->push(entry(99999)));
  EXPECT_EQ(ring->tail.load(), krv_return_ring_slots);  // a refused push claims no ticket
  ring->pop();
  EXPECT_TRUE(ring->push(entry(99999)));
  // The slot freed by the consumer serves the next round's ticket.
  EXPECT_EQ(ring->slots[0].load(), reinterpret_cast<uint64_t>(entry(99999)));
  EXPECT_EQ(ring->peek(), entry(2));
}

TEST(ReturnRing, AClaimedTicketWithoutItsEntryStopsTheConsumer) {
  auto ring = std::make_unique<krv_pool_return_ring>();
  ring->tail = 1;  // a pusher claimed ticket 0 but has not stored its entry yet
  EXPECT_EQ(ring->peek(), nullptr);
  ring->slots[0] = reinterpret_cast<uint64_t>(entry(7));
  EXPECT_EQ(ring->peek(), entry(7));
}

}  // namespace
