// krv_class: an instance of a class written in the script language.
//
// An instance holds its data members (one value cell each, in the order of the class's member
// indexes) and refers back to its class record weakly, and to the scope it was built in weakly (the
// raw address is kept too, so that a release during that scope's own teardown can still recognise it).
// It keeps the class's global scope alive.
//
// Lifetime: when the last strong handle goes, `release` runs once. Without a `__deinit__` method the
// instance is destroyed at once. With one, the reference block stays linked and is made alive again
// under a strong handle that the finaliser task's completion callback holds; `__deinit__` runs with
// this instance as its captured context, started at once by krv_task::run (a finaliser that suspends
// finishes when the scheduler resumes it). When the task is done the instance is destroyed, unless the
// finaliser stored a new strong reference to it: then it lives on, and its next last release destroys
// it without running `__deinit__` again. Nothing here makes a handle from the raw pointer while the
// instance is being destroyed.
//
// Instances are built, read and released by the VM-lock holder only.
#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

#include "runtime/base/krvvar_shared.h"
#include "runtime/memory/handles.h"

class krv_class_def;
class krv_global_scope;
class krv_task;

class krv_class : public krvptr_base<krv_class> {
 public:
  // Takes over `klass` and exchanges each entry of `initial` with a fresh None cell: the instance
  // holds the given values and the caller's vector is left with None cells. A class that is gone
  // raises "Invalid class definition." and leaves the instance with None members and no class.
  krv_class(krvptr_weak<krv_class_def> klass, std::vector<krvvar_shared>& initial);
  ~krv_class() override;
  krv_class(const krv_class&) = delete;
  krv_class& operator=(const krv_class&) = delete;

  // The member `name`: a data member's own cell, a non-function method value itself, or a new function
  // value bound to this instance. Raises and gives None for an unknown name or a class that is gone.
  krvvar_shared read_member(std::string_view name);
  // The member at `index` among the methods (`method`) or the data members; "out of range!" and None
  // outside them.
  krvvar_shared member_at(int64_t index, bool method);

  // The last strong handle went: the first time `release`, after that (a finaliser kept the instance,
  // or its task ended without finishing) the instance is destroyed.
  void destroy() override;
  // The block stays linked while the instance decides whether it lives on (see above).
  void detach() noexcept override {}

  // The class record; null when it is gone.
  krv_class_def* class_def() const noexcept;
  const std::vector<krvvar_shared>& members() const noexcept { return members_; }
  // The member cell at `index`, or null outside the members.
  krvvar_shared* member_slot(uint32_t index) noexcept { return index < members_.size() ? &members_[index] : nullptr; }

 private:
  // Runs once: `__deinit__` as a task when it can run, else the instance is destroyed.
  void release();
  // A new function value for `method` bound to this instance (its captured context).
  krvvar_shared bound_method(const krvvar_shared& method);
  // Starts `__deinit__` as a task; false when it cannot run here (the caller then destroys).
  bool start_finaliser();
  // Ends the instance for good: unlinks the block and deletes.
  void destroy_now() noexcept;

  krvptr_weak<krv_class_def> klass_;
  krvptr_weak<krv_task> scope_;             // the building frame's scope
  const krv_task* scope_address_ = nullptr; // that scope's address, compared once the handle expired
  krvptr_strong<krv_global_scope> global_scope_;
  std::vector<krvvar_shared> members_;
  bool released_ = false;                    // release has begun
};

// Tears the instance of a record's strong handle down for every holder (a value released with its
// release-contents flag): the block is marked dead, so other holders see no instance, and the release
// runs as for a last handle. `handle` ends empty.
void krv_class_tear_down(krvptr_strong<krv_class>& handle) noexcept;
// The instance behind a value of type KRVVAR_CLASS whose instance is alive; else null.
krv_class* krv_instance_of(const krvvar& value) noexcept;
