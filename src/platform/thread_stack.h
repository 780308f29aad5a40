// How far the calling thread's stack may still grow.
//
// Code whose recursion grows with its input (the standard library's regex matcher) bounds the input by
// the stack it will run on, and that is the stack of whichever thread calls it: a host may give its
// threads 8 MiB or 32 MiB, and the process's main thread has what RLIMIT_STACK allows. The system
// reports each thread's stack (pthread_getattr_np): for a thread it made, the block it mapped less the
// guard; for the main thread, the rlimit's size below the top of its mapping, less where another
// mapping sits closer. The lowest address is read once per thread and kept thread-locally, so a
// question costs a thread-local read and a subtraction (the first one on a main thread reads
// /proc/self/maps).
#pragma once
#include <cstddef>

namespace krv_platform {

// Bytes between this call's frame and the lowest address of the calling thread's stack: what calls made
// from the caller may still use. 0 when the system does not report the thread's stack.
size_t stack_bytes_left() noexcept;

}  // namespace krv_platform
