// The JIT cache with fake compilers (shell scripts that log their calls and copy a prepared library):
// discovery, command lines, failures with their exact messages and no files left behind, the time
// bound, a cache path that a shell would expand, and the private-directory rules of the cache.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "kernel/native/jit_cache.h"
#include "kernel/support/jit_scratch.h"
#include "platform/process.h"

namespace {

const std::string kGccFlags = "-O2 -shared -fPIC -fno-strict-aliasing -ffp-contract=off -fno-math-errno -w";
const std::string kNoCompiler = "no C compiler found (set KRV_KERNEL_CC)";
constexpr const char* kCopyLibrary = "cp '" KRVK_TEST_ENTRY_LIB "' \"$out\"\n";

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct compiler_case {
  const char* name;
  const char* script;  // file name of the configured fake compiler
  const char* probe;  // its answer to a probe
  std::string behaviour;  // the rest of its script
  std::optional<std::string> cc;  // KRV_KERNEL_CC, {CC} standing for the script's path; nullopt: unset
  std::vector<std::string> calls;  // logged calls, {TMP} standing for the build's temporary stem
  std::string error;  // exact, {CC} and {TMP} replaced; empty when the build succeeds
  std::string cache_name = "cache";
};

// A scratch tree with fake candidates on PATH (cl and clang unusable, gcc and cc working) and the
// configured fake in tools/.
struct fake_setup {
  scratch_dir root;
  std::string log = root / "calls.log";

  fake_setup() {
    std::filesystem::create_directories(root.path() / "bin");
    std::filesystem::create_directories(root.path() / "tools");
    for (const char* unusable : {"cl", "clang"}) write_script(root.path() / "bin" / unusable, prelude() + "exit 1\n");
    for (const char* usable : {"gcc", "cc"}) write_script(root.path() / "bin" / usable, prelude() + fake_compiler_probe("exit 0") + kCopyLibrary);
  }
  std::string prelude() const { return fake_compiler_prelude(log); }
  std::map<std::string, std::optional<std::string>> environment(const std::optional<std::string>& cc,
                                                                 const std::string& cache) const {
    return {{"KRV_KERNEL_CC", cc}, {"KRV_KERNEL_CACHE", cache}, {"PATH", root / "bin" + ":/usr/bin:/bin"}};
  }
};

TEST(JitCache, FakeCompilers) {
  const std::string gcc_call = kGccFlags + " -o {TMP}.so {TMP}.c -lm";
  const std::string failed = "C compiler failed ({CC} " + kGccFlags + " -o \"{TMP}.so\" \"{TMP}.c\" -lm):\n";
  const std::string loud = "yes 'error: the kernel does not compile' | head -c 100000; exit 1\n";
  const std::vector<compiler_case> cases = {
      {"full path", "fakecc", "exit 0", kCopyLibrary, "{CC}", {"fakecc --version", "fakecc " + gcc_call}, ""},
      {"own argument", "fakecc", "exit 0", kCopyLibrary, "{CC} -m64",
       {"fakecc -m64 --version", "fakecc -m64 " + gcc_call}, ""},
      {"unusable", "fakecc", "exit 1", kCopyLibrary, "{CC}", {"fakecc --version"}, kNoCompiler},
      {"set but empty", "fakecc", "exit 0", kCopyLibrary, "", {}, kNoCompiler},
      {"candidates", "fakecc", "exit 0", "", std::nullopt,
       {"cl /nologo /?", "clang --version", "gcc --version", "gcc " + gcc_call}, ""},
      {"cl style", "CL.EXE", "exit 0",
       std::string(kCopyLibrary) + "touch \"$obj\" \"${obj%.obj}.lib\" \"${obj%.obj}.exp\"\n", "{CC}",
       {"CL.EXE /nologo /?", "CL.EXE /nologo /O2 /fp:precise /LD /w {TMP}.c /Fe{TMP}.so /Fo{TMP}.obj"}, ""},
      {"exit 1", "fakecc", "exit 0", "echo boom; touch \"$out\"; exit 1\n", "{CC}",
       {"fakecc --version", "fakecc " + gcc_call}, failed + "boom\n"},
      {"writes nothing", "fakecc", "exit 0", "exit 0\n", "{CC}", {"fakecc --version", "fakecc " + gcc_call}, failed},
      {"loud", "fakecc", "exit 0", loud, "{CC}", {"fakecc --version", "fakecc " + gcc_call}, failed + "{LOUD}"},
      {"hangs", "fakecc", "exit 0", "touch \"$out\"; sleep 30\n", "{CC}", {"fakecc --version", "fakecc " + gcc_call},
       failed},
      {"shell words in the cache path", "fakecc", "exit 0", kCopyLibrary, "{CC}",
       {"fakecc --version", "fakecc " + gcc_call}, "", "a b$HOME`touch x`\"q'\\"},
  };
  // What the loud compiler's message keeps: its lines while the output is under 16,384 bytes.
  std::string loud_kept;
  while (loud_kept.size() < 16384) loud_kept += "error: the kernel does not compile\n";
  krvk_jit_run_limit_ms = 1500;
  for (const compiler_case& c : cases) {
    SCOPED_TRACE(c.name);
    fake_setup setup;
    const std::string script = (setup.root.path() / "tools" / c.script).string();
    write_script(script, setup.prelude() + fake_compiler_probe(c.probe) + c.behaviour);
    const std::filesystem::path cache = setup.root.path() / c.cache_name;
    jit_environment env(setup.environment(
        c.cc ? std::optional<std::string>(replace_all(*c.cc, "{CC}", script)) : std::nullopt, cache.string()));
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    const krvk_native_fn built = krvk_jit_compile(std::string("/* kernel ") + c.name + " */\n", error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // The temporary stem, as the build named it: the cache path, "k_" and the key, counter and pid.
    const std::string tmp = (std::filesystem::absolute(cache) / "k_").string();
    const std::string log = read_text(setup.log);
    const std::regex stem(std::regex_replace(tmp, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                          "[0-9a-f]{16}\\.[0-9]+\\." + std::to_string(getpid()));
    std::smatch found;
    const std::string tmp_stem = std::regex_search(log, found, stem) ? found.str() : "";
    std::vector<std::string> calls;
    for (const std::string& call : c.calls) calls.push_back(replace_all(call, "{TMP}", tmp_stem));
    EXPECT_EQ(lines_of(log), calls);
    if (c.error.empty()) {
      ASSERT_NE(built, nullptr) << error;
      kreg regs[1] = {};
      EXPECT_EQ(built(regs, nullptr, 0, 0, nullptr, nullptr), 0);
      EXPECT_EQ(regs[0].u, 0x6b726b76u);  // what the prepared library's entry writes
      const std::vector<std::string> files = names_in(cache);
      ASSERT_EQ(files.size(), 1u);
      EXPECT_EQ(cache / files[0], std::filesystem::path(tmp_stem.substr(0, tmp.size() + 16) + ".so"));
      EXPECT_FALSE(std::filesystem::exists(setup.root.path() / "x"));  // nothing ran the backticks
    } else {
      EXPECT_EQ(built, nullptr);
      EXPECT_EQ(error, replace_all(replace_all(replace_all(c.error, "{CC}", script), "{TMP}", tmp_stem), "{LOUD}",
                                   loud_kept));
      EXPECT_EQ(names_in(cache), std::vector<std::string>{});  // no file of the failed build is left
    }
  }
  krvk_jit_run_limit_ms = 60000;
}

// A compiler that hangs on one kernel holds up neither the builds of others nor the JIT's lock.
TEST(JitCache, HangingBuildDoesNotHoldOthers) {
  fake_setup setup;
  const std::string script = (setup.root.path() / "tools" / "fakecc").string();
  write_script(script, setup.prelude() + fake_compiler_probe("exit 0") + "grep -q HANG \"$src\" && sleep 30\n" +
                           kCopyLibrary);
  jit_environment env(setup.environment(script, setup.root / "cache"));
  krvk_jit_run_limit_ms = 2000;
  krvk_jit_discover();  // probe first, so both builds start at once
  std::string hang_error;
  auto hanging = std::async(std::launch::async, [&] { return krvk_jit_compile("/* HANG */", hang_error); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(krvk_jit_compile("/* quick */", error), nullptr) << error;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_EQ(hanging.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  EXPECT_EQ(hanging.get(), nullptr);
  EXPECT_EQ(hang_error.rfind("C compiler failed (", 0), 0u);
  krvk_jit_run_limit_ms = 60000;
}

struct cache_case {
  const char* name;
  // Prepares the scratch tree and returns the environment; {S} stands for the scratch path.
  std::function<std::map<std::string, std::optional<std::string>>(const std::filesystem::path&)> prepare;
  std::string expected;  // {S} for the scratch path, {P} for the process id; "" for no directory
};

void give_away(const std::filesystem::path& path) {
  if (geteuid() == 0) {
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  }
}

TEST(JitCache, CacheDirectoryRules) {
  using env_map = std::map<std::string, std::optional<std::string>>;
  const std::string fallback = "{S}/tmp/korvalang-kernels-{P}";
  auto with_cache = [](const std::filesystem::path& s, const std::string& cache) {
    return env_map{{"KRV_KERNEL_CACHE", cache}, {"TMPDIR", (s / "tmp").string()}, {"XDG_CACHE_HOME", (s / "xdg").string()}};
  };
  const std::vector<cache_case> cases = {
      {"created with parents", [&](auto s) { return with_cache(s, (s / "a/b/c").string()); }, "{S}/a/b/c"},
      {"uncreatable", [&](auto s) { write_text(s / "file", ""); return with_cache(s, (s / "file/sub").string()); },
       fallback},
      {"group-writable",
       [&](auto s) {
         std::filesystem::create_directory(s / "shared");
         chmod((s / "shared").c_str(), 0775);
         return with_cache(s, (s / "shared").string());
       },
       fallback},
      {"symbolic link",
       [&](auto s) {
         std::filesystem::create_directory(s / "real");
         std::filesystem::create_directory_symlink(s / "real", s / "link");
         return with_cache(s, (s / "link").string());
       },
       fallback},
      {"another user's",
       [&](auto s) {
         std::filesystem::create_directory(s / "theirs");
         give_away(s / "theirs");
         return with_cache(s, geteuid() == 0 ? (s / "theirs").string() : "/usr");
       },
       fallback},
      {"set but empty", [&](auto s) { return with_cache(s, ""); }, fallback},
      {"planted fallback",
       [&](auto s) {
         std::filesystem::create_directories(s / "tmp" / ("korvalang-kernels-" + std::to_string(getpid())));
         chmod((s / "tmp" / ("korvalang-kernels-" + std::to_string(getpid()))).c_str(), 0777);
         return with_cache(s, "");
       },
       ""},
      {"xdg", [&](auto s) { auto e = with_cache(s, ""); e["KRV_KERNEL_CACHE"] = std::nullopt; return e; },
       "{S}/xdg/korvalang/kernels"},
      {"relative xdg, home",
       [&](auto s) {
         return env_map{{"KRV_KERNEL_CACHE", std::nullopt}, {"XDG_CACHE_HOME", "relative"}, {"HOME", (s / "home").string()}};
       },
       "{S}/home/.cache/korvalang/kernels"},
  };
  for (const cache_case& c : cases) {
    SCOPED_TRACE(c.name);
    scratch_dir scratch;
    jit_environment env(c.prepare(scratch.path()));
    const std::string expected =
        replace_all(replace_all(c.expected, "{S}", scratch.path().string()), "{P}", std::to_string(getpid()));
    const std::filesystem::path dir = krvk_cache_dir();
    EXPECT_EQ(dir.string(), expected);
    if (!dir.empty()) {
      struct stat info {};
      ASSERT_EQ(lstat(dir.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0777, 0700u);
    }
  }
}

// Without a private directory a build fails with its message, even with a working compiler.
TEST(JitCache, NoDirectoryFailsTheBuild) {
  fake_setup setup;
  const std::filesystem::path planted = setup.root.path() / "tmp" / ("korvalang-kernels-" + std::to_string(getpid()));
  std::filesystem::create_directories(planted);
  give_away(planted);
  chmod(planted.c_str(), 0777);
  write_text(setup.root.path() / "file", "");
  auto environment = setup.environment("gcc", (setup.root.path() / "file" / "sub").string());
  environment["TMPDIR"] = (setup.root.path() / "tmp").string();
  jit_environment env(environment);
  std::string error;
  EXPECT_EQ(krvk_jit_compile("/* kernel */", error), nullptr);
  EXPECT_EQ(error, "no directory for compiled kernels (set KRV_KERNEL_CACHE)");
  EXPECT_EQ(names_in(planted), std::vector<std::string>{});
}

TEST(JitCache, ClStyleAndLoadMessages) {
  for (const auto& [command, cl] : std::vector<std::pair<std::string, bool>>{
           {"cl", true}, {"C:\\VS\\bin\\CL.EXE", true}, {"/opt/llvm/clang-cl", true}, {"clang-cl.exe", true},
           {"gcc", false}, {"cl /nologo", false}, {"clang", false}, {"/usr/bin/cl-tool", false}}) {
    EXPECT_EQ(krvk_is_cl_style(command), cl) << command;
  }
  EXPECT_EQ(krvk_quote_arg("a b$`\""), "\"a b$`\"\"");
  scratch_dir scratch;
  write_text(scratch.path() / "junk.so", "not a library");
  for (const auto& [path, message] : std::vector<std::pair<std::string, std::string>>{
           {scratch / "junk.so", "cannot load " + scratch / "junk.so"},
           {scratch / "missing.so", "cannot load " + scratch / "missing.so"},
           {KRVK_TEST_NO_ENTRY_LIB, std::string("krvk_jit_entry not found in ") + KRVK_TEST_NO_ENTRY_LIB}}) {
    std::string error;
    EXPECT_EQ(krvk_jit_load(path, error), nullptr);
    EXPECT_EQ(error, message);
  }
}

}  // namespace
