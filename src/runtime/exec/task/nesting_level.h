// krv_nesting_level: one level of a per-thread nesting count, held for the guard's lifetime.
//
// Work that runs on top of other work on the same thread's stack (a task started by another, a
// finaliser run by a release) counts its levels in a thread_local counter and refuses to start past its
// bound; the guard keeps the count exact on every way out, exceptions included.
#pragma once
#include <cstdint>

class krv_nesting_level {
 public:
  explicit krv_nesting_level(uint32_t& depth) : depth_(depth) { ++depth_; }
  ~krv_nesting_level() { --depth_; }
  krv_nesting_level(const krv_nesting_level&) = delete;
  krv_nesting_level& operator=(const krv_nesting_level&) = delete;

 private:
  uint32_t& depth_;  // the thread's counter
};
