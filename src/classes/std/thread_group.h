// krv_std_thread: the script class "std.thread", a group of script tasks started from one callback.
//
// Despite the name no operating-system thread is made: each `run` starts a script task that the host's
// scheduler interleaves with the others on the VM thread. `join` suspends the calling task until every
// task of the group has finished; `get_results` hands out their return values in `run` order, whatever
// order they finished in.
//
// Invariants:
// - `results` has one slot per `run` call ever made, None until that call's task reports; a `run` that
//   could not start its task keeps its slot (None for good), so indexes always follow the calls.
// - `active_tasks` lists exactly the started tasks that have not reported. Each of them holds a strong
//   handle to the group in its completion callback, so a group with active tasks is never destroyed
//   through its handles; the destructor handles only tasks listed without one.
// - `joining_task` is set only while it is suspended in `join` and the group has active tasks; it is
//   cleared when the last of them reports, so `join` can be called again later.
//
// Always on the heap (never pooled). Touched only by the thread that holds the VM lock.
#pragma once
#include <cstddef>
#include <vector>

#include "classes/std/thread_group_tasks.h"
#include "runtime/memory/pool.h"
#include "runtime/objects/class_template.h"

class krv_std_thread : public krvobject<krv_std_thread, CLASS_STRING<"std.thread">> {
 public:
  // The pool slot every script object reports; a group always lives on the heap.
  static constexpr uint8_t pool_slot = krv_pool_heap_slot;

  krv_std_thread() = default;
  // Wakes the joining task and asks the tasks still listed to stop (see thread_group.cpp).
  ~krv_std_thread() override;
  krv_std_thread(const krv_std_thread&) = delete;
  krv_std_thread& operator=(const krv_std_thread&) = delete;

  // Empty while the callback is not a function.
  bool is_empty() override;

  // The script methods. run: 1 when a task was started with `args`, else 0. join: suspends the calling
  // task until the group drains; None. get_results: the result at an index, or a list of copies of all.
  krvvar_shared run(std::vector<krvvar_shared>& args);
  krvvar_shared join(krv_vm_context& frame);
  krvvar_shared get_results(std::vector<krvvar_shared>& args);

  static void script_register();
  // The body of the constructor function "thread": a new group, its callback set from the argument.
  static krvvar_shared constructor_function(krv_vm_context& frame, std::vector<krvvar_shared>& args);

  // Declared in the order of release reversed (the destructor relies on it).
  krvvar_static callback;                 // the function `run` starts; None until the constructor sets it
  krv_thread_group_tasks active_tasks;    // started tasks that have not reported, in start order
  std::vector<krvvar_shared> results;     // one slot per run call, in call order
  krvptr_strong<krv_task> joining_task;   // the task suspended in join; empty when none

 private:
  // The task started for slot `index` finished with `result`.
  void complete(krv_task& task, size_t index, krvvar_shared& result);
};
