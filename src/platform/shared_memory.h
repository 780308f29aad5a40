// Named shared memory: the stand-in for the platform's named file mappings that two processes open by
// name (the IPC ring lives in one).
//
// A region is a POSIX shared-memory object "/" + name, made with owner-only access. The creator opens it
// without O_EXCL, so an existing region of that name is reused, and grows it to the requested size. An
// object that belongs to another user, or that group or others may open, is refused (EACCES) by creator
// and opener alike: another user could have made it under a channel's name to read what is sent.
//
// A creator announces the region once it has made its content (announce_shared_memory), an opener once
// it has found it announced, and an opener counts a region nobody announces as not there yet: it never
// uses what a creator is still making, nor a region left behind by processes that are gone (a killed
// process leaves its region with the full size and stale content). The announcement is an
// open-file-description read lock on the object's first byte: it belongs to the holder's descriptor, so
// the kernel drops it when that descriptor closes, also when the process is killed, and it is seen from
// another descriptor of the same process too (a channel's two ends may live in one process). Any number
// of holders announce at once. A region has exactly the
// size its users ask for: one of another size was made for another layout, and is refused (EPROTO)
// rather than misread, unless a creator finds nobody else holding it and resizes it.
//
// Lifetime follows the named mappings it stands in for: a region lives exactly while some process holds
// it. Every holder keeps a shared flock on its descriptor; whoever closes and then gets the exclusive
// lock without waiting is the last holder and unlinks the name. A process killed outright drops its lock
// with its descriptors, so the survivor's close still finds itself last. Because a closer may unlink
// between another process's open and its lock, every holder re-checks after locking that the name still
// leads to the object it holds, and opens again if not.
//
// A holder takes its shared flock without blocking: another process of the user that holds an exclusive
// one on the object keeps it out for at most shared_memory_lock_wait_ms (then ETIMEDOUT), and a stop of
// the process ends the wait at once (ECANCELED).
//
// Functions return 0 or an errno code (the platform's "last error"; ENOENT is 2 here as on Windows).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace krv_platform {

// The longest wait for the holder's shared lock, as long as an IPC opener waits for its creator.
inline constexpr uint64_t shared_memory_lock_wait_ms = 5000;

// An open region: its descriptor (with the holder's shared lock) and its name. Closed when fd is -1.
struct shared_memory_handle {
  int fd = -1;
  std::string name;  // the shared-memory object's name, with its leading '/'
  // Set by create_shared_memory when it found a region of another size that nobody else held and resized
  // it: that size. The content is then another layout's and must not be read as this one's.
  size_t replaced_size = 0;

  bool is_open() const noexcept { return fd >= 0; }
};

// Opens or creates the region `name` (without the leading '/') of `size` bytes. Its content is whatever it
// held before; a new region reads as zeros. A name holding '/' or NUL fails with EINVAL; an existing
// region of another size that someone else holds, with EPROTO; one that nobody else holds is resized
// (replaced_size).
int create_shared_memory(const std::string& name, size_t size, shared_memory_handle& out);
// Announces the region `handle` as made and in use: openers may use it while the handle stays open.
int announce_shared_memory(const shared_memory_handle& handle);
// Whether another open handle (of this process or another) announces the region `handle`: someone
// connected holds it, so it outlives this handle's close.
bool shared_memory_announced_by_others(const shared_memory_handle& handle);
// Opens the existing region `name` of `size` bytes; EPROTO when it has another size, else ENOENT when
// there is none, it is still empty or no open handle announces it.
int open_shared_memory(const std::string& name, size_t size, shared_memory_handle& out);
// Closes the region and unlinks its name when this was the last holder. Closed handles are left alone.
void close_shared_memory(shared_memory_handle& handle) noexcept;

// Maps `size` bytes of the region read-write and shared; null (errno kept in `error`) on failure, ERANGE
// for an object smaller than `size` (cut short by some other holder since it was opened).
void* map_shared_memory(const shared_memory_handle& handle, size_t size, int& error) noexcept;
void unmap_shared_memory(void* view, size_t size) noexcept;
// The region's size now: any process of the user may cut it short (`truncate`), and touching a mapping
// past the object's end raises SIGBUS. 0 when it cannot be told.
size_t shared_memory_size(const shared_memory_handle& handle) noexcept;

}  // namespace krv_platform
