// Call frames: pool or heap, initialisation against the task's stacks, and what a release does to the
// local slots.
#include <thread>

#include "exec_fixture.h"

namespace {

using Frames = ExecTest;

TEST_F(Frames, TheLockOwnerTakesFramesFromThePoolANativeCallScopeFromTheHeap) {
  krvptr_strong<krv_program_block> block = make_block(KRV_BLOCK_FUNCTION, 2);
  krv_pool& pool = vm.state().frame_pool;
  const uint64_t live = pool.live;

  krv_vm_context* pooled = krv_vm_context::create(nullptr, nullptr, block.get());
  EXPECT_LT(pooled->pool_slot, krv_pool_heap_slot);
  EXPECT_EQ(pool.live, live + 1);
  EXPECT_EQ(pooled->refcount, 1u);
  EXPECT_EQ(pooled->locals.size(), 2u);

  krv_vm_context* heap = nullptr;
  {
    krv_native_call_scope native_call;
    heap = krv_vm_context::create(nullptr, nullptr, block.get());
  }
  EXPECT_EQ(heap->pool_slot, krv_pool_heap_slot);
  EXPECT_EQ(pool.live, live + 1);

  // A second reference keeps the frame; the last one frees it, to its page or to the heap.
  ++pooled->refcount;
  krv_vm_context* handle = pooled;
  krv_vm_context::release(handle);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(pool.live, live + 1);
  krv_vm_context::release(pooled);
  EXPECT_EQ(pooled, nullptr);
  EXPECT_EQ(pool.live, live);
  krv_vm_context::release(heap);  // ASan checks the heap frame really goes
  EXPECT_EQ(heap, nullptr);
}

TEST_F(Frames, AReusedPoolEntryStartsAFreshRunButKeepsItsCells) {
  krvptr_strong<krv_program_block> big = make_block(KRV_BLOCK_FUNCTION, 3);
  krvptr_strong<krv_program_block> small = make_block(KRV_BLOCK_FUNCTION, 1);
  krv_vm_context* frame = krv_vm_context::create(nullptr, nullptr, big.get());
  frame->status = 128;
  frame->saved_offset = 40;
  frame->in_progress = 1;
  krv_vm_context* entry = frame;
  krv_vm_context::release(frame);

  // The page hands the same entry out again (last freed, first taken).
  krv_vm_context* again = krv_vm_context::create(nullptr, nullptr, small.get());
  ASSERT_EQ(again, entry);
  EXPECT_EQ(again->status, 0u);
  EXPECT_EQ(again->saved_offset, 0u);
  EXPECT_EQ(again->in_progress, 0);
  EXPECT_EQ(again->locals.size(), 3u);  // existing slots remain, all None
  for (const krvvar_shared& slot : again->locals) EXPECT_EQ(slot->type, KRVVAR_NONE);
  krv_vm_context::release(again);
}

TEST_F(Frames, HeightsAndContextComeFromTheTaskAtEntry) {
  krvptr_strong<krv_task> task = make_current_root();
  task->sinks.resize(2);
  task->call_arg_height = 3;
  task->parked_frames.push_back(krv_vm_context::create(task.get(), task.get(), task->block.get()));
  auto captured = krvptr_strong<krv_task>(task);
  krv_vm_context* frame = krv_vm_context::create(task.get(), task.get(), task->block.get(), captured.get());
  EXPECT_EQ(frame->sink_height, 2u);
  EXPECT_EQ(frame->parked_height, 1u);
  EXPECT_EQ(frame->call_arg_height, 3u);
  EXPECT_EQ(frame->captured_context.get(), static_cast<krvptr_base_internal*>(task.get()));
  krv_vm_context::release(frame);
  task->sinks.clear();
}

TEST_F(Frames, ReleaseResetsExclusiveSlotsInPlaceAndReplacesSharedOnes) {
  struct row {
    uint32_t kind;
    bool other_holder_sees_none;
  };
  // A finished task-block frame clears its shared globals for every holder; other frames leave them.
  for (const row r : {row{KRV_BLOCK_FUNCTION, false}, row{KRV_BLOCK_TASK, true}}) {
    krvptr_strong<krv_program_block> block = make_block(r.kind, 2);
    krv_vm_context* frame = krv_vm_context::create(nullptr, nullptr, block.get());
    krvvar* exclusive = frame->locals[0].get();
    exclusive->type = KRVVAR_INT;
    exclusive->payload.int_value = 7;
    exclusive->flags = 0x10;
    frame->locals[1] = krvvar_shared::make_int(8);
    krvvar_shared holder = frame->locals[1];
    std::vector<krvvar_shared>& locals = frame->locals;
    krv_vm_context::release(frame);

    EXPECT_EQ(locals[0].get(), exclusive);  // the resting entry keeps the very cell
    EXPECT_EQ(exclusive->type, KRVVAR_NONE);
    EXPECT_EQ(exclusive->flags, 0);
    EXPECT_NE(locals[1].get(), holder.get());
    EXPECT_EQ(locals[1]->type, KRVVAR_NONE);
    EXPECT_EQ(holder->type == KRVVAR_NONE, r.other_holder_sees_none) << r.kind;
  }
}

TEST_F(Frames, AFrameReleasedOnAWorkerWaitsInTheReturnRing) {
  krvptr_strong<krv_program_block> block = make_block(KRV_BLOCK_FUNCTION);
  krv_vm_context* frame = krv_vm_context::create(nullptr, nullptr, block.get());
  krv_pool& pool = vm.state().frame_pool;
  const uint64_t live = pool.live;
  std::thread([&] {
    vm.attach_current_thread();
    krv_vm_context::release(frame);
    krv_host_vm::detach_current_thread();
  }).join();
  EXPECT_EQ(pool.live, live);
  EXPECT_EQ(pool.ring.tail.load(), 1u);
  EXPECT_EQ(vm.drain_return_rings(), 1u);
  EXPECT_EQ(pool.live, live - 1);
}

}  // namespace
