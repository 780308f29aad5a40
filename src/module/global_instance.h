// The module singleton shared by the host and the module: the namespace-initialiser registry, the class
// factories and metadata, and the hook that yields per-thread records.
//
// The instance is created once, on first need, by whichever site asks first (a static registrar while
// the library loads, korvaglue_entry, a thread-record lookup, class registration), and is never
// destroyed: registrars and the host may reach it while other statics are already gone.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "module/name_hash.h"
#include "runtime/memory/handles.h"

struct krv_namespace;
struct krv_thread_local;
class krvobject_base;
struct krvobject_metadata;

using krv_namespace_init_fn = std::function<void(krv_namespace&)>;
using krv_class_factory = std::function<krvptr_strong<krvobject_base>()>;

template <class V>
using krv_name_map = std::unordered_map<std::string_view, V, krv_hasher, krv_transparent_equal>;

struct krv_global_instance {
  krv_global_instance();

  std::unordered_map<std::string, void*> host_table;  // the host's; created empty, unused by the module
  // Populating functions per namespace name, in registration (link) order.
  krv_name_map<std::vector<krv_namespace_init_fn>> namespace_initializers;
  // Script class name -> factory making a new instance; filled by class registration.
  std::shared_ptr<krv_name_map<krv_class_factory>> class_factories;
  // Script class name -> the class's metadata; filled by class registration.
  std::shared_ptr<krv_name_map<std::shared_ptr<krvobject_metadata>>> class_metadata;
  // Yields the calling thread's record; the host may replace the module's own provider.
  std::function<krv_thread_local&()> thread_local_hook;
  std::vector<void*> host_pointers;  // the host's; created empty, unused by the module
};

// The one global instance, created on first call.
inline krv_global_instance& krv_global() {
  static krv_global_instance* const instance = new krv_global_instance();
  return *instance;
}
