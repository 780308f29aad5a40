// Building kernel C text into native functions: compiler discovery, the private cache directory, and
// the process-wide table of built libraries.
//
// A build finds a C compiler and a cache directory once per process (whatever the outcome: a later
// change of the environment has no effect), keys the source by an FNV-1a hash over the tag, the
// compiler command, the flags and the source, and then, in this order, returns the function this
// process already loaded for the key, loads the key's library from the cache directory (so a later
// process with the same compiler and kernel never compiles), or compiles the source into a temporary
// library that is renamed onto the key's name and loaded. Libraries are never unloaded.
//
// The compiler runs without a shell: the command is split at blanks into an argument vector (a stretch
// in double quotes keeps its blanks, so a program path may hold them) and the paths are separate
// arguments, so nothing in the compiler setting or the cache path is expanded. Every run, probes
// included, is bounded in time; a compiler past the bound is killed and the build fails. A compiler
// that ran past the bound once is not run again by this process: every later kernel that would need it
// fails at once and runs on the interpreters (its status says why), so a hanging compiler costs one run
// limit, not one per kernel. A build whose abandon flag is set (the build thread stopping) kills the
// compiler within milliseconds and fails without touching the process-wide state. The compiler's own
// temporary files go to a private directory of the build (its TMPDIR), removed when the run ends, so a
// killed compiler leaves nothing behind.
//
// The cache directory holds code this process will execute, so it is accepted only when it is a real
// directory (not a symbolic link) owned by this user and writable by nobody else, in a parent that
// others cannot write to unless it is sticky (else another user could rename the directory away and
// put one of theirs in its place). Beside each library the cache keeps its seal, "<key> <length>
// <FNV-1a hash>\n" of its bytes in "k_<key>.sum"; a library is loaded from the cache only when the seal
// names the key wanted and its bytes match, else it is built anew. A truncated library (a crash or a
// full disk after the rename) would otherwise be mapped past its end, and the first touch of a missing
// page kills the process with SIGBUS; a library swapped in with its seal from another kernel's name
// would be called with arguments laid out for another kernel. Cache entries are opened without following
// links and without blocking, and only regular files up to `krvk_jit_max_library_bytes` are read: a FIFO
// under a library's name would hang the reading thread, and a link to /dev/zero would grow the process
// without end. A refused entry (a library without its seal too) is named in a warning line and the
// kernel is built anew; the fresh library replaces the entry, or, where a rename cannot (a directory
// under the library's name), is loaded from its temporary name and that file removed, so the cache never
// grows by a file per process. A library the loader refuses (platform/library.h: cut short although the
// compiler exited 0, headers that point outside it, or one that changes the floating-point state), or
// whose IEEE self-check differs (ieee_check.h: the compiler's flags change float results), is named in a
// warning line; a fresh build's is removed with its seal, and a cached one is built anew over it. A fresh
// library is opened first in a child process, before it is sealed, so that one whose loading crashes (a
// compiler that exits 0 with a damaged library) crashes the child and is never kept. A cached library is
// loaded under a mark, "k_<key>.loading" with the loading process's id, removed once the loader has
// returned: a mark of a process that no longer runs means the load crashed it, and the entry
// is named in a warning line, removed and built anew, so it crashes one run at most.
//
// `krvk_jit_mutex` guards only the discovery's state and the table; probing, compiling, writing, renaming
// and loading run outside it, so no thread waits on the mutex for a compiler, and builds of different
// kernels proceed in parallel. Two threads building one key both
// compile (under different temporary names) and the last to store wins; both functions are correct.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/native/jit_slot.h"
#include "platform/process.h"

// Guards the discovery (flag, compiler, directory) and the table of built libraries.
extern std::mutex krvk_jit_mutex;
// Numbers the temporary files of this process's builds.
extern std::atomic<uint64_t> krvk_jit_temp_counter;
// Longest time a compiler run or probe may take before it is killed, in milliseconds (60 s; tests lower it).
extern std::atomic<int64_t> krvk_jit_run_limit_ms;
// The largest cache entry read: a library of the largest kernel handed to the compiler is a few MiB.
inline constexpr size_t krvk_jit_max_library_bytes = size_t{64} << 20;
// Libraries of distinct kernels a process loads at most (4,096; tests lower it). A loaded library is never
// unloaded (its code may be running), and each costs about 20 KB and a few memory mappings; past the cap
// a new kernel runs on the interpreters instead of exhausting the process's mappings.
extern std::atomic<size_t> krvk_jit_max_loaded;

// Compiler commands tried in this order when KRV_KERNEL_CC is unset.
inline constexpr const char* krvk_cc_candidates[] = {"cl", "clang", "gcc", "cc"};

// What the once-only discovery found; an empty field means none.
struct krvk_jit_tools {
  std::string compiler;  // the compiler command, possibly with arguments of its own
  std::filesystem::path cache_dir;  // absolute; looked for only when a compiler was found
  std::string refusal;  // without a compiler: why KRV_KERNEL_CC was rejected ("" when none was found)
};

// How one build runs: the compiler's niceness, and the flag that abandons it.
struct krvk_build_options {
  int niceness = 0;
  const std::atomic<uint8_t>* abandon = nullptr;  // non-zero: kill the compiler, fail the build
};

// The compiler and cache directory of this process, discovered once. The probe runs outside
// `krvk_jit_mutex`; a call that finds another thread's probe under way waits for its answer (bounded by
// the run limit, or until its own abandon flag is set). A discovery whose probe was abandoned is not
// kept: the next call looks again.
krvk_jit_tools krvk_jit_discover(const std::atomic<uint8_t>* abandon = nullptr);

// How long `krvk_jit_compiler_in_use` waits for a discovery still under way: a working compiler answers
// its probe within milliseconds.
inline constexpr std::chrono::milliseconds krvk_jit_answer_patience{1000};

// The compiler builds use, for the script function `kernel_jit_compiler`, which runs on the VM thread and
// so never probes a compiler itself: a finished discovery's compiler; otherwise the discovery is handed
// to the build thread (unless one is under way) and waited for at most `patience`, after which the
// answer is "" (a compiler whose probe hangs is, for now, none).
std::string krvk_jit_compiler_in_use(std::chrono::milliseconds patience = krvk_jit_answer_patience);

// Passes the warning lines that builds on the build thread kept (it has no script's log) to the calling
// thread's log. Script calls about kernels call it, so a refused cache entry or cache directory met by
// a background build is reported at the next launch, status or compiler question.
void krvk_jit_pass_on_warnings();

// Test support: forgets the discovery and the table of loaded libraries, so that a test can build again
// under another environment. The libraries stay loaded.
void krvk_jit_forget();

// A non-empty KRV_KERNEL_CC, probed as a whole ("" when unusable, no candidate tried, with the reason
// in `refusal`); set but empty: ""; unset: the first usable candidate, or "".
std::string krvk_find_compiler(std::string& refusal, const std::atomic<uint8_t>* abandon = nullptr);

// KRV_KERNEL_CACHE (set but empty: no candidate), else $XDG_CACHE_HOME/korvalang/kernels, else
// $HOME/.cache/korvalang/kernels, made private; else "korvalang-kernels-<pid>" in the temporary
// directory, made private; else an empty path.
std::filesystem::path krvk_cache_dir();

// Whether the command is one word (after quoting) whose part after the last slash or backslash is, in
// any case, cl, cl.exe, clang-cl or clang-cl.exe. A command with arguments of its own is never cl style.
bool krvk_is_cl_style(std::string_view compiler);

// Whether the compiler answers " /nologo /?" (cl style) or " --version" with status 0, within the limit;
// when not, `why` (if given) says what happened: "the probe (COMMAND) timed out after 60 s", "... exited
// with status N", "... could not be started", "... was ended by a signal", "a double quote is not closed".
bool krvk_probe_compiler(const std::string& compiler, std::string* why = nullptr,
                         const std::atomic<uint8_t>* abandon = nullptr);

// The command split at blanks (spaces and tabs), nothing expanded; a stretch between double quotes
// belongs to its word with its blanks, the quotes removed ("/opt/my tools/gcc" -m64 gives two words).
// Nothing when a double quote is not closed.
std::optional<std::vector<std::string>> krvk_split_command(std::string_view command);

// Runs an argument vector within the run limit: the exit status, or -1 (not started, killed by a
// signal, past the limit, abandoned; `end` says which). `output` receives its standard output and
// error, bounded. A non-empty `temporary_directory` is the program's TMPDIR.
int krvk_run_command(const std::vector<std::string>& argv, std::string& output, const krvk_build_options& options = {},
                     krv_platform::process_end* end = nullptr, const std::string& temporary_directory = "");

// The run limit as a message shows it: "60 s", "1.5 s".
std::string krvk_run_limit_text();

// The text between two double quotes, nothing escaped: only for the command text of messages.
std::string krvk_quote_arg(std::string_view text);

// Loads a library and its "krvk_jit_entry"; null with "cannot load <path>" or "krvk_jit_entry not found
// in <path>" (the loader's own reason goes to the log).
krvk_native_fn krvk_jit_load(const std::string& path, std::string& error);

// Niceness of the compiler in a background build: the lowest priority, so that a build on a worker
// thread never takes a core from a running launch (at a middling niceness it still does).
inline constexpr int krvk_jit_background_niceness = 19;

// For a process about to end: stops the build thread for good and abandons every build under way, sync
// builds on script threads too (they watch the build thread's flag), then waits at most `patience` until
// none is left: their compilers killed, their files removed. False when one is still there then.
bool krvk_jit_abandon_every_build(std::chrono::milliseconds patience);

// The whole build of one C source; null with the reason in `error`. Failures are not remembered, except
// a compiler that ran past the run limit: no later build of this process runs it.
krvk_native_fn krvk_jit_compile(const std::string& source, std::string& error, const krvk_build_options& options = {});
