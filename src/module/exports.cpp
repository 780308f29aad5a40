#include "module/module_descriptor.h"

namespace {
constexpr krv_module_descriptor module_descriptor{3001, 1, 1, "MODULE_INTERNAL"};
}

extern "C" const krv_module_descriptor* korvaglue_check() { return &module_descriptor; }
