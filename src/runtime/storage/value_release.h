// krv_release_scope: an object's teardown releasing the values it holds without recursing once per
// nesting level.
//
// A value's last release tears its object down, and an object torn down releases the values it holds
// (a container its entries, a script-class instance its members, a closure what it captured, a native
// object such as std.thread whatever it keeps), so a chain of objects each holding the next is released
// by one nested call per level: a script builds a chain of 200,000 levels in a tenth of a second, and
// its release ran off the thread's stack. Instead, every such teardown releases its values through a
// scope, and a native object's last handle is itself released through one (its class's own teardown is
// not ours to change): nested scopes release as plain calls only to a fixed depth, and the scope at
// that depth drains: while it runs, a scope below it hands those of its values whose release would tear
// an object down to its pending list, and it releases them one by one, in the order the nested calls
// would have. The stack stays a bounded number of frames deep at any depth, teardowns of ordinary depth
// never touch the list, and the list holds at most the values of the objects on the current path, which
// the objects held before.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/base/krvvar_shared.h"
#include "runtime/memory/handles.h"

struct krv_thread_local;

class krv_release_scope {
 public:
  krv_release_scope() noexcept;
  // A handing-over scope turns its values round on the list here, so the drain takes them in order.
  ~krv_release_scope();
  krv_release_scope(const krv_release_scope&) = delete;
  krv_release_scope& operator=(const krv_release_scope&) = delete;

  // Releases `value` (leaving it null) now, or hands it to the draining scope, which releases it before
  // it goes on with anything released after this scope began.
  void release(krvvar_shared& value, const krv_thread_local& record) noexcept;
  // The same for a handle on an object (left empty).
  void release(krvptr_strong<krvptr_base_internal>& object, const krv_thread_local& record) noexcept;

 private:
  enum class role : uint8_t { direct, drain, hand_over };
  // A release handed to the drain: a value or an object handle (the other one empty).
  struct handed {
    krvvar_shared value;
    krvptr_strong<krvptr_base_internal> object;
  };

  // A new last place on the drain's list, or null without room (the caller then releases in place).
  static handed* place_on_list() noexcept;
  // Drain: releases everything handed over so far, the last handed first.
  void drain(const krv_thread_local& record) noexcept;

  // The calling thread's draining scope's list; null while none drains.
  static thread_local std::vector<handed>* pending_;

  role role_;
  size_t first_handed_ = 0;   // hand_over: where this scope's releases begin on the drain's list
  std::vector<handed> list_;  // drain: the releases handed over, next one last
};
