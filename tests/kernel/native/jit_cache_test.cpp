// The JIT cache with fake compilers (shell scripts that log their calls and copy a prepared library):
// discovery, command lines, exact failures with no file left behind, the time and output bounds, a
// compiler setting and a cache path that a shell would expand, the private-directory rules of the
// cache, and damaged libraries in the cache.
#include <unistd.h>

#include <chrono>
#include <future>
#include <regex>

#include <gtest/gtest.h>

#include "kernel/native/jit_hash.h"
#include "kernel/support/jit_scratch.h"
#include "platform/process.h"
#include "runtime/objects/log.h"

namespace {

const std::string kGcc = "-O2 -shared -fPIC -fno-strict-aliasing -ffp-contract=off -fno-math-errno -w";
const std::string kNoCompiler = "no C compiler found (set KRV_KERNEL_CC)";
const std::string kCopy = "cp '" KRVK_TEST_ENTRY_LIB "' \"$out\"\n";

std::string fill(std::string text, const std::map<std::string, std::string>& values) {
  for (const auto& [from, to] : values) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
      text.replace(at, from.size(), to);
    }
  }
  return text;
}

struct compiler_case {
  const char* name;
  std::string script;  // the configured fake compiler, tools/fakecc or tools/CL.EXE
  std::string probe;  // its answer to a probe
  std::string behaviour;  // the rest of its script
  std::optional<std::string> cc;  // KRV_KERNEL_CC, {CC} for the script's path; nullopt: unset
  std::string calls;  // logged calls, {TMP} for the build's temporary stem
  std::string error;  // exact; empty when the build succeeds
  std::string cache = "cache";
};

TEST(JitCache, FakeCompilers) {
  const std::string built = "fakecc --version\nfakecc " + kGcc + " -o {TMP}.so {TMP}.c -lm\n";
  const std::string failed = "C compiler failed ({CC} " + kGcc + " -o \"{TMP}.so\" \"{TMP}.c\" -lm):\n";
  const std::string timed_out = "C compiler failed ({CC} " + kGcc + " -o \"{TMP}.so\" \"{TMP}.c\" -lm): timed out after "
                                "1.5 s; this process compiles no more kernels\n";
  const std::string rejected = "KRV_KERNEL_CC \"{CC}\" rejected: ";
  std::string loud_kept;  // the loud compiler's lines while the output is under 16,384 bytes
  while (loud_kept.size() < 16384) loud_kept += "error: no\n";
  const std::vector<compiler_case> cases = {
      {"full path", "fakecc", "exit 0", kCopy, "{CC}", built, ""},
      {"own argument", "fakecc", "exit 0", kCopy, "{CC} -m64",
       "fakecc -m64 --version\nfakecc -m64 " + kGcc + " -o {TMP}.so {TMP}.c -lm\n", ""},
      {"unusable, no candidate tried", "fakecc", "exit 1", kCopy, "{CC}", "fakecc --version\n",
       rejected + "the probe ({CC} --version) exited with status 1"},
      {"probe hangs", "fakecc", "sleep 30", kCopy, "{CC}", "fakecc --version\n",
       rejected + "the probe ({CC} --version) timed out after 1.5 s"},
      {"quote not closed", "fakecc", "exit 0", kCopy, "\"{CC}", "", "KRV_KERNEL_CC \"\"{CC}\" rejected: a double quote is not closed"},
      {"blank in the program's path, quoted", "fake cc", "exit 0", kCopy, "\"{CC}\" -m64",
       "fake cc -m64 --version\nfake cc -m64 " + kGcc + " -o {TMP}.so {TMP}.c -lm\n", ""},
      {"set but empty", "fakecc", "exit 0", kCopy, "", "", kNoCompiler},
      {"candidates", "fakecc", "exit 0", "", std::nullopt,
       "cl /nologo /?\nclang --version\ngcc --version\ngcc " + kGcc + " -o {TMP}.so {TMP}.c -lm\n", ""},
      {"cl style", "CL.EXE", "exit 0", kCopy + "touch \"$obj\" \"${obj%.obj}.lib\" \"${obj%.obj}.exp\"\n", "{CC}",
       "CL.EXE /nologo /?\nCL.EXE /nologo /O2 /fp:precise /LD /w {TMP}.c /Fe{TMP}.so /Fo{TMP}.obj\n", ""},
      {"exit 1", "fakecc", "exit 0", "echo boom; touch \"$out\"; exit 1\n", "{CC}", built, failed + "boom\n"},
      {"writes nothing", "fakecc", "exit 0", "exit 0\n", "{CC}", built, failed},
      {"loud", "fakecc", "exit 0", "yes 'error: no' | head -c 100000; exit 1\n", "{CC}", built, failed + loud_kept},
      {"hangs", "fakecc", "exit 0", "touch \"$out\"; sleep 30\n", "{CC}", built, timed_out},
      {"shell words in the path", "fakecc", "exit 0", kCopy, "{CC}", built, "", "a b$HOME`touch x`\"q'\\"},
      // Shell syntax in the setting: words for the named program, nothing run (the file x stays absent).
      {"shell syntax in the setting", "fakecc", "exit 0", kCopy, "{CC} ;touch {X} $(touch {X}) `touch {X}` \"-DQ='1'\"",
       "fakecc ;touch {X} $(touch {X}) `touch {X}` -DQ='1' --version\nfakecc ;touch {X} $(touch {X}) `touch {X}` "
       "-DQ='1' " + kGcc + " -o {TMP}.so {TMP}.c -lm\n",
       ""},
      // A server left behind in a session of its own holds the output pipe: the build ends with the compiler.
      {"child holds the pipe", "fakecc", "exit 0",
       kCopy + "setsid sh -c \"touch '$out.up'; exec sleep 10\" &\nwhile [ ! -e \"$out.up\" ]; do sleep 0.01; done\n"
               "rm \"$out.up\"\n",
       "{CC}", built, ""},
      {"megabytes of output", "fakecc", "exit 0", "yes 'error: no' | head -c 8000000; exit 1\n", "{CC}", built,
       failed + loud_kept},
      // Exits 0 with its library cut short: refused before the loader maps it (SIGBUS), and not kept.
      {"library cut short", "fakecc", "exit 0", "head -c 4096 '" KRVK_TEST_ENTRY_LIB "' > \"$out\"\n", "{CC}", built,
       "cannot load {TMP}.so"},
      // Exits 0 with the first program header's type changed (the loader crashed on it): refused before it
      // is sealed in the cache, so no later process loads it either.
      {"program header damaged", "fakecc", "exit 0",
       kCopy + "printf '\\376' | dd of=\"$out\" bs=1 seek=64 conv=notrunc status=none\n", "{CC}", built,
       "cannot load {TMP}.so"},
      // Exits 0 with a library that crashes whoever loads it: the child that opens it first crashes, this
      // process goes on, and the library is not kept.
      {"library crashes the loader", "fakecc", "exit 0", "cp '" KRVK_TEST_CRASHING_LIB "' \"$out\"\n", "{CC}", built,
       "cannot load {TMP}.so"},
      // Its arithmetic is not the interpreters' (its IEEE self-check differs): refused, and not kept.
      {"library with unsafe math", "fakecc", "exit 0", "cp '" KRVK_TEST_WRONG_IEEE_LIB "' \"$out\"\n", "{CC}", built,
       "cannot load {LIB}"},
  };
  krvk_jit_run_limit_ms = 1500;
  for (const compiler_case& c : cases) {
    SCOPED_TRACE(c.name);
    scratch_dir root;
    const std::string log = root / "calls.log";
    std::filesystem::create_directories(root.path() / "bin");
    std::filesystem::create_directories(root.path() / "tools");
    for (const char* name : {"cl", "clang"}) write_script(root.path() / "bin" / name, fake_compiler(log, "exit 1"));
    for (const char* name : {"gcc", "cc"}) write_script(root.path() / "bin" / name, fake_compiler(log) + kCopy);
    const std::string script = root / ("tools/" + c.script);
    write_script(script, fake_compiler(log, c.probe) + c.behaviour);
    const std::filesystem::path cache = root.path() / c.cache;
    const std::map<std::string, std::string> names = {{"{CC}", script}, {"{X}", root / "x"}};
    jit_environment env({{"KRV_KERNEL_CC", c.cc ? std::optional(fill(*c.cc, names)) : std::nullopt},
                         {"KRV_KERNEL_CACHE", cache.string()},
                         {"PATH", root / "bin" + ":/usr/bin:/bin"}});
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    const krvk_native_fn function = krvk_jit_compile(std::string("/* ") + c.name + " */", error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // The temporary stem: the cache path, "k_" and the key, the counter and the process id.
    std::smatch stem;
    const std::string calls = read_text(log);
    std::regex_search(calls, stem, std::regex("/k_[0-9a-f]{16}\\.[0-9]+\\." + std::to_string(getpid())));
    const std::string tmp = (std::filesystem::absolute(cache)).string() + stem.str();
    EXPECT_EQ(calls, fill(fill(c.calls, {{"{TMP}", tmp}}), names));
    if (c.error.empty()) {
      ASSERT_NE(function, nullptr) << error;
      kreg regs[1] = {};
      EXPECT_EQ(function(regs, nullptr, 0, 0, nullptr, nullptr), 0);
      EXPECT_EQ(regs[0].u, 0x6b726b76u);  // written by the prepared library's entry
      EXPECT_EQ(names_in(cache), (std::vector<std::string>{stem.str().substr(1, 18) + ".so", stem.str().substr(1, 18) + ".sum"}));
      EXPECT_FALSE(std::filesystem::exists(root.path() / "x"));  // nothing ran the backticks
    } else {
      EXPECT_EQ(function, nullptr);
      const std::string library =
          stem.empty() ? "" : std::filesystem::absolute(cache).string() + "/" + stem.str().substr(1, 18) + ".so";
      EXPECT_EQ(error, fill(c.error, {{"{CC}", script}, {"{TMP}", tmp}, {"{LIB}", library}}));
      EXPECT_EQ(names_in(cache), std::vector<std::string>{});  // no file of the failed build is left
    }
  }
  krvk_jit_run_limit_ms = 60000;
}

// Libraries stay loaded, so their number is capped: past it a new kernel gets no library and its reason,
// while kernels already loaded keep theirs.
TEST(JitCache, LoadedLibrariesStopAtTheCap) {
  scratch_dir root;
  write_script(root / "fakecc", fake_compiler(root / "log") + kCopy);
  jit_environment env({{"KRV_KERNEL_CC", root / "fakecc"}, {"KRV_KERNEL_CACHE", root / "cache"}});
  krvk_jit_max_loaded = 1;
  std::string error;
  krvk_native_fn first = krvk_jit_compile("/* first */", error);
  EXPECT_NE(first, nullptr) << error;
  EXPECT_EQ(krvk_jit_compile("/* second */", error), nullptr);
  EXPECT_EQ(error, "this process holds 1 kernel libraries, the most it loads; the interpreters run this kernel");
  EXPECT_EQ(krvk_jit_compile("/* first */", error), first);
  krvk_jit_max_loaded = 4096;
}

// A compiler that hangs on one kernel holds up neither the builds of others nor the JIT's lock; once it
// has run past the limit, kernels still to be built fail at once (those built keep their code), and a
// build abandoned meanwhile kills its compiler within milliseconds without that verdict.
TEST(JitCache, HangingBuildDoesNotHoldOthers) {
  scratch_dir root;
  write_script(root / "fakecc", fake_compiler(root / "log") + "grep -q HANG \"$src\" && sleep 30\n" + kCopy);
  jit_environment env({{"KRV_KERNEL_CC", root / "fakecc"}, {"KRV_KERNEL_CACHE", root / "cache"}});
  krvk_jit_run_limit_ms = 2000;
  krvk_jit_discover();
  std::string hang_error;
  auto hanging = std::async(std::launch::async, [&] { return krvk_jit_compile("/* HANG */", hang_error); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::string error;
  EXPECT_NE(krvk_jit_compile("/* quick */", error), nullptr) << error;
  EXPECT_EQ(hanging.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  EXPECT_EQ(hanging.get(), nullptr);
  EXPECT_EQ(hang_error.rfind("C compiler failed (", 0), 0u);
  EXPECT_NE(hang_error.find("): timed out after 2 s; this process compiles no more kernels\n"), std::string::npos);
  const auto later = std::chrono::steady_clock::now();
  EXPECT_EQ(krvk_jit_compile("/* later */", error), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - later, std::chrono::milliseconds(500));
  EXPECT_EQ(error, "not compiled: the C compiler timed out after 2 s on an earlier kernel of this process; the "
                   "interpreters run this one");
  EXPECT_NE(krvk_jit_compile("/* quick */", error), nullptr);

  krvk_jit_forget();
  std::atomic<uint8_t> stopping{0};
  auto abandoned = std::async(std::launch::async, [&] { return krvk_jit_compile("/* HANG */", hang_error, {0, &stopping}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto stopped = std::chrono::steady_clock::now();
  stopping = 1;
  EXPECT_EQ(abandoned.get(), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(500));
  EXPECT_NE(hang_error.find("): abandoned, the workers stopped\n"), std::string::npos) << hang_error;
  EXPECT_NE(krvk_jit_compile("/* after the abandoned one */", error), nullptr) << error;
  krvk_jit_run_limit_ms = 60000;
}

TEST(JitCache, CacheDirectoryRules) {
  const std::string fallback = "{S}/tmp/korvalang-kernels-{U}";
  struct cache_case {
    const char* setup;  // shell text run first in the scratch directory {S}
    std::optional<std::string> cache, xdg;  // KRV_KERNEL_CACHE, XDG_CACHE_HOME
    std::string expected;  // "" for no directory
  };
  const std::vector<cache_case> cases = {
      {"", "{S}/a/b/c/", "{S}/xdg", "{S}/a/b/c"},
      {"touch {S}/file", "{S}/file/sub", "{S}/xdg", fallback},  // cannot be created
      {"mkdir -m 775 {S}/d", "{S}/d", "{S}/xdg", fallback},  // group-writable
      {"mkdir -m 757 {S}/d", "{S}/d", "{S}/xdg", fallback},  // world-writable
      {"mkdir -m 1777 {S}/d", "{S}/d", "{S}/xdg", fallback},  // world-writable and sticky, as /tmp
      {"mkdir -m 777 {S}/p", "{S}/p/d", "{S}/xdg", fallback},  // in a world-writable parent
      {"mkdir -m 1777 {S}/p", "{S}/p/d", "{S}/xdg", "{S}/p/d"},  // in a sticky one, as /tmp
      {"touch {S}/file {S}/tmp", "{S}/file/sub", "{S}/xdg", ""},  // both paths through a regular file
      {"mkdir {S}/d && ln -s {S}/d {S}/link", "{S}/link", "{S}/xdg", fallback},
      {"mkdir {S}/d && chown 65534 {S}/d", "{S}/d", "{S}/xdg", fallback},  // another user's
      {"", "", "{S}/xdg", fallback},  // set but empty: XDG not consulted
      {"mkdir -p -m 777 {S}/tmp/korvalang-kernels-{U}", "", "{S}/xdg", ""},  // planted fallback
      {"mkdir -p {S}/tmp/korvalang-kernels-{U} && chown 65534 {S}/tmp/korvalang-kernels-{U}", "", "", ""},
      {"", std::nullopt, "{S}/xdg", "{S}/xdg/korvalang/kernels"},
      {"", std::nullopt, "relative", "{S}/home/.cache/korvalang/kernels"},
  };
  for (const cache_case& c : cases) {
    scratch_dir scratch;
    const std::map<std::string, std::string> names = {{"{S}", scratch.path()}, {"{U}", std::to_string(geteuid())}};
    SCOPED_TRACE(c.setup + (" " + c.cache.value_or("(unset)")));
    if (std::string(c.setup).find("chown") != std::string::npos && geteuid() != 0) continue;
    ASSERT_EQ(krv_platform::run_process({"sh", "-c", fill(c.setup, names)}, nullptr, std::chrono::seconds(5)), 0);
    auto value = [&](const std::optional<std::string>& v) { return v ? std::optional(fill(*v, names)) : v; };
    jit_environment env({{"KRV_KERNEL_CACHE", value(c.cache)}, {"XDG_CACHE_HOME", value(c.xdg)},
                         {"HOME", scratch / "home"}, {"TMPDIR", scratch / "tmp"}, {"KRV_KERNEL_CC", "true"}});
    const std::filesystem::path dir = krvk_cache_dir();
    EXPECT_EQ(dir.string(), fill(c.expected, names));
    struct stat info {};
    EXPECT_TRUE(dir.empty() || (lstat(dir.c_str(), &info) == 0 && (info.st_mode & 0777) == 0700));
    // Without a private directory a build fails with its message, even with a compiler.
    std::string error;
    EXPECT_EQ(krvk_jit_compile("/* kernel */", error), nullptr);
    if (dir.empty()) {
      EXPECT_EQ(error, "no directory for compiled kernels (set KRV_KERNEL_CACHE)");
    }
  }
}

// A library in the cache is loaded only while it is a regular file of bounded size whose bytes match
// the seal beside it; else it is built anew and a warning line names the entry and why. Each case
// plants a copy of a built library, damaged, hostile or not, in a fresh cache under the same key: a fresh
// path, so the loader would read the planted bytes (a truncated library maps past its end and dies of
// SIGBUS on the first call; a FIFO blocks the reader for ever; /dev/zero never ends).
TEST(JitCache, DamagedCachedLibraryIsRebuilt) {
  const struct {
    const char* plant;  // shell text: {A} is the built library's stem, {B} the planted one's
    int builds;  // compiler runs for the planted cache, per process while the plant stays
    const char* refusal;  // the warning's reason, "" for none
    bool sealed = false;  // the planted library gets a seal of its own bytes
  } cases[] = {
      {"cp {A}.so {B}.so && cp {A}.sum {B}.sum", 0, ""},
      {"head -c 4096 {A}.so > {B}.so && cp {A}.sum {B}.sum", 1, "it does not match its seal"},  // truncated
      {"head -c -1 {A}.so > {B}.so && cp {A}.sum {B}.sum", 1, "it does not match its seal"},  // one byte short
      {"cp {A}.so {B}.so", 1, ".so refused: it has no seal ("},
      {"cp {A}.so {B}.so && : > {B}.sum", 1, "it does not match its seal"},  // empty seal
      {"cp {A}.so {B}.so && echo '1 0000000000000000' > {B}.sum", 1, "it does not match its seal"},
      {"cp {C}.so {B}.so && cp {C}.sum {B}.sum", 1, "it does not match its seal"},  // another kernel's
      {"mkfifo {B}.so && cp {A}.sum {B}.sum", 1, ".so refused: it is a FIFO"},
      {"ln -s /dev/zero {B}.so && cp {A}.sum {B}.sum", 1, ".so refused: it is a symbolic link"},
      // Stays, so each process builds; the build is used from its temporary name, and that file goes.
      {"mkdir {B}.so && cp {A}.sum {B}.sum", 1, ".so refused: it is a directory"},
      {"truncate -s 67108865 {B}.so && cp {A}.sum {B}.sum", 1,
       ".so refused: it holds 67108865 bytes, more than the 67108864 a cache entry may"},
      {"cp {A}.so {B}.so && mkfifo {B}.sum", 1, ".sum refused: it is a FIFO"},
      // Cut short with a seal of its cut bytes, as a compiler that exited 0 left it: the loader's check.
      {"head -c 4096 {A}.so > {B}.so", 1, ".so refused: the file is cut short: it holds 4096 bytes", true},
      // A load mark left by a process that ended inside the loader: removed with the entry, built anew; one
      // of a running process (pid 1) is a load under way.
      {"cp {A}.so {B}.so && cp {A}.sum {B}.sum && echo 4194303 > {B}.loading", 1,
       ".so refused: process 4194303 began loading it and ended before the load finished (the loader crashed?); "
       "removed, building the kernel anew"},
      {"cp {A}.so {B}.so && cp {A}.sum {B}.sum && echo x > {B}.loading", 1, ".loading is damaged; removed"},
      {"cp {A}.so {B}.so && cp {A}.sum {B}.sum && echo 1 > {B}.loading", 0, ""},
  };
  struct warnings final : krv_log_listener {
    void on_warning(const std::string& text) override { lines += text + "\n"; }
    std::string lines;
  } listener;
  const auto connection = krv_default_log().connect(&listener);
  scratch_dir root;
  const std::string log = root / "log";
  write_script(root / "fakecc", fake_compiler(log) + kCopy);
  auto builds = [&] {  // compiler runs that were builds, not probes
    const std::string calls = read_text(log);
    int count = 0;
    for (size_t at = calls.find(" -o "); at != std::string::npos; at = calls.find(" -o ", at + 1)) ++count;
    return count;
  };
  auto run = [](const std::string& source) {
    std::string error;
    const krvk_native_fn function = krvk_jit_compile(source, error);
    kreg regs[1] = {};
    return function != nullptr && function(regs, nullptr, 0, 0, nullptr, nullptr) == 0 && regs[0].u == 0x6b726b76u;
  };
  jit_environment built({{"KRV_KERNEL_CC", root / "fakecc"}, {"KRV_KERNEL_CACHE", root / "a"}});
  ASSERT_TRUE(run("/* kernel */"));
  const std::vector<std::string> files = names_in(root / "a");
  ASSERT_EQ(files.size(), 2u);
  const std::string stem = files[0].substr(0, files[0].size() - 3);
  ASSERT_TRUE(run("/* another kernel */"));  // the same bytes (one fake library) under another key
  const std::vector<std::string> both = names_in(root / "a");
  ASSERT_EQ(both.size(), 4u);
  const std::string other = (both[0] == files[0] ? both[2] : both[0]).substr(0, files[0].size() - 3);
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.plant);
    const std::string dir = root / ("b" + std::to_string(index++));
    const std::map<std::string, std::string> stems = {
        {"{A}", root / ("a/" + stem)}, {"{B}", dir + "/" + stem}, {"{C}", root / ("a/" + other)}};
    const std::string plant = "mkdir -m 700 " + dir + " && " + fill(c.plant, stems);
    ASSERT_EQ(krv_platform::run_process({"sh", "-c", plant}, nullptr, std::chrono::seconds(5)), 0);
    if (c.sealed) {
      const std::string bytes = read_text(dir + "/" + stem + ".so");
      char seal[64];
      std::snprintf(seal, sizeof seal, "%s %zu %016llx\n", stem.substr(2).c_str(), bytes.size(),
                    static_cast<unsigned long long>(krvk_jit_hash_bytes(bytes)));
      write_text(dir + "/" + stem + ".sum", seal);
    }
    jit_environment planted({{"KRV_KERNEL_CACHE", dir}});
    listener.lines.clear();
    const auto before = builds();
    EXPECT_TRUE(run("/* kernel */"));
    EXPECT_EQ(builds() - before, c.builds);
    EXPECT_EQ(listener.lines.empty(), *c.refusal == '\0') << listener.lines;
    if (*c.refusal != '\0') {
      EXPECT_EQ(listener.lines.rfind("kernel cache entry " + dir + "/" + stem, 0), 0u) << listener.lines;
      EXPECT_NE(listener.lines.find(c.refusal), std::string::npos) << listener.lines;
    }
    krvk_jit_forget();  // as a later process: the rebuilt library is now taken from the cache
    EXPECT_TRUE(run("/* kernel */"));
    const bool stays = std::string_view(c.plant).find("mkdir {B}.so") != std::string_view::npos;
    EXPECT_EQ(builds() - before, stays ? 2 : c.builds);
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{stem + ".so", stem + ".sum"}));
  }
  krv_default_log().close(connection);
}

TEST(JitCache, ClStyleQuotingAndLoadMessages) {
  for (const auto& [command, cl] : std::vector<std::pair<std::string, bool>>{
           {"cl", true}, {"C:\\VS\\bin\\CL.EXE", true}, {"/opt/llvm/clang-cl", true}, {"clang-cl.exe", true},
           {"gcc", false}, {"cl /nologo", false}, {"/usr/bin/cl-tool", false}, {"\"C:\\Program Files\\CL.EXE\"", true},
           {"\"/opt/my cl\"", false}}) {
    EXPECT_EQ(krvk_is_cl_style(command), cl) << command;
  }
  EXPECT_EQ(krvk_quote_arg("a b$`\""), "\"a b$`\"\"");
  scratch_dir scratch;
  write_text(scratch / "junk.so", "not a library");
  for (const std::string& path : {scratch / "junk.so", scratch / "missing.so", std::string("libm.so.6")}) {
    std::string error;
    EXPECT_EQ(krvk_jit_load(path, error), nullptr);
    EXPECT_EQ(error, (path == "libm.so.6" ? "krvk_jit_entry not found in " : "cannot load ") + path);
  }
}

}  // namespace
