// The script function kernel_compile(source, file, imports...): a "std.kernel_unit", or None after a
// runtime error (bad imports, a compile diagnostic).
#pragma once
#include <vector>

#include "runtime/base/krvvar_shared.h"

class krv_vm_context;

krvvar_shared krv_kernel_compile(krv_vm_context& frame, std::vector<krvvar_shared>& args);

struct krv_namespace;

// Registers the four kernel classes and the seven kernel functions in namespace `ns` ("std").
void krv_kernel_register_std_functions(krv_namespace& ns);
