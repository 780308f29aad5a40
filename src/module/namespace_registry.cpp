#include "module/namespace_registry.h"

std::recursive_mutex& krv_namespace_init_mutex() {
  static std::recursive_mutex* const mutex = new std::recursive_mutex();
  return *mutex;
}

void krv_register_namespace_init(std::string_view ns, krv_namespace_init_fn fn) {
  std::lock_guard guard(krv_namespace_init_mutex());
  krv_global().namespace_initializers[ns].push_back(fn);
}
