#include "platform/library.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace krv_platform {

namespace {

// dlerror's text of the last failure; the loader keeps it per thread.
std::string last_loader_error() {
  const char* text = dlerror();
  return text == nullptr ? std::string("unknown loader error") : std::string(text);
}

// Reads exactly `size` bytes at `offset`; false when the file ends first.
bool read_at(int fd, void* into, size_t size, uint64_t offset) {
  auto* bytes = static_cast<unsigned char*>(into);
  while (size > 0) {
    const ssize_t got = pread(fd, bytes, size, static_cast<off_t>(offset));
    if (got <= 0) return false;
    bytes += got, size -= static_cast<size_t>(got), offset += static_cast<uint64_t>(got);
  }
  return true;
}

// The end of `count` records of `size` bytes from `offset`, saturating instead of wrapping.
uint64_t extent_end(uint64_t offset, uint64_t count, uint64_t size) {
  const uint64_t length = size != 0 && count > UINT64_MAX / size ? UINT64_MAX : count * size;
  return offset > UINT64_MAX - length ? UINT64_MAX : offset + length;
}

// How far into the file a 64-bit ELF file's headers say its bytes reach (the program headers' file
// extents, the header tables themselves); 0 for a file that is no 64-bit ELF (the loader judges it).
uint64_t elf_needed_bytes(int fd, uint64_t file_bytes) {
  Elf64_Ehdr header{};
  if (file_bytes < sizeof header || !read_at(fd, &header, sizeof header, 0)) return 0;
  if (header.e_ident[EI_MAG0] != ELFMAG0 || header.e_ident[EI_MAG1] != ELFMAG1 || header.e_ident[EI_MAG2] != ELFMAG2 ||
      header.e_ident[EI_MAG3] != ELFMAG3 || header.e_ident[EI_CLASS] != ELFCLASS64) {
    return 0;
  }
  uint64_t needed = extent_end(header.e_phoff, header.e_phnum, header.e_phentsize);
  if (header.e_shoff != 0) {
    const uint64_t sections = extent_end(header.e_shoff, header.e_shnum, header.e_shentsize);
    needed = sections > needed ? sections : needed;
  }
  if (needed > file_bytes || header.e_phentsize != sizeof(Elf64_Phdr)) return needed;
  for (uint16_t i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr program{};
    if (!read_at(fd, &program, sizeof program, header.e_phoff + uint64_t{i} * sizeof program)) return UINT64_MAX;
    const uint64_t end = extent_end(program.p_offset, 1, program.p_filesz);
    needed = end > needed ? end : needed;
  }
  return needed;
}

// Why the file at `path` is no library to map: not a regular file (a FIFO would hold the loader for
// ever), or cut short; "" when it is whole (or no ELF file at all: the loader says what it is).
std::string unmappable(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "";  // the loader says why it cannot open it
  struct stat info {};
  std::string why;
  if (fstat(fd, &info) != 0) {
    // the loader says what it finds
  } else if (!S_ISREG(info.st_mode)) {
    why = "it is not a regular file";
  } else {
    const uint64_t file_bytes = static_cast<uint64_t>(info.st_size);
    const uint64_t needed = elf_needed_bytes(fd, file_bytes);
    if (needed > file_bytes)
      why = "the file is cut short: it holds " + std::to_string(file_bytes) + " bytes, its ELF headers need " +
            (needed == UINT64_MAX ? std::string("more") : std::to_string(needed));
  }
  close(fd);
  return why;
}

// The floating-point control state of the calling thread, without the sticky exception flags.
struct fp_controls {
  unsigned sse = 0;  // MXCSR: rounding, exception masks, flush-to-zero, denormals-are-zero
  unsigned short x87 = 0;  // the x87 control word: precision and rounding

  static fp_controls now() {
    fp_controls state;
#if defined(__x86_64__)
    state.sse = _mm_getcsr() & ~0x3Fu;
    __asm__ volatile("fnstcw %0" : "=m"(state.x87));
#endif
    return state;
  }
  void restore() const {
#if defined(__x86_64__)
    _mm_setcsr((_mm_getcsr() & 0x3Fu) | sse);
    __asm__ volatile("fldcw %0" : : "m"(x87));
#endif
  }
  bool operator==(const fp_controls&) const = default;
};

std::string hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

}  // namespace

void* open_library(const std::string& path, std::string& error) {
  error = unmappable(path);
  if (!error.empty()) return nullptr;
  const fp_controls before = fp_controls::now();
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    error = last_loader_error();
    return nullptr;
  }
  const fp_controls after = fp_controls::now();
  if (after == before) return library;
  before.restore();
  dlclose(library);
  error = "loading it changed the floating-point control state of the process (MXCSR " + hex(before.sse) + " to " +
          hex(after.sse) + ", x87 control " + hex(before.x87) + " to " + hex(after.x87) +
          "), as a library built with -ffast-math or -funsafe-math-optimizations does; it was unloaded";
  return nullptr;
}

void* library_symbol(void* library, const char* name, std::string& error) {
  dlerror();  // a null symbol is only an error when dlerror says so afterwards
  void* address = dlsym(library, name);
  if (address == nullptr) error = last_loader_error();
  return address;
}

}  // namespace krv_platform
