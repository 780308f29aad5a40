// Tasks: creation with its context rules and naming, parameter binding, the native and script argument
// stores, and the resumable release.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "exec_fixture.h"
#include "runtime/base/value_records.h"
#include "runtime/exec/task/arg_sink.h"
#include "runtime/objects/function_def.h"
#include "runtime/objects/function_lambda.h"
#include "runtime/objects/object_base.h"

namespace {

using TaskCreation = ExecTest;

TEST_F(TaskCreation, ARootTaskIsItsOwnScopeAndIsNamedAfterItsProgram) {
  krvptr_strong<krv_task> root = krv_task_create(make_block(KRV_BLOCK_TASK, 2), nullptr);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->name, "main.krv");
  EXPECT_EQ(root->has_context, 0);
  EXPECT_FALSE(root->context);
  ASSERT_EQ(root->frames.size(), 1u);
  EXPECT_EQ(root->root_frame()->scope, root.get());
  EXPECT_EQ(root->root_frame()->locals.size(), 2u);
  EXPECT_EQ(root->clear_index, -1);
  EXPECT_EQ(root->error_value->type, KRVVAR_NONE);
  EXPECT_EQ(infos(), (std::vector<std::string>{"Task main.krv " + address_of(root.get()) + " created."}));

  // Without a program the task keeps its default name.
  program->global_scope->program = krvptr_weak<krv_program>();
  EXPECT_EQ(krv_task_create(make_block(KRV_BLOCK_TASK), nullptr)->name, "TASK");
}

TEST_F(TaskCreation, ChildrenOfTheCurrentTaskAreNumberedInCreationOrder) {
  krvptr_strong<krv_task> parent = make_current_root();
  std::vector<krvptr_strong<krv_task>> children;
  for (int i = 0; i < 3; ++i) children.push_back(krv_task_create(make_block(KRV_BLOCK_TASK), nullptr));
  EXPECT_EQ(children[0]->name, "main.krv (thread_1)");
  EXPECT_EQ(children[2]->name, "main.krv (thread_3)");
  EXPECT_EQ(children[2]->parent.get(), parent.get());
  EXPECT_EQ(parent->children.size(), 3u);
  EXPECT_EQ(infos().back(),
            "Task (parent=main.krv) main.krv (thread_3) " + address_of(children[2].get()) + " created.");

  // A child that goes leaves its parent's list.
  children[1].release();
  EXPECT_EQ(parent->children.size(), 2u);
}

TEST_F(TaskCreation, ARoutineRunsInTheGlobalScopeOfTheCurrentTask) {
  krvptr_strong<krv_task> root = make_current_root();
  krvptr_strong<krv_task> routine = krv_task_create(make_block(KRV_BLOCK_FUNCTION, 1), nullptr);
  EXPECT_EQ(routine->has_context, 1);
  EXPECT_EQ(routine->context.get(), root.get());
  EXPECT_EQ(routine->root_frame()->scope, root.get());
  ASSERT_EQ(root->scope_tasks.size(), 1u);
  EXPECT_EQ(root->scope_tasks[0].get(), routine.get());

  // A routine made from within that routine still runs in the root's scope.
  krv_get_thread_local().current_task = routine.get();
  krvptr_strong<krv_task> nested = krv_task_create(make_block(KRV_BLOCK_FUNCTION), nullptr);
  EXPECT_EQ(nested->context.get(), root.get());
  EXPECT_EQ(root->scope_tasks.size(), 2u);
  EXPECT_EQ(nested->parent.get(), routine.get());
  // A routine that goes leaves its context's list.
  nested.release();
  ASSERT_EQ(root->scope_tasks.size(), 1u);
  EXPECT_EQ(root->scope_tasks[0].get(), routine.get());
}

// Siblings leave their parent's `children` and their context's `scope_tasks` in any order: after each
// release both lists hold exactly the tasks still alive, each at the index it remembers.
TEST_F(TaskCreation, SiblingsReleasedInAnyOrderLeaveBothListsExact) {
  const std::vector<std::vector<size_t>> release_orders = {
      {0, 1, 2, 3, 4, 5}, {5, 4, 3, 2, 1, 0}, {2, 0, 5, 3, 1, 4}, {3, 5, 1, 0, 4, 2}};
  for (const std::vector<size_t>& order : release_orders) {
    krvptr_strong<krv_task> root = make_current_root();
    std::vector<krvptr_strong<krv_task>> siblings;
    for (size_t i = 0; i < order.size(); ++i) siblings.push_back(krv_task_create(make_block(KRV_BLOCK_FUNCTION), nullptr));
    for (size_t step = 0; step < order.size(); ++step) {
      siblings[order[step]].release();
      // Each live sibling at its remembered index, and nothing else listed.
      for (const krvptr_strong<krv_task>& sibling : siblings) {
        if (!sibling) continue;
        EXPECT_EQ(root->children.at(sibling->parent_slot).get(), sibling.get());
        EXPECT_EQ(root->scope_tasks.at(sibling->context_slot).get(), sibling.get());
      }
      EXPECT_EQ(root->children.size(), order.size() - step - 1);
      EXPECT_EQ(root->scope_tasks.size(), order.size() - step - 1);
    }
    // A child made now is numbered after the live children.
    EXPECT_EQ(krv_task_create(make_block(KRV_BLOCK_FUNCTION), nullptr)->name, "main.krv (thread_1)");
    krv_get_thread_local().current_task = nullptr;  // the root goes with this round
  }
}

TEST_F(TaskCreation, FailuresLeaveATaskThatCannotRun) {
  krvptr_strong<krv_task> empty_root = krv_task_create(krvptr_strong<krv_program_block>(), nullptr);
  EXPECT_FALSE(empty_root->block);
  EXPECT_TRUE(empty_root->frames.empty());

  // No current task: nothing to take the context from; logged, never caught.
  log.clear();
  krvptr_strong<krv_task> orphan = krv_task_create(make_block(KRV_BLOCK_FUNCTION), nullptr);
  EXPECT_TRUE(orphan->frames.empty());
  EXPECT_EQ(errors(), (std::vector<std::string>{framed("Cannot create routine from non-global scope routine without context.")}));

  // The same without the VM lock, even with a current task.
  krvptr_strong<krv_task> root = make_current_root();
  lock.reset();
  log.clear();
  krv_task_create(make_block(KRV_BLOCK_FUNCTION), nullptr);
  EXPECT_EQ(errors(), (std::vector<std::string>{framed("Cannot create routine from non-global scope routine without context.")}));
  lock.emplace();

  // A context from another program, and a context without a root frame.
  krvptr_strong<krv_program_block> foreign = make_block(KRV_BLOCK_FUNCTION);
  foreign->global_scope = krvptr_weak<krv_global_scope>();
  krv_get_thread_local().current_task = nullptr;
  log.clear();
  krvptr_strong<krv_task> mismatched = krv_task_create(foreign, root.get());
  krvptr_strong<krv_task> hollow = krv_task_create(make_block(KRV_BLOCK_TASK), nullptr);
  krv_vm_context::release(hollow->frames.front());
  krvptr_strong<krv_task> frameless = krv_task_create(make_block(KRV_BLOCK_FUNCTION), hollow.get());
  EXPECT_TRUE(mismatched->frames.empty());
  EXPECT_TRUE(frameless->frames.empty());
  EXPECT_EQ(errors(), (std::vector<std::string>{
                          framed("Global scope root mismatch when creating routine, functions must be initialized "
                                 "within their global scope."),
                          framed("Global scope has no task block!")}));
  EXPECT_TRUE(root->scope_tasks.empty());
}

TEST_F(TaskCreation, TheUncatchableCreationErrorReachesNoTaskEvenUnderACatchBlock) {
  // A current task whose frame could catch, but the thread gives up the lock: the error is only logged
  // and the task's status and error value stay untouched.
  krvptr_strong<krv_program_block> guarded = make_block(KRV_BLOCK_TASK);
  guarded->has_catch = 1;
  krvptr_strong<krv_task> root = krv_task_create(guarded, nullptr);
  krv_get_thread_local().current_task = root.get();
  lock.reset();
  krv_task_create(make_block(KRV_BLOCK_FUNCTION), nullptr);
  lock.emplace();
  EXPECT_EQ(root->root_frame()->status, 0u);
  EXPECT_EQ(root->error_value->type, KRVVAR_NONE);
  EXPECT_EQ(errors().size(), 1u);
}

using TaskBinding = ExecTest;

TEST_F(TaskBinding, ArgumentCountsOutsideTheParametersAreRefused) {
  krvptr_strong<krv_program_block> block = make_block(KRV_BLOCK_TASK, 3, 3);
  block->first_default = 2;
  krvptr_strong<krv_task> task = krv_task_create(block, nullptr);
  struct row {
    size_t count;
    bool accepted;
    const char* error;
  };
  const row table[] = {{4, false, "Too many params."}, {1, false, "Not enough parameters."},
                       {2, true, nullptr},          {3, true, nullptr}};
  for (const row& r : table) {
    log.clear();
    task->active = 0;
    std::vector<krvvar_shared> args;
    for (size_t i = 0; i < r.count; ++i) args.push_back(krvvar_shared::make_int(static_cast<int64_t>(i)));
    EXPECT_EQ(task->bind_params(&args), r.accepted) << r.count;
    EXPECT_EQ(task->active, r.accepted ? 1 : 0);
    if (r.error != nullptr)
      EXPECT_EQ(errors(), (std::vector<std::string>{framed(r.error)}));
    else
      EXPECT_TRUE(errors().empty());
  }
  // No argument vector at all binds nothing and needs no count.
  EXPECT_TRUE(task->bind_params(nullptr));
  EXPECT_EQ(task->root_frame()->args_passed, 0u);
}

TEST_F(TaskBinding, ArgumentsAreCopiedOrBoundByReferenceAndCapturedValuesFollowTheParameters) {
  krvptr_strong<krv_program_block> block = make_block(KRV_BLOCK_TASK, 4, 2);
  block->local_flags[1] = krv_local_by_ref;
  block->captured_count = 2;
  krvptr_strong<krv_task> task = krv_task_create(block, nullptr);
  task->captured_values = krvvar_ptr_function_lambda::create();
  task->captured_values->push_back(krvvar_shared::make_int(30));
  task->captured_values->push_back(krvvar_shared::make_int(40));
  task->value_stack.push_back(krvvar_shared::make_int(1));
  task->value_stack.push_back(krvvar_shared::make_int(2));

  std::vector<krvvar_shared> args{krvvar_shared::make_int(10), krvvar_shared::make_int(20)};
  ASSERT_TRUE(task->bind_params(&args));
  const std::vector<krvvar_shared>& locals = task->root_frame()->locals;
  EXPECT_EQ(task->root_frame()->args_passed, 2u);
  EXPECT_EQ(locals[0]->payload.int_value, 10);
  EXPECT_NE(locals[0].get(), args[0].get());
  ASSERT_EQ(locals[1]->type, KRVVAR_REF);
  EXPECT_EQ(locals[1]->payload.target, args[1].get());
  EXPECT_EQ(locals[2]->payload.int_value, 30);
  EXPECT_EQ(locals[3]->payload.int_value, 40);
  // The value stack keeps exactly its first entry.
  ASSERT_EQ(task->value_stack.size(), 1u);
  EXPECT_EQ(task->value_stack[0]->payload.int_value, 1);

  // An empty handle from a native caller binds as None.
  std::vector<krvvar_shared> sparse(2);
  ASSERT_TRUE(task->bind_params(&sparse));
  EXPECT_EQ(locals[0]->type, KRVVAR_NONE);

  // A captured-value count that does not match leaves the slots alone.
  task->captured_values->pop_back();
  locals[2]->set_type_simple(KRVVAR_NONE);
  ASSERT_TRUE(task->bind_params(&args));
  EXPECT_EQ(locals[2]->type, KRVVAR_NONE);
}

TEST_F(TaskBinding, LeftoverCallsAreDroppedWithANote) {
  krvptr_strong<krv_task> task = krv_task_create(make_block(KRV_BLOCK_TASK, 1), nullptr);
  krv_program_block& code = *task->block;
  task->frames.push_back(krv_vm_context::create(task.get(), task.get(), &code));
  task->parked_frames.push_back(krv_vm_context::create(task.get(), task.get(), &code));
  const uint64_t live = vm.state().frame_pool.live;
  ASSERT_TRUE(task->bind_params(nullptr));
  EXPECT_EQ(task->frames.size(), 1u);
  EXPECT_TRUE(task->parked_frames.empty());
  EXPECT_EQ(vm.state().frame_pool.live, live - 2);
  EXPECT_EQ(errors(), (std::vector<std::string>{"TODO: Cleanup old routine data here!"}));
}

using ArgumentStores = ExecTest;

TEST_F(ArgumentStores, NativeArgumentsAreSharedOrResolvedForMethods) {
  krvptr_strong<krv_task> task = make_current_root();
  krvptr_strong<krv_call_args> record = krv_call_args::create();
  record->resize(2);
  auto definition = krvptr_strong<krv_function_def>::from_raw(new krv_function_def());
  krv_arg_sink sink{record.get(), definition, {}, &krv_task::set_param, 1};

  krvvar_shared target = krvvar_shared::make_int(5);
  krvvar_shared ref = krvvar_shared::make_none();
  ref->assign_ref(target.get());
  sink.store(*task, sink, 0, ref);
  EXPECT_EQ((*record)[0].get(), ref.get());
  definition->is_method = 1;
  sink.store(*task, sink, 1, ref);
  EXPECT_EQ((*record)[1].get(), target.get());

  sink.store(*task, sink, 2, ref);
  EXPECT_EQ(task->root_frame()->status, 128u);
  EXPECT_EQ(task->error_value->get_string(), "index out of range!");
}

TEST_F(ArgumentStores, ScriptArgumentsGoToTheTopParkedFrame) {
  // Frames point at their blocks without counting: the block outlives the task here.
  krvptr_strong<krv_program_block> callee = make_block(KRV_BLOCK_FUNCTION, 2, 2);
  krvptr_strong<krv_task> task = make_current_root();
  callee->local_flags[0] = krv_local_by_ref;
  task->parked_frames.push_back(krv_vm_context::create(task.get(), task.get(), callee.get()));
  krv_arg_sink sink{callee.get(), {}, {}, &krv_vm_context::store_local, 0};

  krvvar_shared first = krvvar_shared::make_int(1);
  krvvar_shared second = krvvar_shared::make_int(2);
  sink.store(*task, sink, 0, first);
  sink.store(*task, sink, 1, second);
  const std::vector<krvvar_shared>& locals = task->parked_frames.back()->locals;
  EXPECT_EQ(locals[0]->type, KRVVAR_REF);
  EXPECT_EQ(locals[0]->payload.target, first.get());
  EXPECT_EQ(locals[1]->payload.int_value, 2);
  EXPECT_NE(locals[1].get(), second.get());

  sink.store(*task, sink, 2, second);
  EXPECT_EQ(task->error_value->get_string(), "index out of range!");
}

TEST_F(ArgumentStores, AReusedFrameRefusesSlotsBeyondItsOwnBlock) {
  krvptr_strong<krv_program_block> big = make_block(KRV_BLOCK_FUNCTION, 3, 3);
  krvptr_strong<krv_program_block> small = make_block(KRV_BLOCK_FUNCTION, 1, 1);
  krvptr_strong<krv_task> task = make_current_root();
  krv_vm_context* first = krv_vm_context::create(task.get(), task.get(), big.get());
  krv_vm_context::release(first);
  // The pool hands the same entry out again, still holding three slots.
  task->parked_frames.push_back(krv_vm_context::create(task.get(), task.get(), small.get()));
  ASSERT_EQ(task->parked_frames.back()->locals.size(), 3u);
  krv_arg_sink sink{small.get(), {}, {}, &krv_vm_context::store_local, 0};

  krvvar_shared value = krvvar_shared::make_int(7);
  sink.store(*task, sink, 2, value);
  EXPECT_EQ(task->error_value->get_string(), "index out of range!");
  EXPECT_EQ(task->parked_frames.back()->locals[2]->type, KRVVAR_NONE);
}

// An object whose destruction takes a strong handle to a task, as a class finaliser that creates a
// routine in the task's scope does.
krvptr_strong<krv_task> revived;
struct reviver : krvobject_base {
  explicit reviver(krv_task* task) : task_(task) {}
  ~reviver() override { revived = krvptr_strong<krv_task>::from_raw(task_); }
  krv_task* task_;
};

using TaskRelease = ExecTest;

TEST_F(TaskRelease, AFinaliserThatKeepsTheTaskPausesTheClearingWhichResumesOnTheNextRelease) {
  krvptr_strong<krv_task> task = krv_task_create(make_block(KRV_BLOCK_TASK, 4), nullptr);
  krv_task* raw = task.get();
  std::vector<krvvar_shared>& locals = raw->root_frame()->locals;
  locals[0]->set_function(raw->block.get(), raw);
  locals[1] = krvvar_shared::make_int(1);
  locals[2]->set_type(KRVVAR_OBJECT);
  static_cast<krvvar_object_record*>(locals[2]->payload.record)->object =
      krvptr_strong<krvobject_base>::from_raw(new reviver(raw));
  locals[3] = krvvar_shared::make_int(3);
  krvvar_shared outside = locals[1];  // shared with a holder outside the task

  task.release();
  ASSERT_TRUE(revived);
  EXPECT_EQ(revived.get(), raw);
  EXPECT_EQ(raw->root_cleared, 0);
  EXPECT_EQ(raw->clear_phase, 0u);
  EXPECT_EQ(raw->clear_index, 1);
  EXPECT_EQ(locals[3]->type, KRVVAR_NONE);
  EXPECT_EQ(outside->payload.int_value, 1);  // not reached yet
  EXPECT_EQ(locals[0]->type, KRVVAR_FUNCTION);

  log.clear();
  revived.release();
  // The clearing went on: the shared global was cleared for every holder, then the function.
  EXPECT_EQ(outside->type, KRVVAR_NONE);
  const std::vector<std::string> lines = infos();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("Task main.krv " + address_of(raw) + " exited (Runtime = ", 0), 0u);
}

TEST_F(TaskRelease, TheDestructorWaitsForTheWorkerThatHoldsTheTask) {
  krvptr_strong<krv_task> task = krv_task_create(make_block(KRV_BLOCK_TASK), nullptr);
  const void* address = task.get();
  task->on_pool_thread = 1;
  std::atomic<bool> cleared{false};
  krv_task* raw = task.get();
  std::thread worker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    cleared = true;
    raw->on_pool_thread = 0;
  });
  task.release();
  EXPECT_TRUE(cleared.load());
  worker.join();
  const std::vector<std::string> lines = infos();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Task " + address_of(address) + " waiting for thread..."), lines.end());
}

TEST_F(TaskRelease, AHandleTakenWhileTheStacksGoKeepsTheTaskWithANote) {
  krvptr_strong<krv_task> root = make_current_root();
  krvptr_strong<krv_task> task = krv_task_create(make_block(KRV_BLOCK_FUNCTION, 1), nullptr);
  krv_task* raw = task.get();
  // A routine's variables are not cleared first: the handle appears while its frames are released.
  krvvar& local = *raw->root_frame()->locals[0];
  local.set_type(KRVVAR_OBJECT);
  static_cast<krvvar_object_record*>(local.payload.record)->object =
      krvptr_strong<krvobject_base>::from_raw(new reviver(raw));
  log.clear();
  task.release();
  ASSERT_EQ(revived.get(), raw);
  EXPECT_TRUE(raw->frames.empty());
  EXPECT_EQ(infos(), (std::vector<std::string>{"Task " + address_of(raw) + " released while still having 1 strong references!"}));
  revived.release();
  EXPECT_EQ(infos().back().rfind("Task main.krv (thread_1) " + address_of(raw) + " exited", 0), 0u);
}

}  // namespace
