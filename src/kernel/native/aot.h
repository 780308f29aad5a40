// Ahead-of-time native code: the kernel hash, the process-wide registry of loaded tables, the C file
// that carries many kernels, and its loader.
//
// A kernel finds ahead-of-time code by its kernel hash, an FNV-1a hash over the tag "krvk-jit-1", the
// prelude and the kernel's translated function (without its comment): kernels with the same bytecode
// share a hash whatever their names, and a table built once serves every process whose kernels compile
// to that bytecode. 0 never names a kernel.
//
// The registry only grows. Loading a table touches no slot: it bumps the registry's generation, and each
// kernel looks again at its next request, when the generation it saw last is older.
//
// Tables are loaded with the platform loader, which returns the image it already holds for a path: a
// library rebuilt at the same path is not read again by this process.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/compiler/program.h"
#include "kernel/native/jit_slot.h"

// One row of a generated file's table; the file declares the same layout in C.
struct krvk_aot_entry {
  uint64_t hash;
  krvk_native_fn fn;
};
static_assert(sizeof(krvk_aot_entry) == 16 && offsetof(krvk_aot_entry, fn) == 8);

struct krvk_aot_registry {
  std::mutex mutex;  // guards map
  std::map<uint64_t, krvk_native_fn> map;  // functions of loaded tables by kernel hash
  std::atomic<uint32_t> generation{1};  // incremented after each entry added; slots start having seen 0

  // The process's registry, made at first use.
  static krvk_aot_registry& instance();
};

// The kernel hash of a program, never 0. Throws what the translation throws.
uint64_t krvk_kernel_hash(const krvk_program& program);

// Publishes a registered function in the slot (over none, compiling or failed) when the registry has
// grown since the slot last looked and holds the kernel's hash.
void krvk_aot_lookup(const krvk_program& program, krvk_jit_slot& slot);

// The C file of the programs, in order, one function per distinct hash. Throws what the translation throws.
std::string krvk_aot_source(const std::vector<const krvk_program*>& programs);

// Loads a library built from such a file with -DKRVK_AOT_SHARED and registers its table: the number of
// entries, or -1 with the reason in `error`. The path must be a whole one (not empty, no zero byte). The
// library is opened first in a child process (platform/library.h), so that a damaged file crashes the
// child, not this process; then here. Its krvk_aot_table must be a function of its own, and the table
// it returns must lie in the library's memory with every entry pointing into its code: the table is
// checked whole before any entry is registered. What no check rules out (damaged machine code) is said
// in the user guide.
int krvk_aot_load(const std::string& path, std::string& error);
