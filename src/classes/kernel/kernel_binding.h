// Binding a script launch: the domain and the argument vector of `launch` / `launch_async` turned into a
// prepared krvk_launch, with the bytes of every pointer argument held for the launch's run.
//
// A krv_kernel_launch_state owns the launch and one held record per pointer parameter. Binding takes the
// holds only after every argument was accepted, so a failed binding leaves nothing to give back. While
// `holding` is set, each bound std.buffer carries one read or write hold and each memory object one
// hold() of the parameter's writability; release() gives them back exactly once. The hold counters are
// plain counts guarded by the VM lock: bind and release run on the script thread that owns it. Helper
// jobs only ever see the krvk_launch, never the held records.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/runtime/launch.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/kernel_memory.h"

class krv_std_kernel;

// One bound pointer argument. Destroying it drops the references only; it never touches a hold.
struct krv_kernel_held_arg {
  uint8_t* base = nullptr;  // first byte the kernel sees
  uint64_t size = 0;  // bytes the kernel may reach
  krvptr_strong<krvobject_base> object;  // keeps the lending object alive; empty for a string copy
  krv_std_buffer* buffer = nullptr;  // set for a std.buffer
  krv_kernel_memory* memory = nullptr;  // set for another object lending kernel memory
  std::shared_ptr<std::string> string_copy;  // private snapshot of a string argument (launch_async)
  uint8_t writable = 0;  // the parameter is not const
};

struct krv_kernel_launch_state {
  std::shared_ptr<krvk_launch> launch;
  std::vector<krv_kernel_held_arg> held;  // one per pointer parameter, in parameter order
  uint8_t holding = 0;  // 1 while the holds of `held` are taken
  uint8_t released = 0;  // 1 once release() ran

  // Gives the holds back (once; later calls do nothing) and drops the held records. VM lock owner only.
  void release();
};

// Checks the domain and arguments against the kernel's parameters, prepares the launch and takes the
// holds. Null with the whole message ("kernel 'NAME'...") in `error` on failure; nothing is held then.
std::shared_ptr<krv_kernel_launch_state> krv_kernel_launch_bind(krv_std_kernel& kernel,
                                                                std::vector<krvvar_shared>& args,
                                                                bool copy_strings, std::string& error);

// Binds one pointer argument into `held` (no hold taken); false with the reason in `error`.
bool krv_kernel_arg_buffer(krvvar* value, bool writable, bool copy_strings, krv_kernel_held_arg& held,
                           std::string& error);

// A kernel scalar of type `prim` as a new script value: None for void, float for f32/f64, else int.
krvvar_shared krv_kernel_value_to_var(uint8_t prim, uint64_t bits);
