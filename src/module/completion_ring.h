// krv_completion_ring: results of worker jobs on their way back to the VM thread.
//
// Workers (many producers) push one record per finished hand-off; the host's VM thread (one consumer)
// drains them in ticket order and wakes each record's task. A producer takes a ticket with one
// fetch-and-add and waits until its slot is free (0 free, 1 being written, 2 full): there is no full
// test, so a worker spins while the VM thread has 1,024 records undrained.
//
// Each record carries one strong reference to its task, one count of its result cell and, when the
// native object is set, one strong reference and one worker hold of that object. The drain takes them
// over, on the VM thread, so no object dies on a worker.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

class krv_task;
class krvobject_base;
struct krvvar;

struct krv_completion_record {
  krv_task* task = nullptr;
  krvvar* result = nullptr;              // the placeholder the task finds its result in
  krvobject_base* native_self = nullptr; // the object whose method handed off, or null
  uint8_t flag = 0;                      // always 1 for a hand-off
};
static_assert(sizeof(krv_completion_record) == 32);

struct krv_completion_ring {
  static constexpr uint32_t slot_count = 1024;
  static constexpr uint32_t slot_mask = slot_count - 1;

  krv_completion_ring();

  // Producer side, any thread: waits for the ticket's slot and publishes `record`.
  void push(const krv_completion_record& record);
  // Consumer side, the VM thread only: takes the record at the next ticket when it is full.
  bool try_pop(krv_completion_record& out);

  std::atomic<uint32_t> tail{0};          // next ticket to hand to a producer
  uint32_t head = 0;                      // next ticket the VM thread reads (the host's)
  std::atomic<uint8_t> states[slot_count];
  krv_completion_record records[slot_count];
};
static_assert(offsetof(krv_completion_ring, tail) == 0);
static_assert(offsetof(krv_completion_ring, states) == 8);
static_assert(offsetof(krv_completion_ring, records) == 8 + 1024);
