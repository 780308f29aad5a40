// Test-side building of translated kernels: many C functions in one source file, one compiler call.
//
// `krvk_c_batch` collects translated kernels (each under a distinct name) and free C text behind one
// copy of the prelude, writes the file into a fresh temporary directory, runs the system gcc (or another
// gcc-style compiler) with the JIT's gcc-style flags (`-lm` after the source) through the module's
// shell-less process runner, and opens the library with dlopen. Compiling once per batch keeps the many
// small kernels of a test affordable. The directory is removed and the library closed when the batch is
// destroyed.
#pragma once
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/native/c_prelude.h"
#include "kernel/native/c_translator.h"
#include "kernel/native/jit_slot.h"
#include "platform/process.h"


class krvk_c_batch {
 public:
  // The flags the JIT gives a gcc-style compiler.
  static std::vector<std::string> jit_flags() {
    return {"-O2", "-shared", "-fPIC", "-fno-strict-aliasing", "-ffp-contract=off", "-fno-math-errno", "-w"};
  }

  krvk_c_batch() : source_(krvk_c_prelude) {}
  krvk_c_batch(const krvk_c_batch&) = delete;
  krvk_c_batch& operator=(const krvk_c_batch&) = delete;
  ~krvk_c_batch() {
    if (library_ != nullptr) dlclose(library_);
    if (!directory_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(directory_, ignored);
    }
  }

  // Adds the kernel's function under a fresh name and returns the name.
  std::string add_kernel(const krvk_program& program) {
    const std::string name = "krvk_test_kernel_" + std::to_string(kernel_count_++);
    krvk_c_translator translator(program);
    source_ += "\n" + krvk_c_translate_kernel(translator, "K_EXPORT int " + name);
    return name;
  }
  void add_text(const std::string& text) { source_ += text; }
  const std::string& source() const { return source_; }

  // Compiles and loads the batch with `compiler` (a gcc-style one); false with the compiler's output in
  // `error` on failure. With `link_apart` the flags only compile (-c) and the object is linked with
  // -shared alone, as a build in two steps does: nothing a flag would link in (crtfastmath.o) comes along.
  bool build(std::string& error, const std::vector<std::string>& flags = jit_flags(), const std::string& compiler = "gcc",
             bool link_apart = false) {
    std::error_code ec;
    std::string pattern = (std::filesystem::temp_directory_path(ec) / "krvk_c_batch_XXXXXX").string();
    if (ec || mkdtemp(pattern.data()) == nullptr) {
      error = "cannot make a temporary directory";
      return false;
    }
    directory_ = pattern;
    const std::string c_path = directory_ + "/batch.c";
    const std::string library_path = directory_ + "/batch.so";
    std::ofstream(c_path, std::ios::binary) << source_;
    const std::string object_path = directory_ + "/batch.o";
    std::vector<std::string> args = {compiler};
    args.insert(args.end(), flags.begin(), flags.end());
    if (link_apart) {
      args.insert(args.end(), {"-c", "-o", object_path, c_path});
      if (!run(args, error)) return false;
      args = {compiler, "-shared", "-o", library_path, object_path, "-lm"};
    } else {
      args.insert(args.end(), {"-o", library_path, c_path, "-lm"});
    }
    if (!run(args, error)) return false;
    library_ = dlopen(library_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
      error = dlerror();
      return false;
    }
    return true;
  }

  void* symbol(const std::string& name) const { return library_ == nullptr ? nullptr : dlsym(library_, name.c_str()); }
  krvk_native_fn kernel(const std::string& name) const { return reinterpret_cast<krvk_native_fn>(symbol(name)); }

 private:
  // Runs a compiler through the module's own runner (no shell); a batch of hundreds of kernels on a
  // loaded machine gets minutes.
  static bool run(const std::vector<std::string>& args, std::string& error) {
    std::string output;
    const int status = krv_platform::run_process(args, &output, std::chrono::minutes(10));
    if (status != 0) error = args[0] + " exited with " + std::to_string(status) + ":\n" + output;
    return status == 0;
  }

  std::string source_;
  std::string directory_;
  void* library_ = nullptr;
  uint32_t kernel_count_ = 0;
};
