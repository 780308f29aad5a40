#include "host_vm.h"

#include <algorithm>

#include "runtime/storage/buffer_object.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"
#include "module/vm_lock.h"
#include "runtime/exec/vm_context.h"
#include "runtime/memory/ref_block_pool.h"
#include "runtime/values/value_records.h"
#include "runtime/objects/update_hook.h"

krv_host_vm::krv_host_vm(std::string name) : state_(std::make_unique<krv_vm_state>()) {
  state_->name = std::move(name);
  state_->log = krvptr_strong<krv_log_base>::from_raw(new krv_log_base());
}

krv_host_vm::~krv_host_vm() {
  krv_thread_local& record = krv_get_thread_local();
  krv_vm_state* const attached = record.vm;
  // Entries still in transit hold handles (records) that must be released while the pools stand.
  record.vm = state_.get();
  release_deferred();
  drain_return_rings();
  record.vm = attached == state_.get() ? nullptr : attached;
}

void krv_host_vm::attach_current_thread() { krv_get_thread_local().vm = state_.get(); }

void krv_host_vm::detach_current_thread() { krv_get_thread_local().vm = nullptr; }

size_t krv_host_vm::drain_return_rings() {
  krv_vm_lock guard(*state_);
  size_t drained = 0;
  state_->for_each_pool([&](auto& pool) { drained += pool.drain_return_ring(); });
  return drained;
}

size_t krv_host_vm::release_deferred() {
  krv_vm_lock guard(*state_);
  // Taken out first: a release may tear down an object that defers another one.
  std::vector<krvptr_strong<krvobject_base>> releases;
  releases.swap(state_->deferred_releases);
  return releases.size();
}

void krv_host_vm::run_update_pass() {
  krv_vm_lock guard(*state_);
  auto& list = state_->update_list;
  // Objects registered during the pass wait for the next one; once a hook has changed the list, each
  // remaining object is called only if it is still registered.
  const std::vector<krvobject_update_pre*> pass = list;
  state_->update_list_changed = 0;
  for (krvobject_update_pre* object : pass) {
    if (state_->update_list_changed != 0 && std::find(list.begin(), list.end(), object) == list.end()) continue;
    object->update_pre();
  }
}
