// Loading the module into our host: check the descriptor byte for byte, take the global instance and
// run every namespace-populating function once against the host's own namespace objects, under one VM
// lock, before any script runs.
//
// The loader takes the two entry points as function pointers, so it serves a module linked into the
// process (the host and the tests) and one opened with dlopen alike.
#pragma once
#include <map>
#include <string>
#include <string_view>

#include "module/global_instance.h"
#include "module/module_descriptor.h"
#include "runtime/objects/namespace.h"

class krv_host_vm;

struct krv_module_entry_points {
  const krv_module_descriptor* (*check)();
  krv_global_instance* (*entry)();
};

// The entry points of the module objects linked into this process.
krv_module_entry_points krv_linked_module();

// True when `descriptor` is the one this host was built for.
bool krv_descriptor_matches(const krv_module_descriptor& descriptor);

class krv_host_module {
 public:
  // Throws std::runtime_error when the descriptor does not match.
  explicit krv_host_module(krv_module_entry_points module);

  // Runs every registered populating function once, on the calling thread, attached to `vm`.
  void populate_namespaces(krv_host_vm& vm);

  krv_global_instance& instance() const noexcept { return *instance_; }
  // Namespaces by name, in name order.
  const std::map<std::string_view, krv_namespace>& namespaces() const noexcept { return namespaces_; }

 private:
  krv_global_instance* instance_;
  std::map<std::string_view, krv_namespace> namespaces_;
  bool populated_ = false;
};
