// Function values: building them, rebinding a copy whose scope is gone, and making a task from them;
// class relations and the lazy symbol table of compiled code.
#include "exec_fixture.h"
#include "runtime/base/value_records.h"
#include "runtime/objects/class_def.h"
#include "runtime/objects/function_lambda.h"

namespace {

krvvar_function_record& record_of(const krvvar_shared& value) {
  return *static_cast<krvvar_function_record*>(value->payload.record);
}

using FunctionValues = ExecTest;

TEST_F(FunctionValues, TheScopeIsGivenOrTakenFromTheRunningFrame) {
  krvptr_strong<krv_program_block> function = make_block(KRV_BLOCK_FUNCTION);
  krvvar_shared value = krvvar_shared::make_int(1);

  value->set_function(nullptr, nullptr);
  EXPECT_EQ(value->type, KRVVAR_INT);

  value->set_function(function.get(), nullptr);  // no task: no scope
  ASSERT_EQ(value->type, KRVVAR_FUNCTION);
  EXPECT_EQ(record_of(value).function.get(), function.get());
  EXPECT_TRUE(record_of(value).scope.expired());

  krvptr_strong<krv_task> root = make_current_root();
  const void* record_before = value->payload.record;
  value->set_function(function.get(), nullptr);
  EXPECT_EQ(value->payload.record, record_before);  // the record is reused
  EXPECT_EQ(record_of(value).scope.get(), root.get());
}

TEST_F(FunctionValues, ACopyWhoseScopeIsGoneSeesTheRunningTasksGlobals) {
  krvptr_strong<krv_program_block> function = make_block(KRV_BLOCK_FUNCTION);
  krvvar_shared source = krvvar_shared::make_none();
  {
    krvptr_strong<krv_task> gone = krv_task_create(make_block(KRV_BLOCK_TASK), nullptr);
    source->set_function(function.get(), gone.get());
  }
  ASSERT_TRUE(record_of(source).scope.expired());
  krvvar_shared copy = krvvar_shared::make_none();
  copy->set(source);
  EXPECT_TRUE(record_of(copy).scope.expired());  // no task runs: nothing to rebind to

  krvptr_strong<krv_task> root = make_current_root();
  krvptr_strong<krv_task> routine = krv_task_create(function, nullptr);
  krv_get_thread_local().current_task = routine.get();
  copy->set(source);
  EXPECT_EQ(record_of(copy).scope.get(), root.get());  // the routine's context, followed to the root
  EXPECT_EQ(record_of(copy).function.get(), function.get());

  // A live scope is copied as it is.
  krvptr_strong<krv_task> other = krv_task_create(make_block(KRV_BLOCK_TASK), nullptr);
  source->set_function(function.get(), other.get());
  copy->set(source);
  EXPECT_EQ(record_of(copy).scope.get(), other.get());
}

TEST_F(FunctionValues, CallingMakesATaskWithTheCapturedContextAndValues) {
  krvptr_strong<krv_task> root = make_current_root();
  krvptr_strong<krv_program_block> function = make_block(KRV_BLOCK_FUNCTION, 1);
  krvvar_shared value = krvvar_shared::make_none();
  value->set_function(function.get(), root.get());
  krvvar_function_record& record = record_of(value);
  record.context = krvptr_weak<krvptr_base_internal>(root);
  record.captured = krvvar_ptr_function_lambda::create();
  record.captured->push_back(krvvar_shared::make_int(4));

  krvptr_strong<krv_task> task = value->call_function();
  ASSERT_TRUE(task);
  EXPECT_EQ(task->block.get(), function.get());
  EXPECT_EQ(task->context.get(), root.get());
  EXPECT_EQ(task->captured_context.get(), static_cast<krvptr_base_internal*>(root.get()));
  EXPECT_EQ(task->captured_values.get(), record.captured.get());

  EXPECT_FALSE(krvvar_shared::make_int(3)->call_function());
  task.release();
  function.release();
  EXPECT_FALSE(value->call_function());  // the block is gone
}

TEST(ClassRelations, AreSymmetricTransitiveAndSafeOnCycles) {
  auto make = [] { return krvptr_strong<krv_class_def>::from_raw(new krv_class_def()); };
  auto base = make(), middle = make(), derived = make(), unrelated = make();
  middle->bases.push_back(krvptr_weak<krv_class_def>(base));
  derived->bases.push_back(krvptr_weak<krv_class_def>(unrelated));
  derived->bases.push_back(krvptr_weak<krv_class_def>(middle));
  struct row {
    const krv_class_def *a, *b;
    bool related, inherits;
  };
  const row table[] = {
      {derived.get(), base.get(), true, true},   {base.get(), derived.get(), true, false},
      {middle.get(), middle.get(), true, true},  {base.get(), unrelated.get(), false, false},
      {nullptr, base.get(), false, false},       {base.get(), nullptr, false, false},
  };
  for (const row& r : table) {
    EXPECT_EQ(krv_class_is_related(r.a, r.b), r.related);
    EXPECT_EQ(krv_class_inherits(r.a, r.b), r.inherits);
  }
  // A malformed program whose bases loop still gets an answer.
  base->bases.push_back(krvptr_weak<krv_class_def>(derived));
  EXPECT_FALSE(krv_class_inherits(base.get(), make().get()));
}

TEST(SymbolTable, IsMadeOnceOnFirstUse) {
  auto block = krvptr_strong<krv_program_block>::from_raw(new krv_program_block());
  EXPECT_FALSE(block->symbols);
  krv_program_block_symbol_table& table = block->symbol_table();
  table.symbols["x"] = krv_symbol{3, 1, 0};
  EXPECT_EQ(&block->symbol_table(), &table);
  ASSERT_NE(table.find("x"), nullptr);
  EXPECT_EQ(table.find("x")->member_index, 3u);
  EXPECT_EQ(table.find("y"), nullptr);
}

}  // namespace
