// Test-side building of translated kernels: many C functions in one source file, one compiler call.
//
// `krvk_c_batch` collects translated kernels (each under a distinct name) and free C text behind one
// copy of the prelude, writes the file into a fresh temporary directory, runs the system gcc with the
// JIT's gcc-style flags (`-lm` after the source) through posix_spawn of an argument vector, and opens
// the library with dlopen. Compiling once per batch keeps the many small kernels of a test affordable.
// The directory is removed and the library closed when the batch is destroyed.
#pragma once
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/native/c_prelude.h"
#include "kernel/native/c_translator.h"
#include "kernel/native/jit_slot.h"

extern char** environ;

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

  // Compiles and loads the batch; false with the compiler's output in `error` on failure.
  bool build(std::string& error, const std::vector<std::string>& flags = jit_flags()) {
    std::error_code ec;
    std::string pattern = (std::filesystem::temp_directory_path(ec) / "krvk_c_batch_XXXXXX").string();
    if (ec || mkdtemp(pattern.data()) == nullptr) {
      error = "cannot make a temporary directory";
      return false;
    }
    directory_ = pattern;
    const std::string c_path = directory_ + "/batch.c";
    const std::string library_path = directory_ + "/batch.so";
    const std::string log_path = directory_ + "/gcc.log";
    std::ofstream(c_path, std::ios::binary) << source_;
    std::vector<std::string> args = {"gcc"};
    args.insert(args.end(), flags.begin(), flags.end());
    args.insert(args.end(), {"-o", library_path, c_path, "-lm"});
    const int status = run(args, log_path);
    if (status != 0) {
      error = "gcc exited with " + std::to_string(status) + ":\n" + read_file(log_path);
      return false;
    }
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
  // Runs the argument vector with both output streams in log_path; the exit status, or -1.
  static int run(const std::vector<std::string>& args, const std::string& log_path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

  static std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string source_;
  std::string directory_;
  void* library_ = nullptr;
  uint32_t kernel_count_ = 0;
};
