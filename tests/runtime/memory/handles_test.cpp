// Strong and weak handles over reference blocks: counts, the immortal empty block, and the order in
// which an object and its block go away.
#include <gtest/gtest.h>

#include <vector>

#include "runtime/memory/handles.h"

namespace {

// A shared object that records its lifecycle into a journal owned by the test.
class probe : public krvptr_base<probe> {
 public:
  explicit probe(std::vector<std::string>& journal) : journal_(journal) {}
  ~probe() override { journal_.push_back("destroyed"); }
  void detach() noexcept override {
    journal_.push_back("detached");
    krvptr_base_internal::detach();
  }

 private:
  std::vector<std::string>& journal_;
};

class derived_probe : public probe {
 public:
  using probe::probe;
};

krvptr_ref_block empty_snapshot() { return krvptr_empty_block; }

bool same_block(const krvptr_ref_block& a, const krvptr_ref_block& b) {
  return a.object == b.object && a.strong == b.strong && a.weak == b.weak && a.alive == b.alive &&
         a.pool_slot == b.pool_slot;
}

TEST(EmptyBlock, IsImmortalAndNeverChanges) {
  const krvptr_ref_block before = empty_snapshot();
  EXPECT_EQ(before.object, nullptr);
  EXPECT_EQ(before.strong, 0xFFFFFFFFu);
  EXPECT_EQ(before.weak, 0u);
  EXPECT_EQ(before.alive, 1);
  EXPECT_EQ(before.pool_slot, 255);
  {
    krvptr_strong<probe> a;
    krvptr_strong<probe> b = a;
    krvptr_weak<probe> w(a);
    krvptr_weak<probe> w2 = w;
    b.release();
    a = b;
    EXPECT_FALSE(a);
    EXPECT_EQ(a.block(), &krvptr_empty_block);
    EXPECT_EQ(w.block(), &krvptr_empty_block);
  }
  EXPECT_TRUE(same_block(krvptr_empty_block, before));
}

TEST(StrongHandle, CountsCopiesAndDestroysWithTheLastOne) {
  std::vector<std::string> journal;
  auto a = krvptr_strong<probe>::from_raw(new probe(journal));
  krvptr_ref_block* block = a.block();
  EXPECT_EQ(block->strong, 1u);
  EXPECT_EQ(block->pool_slot, 255);  // no VM: heap block
  EXPECT_EQ(block->alive, 1);
  {
    krvptr_strong<probe> b = a;
    krvptr_strong<probe> c;
    c = b;
    EXPECT_EQ(block->strong, 3u);
    krvptr_strong<probe> moved = std::move(c);
    EXPECT_EQ(block->strong, 3u);
    EXPECT_EQ(c.block(), &krvptr_empty_block);
  }
  EXPECT_EQ(block->strong, 1u);
  EXPECT_TRUE(journal.empty());
  a.release();
  EXPECT_EQ(journal, (std::vector<std::string>{"detached", "destroyed"}));
  EXPECT_EQ(a.block(), &krvptr_empty_block);
}

TEST(StrongHandle, ResetToTheSameObjectKeepsTheCount) {
  std::vector<std::string> journal, other_journal;
  probe* object = new probe(journal);
  auto a = krvptr_strong<probe>::from_raw(object);
  a.reset(object);
  EXPECT_EQ(a.block()->strong, 1u);

  a.reset(new probe(other_journal));
  EXPECT_EQ(journal, (std::vector<std::string>{"detached", "destroyed"}));
  EXPECT_EQ(a.block()->strong, 1u);
}

TEST(StrongHandle, ConvertsToABaseHandleSharingTheBlock) {
  std::vector<std::string> journal;
  auto derived = krvptr_strong<derived_probe>::from_raw(new derived_probe(journal));
  krvptr_strong<probe> base = derived;
  EXPECT_EQ(base.block(), derived.block());
  EXPECT_EQ(base.block()->strong, 2u);
  EXPECT_EQ(base.get(), derived.get());
}

// A list node owned only through its predecessor.
class node : public krvptr_base<node> {
 public:
  explicit node(int v) : value(v) {}
  int value;
  krvptr_strong<node> next;
};

TEST(StrongHandle, AdvancingOverAChainTakesTheNewTargetBeforeDroppingTheOld) {
  auto head = krvptr_strong<node>::from_raw(new node(1));
  head->next = krvptr_strong<node>::from_raw(new node(2));
  head->next->next = krvptr_strong<node>::from_raw(new node(3));

  head = std::move(head->next);  // the old head owned the new one
  ASSERT_TRUE(head);
  EXPECT_EQ(head->value, 2);
  EXPECT_EQ(head.block()->strong, 1u);
  head.reset(head->next.get());  // likewise through reset
  ASSERT_TRUE(head);
  EXPECT_EQ(head->value, 3);
  EXPECT_EQ(head.block()->strong, 1u);
}

TEST(WeakHandle, OutlivesTheObjectAndFreesTheBlockLast) {
  std::vector<std::string> journal;
  auto strong = krvptr_strong<probe>::from_raw(new probe(journal));
  krvptr_weak<probe> weak(strong);
  krvptr_ref_block* block = strong.block();
  EXPECT_EQ(block->weak, 1u);
  EXPECT_EQ(weak.lock().get(), strong.get());

  strong.release();
  EXPECT_EQ(journal, (std::vector<std::string>{"detached", "destroyed"}));
  // The block survives for the weak handle, dead and without object.
  EXPECT_EQ(weak.block(), block);
  EXPECT_EQ(block->object, nullptr);
  EXPECT_EQ(block->alive, 0);
  EXPECT_TRUE(weak.expired());
  EXPECT_FALSE(weak.lock());

  krvptr_weak<probe> acquired;
  acquired.acquire(block);
  EXPECT_EQ(acquired.block(), &krvptr_empty_block);
  EXPECT_EQ(block->weak, 1u);
  weak.release();  // frees the block; ASan reports a leak or a double free if the order is wrong
  EXPECT_EQ(weak.block(), &krvptr_empty_block);
}

TEST(WeakHandle, FromARawObjectCountsWithoutKeepingItAlive) {
  std::vector<std::string> journal;
  probe* object = new probe(journal);
  auto weak = krvptr_weak<probe>::from_raw(object);
  EXPECT_EQ(weak.block()->weak, 1u);
  EXPECT_EQ(weak.block()->strong, 0u);
  auto strong = weak.lock();
  EXPECT_EQ(strong.get(), object);
  strong.release();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(journal.size(), 2u);
}

TEST(StrongHandle, FromAReleasedObjectIsEmpty) {
  std::vector<std::string> journal;
  probe* object = new probe(journal);
  krvptr_ref_block* block = krvptr_storage::get_ref_block(*object);
  block->alive = 0;  // as after its release, with the object not yet gone
  EXPECT_FALSE(krvptr_strong<probe>::from_raw(object));
  EXPECT_FALSE(krvptr_strong<probe>::from_raw(nullptr));
  block->alive = 1;
  auto owner = krvptr_strong<probe>::from_raw(object);
  EXPECT_TRUE(owner);
}

TEST(SharedObject, DestroyedWithoutHandlesLeavesNoDanglingBlock) {
  std::vector<std::string> journal;
  auto* object = new probe(journal);
  auto weak = krvptr_weak<probe>::from_raw(object);
  delete object;  // an owner that destroys the object directly
  EXPECT_TRUE(weak.expired());
  EXPECT_FALSE(weak.lock());
}

TEST(TypeTag, IsOneHashPerType) {
  EXPECT_EQ(krvptr_type_tag<probe>::type_hash(), typeid(probe).hash_code());
  EXPECT_NE(krvptr_type_tag<probe>::type_hash(), krvptr_type_tag<derived_probe>::type_hash());
}

}  // namespace
