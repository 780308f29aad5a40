#include "host/script_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/assembler/script_limits.h"

namespace {

std::string too_large() {
  return "the file holds more than the " + std::to_string(krv_max_script_file_bytes) + " bytes a script may have";
}

// Why the descriptor's file cannot be a script, or "" when it can: a regular file, not empty, within
// the size limit.
std::string unfit_reason(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return std::strerror(errno);
  if (S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  if (info.st_size == 0) return "the file is empty";
  if (static_cast<uint64_t>(info.st_size) > krv_max_script_file_bytes) return too_large();
  return "";
}

// Reads to the end; the file may have changed since fstat, so the limit and emptiness hold again here.
std::string read_to_end(int fd, std::string& text) {
  char chunk[65536];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::strerror(errno);
    if (got == 0) break;
    text.append(chunk, static_cast<size_t>(got));
    if (text.size() > krv_max_script_file_bytes) return too_large();
  }
  return text.empty() ? "the file is empty" : "";
}

}  // namespace

bool krv_read_script_file(const std::string& path, std::string& text, std::string& reason) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    reason = std::strerror(errno);
    return false;
  }
  text.clear();
  reason = unfit_reason(fd);
  if (reason.empty()) reason = read_to_end(fd, text);
  close(fd);
  return reason.empty();
}
