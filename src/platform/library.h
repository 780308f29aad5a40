// Loading of native libraries (built kernels, ahead-of-time tables) and lookup of their symbols.
//
// Libraries are opened with every symbol resolved at once and kept private to themselves, and are
// never closed: function pointers taken from them stay valid until the process ends. Opening a path
// that is already open returns the image already held, even when the file was replaced since.
//
// Before the loader sees a file it is checked against its own ELF headers: a library cut short (a
// compiler that exited 0 after a full disk, a crash while it was written) would be mapped past its end,
// and the first touch of a missing page kills the process with SIGBUS. A file shorter than its program
// headers' file extents or its section header table is refused, and so is a path that is no regular
// file (a FIFO would hold the loading thread for ever). A library whose loading changes the
// floating-point control state of the loading thread (crtfastmath.o, linked by -ffast-math and
// -funsafe-math-optimizations, sets flush-to-zero) is refused too, the state put back and the library
// closed unused: it would change the results of every later float operation of that thread.
#pragma once
#include <string>

namespace krv_platform {

// Opens the library at `path`; null with the reason in `error` when it cannot or is refused.
void* open_library(const std::string& path, std::string& error);

// The address of an exported symbol; null with the loader's reason in `error` when it is missing.
void* library_symbol(void* library, const char* name, std::string& error);

}  // namespace krv_platform
