#include "runtime/objects/update_hook.h"

#include <algorithm>
#include <stdexcept>

#include "module/vm_lock.h"
#include "runtime/objects/log.h"

namespace {

krv_vm_state& calling_thread_vm() {
  krv_vm_state* vm = krv_get_thread_local().vm;
  if (vm == nullptr) {
    throw std::logic_error("an object with a VM update hook needs a thread attached to a VM");
  }
  return *vm;
}

}  // namespace

krvobject_update_pre::krvobject_update_pre() : vm_(&calling_thread_vm()) {
  krv_vm_lock guard(*vm_);
  vm_->update_list.push_back(this);
  vm_->update_list_changed = 1;
}

krvobject_update_pre::~krvobject_update_pre() { leave_update_list(); }

void krvobject_update_pre::leave_update_list() noexcept {
  // The object may be released on any thread: lock the VM whose list holds it.
  krv_vm_lock guard(*vm_);
  std::erase(vm_->update_list, this);
  vm_->update_list_changed = 1;
}

void krvobject_update_pre::update_pre() { krv_log_base::instance()->error("update_pre: not implemented."); }
