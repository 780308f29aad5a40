#include "module/vm_state.h"

#include "classes/std/buffer_object.h"
#include "classes/std/json_object.h"
#include "classes/std/string_object.h"
#include "runtime/exec/vm_context.h"

krv_vm_state::krv_vm_state() = default;

krv_vm_state::~krv_vm_state() = default;
