// The registry of namespace-populating functions.
//
// Each source file that adds script classes or functions to a namespace defines one static
// krv_namespace_static_registrar; its construction, while the library loads, appends the file's
// populating function under the namespace name. Registrars run in link order, which is therefore the
// order in which the host runs the populating functions of one namespace. The host runs them after
// korvaglue_entry, against its own krv_namespace objects.
#pragma once
#include <mutex>
#include <string_view>

#include "module/global_instance.h"

// The registry's recursive mutex; created on first use and never destroyed.
std::recursive_mutex& krv_namespace_init_mutex();

// Appends `fn` to the populating functions of namespace `ns`. `ns` must point into static text.
void krv_register_namespace_init(std::string_view ns, krv_namespace_init_fn fn);

struct krv_namespace_static_registrar {
  krv_namespace_static_registrar(std::string_view ns, krv_namespace_init_fn fn) {
    krv_register_namespace_init(ns, std::move(fn));
  }
};
