#include "module/vm_state.h"

#include "classes/std/buffer_object.h"
#include "classes/std/json_object.h"
#include "classes/std/string_object.h"

krv_vm_state::krv_vm_state() = default;

krv_vm_state::~krv_vm_state() = default;
