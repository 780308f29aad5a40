// One VM of our host: owns the krv_vm_state, attaches threads to it and runs the parts of a VM update
// that exist so far (draining the pools' return rings, dropping the deferred releases, the update pass
// over objects with an update hook).
//
// The state lives on the heap for its whole life and is destroyed only after every object registered
// on it is gone (the host destroys its namespaces and joins its workers first).
#pragma once
#include <cstddef>
#include <memory>
#include <string>

#include "module/thread_record.h"
#include "module/vm_state.h"
#include "runtime/objects/log.h"

class krv_host_vm {
 public:
  explicit krv_host_vm(std::string name = "vm");
  ~krv_host_vm();
  krv_host_vm(const krv_host_vm&) = delete;
  krv_host_vm& operator=(const krv_host_vm&) = delete;

  krv_vm_state& state() noexcept { return *state_; }
  krv_log_base& log() noexcept { return *state_->log; }

  // Points the calling thread's record at this VM (or detaches it).
  void attach_current_thread();
  static void detach_current_thread();

  // The first step of a VM tick: under the VM lock, frees every entry waiting in a pool's return ring
  // into its page, pool by pool in the state's order, each ring in ticket order. Returns how many.
  size_t drain_return_rings();

  // The second step of a VM tick: under the VM lock, drops the VM's deferred releases (objects whose
  // forced teardown waited for a worker). Returns how many there were.
  size_t release_deferred();

  // Calls update_pre of every object on the update list once, under the VM lock. Objects added during
  // the pass wait for the next one; an object removed during the pass is not called. Objects are known
  // by address, so one created during the pass where a removed one lived counts as the removed one.
  void run_update_pass();

 private:
  std::unique_ptr<krv_vm_state> state_;
};
