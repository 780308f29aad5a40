// The process-wide cache of compiled units behind kernel_compile.
//
// The key is the full text of every source that goes into a compilation (the imports' recorded sources
// in argument order, then the new source), each as "<name length>:<name><text length>:<text>", so equal
// keys compile to equal units and a hit costs one hash and one comparison. The cache holds at most
// krv_kernel_unit_cache_limit units and is emptied whole when a store finds it full; units handed out
// stay alive through their own references. Its mutex is held only to look up and to store, never while
// compiling: two threads missing the same key both compile and the later store wins. Failed
// compilations are never stored.
#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/compiler/diagnostics.h"
#include "kernel/compiler/program.h"

inline constexpr size_t krv_kernel_unit_cache_limit = 256;

extern std::mutex krv_kernel_unit_cache_mutex;

// The cached unit for this compilation, or a new one compiled and stored; null with `error` filled when
// the source does not compile.
std::shared_ptr<krvk_compiled_unit> krv_kernel_compile_unit(
    const std::string& text, const std::string& name, kerror& error,
    const std::vector<std::shared_ptr<krvk_compiled_unit>>& imports);

// Units the cache holds now (tests and the flush).
size_t krv_kernel_unit_cache_size();
