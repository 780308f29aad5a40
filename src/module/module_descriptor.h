// The module's two exports and the record that korvaglue_check hands the host: a 64-byte, little-endian
// binary interface the host compares byte for byte before it trusts anything else in the module.
//
// This is the module's public header, installed as <korvaglue/module_descriptor.h> for hosts of their
// own, so it includes only the C standard headers and reads as C11 as well as C++: a host in either
// language declares the two function pointers it takes from dlsym with it. What korvaglue_entry returns
// stays opaque here; its layout is the module's C++ type (module/global_instance.h), not part of the
// installed interface.
#pragma once
#include <assert.h>
#include <stddef.h>
#include <stdint.h>

typedef struct krv_module_descriptor {
  uint64_t interface_version;  // 3001: the host's interface number
  uint64_t major;              // 1
  uint64_t minor;              // 1
  char kind[40];               // "MODULE_INTERNAL", NUL-padded to the end of the field
} krv_module_descriptor;
static_assert(sizeof(krv_module_descriptor) == 64, "the descriptor is 64 bytes");
static_assert(offsetof(krv_module_descriptor, major) == 8, "major at byte 8");
static_assert(offsetof(krv_module_descriptor, minor) == 16, "minor at byte 16");
static_assert(offsetof(krv_module_descriptor, kind) == 24, "kind at byte 24");

struct krv_global_instance;

#ifdef __cplusplus
extern "C" {
#endif
// The two exports of the module; everything else reaches the host through the global instance.
// The descriptor is static: the pointer stays valid while the library is loaded.
__attribute__((visibility("default"))) const krv_module_descriptor* korvaglue_check(void);
// The module's one global instance: the same pointer on every call, never destroyed.
__attribute__((visibility("default"))) struct krv_global_instance* korvaglue_entry(void);
#ifdef __cplusplus
}
#endif
