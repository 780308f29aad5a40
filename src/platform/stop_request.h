// Whether this process was asked to stop: the host raises the request when a signal asks a run to end,
// and the module's waits that would outlast it look here and end early (an IPC opener that retries for
// 5 s while its creator has not connected gives up at once, with its usual failure; a sleep that
// wait_for_stop takes wakes at once).
//
// The request belongs to the process, as a signal does, and is never withdrawn: the process is ending.
// A host that never raises it (an embedding interpreter with stops of its own) sees every wait as before.
// Raising and reading are lock-free and raising wakes the sleepers by a system call alone, so the host
// may raise it from any thread.
#pragma once
#include <chrono>

namespace krv_platform {

void request_stop() noexcept;
bool stop_requested() noexcept;

// Sleeps until `limit` has passed or a stop is requested, whichever comes first: true when a stop
// (also one raised before the call) ended it.
bool wait_for_stop(std::chrono::milliseconds limit) noexcept;

}  // namespace krv_platform
