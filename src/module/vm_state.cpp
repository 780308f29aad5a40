#include "module/vm_state.h"

#include "runtime/objects/vm_context.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"

krv_vm_state::krv_vm_state() = default;

krv_vm_state::~krv_vm_state() = default;
