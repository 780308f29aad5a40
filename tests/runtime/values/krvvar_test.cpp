// Value cells and their handles: the bytes the makers write, where cells come from, how handles count,
// what a type change releases and builds, and how references resolve.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "host/host_vm.h"
#include "host/log_collector.h"
#include "module/vm_lock.h"
#include "runtime/base/krvvar.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/base/krvvector_shared.h"
#include "runtime/base/raise.h"
#include "runtime/base/value_records.h"

namespace {

using bytes16 = std::array<uint8_t, 16>;

bytes16 bytes_of(const krvvar& cell) {
  bytes16 bytes;
  std::memcpy(bytes.data(), &cell, 16);
  return bytes;
}

TEST(KrvvarType, NamesEveryCode) {
  const char* const names[] = {"error",  "none",      "int",       "float",    "primitive_end",
                               "string", "binary",    "json",      "object",   "objects_end",
                               "class",  "class_def", "function",  "ext_function", "object_member_literal",
                               "object_member_index", "object_member_var", "ref"};
  for (uint8_t code = 0; code < 18; ++code) EXPECT_EQ(krvvar_type_name(code), names[code]) << int{code};
  EXPECT_EQ(krvvar_type_name(18), "");
}

TEST(Makers, WriteExactBytesOnAThreadWithoutAVm) {
  struct row {
    const char* what;
    krvvar_shared value;
    bytes16 expected;
  };
  const row table[] = {
      {"make_int(5)", krvvar_shared::make_int(5), {1, 0, 0, 0, 0, 0, 2, 255, 5, 0, 0, 0, 0, 0, 0, 0}},
      {"make_int(-2)",
       krvvar_shared::make_int(-2),
       {1, 0, 0, 0, 0, 0, 2, 255, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"make_float(1.5)", krvvar_shared::make_float(1.5), {1, 0, 0, 0, 0, 0, 3, 255, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}},
      {"make_none()", krvvar_shared::make_none(), {1, 0, 0, 0, 0, 0, 1, 255, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"make_typed(ERR)", krvvar_shared::make_typed(KRVVAR_ERR), {1, 0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"make_typed(REF)", krvvar_shared::make_typed(KRVVAR_REF), {1, 0, 0, 0, 0, 0, 17, 255, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const row& r : table) EXPECT_EQ(bytes_of(*r.value), r.expected) << r.what;
}

TEST(Cells, SetTypeSimpleBetweenSimpleTypesClearsThePayloadInPlace) {
  krvvar_shared value = krvvar_shared::make_float(2.75);
  value->by_value = 1;
  value->set_type_simple(KRVVAR_INT);
  EXPECT_EQ(value->type, KRVVAR_INT);
  EXPECT_EQ(value->payload.int_value, 0);
  EXPECT_EQ(value->by_value, 0);
}

TEST(Cells, DestroyingANegativeCountIsReportedAndLeavesTheCellAsItWas) {
  krv_host_vm vm{"refcount-test"};
  vm.attach_current_thread();
  {
    krv_log_collector log{vm.log()};
    krvvar* cell = krvvar::create();
    cell->type = KRVVAR_INT;
    cell->payload.int_value = 42;
    cell->refcount = -1;
    const bytes16 before = bytes_of(*cell);
    krvvar::destroy(cell);
    EXPECT_EQ(log.lines(), (std::vector<krv_logged_line>{{KRV_LOG_ERROR, "refcount < 0 !!!"}}));
    EXPECT_EQ(bytes_of(*cell), before);
    cell->refcount = 0;
    krvvar::destroy(cell);
  }
  krv_host_vm::detach_current_thread();
}

class OnVm : public ::testing::Test {
 protected:
  void SetUp() override { vm.attach_current_thread(); }
  void TearDown() override { krv_host_vm::detach_current_thread(); }
  krv_vm_state& state() { return vm.state(); }

  krv_host_vm vm{"values-test"};
  krv_log_collector log{vm.log()};
};

TEST_F(OnVm, CellsComeFromThePoolOnlyForTheLockOwnerOutsideNativeCalls) {
  const uint8_t unlocked = krvvar_shared::make_int(1)->pool_slot;
  uint8_t locked = 0, in_native_call = 0, after_native_call = 0;
  {
    krv_vm_lock guard;
    krvvar_shared first = krvvar_shared::make_int(1);
    locked = first->pool_slot;
    {
      krv_native_call_scope scope;
      in_native_call = krvvar_shared::make_int(2)->pool_slot;
    }
    after_native_call = krvvar_shared::make_int(3)->pool_slot;
    EXPECT_EQ(state().var_pool.live, 1u);
  }
  EXPECT_EQ(unlocked, 255);
  EXPECT_EQ(locked, 0);
  EXPECT_EQ(in_native_call, 255);
  EXPECT_EQ(after_native_call, 1);  // entry 0 is still held by `first` at that point
  EXPECT_EQ(state().var_pool.live, 0u);
}

TEST_F(OnVm, APooledCellGoesBackToItsPageAsNone) {
  krv_vm_lock guard;
  krvvar* raw = nullptr;
  {
    krvvar_shared value = krvvar_shared::make_int(9);
    raw = value.get();
    value->flags = krvvar_share_on_assign;
  }
  EXPECT_EQ(state().var_pool.live, 0u);
  EXPECT_EQ(raw->type, KRVVAR_NONE);
  EXPECT_EQ(raw->payload.bits, 0u);
  EXPECT_EQ(raw->refcount, 0);
  krvvar_shared again = krvvar_shared::make_none();
  EXPECT_EQ(again.get(), raw);
  EXPECT_EQ(again->flags, 0);
}

// Installs a thread-record hook for its lifetime and puts the previous one back.
class replaced_thread_record_hook {
 public:
  explicit replaced_thread_record_hook(krv_thread_local_hook_fn hook) : saved_(krv_global().thread_local_hook) {
    krv_global().thread_local_hook = std::move(hook);
  }
  ~replaced_thread_record_hook() { krv_global().thread_local_hook = saved_; }

 private:
  krv_thread_local_hook_fn saved_;
};

// Create and destroy read the record directly only while the module's own hook is installed: with a
// replaced hook the cell comes from, and goes back to, the pool of the VM that the host's record names.
TEST(Cells, CreateAndDestroyAskAReplacedHook) {
  krv_host_vm vm;
  krv_pool_of<krvvar>& pool = vm.state().var_pool;
  krv_thread_local replacement(krv_get_thread_local().thread_id);
  replacement.vm = &vm.state();
  int calls = 0;
  {
    replaced_thread_record_hook hook([&]() -> krv_thread_local& {
      ++calls;
      return replacement;
    });
    krv_vm_lock guard;
    const uint64_t live_before = pool.live;
    const int calls_before_create = calls;
    krvvar_shared value = krvvar_shared::make_int(7);
    EXPECT_NE(value->pool_slot, krv_pool_heap_slot);
    EXPECT_EQ(pool.live, live_before + 1);
    EXPECT_GT(calls, calls_before_create);

    const int calls_before_destroy = calls;
    value.release();
    EXPECT_EQ(pool.live, live_before);
    EXPECT_GT(calls, calls_before_destroy);
  }
  // The module's own record of this thread names no VM: heap cells again.
  EXPECT_EQ(krvvar_shared::make_int(7)->pool_slot, krv_pool_heap_slot);
}

TEST(Handles, CopyAssignmentCountsTheNewCellBeforeDroppingTheOld) {
  krvvar_shared a = krvvar_shared::make_int(1);
  krvvar_shared b = a;
  EXPECT_EQ(a->refcount, 2);
  a = a;  // self-assignment
  EXPECT_EQ(a->refcount, 2);
  b = a;  // another handle of the same cell
  EXPECT_EQ(a->refcount, 2);
  krvvar_shared c = krvvar_shared::make_float(0.5);
  b = c;
  EXPECT_EQ(a->refcount, 1);
  EXPECT_EQ(c->refcount, 2);
  krvvar_shared moved = std::move(b);
  EXPECT_EQ(c->refcount, 2);
  EXPECT_FALSE(b);
}

TEST(Handles, MoveAssignmentFromInsideTheOldValueKeepsTheNewCell) {
  // The key cell of a member-by-key value is held only by the value's record.
  krvvar_shared value = krvvar_shared::make_typed(KRVVAR_OBJECT_MEMBER_VAR);
  auto* record = static_cast<krvvar_member_var_record*>(value->payload.record);
  record->key->set_type_simple(KRVVAR_INT);
  record->key->payload.int_value = 77;
  ASSERT_EQ(record->key->refcount, 1);

  value = std::move(record->key);  // destroys the old value and its record while taking the key
  ASSERT_TRUE(value);
  EXPECT_EQ(value->type, KRVVAR_INT);
  EXPECT_EQ(value->payload.int_value, 77);
  EXPECT_EQ(value->refcount, 1);
}

// Every record type: from its pool on the lock owner, from the heap elsewhere, released on the way out.
TEST_F(OnVm, RecordsComeFromTheirPoolsOnTheLockOwnerAndFromTheHeapElsewhere) {
  struct row {
    uint8_t type;
    krv_pool* pool;
  };
  const row table[] = {
      {KRVVAR_OBJECT, &state().object_ref_pool},
      {KRVVAR_CLASS, &state().class_ref_pool},
      {KRVVAR_CLASS_DEF, &state().class_def_pool},
      {KRVVAR_FUNCTION, &state().function_pool},
      {KRVVAR_EXT_FUNCTION, &state().ext_function_pool},
      {KRVVAR_OBJECT_MEMBER_LITERAL, &state().member_literal_pool},
      {KRVVAR_OBJECT_MEMBER_INDEX, &state().member_index_pool},
      {KRVVAR_OBJECT_MEMBER_VAR, &state().member_var_pool},
  };
  const uint8_t slot_offsets[] = {8, 0, 0, 40, 16, 40, 17, 16};
  for (size_t i = 0; i < std::size(table); ++i) {
    const row& r = table[i];
    krv_pool& pool = *r.pool;
    {
      krv_vm_lock guard;
      krvvar_shared value = krvvar_shared::make_typed(r.type);
      ASSERT_NE(value->payload.record, nullptr);
      EXPECT_EQ(static_cast<uint8_t*>(value->payload.record), pool.pages.at(0)) << int{r.type};
      EXPECT_EQ(static_cast<uint8_t*>(value->payload.record)[slot_offsets[i]], 0) << int{r.type};
      EXPECT_EQ(pool.live, 1u);
      value->set_type_simple(KRVVAR_INT);
      EXPECT_EQ(pool.live, 0u) << int{r.type};
    }
    krvvar_shared heap_value = krvvar_shared::make_typed(r.type);
    EXPECT_EQ(static_cast<uint8_t*>(heap_value->payload.record)[slot_offsets[i]], 255) << int{r.type};
  }
  EXPECT_TRUE(log.lines().empty());
}

class probe : public krvptr_base<probe> {};

TEST(SetType, ARecordOfTheSameTypeIsKeptAndOnlyItsHandleReleased) {
  auto definition = krvptr_strong<probe>::from_raw(new probe());
  krvvar_shared value = krvvar_shared::make_typed(KRVVAR_CLASS_DEF);
  void* record = value->payload.record;
  static_cast<krvvar_class_def_record*>(record)->definition = krvptr_weak<krvptr_base_internal>(definition);
  EXPECT_EQ(definition.block()->weak, 1u);
  value->set_type(KRVVAR_CLASS_DEF);
  EXPECT_EQ(value->payload.record, record);
  EXPECT_EQ(definition.block()->weak, 0u);
}

TEST(SetType, AMemberByKeyValueHoldsAFreshNoneKey) {
  krvvar_shared value = krvvar_shared::make_typed(KRVVAR_OBJECT_MEMBER_VAR);
  const krvvar_shared& key = static_cast<krvvar_member_var_record*>(value->payload.record)->key;
  ASSERT_TRUE(key);
  EXPECT_EQ(key->type, KRVVAR_NONE);
  EXPECT_EQ(key->refcount, 1);
}

TEST(SetType, ReleasingAReferenceDropsTheTargetsCount) {
  krvvar_shared target = krvvar_shared::make_int(3);
  krvvar_shared ref = krvvar_shared::make_typed(KRVVAR_REF);
  ref->payload.target = target.get();
  ++target->refcount;
  ref->set_type_simple(KRVVAR_INT);
  EXPECT_EQ(target->refcount, 1);
  EXPECT_EQ(ref->payload.int_value, 0);
}

TEST(SetType, StringBufferAndContainerValuesStartWithAFreshEmptyObject) {
  for (uint8_t type : {KRVVAR_STRING, KRVVAR_BUFFER, KRVVAR_JSON}) {
    krvvar_shared value = krvvar_shared::make_typed(type);
    krvvar_shared other = krvvar_shared::make_typed(type);
    ASSERT_NE(value->object_base(), nullptr);
    EXPECT_NE(value->object_base(), other->object_base());
    EXPECT_EQ(value->payload.block->strong, 1u);
    EXPECT_EQ(value->size(), 0);
  }
}

TEST(ObjectPtr, AnObjectValueWhoseObjectDiedBecomesNone) {
  auto object = krvptr_strong<probe>::from_raw(new probe());
  probe* raw = object.get();
  krvvar_shared value = krvvar_shared::make_typed(KRVVAR_OBJECT);
  auto* record = static_cast<krvvar_object_record*>(value->payload.record);
  record->object = krvptr_strong<krvobject_base>::adopt(object.take_block());
  EXPECT_EQ(value->object_ptr<probe>(), raw);
  EXPECT_EQ(value->type, KRVVAR_OBJECT);

  // Torn down directly, whatever its count (as releasing contents does).
  raw->detach();
  delete raw;
  EXPECT_EQ(value->object_ptr<probe>(), nullptr);
  EXPECT_EQ(value->type, KRVVAR_NONE);
  EXPECT_EQ(value->payload.bits, 0u);
}

TEST_F(OnVm, DerefFollowsChainsAndStopsAtCycles) {
  auto ref_to = [](const krvvar_shared& target) {
    krvvar_shared ref = krvvar_shared::make_typed(KRVVAR_REF);
    ref->payload.target = target.get();
    if (target) ++target->refcount;
    return ref;
  };
  krvvar_shared seven = krvvar_shared::make_int(7);
  krvvar_shared one_step = ref_to(seven);
  krvvar_shared three_steps = ref_to(ref_to(one_step));
  krvvar_shared dangling = ref_to(ref_to(krvvar_shared()));
  krvvar_shared out;

  EXPECT_EQ(seven->deref(out).get(), seven.get());
  EXPECT_EQ(one_step->deref(out).get(), seven.get());
  EXPECT_EQ(three_steps->deref(out).get(), seven.get());
  EXPECT_EQ(seven->refcount, 3);  // its handle, one_step's REF and `out`
  // A chain without a target resolves to a value that is no REF, so nothing resolves it for ever.
  dangling->deref(out);
  EXPECT_EQ(out->type, KRVVAR_NONE);
  EXPECT_TRUE(log.lines().empty());

  krvvar_shared a = krvvar_shared::make_typed(KRVVAR_REF);
  krvvar_shared b = ref_to(a);
  a->payload.target = b.get();
  ++b->refcount;
  krvvar_shared self = krvvar_shared::make_typed(KRVVAR_REF);
  self->payload.target = self.get();
  ++self->refcount;
  for (krvvar* start : {a.get(), b.get(), self.get()}) {
    log.clear();
    krvvar_shared result;
    start->deref(result);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->type, KRVVAR_NONE);
    EXPECT_EQ(result->refcount, 1);  // a new value
    EXPECT_EQ(log.lines(),
              (std::vector<krv_logged_line>{{KRV_LOG_WARNING, "Circular reference detected in deref()."}}));
  }
  // Break the cycles so the cells can go.
  a->payload.target = nullptr;
  --b->refcount;
  self->payload.target = nullptr;
  --self->refcount;
}

TEST_F(OnVm, DerefOfAMemberOfAGoneObjectReportsIt) {
  krvvar_shared by_name = krvvar_shared::make_typed(KRVVAR_OBJECT_MEMBER_LITERAL);
  static_cast<krvvar_member_literal_record*>(by_name->payload.record)->name = "colour";
  krvvar_shared by_index = krvvar_shared::make_typed(KRVVAR_OBJECT_MEMBER_INDEX);
  static_cast<krvvar_member_index_record*>(by_index->payload.record)->index = 12;
  krvvar_shared by_key = krvvar_shared::make_typed(KRVVAR_OBJECT_MEMBER_VAR);
  krvvar& key = *static_cast<krvvar_member_var_record*>(by_key->payload.record)->key;
  key.set_type_simple(KRVVAR_INT);
  key.payload.int_value = -4;
  krvvar_shared by_none_key = krvvar_shared::make_typed(KRVVAR_OBJECT_MEMBER_VAR);
  // Reached through a REF, the member reference resolves the same way.
  krvvar_shared ref = krvvar_shared::make_typed(KRVVAR_REF);
  ref->payload.target = by_name.get();
  ++by_name->refcount;

  struct row {
    krvvar* value;
    const char* error;
  };
  const row table[] = {
      {by_name.get(), "Tried to access index 'colour' on an invalid object."},
      {by_index.get(), "Tried to access index '12' on an invalid object."},
      {by_key.get(), "Tried to access index '-4' on an invalid object."},
      {by_none_key.get(), "Tried to access index '' on an invalid object."},
      {ref.get(), "Tried to access index 'colour' on an invalid object."},
  };
  for (const row& r : table) {
    log.clear();
    krvvar_shared out;
    r.value->deref(out);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->type, KRVVAR_NONE);
    EXPECT_EQ(log.lines(), (std::vector<krv_logged_line>{{KRV_LOG_ERROR, krv_frame_error_text(r.error)}}));
  }
  EXPECT_EQ(by_key.deref_copy()->type, KRVVAR_NONE);
  krvvar_shared plain = krvvar_shared::make_int(1);
  EXPECT_EQ(plain.deref_copy().get(), plain.get());
}

TEST(SharedVector, StartsEmptyWithItsTypeTagAndReleasesItsElements) {
  krvvar_shared element = krvvar_shared::make_int(5);
  {
    auto vector = krvvector_shared<krvvar_shared>::create();
    ASSERT_TRUE(vector);
    EXPECT_TRUE(vector->empty());
    EXPECT_EQ(vector.block()->strong, 1u);
    uint64_t tag = 0;
    std::memcpy(&tag, static_cast<krvptr_type_tag<krvvector_shared<krvvar_shared>>*>(vector.get()), 8);
    EXPECT_EQ(tag, krvptr_type_hash<krvvector_shared<krvvar_shared>>());
    vector->push_back(element);
    EXPECT_EQ(element->refcount, 2);
  }
  EXPECT_EQ(element->refcount, 1);
}

}  // namespace
