// What a shared library's own ELF headers say, checked before the dynamic loader trusts them.
//
// The loader maps a library as its program headers say and then follows the dynamic section and the
// tables it points to without bounds: a file cut short is mapped past its end (the first touch of a
// missing page is SIGBUS), and one damaged byte in a program header, a dynamic entry, a hash table, a
// version record or a relocation sends it to an address outside the mapping (SIGSEGV), divides by zero
// (SIGFPE) or trips one of its assertions (exit 127). The check reads the file (never maps it) and
// refuses, with a reason a user can act on:
// - a file for another machine or byte order (named: "aarch64 (ELF machine 183)"), a 32-bit file, a
//   file that is no shared object;
// - program headers, the section header table or a segment's file part past the file's end ("the file
//   is cut short: ...");
// - a loadable segment whose file part exceeds its memory, whose alignment is no power of two or does
//   not agree with its offset, or that is out of address order;
// - a dynamic section outside a loadable segment's file part or without its closing entry; a dynamic
//   entry whose table (strings, symbols, hash, relocations, versions, constructor arrays) lies outside
//   the loaded memory, or whose name lies outside the string table; an entry size other than x86-64's;
// - a hash table with no buckets or whose chains run outside the file; a symbol or version record whose
//   name lies outside the string table; a relocation whose target lies outside the loaded memory, whose
//   symbol is past the symbol table, or that sets a constructor to an address outside the executable
//   segments; an initialiser outside them.
// Files above `elf_checked_bytes` get only the extent checks (a kernel library is a few KiB).
//
// No check of headers can rule out damaged machine code, nor data that the library's own code reads:
// such a library still loads, and crashes or computes wrongly when its code runs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace krv_platform {

// The largest file whose dynamic section and tables are checked (64 MiB).
inline constexpr uint64_t elf_checked_bytes = uint64_t{64} << 20;

// Why the open file `fd` of `file_bytes` bytes is no library the loader may map; "" when its headers
// hold together, and for a file that is no ELF file at all (the loader says what it is).
std::string elf_refusal(int fd, uint64_t file_bytes);

}  // namespace krv_platform
