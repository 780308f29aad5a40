// krv_vm_context: one call frame of a script task.
//
// A frame is a plain record with its own reference count (not a shared object): the task's frame stack
// points to it, and a native method receives the frame of the script code that calls it. While the
// interpreter calls a native method it stores the method's object in `native_self`, which is how the
// method's wrapper finds its receiver.
#pragma once
#include <cstdint>
#include <vector>

#include "runtime/memory/handles.h"
#include "runtime/values/krvvar_shared.h"

class krv_task;
class krv_program_block;
class krvobject_base;
class krv_class;

class krv_vm_context {
 public:
  krv_task* task = nullptr;                  // owning task (not counted)
  krvptr_base_internal* scope = nullptr;     // the scope whose globals the block sees
  krv_program_block* block = nullptr;        // the block executed
  const uint8_t* ip = nullptr;               // current instruction while the interpreter runs
  krvobject_base* native_self = nullptr;     // object whose native method this frame is calling
  uint32_t saved_offset = 0;                 // code offset at which execution resumes
  uint32_t values_pushed = 0;                // values this frame pushed onto the task's value stack
  uint32_t args_passed = 0;                  // arguments passed to this frame
  uint32_t refcount = 0;                     // references to this frame
  uint32_t sink_height = 0;                  // size of the task's argument sinks at frame entry
  uint32_t parked_height = 0;                // size of the task's parked frames at frame entry
  uint32_t call_arg_height = 0;              // the task's call-argument height at frame entry
  std::vector<krvvar_shared> locals;         // one slot per block local
  krvptr_weak<krvptr_base_internal> captured_context;  // context of a closure
  krvptr_strong<krv_class> bound_self;       // instance bound to a method call
  uint32_t status = 0;                       // task status word
  uint8_t default_arg_pending = 0;           // interpreter flag for default arguments
  uint8_t in_progress = 0;                   // 1 while the block has not finished
  uint8_t operator_result_mode = 0;          // result mode of an operator-method call
};
