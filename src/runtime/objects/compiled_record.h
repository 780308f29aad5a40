// krv_compiled_record<T>: the shared base of the records of compiled code (programs, blocks, scopes,
// class records, source records and their symbol tables).
//
// Compiled code belongs to the host and may outlive any one VM, so the reference blocks of these
// records never come from a VM's block pool.
#pragma once
#include "runtime/memory/handles.h"

template <class T>
class krv_compiled_record : public krvptr_base<T> {
 public:
  bool may_use_vm_pool() const noexcept override { return false; }
};
