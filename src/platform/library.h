// Loading of native libraries (built kernels, ahead-of-time tables) and lookup of their symbols.
//
// Libraries are opened with every symbol resolved at once and kept private to themselves, and are
// never closed: function pointers taken from them stay valid until the process ends. Opening a path
// that is already open returns the image already held, even when the file was replaced since.
//
// A path is refused when it is empty (the loader would hand out the program itself) or holds a zero
// byte (the loader would open the path cut at it). Before the loader sees a file it is checked against
// its own ELF headers (platform/elf_check.h: a library cut short, for another machine, or whose
// dynamic section or tables point outside it is refused with the reason), and so is a path that is no
// regular file (a FIFO would hold the loading thread for ever).
//
// A library whose loading changes the floating-point control state of the loading thread (crtfastmath.o,
// linked by -ffast-math and -funsafe-math-optimizations, sets flush-to-zero) is refused too and the state
// put back: it would change the results of every later float operation of that thread. It stays mapped,
// unused: its constructors have run and may have started a thread whose code would vanish with it. Its
// handle is remembered, so that opening it again (the loader hands out the same image, and runs no
// constructor twice) is refused again. Loads are one at a time, so that the state seen around a load is
// that load's.
//
// What runs in this process can crash it; a fresh library can be opened first in a child process
// (probe_library), where a crash of the loader ends only the child.
#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace krv_platform {

// Why `path` names no file the loader may be handed: "the path is empty", "the path holds a zero byte
// at byte N"; "" when it may.
std::string library_path_refusal(const std::string& path);

// Opens the library at `path`; null with the reason in `error` when it cannot or is refused.
void* open_library(const std::string& path, std::string& error);

// Opens the library at `path` in a child process (forked, it loads the library as open_library would,
// running the loader and the library's constructors, closes it, running its destructors, and ends at
// once; a library that is already open in this process stays open there), after the checks of
// open_library. "" when the child ended well, or the loader there refused the library (the load in this
// process then says why); else why not ("opening it in a child process crashed the child
// (Segmentation fault)", "... ran past its time limit"). Bounded by `limit` and the abandon flag: a
// crash of the loader on a damaged library ends the child, not this process.
// `first_use`, when given, runs in the child on the loaded library before it is closed: what this process
// will call first (a table function) then crashes or hangs the child first.
std::string probe_library(const std::string& path, std::chrono::milliseconds limit,
                          const std::atomic<uint8_t>* abandon = nullptr, void (*first_use)(void* library) = nullptr);

// The address of an exported symbol; null with the loader's reason in `error` when it is missing.
void* library_symbol(void* library, const char* name, std::string& error);

// One segment of an opened library's image, as mapped.
struct library_segment {
  uintptr_t begin = 0;
  uintptr_t end = 0;  // one past the last byte
  bool executable = false;
};

// The loadable segments of an opened library; none when the loader does not know its handle.
std::vector<library_segment> library_segments(void* library);

// Whether the `bytes` at `address` lie in one of the segments (`executable`: one whose code may run).
bool inside_segments(const std::vector<library_segment>& segments, const void* address, size_t bytes, bool executable);

// Whether `address` is where a function symbol of the library's own dynamic symbol table begins (not a
// data symbol, nor a symbol of another library).
bool is_library_function(const std::vector<library_segment>& segments, const void* address);

}  // namespace krv_platform
