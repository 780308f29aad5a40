// The calling thread's numeric id, as the runtime stores it in per-thread records and lock owners.
//
// The id is the kernel thread id (gettid), which is never 0: 0 means "no owner" in the VM lock.
#pragma once
#include <cstdint>

namespace krv_platform {

uint32_t current_thread_id() noexcept;

}  // namespace krv_platform
