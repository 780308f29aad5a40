#include "platform/clock.h"

#include <chrono>

namespace krv_platform {

uint64_t monotonic_ms() noexcept {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace krv_platform
