// A short spin before a thread sleeps. Waking a sleeping thread costs the waker a system call and the
// sleeper a trip through the scheduler, 5 to 20 us apiece on the machines we measured; a thread that has
// just been busy is likely to get its next piece of work within microseconds (a worker between two jobs
// of one script, the VM thread waiting for the job it just handed off), so it looks for that work, with
// the processor's pause between looks, for a window of some tens of microseconds before it sleeps.
// A thread that found nothing sleeps until woken: an idle host spins only once per piece of work.
#pragma once
#include <chrono>

// Looks for `ready()` until it holds or `window` has passed; true when it held.
template <class Ready>
bool krv_spin_until(Ready&& ready, std::chrono::microseconds window) {
  const auto until = std::chrono::steady_clock::now() + window;
  for (;;) {
    // The clock costs some tens of nanoseconds: read it once per batch of looks.
    for (int look = 0; look < 64; ++look) {
      if (ready()) return true;
      __builtin_ia32_pause();
    }
    if (std::chrono::steady_clock::now() >= until) return false;
  }
}
