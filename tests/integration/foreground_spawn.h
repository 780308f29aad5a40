// Spawn attributes of a program started as a terminal starts a foreground job: SIGINT, SIGTERM and
// SIGHUP at their default action, even when the test itself runs with them ignored (a test run started
// in the background by a script). krvhost keeps a stop signal it inherits as ignored ignored, so without
// this a test that signals it would depend on how the tests were started.
#pragma once
#include <signal.h>
#include <spawn.h>

class krv_foreground_spawn {
 public:
  // `flags` are added to POSIX_SPAWN_SETSIGDEF (POSIX_SPAWN_SETSID, for instance).
  explicit krv_foreground_spawn(short flags = 0) {
    posix_spawnattr_init(&attributes_);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attributes_, &defaults);
    posix_spawnattr_setflags(&attributes_, static_cast<short>(flags | POSIX_SPAWN_SETSIGDEF));
  }
  ~krv_foreground_spawn() { posix_spawnattr_destroy(&attributes_); }
  krv_foreground_spawn(const krv_foreground_spawn&) = delete;
  krv_foreground_spawn& operator=(const krv_foreground_spawn&) = delete;

  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};
