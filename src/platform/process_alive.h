// Whether another process still runs: how a process that shares memory with others tells that the
// holder of something in it has died (its work there will never finish, and what it held can be taken
// back).
//
// A process counts as running while it exists and is not a zombie: a process killed outright stays a
// zombie until its parent reaps it, and it will never run again. A process of another user counts as
// running (the system will not say more). Process ids are reused, so a holder that died long ago may be
// taken for a new process of the same id; callers bound their waits anyway.
#pragma once
#include <cstdint>

namespace krv_platform {

// False when no process `pid` exists or it has ended (a zombie); `pid` must be positive.
bool process_running(uint32_t pid) noexcept;

}  // namespace krv_platform
