// krv_thread_group_tasks: the tasks of a "std.thread" group that have not finished yet, in start order.
//
// Each entry pairs a task with the index of its result slot. Slots are handed out in start order, so the
// entries stay sorted by slot and a finishing task is found by binary search, whatever order the tasks
// finish in. Removing leaves a gap (an empty handle) so that the rest keep their order without moving;
// the gaps are squeezed out once they are the majority. A group of n tasks therefore drains in
// O(n log n) in all, never in the quadratic time of shifting the list on every removal.
//
// Touched only by the thread that holds the VM lock.
#pragma once
#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "runtime/exec/task/task.h"

class krv_thread_group_tasks {
 public:
  // Appends `task`, whose result goes to slot `result_index`; slots must grow from one call to the next.
  void add(krvptr_strong<krv_task> task, size_t result_index) {
    entries_.push_back({std::move(task), result_index});
    ++live_;
  }

  // Removes `task`, started for slot `result_index`; nothing when it is not listed.
  void remove(const krv_task& task, size_t result_index) {
    const auto found = std::lower_bound(entries_.begin(), entries_.end(), result_index,
                                        [](const entry& listed, size_t index) { return listed.result_index < index; });
    if (found == entries_.end() || found->result_index != result_index || found->task.get() != &task) return;
    found->task.reset_empty();
    --live_;
    if (live_ == 0) {
      entries_.clear();
    } else if (entries_.size() - live_ > live_) {
      std::erase_if(entries_, [](const entry& listed) { return !listed.task; });
    }
  }

  bool empty() const noexcept { return live_ == 0; }

  // Calls `visit` with each listed task, in start order.
  template <class Visit>
  void for_each(Visit visit) const {
    for (const entry& listed : entries_)
      if (listed.task) visit(*listed.task);
  }

 private:
  struct entry {
    krvptr_strong<krv_task> task;  // empty once the task has finished (a gap)
    size_t result_index;           // the group's result slot of this task
  };
  std::vector<entry> entries_;  // sorted by result_index
  size_t live_ = 0;             // entries whose task is still set
};
