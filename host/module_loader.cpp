#include "host/module_loader.h"

#include <cstring>
#include <stdexcept>

#include "host/host_vm.h"
#include "module/vm_lock.h"

krv_module_entry_points krv_linked_module() { return {&korvaglue_check, &korvaglue_entry}; }

bool krv_descriptor_matches(const krv_module_descriptor& descriptor) {
  const krv_module_descriptor expected{3001, 1, 1, "MODULE_INTERNAL"};
  return std::memcmp(&descriptor, &expected, sizeof expected) == 0;
}

krv_host_module::krv_host_module(krv_module_entry_points module) {
  if (!krv_descriptor_matches(*module.check())) {
    throw std::runtime_error("korvaglue: module descriptor does not match this host");
  }
  instance_ = module.entry();
}

void krv_host_module::populate_namespaces(krv_host_vm& vm) {
  if (populated_) return;
  populated_ = true;
  vm.attach_current_thread();
  krv_vm_lock guard;
  for (auto& [name, initializers] : instance_->namespace_initializers) {
    krv_namespace& ns = namespaces_[name];
    ns.name = name;
    for (auto& populate : initializers) populate(ns);
  }
}
