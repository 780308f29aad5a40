// krvhost: our host of the korvaglue module.
//
//   krvhost info    loads the module and lists its descriptor, namespaces, classes and functions
#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>

#include "host_vm.h"
#include "module_loader.h"

namespace {

int print_usage() {
  std::fprintf(stderr, "usage: krvhost info\n");
  return 2;
}

void print_descriptor(const krv_module_descriptor& d) {
  std::printf("module: %s %llu.%llu.%llu\n", d.kind, static_cast<unsigned long long>(d.interface_version),
              static_cast<unsigned long long>(d.major), static_cast<unsigned long long>(d.minor));
}

int run_info() {
  krv_module_entry_points module = krv_linked_module();
  print_descriptor(*module.check());
  krv_host_vm vm("info");
  krv_host_module loaded(module);
  loaded.populate_namespaces(vm);

  std::printf("namespaces: %zu\n", loaded.namespaces().size());
  for (const auto& [name, ns] : loaded.namespaces()) {
    std::printf("  %.*s: %zu populating function(s), %zu function(s)\n", static_cast<int>(name.size()),
                name.data(), loaded.instance().namespace_initializers.at(name).size(), ns.functions.size());
  }
  std::printf("classes: %zu\n", loaded.instance().class_factories->size());
  for (const auto& [name, factory] : *loaded.instance().class_factories) {
    std::printf("  %.*s\n", static_cast<int>(name.size()), name.data());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return print_usage();
  try {
    if (std::string_view(argv[1]) == "info") return run_info();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "krvhost: %s\n", e.what());
    return 1;
  }
  return print_usage();
}
