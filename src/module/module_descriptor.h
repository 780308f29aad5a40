// The record that korvaglue_check hands the host: a 64-byte, little-endian binary interface the host
// compares byte for byte before it trusts anything else in the module.
#pragma once
#include <cstddef>
#include <cstdint>

struct krv_module_descriptor {
  uint64_t interface_version;  // 3001: the host's interface number
  uint64_t major;              // 1
  uint64_t minor;              // 1
  char kind[40];               // "MODULE_INTERNAL", NUL-padded to the end of the field
};
static_assert(sizeof(krv_module_descriptor) == 64);
static_assert(offsetof(krv_module_descriptor, major) == 8);
static_assert(offsetof(krv_module_descriptor, minor) == 16);
static_assert(offsetof(krv_module_descriptor, kind) == 24);

struct krv_global_instance;

extern "C" {
// The two exports of the module; everything else reaches the host through the global instance.
__attribute__((visibility("default"))) const krv_module_descriptor* korvaglue_check();
__attribute__((visibility("default"))) krv_global_instance* korvaglue_entry();
}
