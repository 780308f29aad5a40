// Walking a container with a script callback: one callback task per entry, one entry at a time.
//
// A walk cannot be a plain loop because every callback call is a task that may suspend. The iteration
// object keeps where the walk is; the task that called the method stays suspended until the walk ends
// and is then woken. Callbacks that finish at once report inside the run loop, which only sets `again`
// (the loop goes on), so a long walk never nests one stack level per entry. `done` is set once; later
// completions are ignored.
//
// Owned jointly (std::shared_ptr) by the method that starts the walk and by the completion closure of
// every callback task it started, so it lives until the last task has reported. Touched only by the
// thread that holds the VM lock.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "runtime/objects/vm_context.h"
#include "runtime/storage/json_object.h"

class krv_task;

struct krv_json_iteration {
  // Puts the callback's arguments for the entry at `index` into `args`.
  using args_builder = std::function<void(krv_std_json*, uint32_t, std::vector<krvvar_shared>&)>;
  // Takes the callback's result for the entry at `index`; false stops the walk.
  using result_taker = std::function<bool(krv_std_json*, uint32_t, krvvar_shared&)>;

  krvptr_strong<krv_std_json> source;   // the container walked; empty ends the walk at the next step
  krvptr_strong<krv_task> waiting_task; // the caller, suspended while the walk runs
  krvvar_shared callback = krvvar_shared::make_none();  // a cell of its own
  args_builder build_args;
  result_taker on_result;
  std::function<void()> on_done;        // called once when the walk ends; may be empty
  uint32_t index = 0;                   // the entry to visit next
  uint8_t running = 0;                  // the run loop is on the stack
  uint8_t again = 0;                    // a completion arrived inside the loop: go on there
  uint8_t done = 0;                     // the walk has ended

  // Suspends the caller of `frame` and starts the walk over `source` with `callback`.
  static void start(const std::shared_ptr<krv_json_iteration>& walk, krv_vm_context& frame, krv_std_json* source,
                    krvvar_shared& callback);
  // Starts callbacks until one suspends or the walk ends.
  static void run(const std::shared_ptr<krv_json_iteration>& walk);
  // A callback task finished with `result`.
  static void complete(const std::shared_ptr<krv_json_iteration>& walk, krvvar_shared& result);
  // Ends the walk once: on_done, then the caller is woken.
  void finish();
};

// Appends the entry's key (the empty text when it has none) and a new reference to its value cell.
void krv_json_key_value_args(krv_std_json* source, uint32_t index, std::vector<krvvar_shared>& args);

// Copies `callback` into a fresh cell whose function sees the globals of `scope`.
krvvar_shared krv_json_bind_callback(krvvar_shared& callback, krv_task* scope);

// Calls the VM's scheduler notify object, when the calling thread's VM has one.
void krv_json_notify_scheduler();

// The error of a callback that could not be started (not catchable).
void krv_json_raise_call_failure();
