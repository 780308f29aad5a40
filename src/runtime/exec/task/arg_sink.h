// Argument sinks and argument records: where the arguments of a call in preparation go.
//
// A script call parks the callee's frame and pushes a sink whose store function writes argument i into
// that frame's local i (krv_vm_context::store_local). A native call opens an argument record (a shared
// vector of value handles, reused across calls) and pushes a sink whose store function writes element i
// of it (krv_task::set_param). The task keeps both stacks; frames remember their heights so an error
// can trim them back.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/base/krvvar_shared.h"
#include "runtime/base/krvvector_shared.h"
#include "runtime/memory/handles.h"

class krv_task;
class krv_function_def;
class krvobject_base;
struct krv_arg_sink;

using krv_call_args = krvvector_shared<krvvar_shared>;
using krv_arg_store = void (*)(krv_task& task, krv_arg_sink& sink, uint32_t index, krvvar_shared& value);

struct krv_arg_sink {
  void* target = nullptr;                          // callee krv_program_block, or the native call's krv_call_args
  krvptr_strong<krv_function_def> definition;      // native calls: the function called
  krvptr_strong<krvobject_base> bound_object;      // native calls: the method's object; empty for functions
  krv_arg_store store = nullptr;
  uint8_t native_call = 0;                          // 0 script call, 1 native call
};
static_assert(sizeof(krv_arg_sink) == 40);
static_assert(offsetof(krv_arg_sink, store) == 24);
static_assert(offsetof(krv_arg_sink, native_call) == 32);

class krv_vm_context;

// The sink of a script call: arguments go to the locals of the callee's frame, parked on top of the
// task's parked frames (krv_vm_context::store_local).
krv_arg_sink krv_arg_sink_script(krv_vm_context& callee);
// The sink of a native call: arguments go to `record` (krv_task::set_param); `bound` is the method's
// object (empty for a namespace function).
krv_arg_sink krv_arg_sink_native(krv_call_args& record, krvptr_strong<krv_function_def> definition,
                                 krvptr_strong<krvobject_base> bound);
