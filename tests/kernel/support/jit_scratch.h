// Test-side setting for JIT builds: a scratch directory, fake compilers written as shell scripts, and
// an environment that a test sets up for one build and puts back afterwards.
//
// The JIT discovers its compiler and cache directory once per process; `jit_environment` makes it
// discover again under the variables it sets (krvk_jit_forget), and forgets again when it ends.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/native/jit_cache.h"

// A fresh directory under the system's temporary directory, removed with everything in it.
class scratch_dir {
 public:
  scratch_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "krvk_jit_test_XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~scratch_dir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void write_text(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A /bin/sh script with the given body, executable.
inline void write_script(const std::filesystem::path& path, const std::string& body) {
  write_text(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
}

// Names in a directory, sorted.
inline std::vector<std::string> names_in(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Sets (a value) or unsets (nullopt) environment variables for its lifetime; the JIT discovers anew on
// entry and on exit.
class jit_environment {
 public:
  explicit jit_environment(const std::map<std::string, std::optional<std::string>>& values) {
    for (const auto& [name, value] : values) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old == nullptr ? std::nullopt : std::optional<std::string>(old);
      set(name, value);
    }
    krvk_jit_forget();
  }
  ~jit_environment() {
    for (const auto& [name, value] : saved_) set(name, value);
    krvk_jit_forget();
  }
  jit_environment(const jit_environment&) = delete;
  jit_environment& operator=(const jit_environment&) = delete;

 private:
  static void set(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

// Shell text that logs the script's name and arguments to log_path and sets $out (after -o or /Fe),
// $obj (after /Fo) and $src (the .c argument).
inline std::string fake_compiler_prelude(const std::string& log_path) {
  return "echo \"$(basename \"$0\") $*\" >> '" + log_path + "'\n"
         "out=; obj=; src=; prev=\n"
         "for a in \"$@\"; do\n"
         "  case \"$a\" in /Fe*) out=\"${a#/Fe}\";; /Fo*) obj=\"${a#/Fo}\";; *.c) src=\"$a\";; esac\n"
         "  [ \"$prev\" = -o ] && out=\"$a\"\n"
         "  prev=\"$a\"\n"
         "done\n";
}

// Shell text that ends a probe (--version or /?) with `answer`.
inline std::string fake_compiler_probe(const std::string& answer) {
  return "case \" $* \" in *' --version '*|*' /? '*) " + answer + ";; esac\n";
}
