// krv_step_budget_left: a per-thread bound on interpreter steps, for test harnesses; unlimited otherwise.
//
// The fuzz targets run only script code that cannot loop, yet such code can still take exponential time:
// a function calling itself twice (under a catch, or in a noexcept function that swallows the depth
// error), or a finaliser making two instances of its own class. Those programs are legitimate, but a
// fuzzer would report them as hangs. A step is one frame running until it calls, returns or ends, which in
// loop-free code is bounded by its block's size; a harness sets the budget before each input. Once it is
// spent a call fails as one past the depth limit does and no task run starts, so whatever is on the stack
// unwinds in time linear in the program. Nothing in the module sets it: 2^64 steps never run out.
#pragma once
#include <cstdint>

inline thread_local uint64_t krv_step_budget_left = UINT64_MAX;

// Takes one step of the thread's budget; false once it is spent.
inline bool krv_step_taken() {
  if (krv_step_budget_left == 0) return false;
  --krv_step_budget_left;
  return true;
}
