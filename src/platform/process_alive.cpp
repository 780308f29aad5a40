#include "platform/process_alive.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace krv_platform {
namespace {

// The state letter of /proc/PID/stat ("pid (comm) S ..."), read after the last ')' since the command
// name may hold blanks and parentheses; 0 when it cannot be read.
char process_state(uint32_t pid) noexcept {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[512];
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return 0;
  text[got] = '\0';
  const char* close_paren = std::strrchr(text, ')');
  return close_paren != nullptr && close_paren[1] == ' ' ? close_paren[2] : 0;
}

}  // namespace

bool process_running(uint32_t pid) noexcept {
  if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) return false;
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
  const char state = process_state(pid);
  return state != 'Z' && state != 'X';
}

}  // namespace krv_platform
