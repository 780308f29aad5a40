#include "platform/stop_request.h"

#include <atomic>

namespace krv_platform {

namespace {

std::atomic<bool> stop_asked{false};

}  // namespace

void request_stop() noexcept { stop_asked.store(true, std::memory_order_release); }

bool stop_requested() noexcept { return stop_asked.load(std::memory_order_acquire); }

}  // namespace krv_platform
