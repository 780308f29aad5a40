// Monotonic milliseconds, the one time base shared by the module and the host (task due times, run
// times, timeouts). Only differences are meaningful; the origin is unspecified.
#pragma once
#include <cstdint>

namespace krv_platform {

uint64_t monotonic_ms() noexcept;

}  // namespace krv_platform
