#include "platform/library.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/elf_check.h"

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

// Why the file at `path` is no library to map: not a regular file (a FIFO would hold the loader for
// ever), or its ELF headers do not hold together; "" when they do (or it is no ELF file at all: the
// loader says what it is).
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
    why = elf_refusal(fd, static_cast<uint64_t>(info.st_size));
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

// Loads one at a time, and the libraries refused after loading (kept mapped) with their reasons.
struct loaded_state {
  std::mutex mutex;
  std::map<void*, std::string> refused;  // guarded by mutex
};

loaded_state& loaded() {
  static loaded_state state;
  return state;
}

}  // namespace

std::string library_path_refusal(const std::string& path) {
  if (path.empty()) return "the path is empty";
  const size_t zero = path.find('\0');
  if (zero != std::string::npos) return "the path holds a zero byte at byte " + std::to_string(zero);
  return "";
}

void* open_library(const std::string& path, std::string& error) {
  error = library_path_refusal(path);
  if (error.empty()) error = unmappable(path);
  if (!error.empty()) return nullptr;
  loaded_state& state = loaded();
  const std::lock_guard<std::mutex> one_load(state.mutex);
  const fp_controls before = fp_controls::now();
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    error = last_loader_error();
    return nullptr;
  }
  if (const auto known = state.refused.find(library); known != state.refused.end()) {
    error = known->second;
    return nullptr;
  }
  const fp_controls after = fp_controls::now();
  if (after == before) return library;
  before.restore();
  error = "loading it changed the floating-point control state of the process (MXCSR " + hex(before.sse) + " to " +
          hex(after.sse) + ", x87 control " + hex(before.x87) + " to " + hex(after.x87) +
          "), as a library built with -ffast-math or -funsafe-math-optimizations does; the state was put back and "
          "the library is not used";
  state.refused.emplace(library, error);
  return nullptr;
}

std::string probe_library(const std::string& path, std::chrono::milliseconds limit, const std::atomic<uint8_t>* abandon,
                          void (*first_use)(void* library)) {
  std::string why = library_path_refusal(path);
  if (why.empty()) why = unmappable(path);
  if (!why.empty()) return why;
  // Not while a load of this process is under way: the child's copy of the loader's lists would be
  // half-changed (glibc resets the loader's lock in the child, not the lists).
  std::unique_lock<std::mutex> no_load(loaded().mutex);
  const pid_t child = fork();
  if (child != 0) no_load.unlock();
  if (child < 0) return "";  // no child to open it in: the checks above must do
  if (child == 0) {
    // Only the loader runs here, constructors and destructors included (a damaged destructor would
    // otherwise crash the process at its end); a refusal it reports is reported again by the parent's load.
    // A crash ends the child with its signal: no handler of the parent's (a crash reporter, a sanitizer)
    // runs, and nothing the loader prints reaches the parent's output.
    for (const int crash : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS}) signal(crash, SIG_DFL);
    if (const int quiet = open("/dev/null", O_WRONLY); quiet >= 0) {
      dup2(quiet, STDOUT_FILENO);
      dup2(quiet, STDERR_FILENO);
    }
    if (void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      if (first_use != nullptr) first_use(library);
      dlclose(library);
    }
    _exit(0);
  }
  const auto give_up = std::chrono::steady_clock::now() + limit;
  int status = 0;
  pid_t ended = 0;
  while ((ended = waitpid(child, &status, WNOHANG)) == 0) {
    const bool abandoned = abandon != nullptr && abandon->load(std::memory_order_acquire) != 0;
    if (abandoned || std::chrono::steady_clock::now() >= give_up) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return std::string("opening it in a child process ") + (abandoned ? "was abandoned" : "ran past its time limit");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (ended != child || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) return "";  // reaped elsewhere: no verdict
  if (WIFSIGNALED(status))
    return "opening it in a child process crashed the child (" + std::string(strsignal(WTERMSIG(status))) + ")";
  return "opening it in a child process ended the child with status " + std::to_string(WEXITSTATUS(status)) +
         " (the loader's own check failed)";
}

void* library_symbol(void* library, const char* name, std::string& error) {
  dlerror();  // a null symbol is only an error when dlerror says so afterwards
  void* address = dlsym(library, name);
  if (address == nullptr) error = last_loader_error();
  return address;
}

std::vector<library_segment> library_segments(void* library) {
  struct link_map* map = nullptr;
  if (dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return {};
  struct search {
    const struct link_map* map;
    std::vector<library_segment> found;
  } wanted{map, {}};
  dl_iterate_phdr(
      [](struct dl_phdr_info* info, size_t, void* data) {
        auto& want = *static_cast<search*>(data);
        if (info->dlpi_addr != want.map->l_addr || std::strcmp(info->dlpi_name, want.map->l_name) != 0) return 0;
        for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& program = info->dlpi_phdr[i];
          if (program.p_type != PT_LOAD) continue;
          const uintptr_t begin = info->dlpi_addr + program.p_vaddr;
          want.found.push_back({begin, begin + program.p_memsz, (program.p_flags & PF_X) != 0});
        }
        return 1;
      },
      &wanted);
  return wanted.found;
}

bool inside_segments(const std::vector<library_segment>& segments, const void* address, size_t bytes, bool executable) {
  const auto begin = reinterpret_cast<uintptr_t>(address);
  for (const library_segment& segment : segments) {
    if (executable && !segment.executable) continue;
    if (begin >= segment.begin && begin <= segment.end && bytes <= segment.end - begin) return true;
  }
  return false;
}

bool is_library_function(const std::vector<library_segment>& segments, const void* address) {
  if (!inside_segments(segments, address, 1, true)) return false;
  Dl_info info{};
  void* entry = nullptr;  // the symbol's ELF record
  if (dladdr1(address, &info, &entry, RTLD_DL_SYMENT) == 0 || entry == nullptr) return false;
  return info.dli_saddr == address && ELF64_ST_TYPE(static_cast<const ElfW(Sym)*>(entry)->st_info) == STT_FUNC;
}

}  // namespace krv_platform
