// Test-side setting for JIT builds: a scratch directory, fake compilers written as shell scripts, and
// environment variables set for one test and put back afterwards. The JIT discovers its compiler and
// cache directory once per process; `jit_environment` makes it discover again (krvk_jit_forget).
#pragma once
#include <sys/stat.h>

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

class scratch_dir {
 public:
  scratch_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "krvk_jit_test_XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline std::string read_text(const std::filesystem::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

inline void write_text(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline void write_script(const std::filesystem::path& path, const std::string& body) {
  write_text(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
}

inline std::vector<std::string> names_in(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

using env_values = std::map<std::string, std::optional<std::string>>;  // nullopt: unset

class jit_environment {
 public:
  explicit jit_environment(const env_values& values) {
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

 private:
  static void set(const std::string& name, const std::optional<std::string>& value) {
    value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  }
  env_values saved_;
};

// A fake compiler's start: logs "<its name> <arguments>" to log_path, answers a probe (--version or /?)
// with `probe`, and sets $out (after -o or /Fe), $obj (after /Fo) and $src (the .c argument).
inline std::string fake_compiler(const std::string& log_path, const std::string& probe = "exit 0") {
  return "echo \"$(basename \"$0\") $*\" >> '" + log_path + "'\n" +
         "case \" $* \" in *' --version '*|*' /? '*) " + probe + ";; esac\n"
         "out=; obj=; src=; prev=\n"
         "for a in \"$@\"; do\n"
         "  case \"$a\" in /Fe*) out=\"${a#/Fe}\";; /Fo*) obj=\"${a#/Fo}\";; *.c) src=\"$a\";; esac\n"
         "  [ \"$prev\" = -o ] && out=\"$a\"; prev=\"$a\"\n"
         "done\n";
}
