// Loading of native libraries (built kernels, ahead-of-time tables) and lookup of their symbols.
//
// Libraries are opened with every symbol resolved at once and kept private to themselves, and are
// never closed: function pointers taken from them stay valid until the process ends. Opening a path
// that is already open returns the image already held, even when the file was replaced since.
#pragma once
#include <string>

namespace krv_platform {

// Opens the library at `path`; null with the loader's reason in `error` when it cannot.
void* open_library(const std::string& path, std::string& error);

// The address of an exported symbol; null with the loader's reason in `error` when it is missing.
void* library_symbol(void* library, const char* name, std::string& error);

}  // namespace krv_platform
