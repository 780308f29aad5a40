#include "platform/thread_id.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace krv_platform {

uint32_t current_thread_id() noexcept {
  // gettid is a system call; cache it per thread, since lock guards ask for it on every entry.
  static thread_local const uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
  return id;
}

}  // namespace krv_platform
