// Giving a pooled entry back from whichever thread dropped it.
//
// The VM-lock holder frees straight into the page. Any other thread of the VM pushes the entry onto the
// pool's return ring for the host to drain; when the ring is full it takes the VM lock and frees into the
// page itself. A thread without a VM cannot reach the pool: the entry stays where it is.
#pragma once
#include "module/thread_record.h"
#include "module/vm_lock.h"
#include "runtime/memory/pool.h"

// From a thread without the VM lock: through the ring, or under the lock when the ring is full. Out of
// line, so that the lock holder's free stays small enough to inline.
template <class T>
[[gnu::noinline]] void krv_pool_return_remote(krv_pool_of<T>& pool, T* entry, const krv_thread_local& record) noexcept {
  if (pool.ring.push(entry)) return;
  krv_vm_lock guard(*record.vm);
  pool.free(entry);
}

template <class T>
void krv_pool_return(krv_pool_of<T>& pool, T* entry, const krv_thread_local& record) noexcept {
  if (record.owns_vm_lock()) [[likely]]
    pool.free(entry);
  else
    krv_pool_return_remote(pool, entry, record);
}

// The same for the pool `Member` of the calling thread's VM.
template <auto Member, class T>
void krv_pool_return(T* entry) noexcept {
  const krv_thread_local& record = krv_get_thread_local();
  if (record.vm != nullptr) krv_pool_return(record.vm->*Member, entry, record);
}
