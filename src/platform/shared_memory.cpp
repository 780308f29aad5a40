#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/clock.h"
#include "platform/stop_request.h"

namespace krv_platform {
namespace {

// A holder that keeps losing the race against closers unlinking the name gives up with EAGAIN.
constexpr int max_open_attempts = 64;
// How often a holder whose shared lock another process's exclusive one keeps out tries again.
constexpr auto lock_retry_pause = std::chrono::milliseconds(10);

bool valid_name(const std::string& name) {
  return name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

// The holder's shared lock. Only an exclusive lock keeps it out: a closer holds one for a moment, but any
// process of the user may take one and keep it, so the wait is bounded (ETIMEDOUT) and ends at a stop of
// the process (ECANCELED), never blocks in the kernel.
int lock_shared(int fd) {
  const uint64_t deadline_ms = monotonic_ms() + shared_memory_lock_wait_ms;
  while (flock(fd, LOCK_SH | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return errno;
    if (monotonic_ms() >= deadline_ms) return ETIMEDOUT;
    if (wait_for_stop(lock_retry_pause)) return ECANCELED;
  }
  return 0;
}

// Whether the name `path` still leads to the object open on `fd`; false when the name is gone.
bool name_leads_to(int fd, const std::string& path) {
  struct stat held {};
  struct stat named {};
  if (fstat(fd, &held) != 0) return false;
  const int probe = shm_open(path.c_str(), O_RDONLY, 0);
  if (probe < 0) return false;
  const bool same = fstat(probe, &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino;
  close(probe);
  return same;
}

// True when the object open on `fd` belongs to this process's user and nobody else may open it. An
// object another user made (with a name a channel would use) could be read or written by that user.
bool owned_privately(int fd) {
  struct stat status {};
  return fstat(fd, &status) == 0 && status.st_uid == geteuid() && (status.st_mode & 077) == 0;
}

// Opens `path` (creating it when asked) with the holder's shared lock taken and checked against the
// name: a closer may have unlinked the object between the open and the lock.
int open_locked(const std::string& path, bool create, int& fd_out) {
  for (int attempt = 0; attempt < max_open_attempts; ++attempt) {
    const int fd = shm_open(path.c_str(), O_RDWR | (create ? O_CREAT : 0), 0600);
    if (fd < 0) return errno;
    if (!owned_privately(fd)) {
      close(fd);
      return EACCES;
    }
    if (const int error = lock_shared(fd); error != 0) {
      close(fd);
      return error;
    }
    if (name_leads_to(fd, path)) {
      fd_out = fd;
      return 0;
    }
    close(fd);
  }
  return EAGAIN;
}

// The announcement lock on the object's first byte; `type` F_RDLCK to take it, F_WRLCK to look for one.
struct flock announcement_lock(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  return lock;
}

// Whether some open description (of any process, this one included) announces the object open on `fd`.
bool announced(int fd) {
  struct flock probe = announcement_lock(F_WRLCK);
  return fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

// Closes a region opened by one of the functions below and returns `error`.
int fail_closing(shared_memory_handle& handle, int error) {
  close_shared_memory(handle);
  return error;
}

}  // namespace

int create_shared_memory(const std::string& name, size_t size, shared_memory_handle& out) {
  if (!valid_name(name)) return EINVAL;
  shared_memory_handle handle;
  handle.name = "/" + name;
  if (const int error = open_locked(handle.name, true, handle.fd); error != 0) return error;
  struct stat status {};
  if (fstat(handle.fd, &status) != 0) return fail_closing(handle, errno);
  const auto found = static_cast<size_t>(status.st_size);
  if (found != size) {
    // Resizing under another holder would change the layout beneath it: only a region nobody else holds
    // (a new one, or one left behind) is sized here. The exclusive lock goes back to shared at once.
    if (found != 0 && flock(handle.fd, LOCK_EX | LOCK_NB) != 0) return fail_closing(handle, EPROTO);
    const bool sized = ftruncate(handle.fd, static_cast<off_t>(size)) == 0;
    const int error = errno;
    if (found != 0) lock_shared(handle.fd);
    if (!sized) return fail_closing(handle, error);
    handle.replaced_size = found;
  }
  out = std::move(handle);
  return 0;
}

int open_shared_memory(const std::string& name, size_t size, shared_memory_handle& out) {
  if (!valid_name(name)) return EINVAL;
  shared_memory_handle handle;
  handle.name = "/" + name;
  if (const int error = open_locked(handle.name, false, handle.fd); error != 0) return error;
  struct stat status {};
  if (fstat(handle.fd, &status) != 0 || status.st_size == 0) return fail_closing(handle, ENOENT);
  if (static_cast<size_t>(status.st_size) != size) return fail_closing(handle, EPROTO);
  if (!announced(handle.fd)) return fail_closing(handle, ENOENT);
  out = std::move(handle);
  return 0;
}

bool shared_memory_announced_by_others(const shared_memory_handle& handle) {
  // The handle's own announcement never conflicts with a probe through it.
  return handle.is_open() && announced(handle.fd);
}

int announce_shared_memory(const shared_memory_handle& handle) {
  // A read lock: it conflicts with nothing anybody takes, so it never waits.
  struct flock lock = announcement_lock(F_RDLCK);
  return fcntl(handle.fd, F_OFD_SETLK, &lock) == 0 ? 0 : errno;
}

void close_shared_memory(shared_memory_handle& handle) noexcept {
  if (handle.fd < 0) return;
  // Only the last holder gets the exclusive lock; holding it, nobody can take the object over, and a
  // process that opened the name meanwhile re-checks it once the lock is gone.
  if (flock(handle.fd, LOCK_EX | LOCK_NB) == 0 && name_leads_to(handle.fd, handle.name)) {
    shm_unlink(handle.name.c_str());
  }
  close(handle.fd);
  handle.fd = -1;
  handle.replaced_size = 0;
}

void* map_shared_memory(const shared_memory_handle& handle, size_t size, int& error) noexcept {
  // Touching a mapping past the object's end raises SIGBUS: an object cut short is refused here.
  struct stat status {};
  if (fstat(handle.fd, &status) != 0) {
    error = errno;
    return nullptr;
  }
  if (static_cast<size_t>(status.st_size) < size) {
    error = ERANGE;
    return nullptr;
  }
  void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, handle.fd, 0);
  if (view == MAP_FAILED) {
    error = errno;
    return nullptr;
  }
  error = 0;
  return view;
}

void unmap_shared_memory(void* view, size_t size) noexcept {
  if (view != nullptr) munmap(view, size);
}

size_t shared_memory_size(const shared_memory_handle& handle) noexcept {
  struct stat status {};
  if (fstat(handle.fd, &status) != 0 || status.st_size < 0) return 0;
  return static_cast<size_t>(status.st_size);
}

}  // namespace krv_platform
