// Registers "ipc.ipc" and its constructor function "ipc" in namespace "ipc" while the library loads. The
// ipc area links after every other class area, so its populating function comes last in the registry.
#include "classes/ipc/ipc_channel.h"
#include "module/namespace_registry.h"
#include "runtime/objects/class_registration.h"

namespace {

void register_ipc_class(krv_namespace& ns) { ns.add_class<krv_ipc>(&krv_ipc::constructor_function, 0, 0, ""); }

const krv_namespace_static_registrar ipc_registrar("ipc", register_ipc_class);

}  // namespace
