// Pool bookkeeping: page creation and order of entries, retiring and reinstating pages, and what a free
// reports (with its exact text) and leaves alone when the entry, its slot byte or its page is wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/host_vm.h"
#include "host/log_collector.h"
#include "runtime/base/krvvar.h"
#include "runtime/base/value_records.h"
#include "runtime/memory/pool.h"

namespace {

using cell_traits = krv_pool_traits<krvvar>;

std::string address(const void* p) {
  std::ostringstream text;
  text << p;
  return text.str();
}

std::vector<krv_logged_line> errors(std::initializer_list<std::string> texts) {
  std::vector<krv_logged_line> lines;
  for (const std::string& text : texts) lines.push_back({KRV_LOG_ERROR, text});
  return lines;
}

// What a page's bookkeeping says, to check that a faulty free changed nothing.
struct page_state {
  uint8_t free_count;
  std::vector<uint8_t> stack;
  std::vector<bool> allocated;
  bool retired;
  uint64_t live;
  bool operator==(const page_state&) const = default;
};

class CellPool : public ::testing::Test {
 protected:
  void SetUp() override { vm.attach_current_thread(); }
  void TearDown() override { krv_host_vm::detach_current_thread(); }

  krv_pool_page page(size_t i = 0) const { return krv_pool_page(pool.pages.at(i), cell_traits::layout); }
  krvvar* entry(size_t page_index, uint32_t i) const { return reinterpret_cast<krvvar*>(page(page_index).entry(i)); }
  page_state state(size_t i = 0) const {
    const krv_pool_page p = page(i);
    page_state s{p.free_count(), {}, {}, p.retired(), pool.live};
    for (uint32_t k = 0; k < p.free_count(); ++k) s.stack.push_back(p.stack_at(k));
    for (uint32_t k = 0; k < krv_pool_page_entries; ++k) s.allocated.push_back(p.allocated(k));
    return s;
  }
  std::vector<krvvar*> allocate(size_t n) {
    std::vector<krvvar*> cells;
    for (size_t i = 0; i < n; ++i) cells.push_back(pool.allocate());
    return cells;
  }

  krv_host_vm vm{"pool-test"};
  krv_log_collector log{vm.log()};
  krv_pool_of<krvvar> pool;
};

TEST_F(CellPool, FirstAllocationOpensAPageAndHandsOutEntryZero) {
  krvvar* cell = pool.allocate();
  ASSERT_EQ(pool.pages.size(), 1u);
  EXPECT_EQ(pool.page_count, 1u);
  EXPECT_EQ(pool.live, 1u);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(cell), pool.pages[0]);
  EXPECT_EQ(cell->pool_slot, 0);
  EXPECT_EQ(cell->type, KRVVAR_NONE);
  EXPECT_EQ(cell->refcount, 0);
  const krv_pool_page p = page();
  EXPECT_EQ(p.free_count(), 254);
  EXPECT_TRUE(p.allocated(0));
  EXPECT_FALSE(p.allocated(1));
  EXPECT_EQ(p.magic(), 0xFFABCDEFu);
  EXPECT_FALSE(p.retired());
  // The magic sits right after the bitmap, unaligned, and the page ends with the retired byte.
  uint32_t magic = 0;
  std::memcpy(&magic, pool.pages[0] + 255 * 16 + 256 + 32, 4);
  EXPECT_EQ(magic, 0xFFABCDEFu);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(CellPool, EntriesComeInIndexOrderAndThe256thOpensASecondPage) {
  std::vector<krvvar*> cells = allocate(255);
  for (uint32_t i = 0; i < 255; ++i) ASSERT_EQ(cells[i], entry(0, i)) << i;
  EXPECT_EQ(pool.pages.size(), 1u);

  krvvar* next = pool.allocate();
  ASSERT_EQ(pool.pages.size(), 2u);
  EXPECT_EQ(next, entry(1, 0));
  EXPECT_TRUE(page(0).retired());
  EXPECT_EQ(pool.free_pages, std::vector<uint8_t*>{pool.pages[1]});

  // One entry back puts the first page on top of the free-pages stack; it serves the next allocation.
  pool.free(cells[17]);
  EXPECT_FALSE(page(0).retired());
  EXPECT_EQ(pool.free_pages, (std::vector<uint8_t*>{pool.pages[1], pool.pages[0]}));
  EXPECT_EQ(pool.live, 255u);
  EXPECT_EQ(pool.allocate(), cells[17]);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(CellPool, DoubleFreeIsReportedAndChangesNothing) {
  std::vector<krvvar*> cells = allocate(3);
  pool.free(cells[0]);
  const page_state before = state();
  pool.free(cells[0]);
  EXPECT_EQ(log.lines(), errors({"Attempting to deallocate unallocated chunk (double free?) !"}));
  EXPECT_EQ(state(), before);
}

TEST_F(CellPool, BadMagicIsReportedAndTheEntryLeftAlone) {
  std::vector<krvvar*> cells = allocate(4);
  page().set_magic(0x12345678u);
  const page_state before = state();
  pool.free(cells[3]);
  const std::string entry_at = address(cells[3]), page_at = address(pool.pages[0]);
  EXPECT_EQ(log.lines(), errors({"invalid pool magic num: %p vs %p " + page_at + " <-> 0xffabcdef",
                                 "invalid variable pool memory! %i 3",
                                 "Seems like variable %p belongs to pool %p, offset was %i, but actually is %i." +
                                     entry_at + page_at + "33"}));
  EXPECT_EQ(state(), before);
}

TEST_F(CellPool, FreeIntoAClosedPageIsIgnoredSilently) {
  std::vector<krvvar*> cells = allocate(2);
  page().set_magic(0xFFAB0DEDu);
  const page_state before = state();
  pool.free(cells[1]);
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(state(), before);
}

TEST_F(CellPool, AWrongSlotByteIsFoundByTheSearchAndTheRealEntryFreed) {
  std::vector<krvvar*> cells = allocate(8);
  cells[5]->pool_slot = 255;
  pool.free(cells[5]);
  const std::string entry_at = address(cells[5]), page_at = address(pool.pages[0]);
  EXPECT_EQ(log.lines(), errors({"invalid variable pool memory! %i 255",
                                 "Seems like variable %p belongs to pool %p, offset was %i, but actually is %i." +
                                     entry_at + page_at + "2555"}));
  // Entry 5 is free again, and no other entry is touched.
  const krv_pool_page p = page();
  EXPECT_FALSE(p.allocated(5));
  for (uint32_t i : {0u, 1u, 2u, 3u, 4u, 6u, 7u}) EXPECT_TRUE(p.allocated(i)) << i;
  EXPECT_EQ(p.stack_at(p.free_count() - 1u), 5);
  EXPECT_EQ(pool.live, 7u);
  EXPECT_EQ(pool.allocate(), cells[5]);
  EXPECT_EQ(cells[5]->pool_slot, 5);
}

TEST_F(CellPool, TheSearchReportsAnEntryAlreadyFreeAndLeavesItAlone) {
  std::vector<krvvar*> cells = allocate(8);
  pool.free(cells[5]);
  cells[5]->pool_slot = 255;
  const page_state before = state();
  pool.free(cells[5]);
  const std::string entry_at = address(cells[5]), page_at = address(pool.pages[0]);
  EXPECT_EQ(log.lines(), errors({"invalid variable pool memory! %i 255",
                                 "Seems like variable %p belongs to pool %p, offset was %i, but actually is %i." +
                                     entry_at + page_at + "2555",
                                 "Additionally, the variable was already free'd. Check for mem corruptions."}));
  EXPECT_EQ(state(), before);
}

TEST_F(CellPool, EntriesOutsideEveryPageAreUnknown) {
  std::vector<krvvar*> cells = allocate(1);
  krvvar heap_cell;  // slot 255: it never came from a page
  // An address inside an entry is no entry either: entry 0's payload, whose last byte reads as slot 255.
  cells[0]->payload.bits = 0xFF00000000000000u;
  const page_state before = state();
  pool.free(&heap_cell);
  pool.free(reinterpret_cast<krvvar*>(pool.pages[0] + 8));
  EXPECT_EQ(log.lines(), errors({"invalid variable pool memory! %i 255", "unknown var encountered.",
                                 "invalid variable pool memory! %i 255", "unknown var encountered."}));
  EXPECT_EQ(state(), before);
  cells[0]->payload.bits = 0;
}

TEST_F(CellPool, ADoubleAllocationRetiresThePageAndMovesOn) {
  allocate(1);
  page().set_allocated(1, true);  // index 1, next on the stack, is marked although free
  krvvar* cell = pool.allocate();
  EXPECT_EQ(log.lines(), errors({"Attempting to allocate an already allocated chunk! (double allocate?) !"}));
  ASSERT_EQ(pool.pages.size(), 2u);
  EXPECT_TRUE(page(0).retired());
  EXPECT_EQ(cell, entry(1, 0));
}

TEST_F(CellPool, AllocationNeverHandsOutIndex255) {
  allocate(1);
  const krv_pool_page p = page();
  p.stack_at(p.free_count() - 1u) = 255;
  const uint64_t live = pool.live;
  try {
    pool.allocate();
    FAIL() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "invalid bitset position");
  }
  EXPECT_EQ(pool.live, live);
}

// A probe whose block tells how many handles still hold it.
class probe : public krvptr_base<probe> {};

TEST_F(CellPool, ReleasingFreePagesKeepsTheReserveAndUsedPagesAndNeverHandsOutAnEntryTwice) {
  std::vector<krvvar*> cells = allocate(10 * 255);
  krvvar* survivor = entry(3, 100);
  uint8_t* survivor_page = pool.pages[3];
  for (krvvar* cell : cells)
    if (cell != survivor) pool.free(cell);
  EXPECT_EQ(pool.free_entries(), 10u * 255 - 1);

  EXPECT_EQ(pool.release_free_pages(2), 7u);  // of nine wholly free pages two stay
  EXPECT_EQ(pool.page_count, 3u);
  EXPECT_EQ(pool.pages.size(), 3u);
  EXPECT_EQ(pool.free_pages.size(), 3u);
  EXPECT_NE(std::find(pool.pages.begin(), pool.pages.end(), survivor_page), pool.pages.end());
  EXPECT_EQ(pool.release_free_pages(2), 0u);

  // The three pages serve 2 x 255 + 254 entries, each once; the next one opens a page.
  std::vector<krvvar*> again = allocate(2 * 255 + 254);
  again.push_back(survivor);
  std::sort(again.begin(), again.end());
  EXPECT_EQ(std::adjacent_find(again.begin(), again.end()), again.end());
  EXPECT_EQ(pool.page_count, 3u);
  krvvar* next = pool.allocate();
  EXPECT_EQ(pool.page_count, 4u);
  for (krvvar* cell : again) pool.free(cell);
  pool.free(next);
  EXPECT_EQ(pool.live, 0u);
  EXPECT_TRUE(log.lines().empty());
}

TEST(RecordPool, RecordsAreBuiltOnAllocationAndReleaseTheirHandlesOnFree) {
  krv_pool_of<krvvar_class_def_record> pool;
  auto object = krvptr_strong<probe>::from_raw(new probe());
  krvvar_class_def_record* record = pool.allocate();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->pool_slot, 0);
  EXPECT_EQ(record->definition.block(), &krvptr_empty_block);
  record->definition = krvptr_weak<krvptr_base_internal>(object);
  EXPECT_EQ(object.block()->weak, 1u);

  pool.free(record);
  EXPECT_EQ(object.block()->weak, 0u);
  EXPECT_EQ(pool.live, 0u);
  EXPECT_EQ(pool.allocate(), record);  // the same entry, built afresh
  EXPECT_EQ(record->definition.block(), &krvptr_empty_block);
}

TEST(RecordPool, BadMagicIsReportedWithoutSeparators) {
  krv_host_vm vm{"record-pool-test"};
  vm.attach_current_thread();
  {
    krv_log_collector log{vm.log()};
    krv_pool_of<krvvar_object_record> pool;
    krvvar_object_record* record = pool.allocate();
    const krv_pool_page page(pool.pages[0], krv_pool_traits<krvvar_object_record>::layout);
    page.set_magic(0);
    pool.free(record);
    const std::vector<krv_logged_line> lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].text, "invalid pool magic num: %p vs %p" + address(pool.pages[0]) + "0xffabcdef");
    EXPECT_EQ(pool.live, 1u);
    page.set_magic(0xFFABCDEFu);
    pool.free(record);
    EXPECT_EQ(pool.live, 0u);
  }
  krv_host_vm::detach_current_thread();
}

}  // namespace
