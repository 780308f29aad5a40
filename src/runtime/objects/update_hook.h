// Objects that act on every VM update without a script calling them (the IPC channel drains its ring
// this way).
//
// Such a class takes krvobject_update_pre as an extra base. Construction appends the object to its VM's
// update list and destruction removes it, both under that VM's lock, and both set the list's changed
// flag for the host. The host walks the list once per VM update and calls update_pre(); the module
// never walks it. An object belongs to the VM of the thread that created it.
//
// A host that runs until nothing is left to do asks keeps_run_alive(): an object that can still bring
// work (a channel whose peer may write) answers true; one that never can (a channel never connected, or
// disconnected) answers false, so that holding it does not keep the run going for ever.
#pragma once
#include "module/vm_state.h"

class krvobject_update_pre {
 public:
  // Registers with the calling thread's VM; throws std::logic_error on a thread without one.
  krvobject_update_pre();
  virtual ~krvobject_update_pre();
  krvobject_update_pre(const krvobject_update_pre&) = delete;
  krvobject_update_pre& operator=(const krvobject_update_pre&) = delete;

  // Called by the host once per VM update, under the VM lock.
  virtual void update_pre();
  // Whether the object may still bring work of its own, so that a host waits for it. Called under the VM
  // lock; true unless the class knows better.
  virtual bool keeps_run_alive() const { return true; }

  krv_vm_state* vm() const noexcept { return vm_; }

 protected:
  // Takes the object off its VM's update list now, under that VM's lock; later calls change nothing but
  // the changed flag. A class whose hook reads what its own destructor tears down calls this before the
  // teardown begins, so no update pass meets the object half-destroyed.
  void leave_update_list() noexcept;

 private:
  krv_vm_state* vm_;  // the VM whose update list holds this object
};
