#include "kernel/native/jit_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <thread>

#include "kernel/native/ieee_check.h"
#include "kernel/native/jit_builder.h"
#include "kernel/native/jit_hash.h"
#include "platform/library.h"
#include "platform/process.h"
#include "platform/process_alive.h"
#include "runtime/objects/log.h"

namespace fs = std::filesystem;

std::mutex krvk_jit_mutex;
std::atomic<uint64_t> krvk_jit_temp_counter{0};
std::atomic<int64_t> krvk_jit_run_limit_ms{60000};
std::atomic<size_t> krvk_jit_max_loaded{4096};

namespace {

// Builds between their start and the removal of their last file, on any thread.
std::atomic<uint32_t> builds_in_flight{0};

// Counts a build in flight for its whole life, files included.
class build_in_flight {
 public:
  build_in_flight() { builds_in_flight.fetch_add(1, std::memory_order_seq_cst); }
  ~build_in_flight() { builds_in_flight.fetch_sub(1, std::memory_order_seq_cst); }
  build_in_flight(const build_in_flight&) = delete;
  build_in_flight& operator=(const build_in_flight&) = delete;
};

constexpr const char* kNoCompiler = "no C compiler found (set KRV_KERNEL_CC)";
constexpr const char* kNoDirectory = "no directory for compiled kernels (set KRV_KERNEL_CACHE)";
constexpr const char* kClFlags = "/nologo /O2 /fp:precise /LD /w";
constexpr const char* kGccFlags = "-O2 -shared -fPIC -fno-strict-aliasing -ffp-contract=off -fno-math-errno -w";

// Where the once-only discovery stands.
enum class discovery_stage : uint8_t { not_started, probing, done };

// Discovery state and the table of built libraries, all guarded by krvk_jit_mutex.
struct jit_state {
  discovery_stage stage = discovery_stage::not_started;
  uint64_t epoch = 0;  // bumped by krvk_jit_forget: a probe begun before it publishes nothing
  krvk_jit_tools tools;  // what the discovery found, once done
  std::map<uint64_t, krvk_native_fn> loaded;  // krvk_jit_loaded: key -> function of a library held open
  std::string timed_out;  // set when a build ran past the run limit: the text later builds fail with
  std::deque<std::string> warnings;  // lines written where no script's log was at hand, to pass on
};

// A namespace-scope object, made when the library loads: it outlives the build thread, which the
// process's end joins while a build may still look here.
jit_state state_instance;
std::condition_variable discovery_ended;  // notified under krvk_jit_mutex when a probe ends

jit_state& state() { return state_instance; }

// Warning lines kept for a script thread to pass on; older ones go first.
constexpr size_t kKeptWarnings = 16;

// Writes a warning where a script sees it: the calling thread's log; on the build thread, which has no
// script's log, the line is kept until a script thread asks about a kernel (krvk_jit_pass_on_warnings).
void warn(const std::string& text) {
  if (!krvk_jit_builder::on_build_thread()) {
    krv_log_base::instance()->warning(text);
    return;
  }
  std::lock_guard<std::mutex> lock(krvk_jit_mutex);
  if (state().warnings.size() == kKeptWarnings) state().warnings.pop_front();
  state().warnings.push_back(text);
}

// An environment value that is set and not empty, else null.
const char* non_empty_env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// Whether the directory's parent keeps others from renaming it away and putting their own in its place:
// not writable by others, or sticky (as /tmp is), so that only an entry's owner may rename it. The
// parent may be reached through a symbolic link (a moved ~/.cache); its target is what counts.
bool parent_guards(const fs::path& dir) {
  struct stat info {};
  if (stat(dir.parent_path().c_str(), &info) != 0) return false;
  return (info.st_mode & S_IWOTH) == 0 || (info.st_mode & S_ISVTX) != 0;
}

// Owned by this user, a real directory, writable by no one else, in a parent that guards it.
bool is_private_directory(const fs::path& dir) {
  struct stat info {};
  if (lstat(dir.c_str(), &info) != 0) return false;
  return S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
         parent_guards(dir);
}

// Creates the directory's missing parents and the directory itself (mode 0700); the absolute path
// when it then passes the private-directory rules, else an empty path. An existing directory is held
// to the same rules: in a shared place another user may have made it first.
fs::path make_private_directory(const fs::path& wanted) {
  std::error_code ec;
  fs::path dir = fs::absolute(wanted, ec);
  if (ec) return {};
  if (!dir.has_filename()) dir = dir.parent_path();  // "a/b/" names "a/b"
  fs::create_directories(dir.parent_path(), ec);  // a failure shows in mkdir below
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  return is_private_directory(dir) ? dir : fs::path();
}

// The candidate before the temporary fallback; has_value false when there is none.
std::optional<fs::path> cache_candidate() {
  if (const char* configured = std::getenv("KRV_KERNEL_CACHE")) {
    if (configured[0] == '\0') return std::nullopt;
    return fs::path(configured);
  }
  const char* xdg = non_empty_env("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return fs::path(xdg) / "korvalang" / "kernels";
  const char* home = non_empty_env("HOME");
  if (home != nullptr && home[0] == '/') return fs::path(home) / ".cache" / "korvalang" / "kernels";
  return std::nullopt;
}

// The cache path of the key's files, without the extension: "<dir>/k_<16 hex digits>".
std::string stem_path_of(const fs::path& dir, uint64_t key) {
  char text[24];
  std::snprintf(text, sizeof text, "k_%016llx", static_cast<unsigned long long>(key));
  return (dir / text).string();
}

// Writes the bytes to a new file (never through an existing one); false when it cannot.
bool write_new_file(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) break;
    done += static_cast<size_t>(wrote);
  }
  return close(fd) == 0 && done == bytes.size();
}

void remove_quietly(const std::string& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
}

bool exists_quietly(const std::string& path) {
  std::error_code ignored;
  return fs::exists(path, ignored);
}

// Why an opened cache entry is not read: "" for a regular file of at most `limit` bytes.
std::string entry_refusal(const struct stat& info, size_t limit) {
  if (S_ISDIR(info.st_mode)) return "it is a directory";
  if (S_ISFIFO(info.st_mode)) return "it is a FIFO";
  if (!S_ISREG(info.st_mode)) return "it is not a regular file";
  if (static_cast<uint64_t>(info.st_size) <= limit) return "";
  return "it holds " + std::to_string(info.st_size) + " bytes, more than the " + std::to_string(limit) +
         " a cache entry may";
}

// Reads all `bytes.size()` bytes; false when the file ends or fails first.
bool read_exactly(int fd, std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

// Reads a cache entry that is a regular file of at most `limit` bytes; false with the reason otherwise
// ("" when there is no such entry). It is opened without following a symbolic link and without blocking
// (a FIFO would wait for a writer for ever), and read only as far as its size said, so neither a FIFO,
// nor a link to /dev/zero, nor a directory costs more than the look.
bool read_cache_entry(const std::string& path, size_t limit, std::string& bytes, std::string& why) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    why = errno == ENOENT  ? ""
          : errno == ELOOP ? "it is a symbolic link"
                           : std::string("it cannot be opened: ") + std::strerror(errno);
    return false;
  }
  struct stat info {};
  why = fstat(fd, &info) != 0 ? "it cannot be examined" : entry_refusal(info, limit);
  if (why.empty()) {
    bytes.resize(static_cast<size_t>(info.st_size));
    if (!read_exactly(fd, bytes)) why = "it cannot be read";
  }
  close(fd);
  return why.empty();
}

// The seal of a library built for `key` with these bytes: "<key> <length> <FNV-1a hash>\n". The key ties
// the seal to one kernel: a library and its seal copied under another key's name do not match there.
std::string seal_of(uint64_t key, const std::string& bytes) {
  char text[64];
  std::snprintf(text, sizeof text, "%016llx %zu %016llx\n", static_cast<unsigned long long>(key), bytes.size(),
                static_cast<unsigned long long>(krvk_jit_hash_bytes(bytes)));
  return text;
}

// Whether the cached library under the stem was built for `key` and still has the bytes its seal records.
// An entry that is there but refused (not a regular file, too large, not matching its seal) is named in
// a warning line, and the kernel is built anew.
bool cached_library_intact(uint64_t key, const std::string& stem_path) {
  const auto refuse = [](const std::string& path, const std::string& why) {
    warn("kernel cache entry " + path + " refused: " + why + "; building the kernel anew");
    return false;
  };
  const std::string library_path = stem_path + ".so";
  const std::string seal_path = stem_path + ".sum";
  std::string library, seal, why;
  if (!read_cache_entry(library_path, krvk_jit_max_library_bytes, library, why))
    return why.empty() ? false : refuse(library_path, why);  // no library: a first build, nothing to say
  if (!read_cache_entry(seal_path, 64, seal, why))
    return why.empty() ? refuse(library_path, "it has no seal (" + seal_path + " is missing)") : refuse(seal_path, why);
  if (seal == seal_of(key, library)) return true;
  return refuse(library_path, "it does not match its seal (truncated, changed or another kernel's)");
}

// Stores the seal beside the stem's library, through a temporary file renamed into place; a seal that
// cannot be stored only costs the next process a build.
void store_seal(const std::string& stem_path, const std::string& tmp, const std::string& seal) {
  if (seal.empty()) return;
  const std::string written = tmp + ".sum";
  if (!write_new_file(written, seal) || std::rename(written.c_str(), (stem_path + ".sum").c_str()) != 0) {
    remove_quietly(written);
  }
}

// One compiler invocation: what runs, and the text that names it in messages.
struct compile_command {
  std::vector<std::string> argv;
  std::string text;
};

// The compiler setting's words; it was split once when its probe passed, so it splits here too.
std::vector<std::string> words_of(std::string_view command) { return krvk_split_command(command).value_or(std::vector<std::string>{}); }

compile_command make_command(const std::string& compiler, bool cl_style, const char* flags, const std::string& tmp) {
  compile_command command{words_of(compiler), compiler + " " + flags};
  const std::vector<std::string> flag_args = words_of(flags);
  command.argv.insert(command.argv.end(), flag_args.begin(), flag_args.end());
  const std::string c_path = tmp + ".c";
  const std::string library = tmp + ".so";
  if (cl_style) {
    const std::string object = tmp + ".obj";
    command.argv.insert(command.argv.end(), {c_path, "/Fe" + library, "/Fo" + object});
    command.text += " " + krvk_quote_arg(c_path) + " /Fe" + krvk_quote_arg(library) + " /Fo" + krvk_quote_arg(object);
  } else {
    command.argv.insert(command.argv.end(), {"-o", library, c_path, "-lm"});
    command.text += " -o " + krvk_quote_arg(library) + " " + krvk_quote_arg(c_path) + " -lm";
  }
  return command;
}

// The compiler's own temporary files go to a directory of the build's own, which removes it whatever the
// compiler left there (a killed gcc leaves its half-written objects behind).
class private_temporary_directory {
 public:
  explicit private_temporary_directory(const std::string& tmp) {
    std::string pattern = tmp + ".tmp.XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~private_temporary_directory() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  private_temporary_directory(const private_temporary_directory&) = delete;
  private_temporary_directory& operator=(const private_temporary_directory&) = delete;
  // "" when it could not be made: the compiler then uses the system's.
  operator const std::string&() const { return path_; }

 private:
  std::string path_;
};

// Remembers that the compiler ran past the run limit; later builds fail with `text` at once.
void give_up_compiling(const std::string& text) {
  std::lock_guard<std::mutex> lock(krvk_jit_mutex);
  state().timed_out = text;
}

// Why this process builds no more kernels; "" while it does.
std::string gave_up_compiling() {
  std::lock_guard<std::mutex> lock(krvk_jit_mutex);
  return state().timed_out;
}

// The failure text of a compiler run that did not succeed.
std::string compiler_failure(const compile_command& command, krv_platform::process_end end, const std::string& output) {
  const std::string head = "C compiler failed (" + command.text + "):";
  switch (end) {
    case krv_platform::process_end::timed_out:
      return head + " timed out after " + krvk_run_limit_text() + "; this process compiles no more kernels\n" + output;
    case krv_platform::process_end::abandoned:
      return head + " abandoned, the workers stopped\n" + output;
    default:
      return head + "\n" + output;
  }
}

// Loads a library and its "krvk_jit_entry"; null with the error krvk_jit_load gives and the loader's
// reason, nothing written to the log.
krvk_native_fn load_entry(const std::string& path, std::string& error, std::string& reason) {
  void* library = krv_platform::open_library(path, reason);
  if (library == nullptr) {
    error = "cannot load " + path;
  } else if (void* entry = krv_platform::library_symbol(library, "krvk_jit_entry", reason)) {
    reason = krvk_ieee_library_refusal(library);  // a refused library stays mapped: its constructors have run
    if (reason.empty()) return reinterpret_cast<krvk_native_fn>(entry);
    error = "cannot load " + path;
  } else {
    error = "krvk_jit_entry not found in " + path;
  }
  return nullptr;
}

// The mark of a load of a cache entry under way, "<stem>.loading": the id of the process that began it.
// It is written before the loader opens the entry and removed once the loader has returned, so a process
// that the loader crashed leaves it behind; the next process that wants the entry finds it, removes the
// entry and builds the kernel anew, instead of crashing the same way in every later run.
std::string load_mark_of(const std::string& stem_path) { return stem_path + ".loading"; }

// Whether a process began loading the stem's library and ended before the load finished: a mark that
// names no running process, or that is damaged; `why` says which. A mark of this process or of a running
// one is a load under way.
bool load_never_finished(const std::string& stem_path, std::string& why) {
  std::string text;
  if (!read_cache_entry(load_mark_of(stem_path), 32, text, why)) return !why.empty();
  char* end = nullptr;
  const unsigned long pid = std::strtoul(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\n' || pid == 0 || pid > UINT32_MAX) {
    why = "its load mark " + load_mark_of(stem_path) + " is damaged";
    return true;
  }
  if (pid == krv_platform::current_process_id() || krv_platform::process_running(static_cast<uint32_t>(pid))) return false;
  why = "process " + std::to_string(pid) + " began loading it and ended before the load finished (the loader crashed?)";
  return true;
}

// A name for this build's temporary files: the stem, a counter and the process id.
std::string temporary_stem(const std::string& stem_path) {
  return stem_path + "." + std::to_string(krvk_jit_temp_counter.fetch_add(1)) + "." +
         std::to_string(krv_platform::current_process_id());
}

// Loads the stem's library under its load mark, which goes once the loader returned (unless another
// process has marked a load of its own meanwhile). A mark that cannot be written costs only the guard.
krvk_native_fn load_marked(const std::string& stem_path, std::string& error, std::string& reason) {
  const std::string mark = load_mark_of(stem_path);
  const std::string mine = std::to_string(krv_platform::current_process_id()) + "\n";
  const std::string written = temporary_stem(stem_path) + ".loading";
  if (!write_new_file(written, mine) || std::rename(written.c_str(), mark.c_str()) != 0) remove_quietly(written);
  const krvk_native_fn function = load_entry(stem_path + ".so", error, reason);
  std::string text, ignored;
  if (read_cache_entry(mark, 32, text, ignored) && text == mine) remove_quietly(mark);
  return function;
}

// Compiles the source into the cache directory under the key's stem and loads it; null with the reason.
krvk_native_fn build_library(const krvk_jit_tools& tools, bool cl_style, const char* flags, uint64_t key,
                             const std::string& source, const krvk_build_options& options, std::string& error) {
  const std::string stem_path = stem_path_of(tools.cache_dir, key);
  const std::string tmp = temporary_stem(stem_path);
  const std::string c_path = tmp + ".c";
  const std::string library = tmp + ".so";
  if (!write_new_file(c_path, source)) {
    remove_quietly(c_path);
    error = "cannot write " + c_path;
    return nullptr;
  }
  const compile_command command = make_command(tools.compiler, cl_style, flags, tmp);
  std::string output;
  krv_platform::process_end end = krv_platform::process_end::exited;
  const int status = krvk_run_command(command.argv, output, options, &end, private_temporary_directory(tmp));
  remove_quietly(c_path);
  if (cl_style) {
    for (const char* extension : {".obj", ".lib", ".exp"}) remove_quietly(tmp + extension);
  }
  if (status != 0 || !exists_quietly(library)) {
    remove_quietly(library);
    error = compiler_failure(command, end, output);
    if (end == krv_platform::process_end::timed_out)
      give_up_compiling("not compiled: the C compiler timed out after " + krvk_run_limit_text() +
                        " on an earlier kernel of this process; the interpreters run this one");
    return nullptr;
  }
  // Opened first in a child process, where a loader that crashes on what the compiler left ends only
  // the child; a library refused there is neither sealed nor kept.
  std::string reason =
      krv_platform::probe_library(library, std::chrono::milliseconds(krvk_jit_run_limit_ms.load()), options.abandon,
                                  krvk_ieee_ask);
  if (!reason.empty()) {
    remove_quietly(library);
    error = "cannot load " + library;
    if (options.abandon == nullptr || options.abandon->load() == 0) warn(error + ": " + reason);
    return nullptr;
  }
  std::string built, ignored;
  const bool readable = read_cache_entry(library, krvk_jit_max_library_bytes, built, ignored);
  const std::string seal = readable ? seal_of(key, built) : "";
  if (std::rename(library.c_str(), (stem_path + ".so").c_str()) == 0) {
    store_seal(stem_path, tmp, seal);
    const krvk_native_fn function = load_marked(stem_path, error, reason);
    if (function == nullptr) {  // refused in this process (it changes the floating-point state, say): not kept
      warn(error + ": " + reason);
      remove_quietly(stem_path + ".so");
      remove_quietly(stem_path + ".sum");
    }
    return function;
  }
  // The key's name holds what a rename cannot replace (a directory, already named in a warning line):
  // the fresh build is loaded under its temporary name, which then goes (its mapping stays), so the
  // cache does not grow by a library per process.
  const krvk_native_fn function = krvk_jit_load(library, error);
  remove_quietly(library);
  return function;
}

krvk_native_fn remember(uint64_t key, krvk_native_fn function) {
  std::lock_guard<std::mutex> lock(krvk_jit_mutex);
  state().loaded[key] = function;
  return function;
}

krvk_native_fn already_loaded(uint64_t key) {
  std::lock_guard<std::mutex> lock(krvk_jit_mutex);
  const auto found = state().loaded.find(key);
  return found == state().loaded.end() ? nullptr : found->second;
}

// True when the process holds as many libraries as it may; the first time, a warning line says so.
bool at_loaded_cap(std::string& error) {
  const size_t cap = krvk_jit_max_loaded.load();
  {
    std::lock_guard<std::mutex> lock(krvk_jit_mutex);
    if (state().loaded.size() < cap) return false;
  }
  error = "this process holds " + std::to_string(cap) + " kernel libraries, the most it loads; the interpreters run this kernel";
  static std::atomic<bool> warned{false};
  if (!warned.exchange(true)) warn(error);
  return true;
}

}  // namespace

krvk_jit_tools krvk_jit_discover(const std::atomic<uint8_t>* abandon) {
  std::unique_lock<std::mutex> lock(krvk_jit_mutex);
  jit_state& jit = state();
  while (jit.stage == discovery_stage::probing) {  // another thread probes: its answer is this one's too
    if (abandon != nullptr && abandon->load() != 0) return {};
    discovery_ended.wait_for(lock, std::chrono::milliseconds(10));
  }
  if (jit.stage == discovery_stage::done) return jit.tools;
  jit.stage = discovery_stage::probing;
  const uint64_t epoch = jit.epoch;
  lock.unlock();  // the probe runs the compiler: nobody waits on the mutex meanwhile
  krvk_jit_tools found;
  found.compiler = krvk_find_compiler(found.refusal, abandon);
  const bool abandoned = abandon != nullptr && abandon->load() != 0;  // an abandoned probe proves nothing
  if (!abandoned && !found.compiler.empty()) found.cache_dir = krvk_cache_dir();
  lock.lock();
  if (jit.epoch == epoch) {
    jit.stage = abandoned ? discovery_stage::not_started : discovery_stage::done;
    if (!abandoned) jit.tools = found;
  }
  discovery_ended.notify_all();
  return found;
}

std::string krvk_jit_compiler_in_use(std::chrono::milliseconds patience) {
  std::unique_lock<std::mutex> lock(krvk_jit_mutex);
  if (state().stage == discovery_stage::not_started) {
    lock.unlock();
    // A second discovery queued by a racing call finds the first one's answer and returns at once.
    krvk_jit_builder& builder = krvk_jit_builder::instance();
    builder.submit([&builder] { krvk_jit_discover(&builder.abandon()); });
    lock.lock();
  }
  discovery_ended.wait_for(lock, patience, [] { return state().stage == discovery_stage::done; });
  return state().stage == discovery_stage::done ? state().tools.compiler : "";
}

void krvk_jit_pass_on_warnings() {
  if (krvk_jit_builder::on_build_thread()) return;
  krv_log_base* log = krv_log_base::instance();
  std::deque<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(krvk_jit_mutex);
    lines.swap(state().warnings);
  }
  for (const std::string& line : lines) log->warning(line);
}

void krvk_jit_forget() {
  std::lock_guard<std::mutex> lock(krvk_jit_mutex);
  const uint64_t epoch = state().epoch + 1;
  state() = jit_state();
  state().epoch = epoch;
  discovery_ended.notify_all();
}

std::string krvk_find_compiler(std::string& refusal, const std::atomic<uint8_t>* abandon) {
  refusal.clear();
  if (const char* configured = std::getenv("KRV_KERNEL_CC")) {
    if (configured[0] == '\0') return "";
    std::string why;
    if (krvk_probe_compiler(configured, &why, abandon)) return configured;
    refusal = "KRV_KERNEL_CC \"" + std::string(configured) + "\" rejected: " + why;
    return "";
  }
  for (const char* candidate : krvk_cc_candidates) {
    if (krvk_probe_compiler(candidate, nullptr, abandon)) return candidate;
  }
  return "";
}

// The temporary fallback is one per user, not per process: every process of the user shares it (and its
// libraries), so refused caches do not leave a directory behind per run.
fs::path krvk_cache_dir() {
  const std::optional<fs::path> candidate = cache_candidate();
  if (candidate) {
    fs::path made = make_private_directory(*candidate);
    if (!made.empty()) return made;
  }
  const char* tmpdir = non_empty_env("TMPDIR");
  const fs::path base = tmpdir != nullptr ? fs::path(tmpdir) : fs::path("/tmp");
  fs::path fallback = make_private_directory(base / ("korvalang-kernels-" + std::to_string(geteuid())));
  if (candidate)
    warn("kernel cache " + candidate->string() +
         " refused: it cannot be made a private directory of this user (a real directory, owned by this user, "
         "writable by no one else, in a parent others cannot write to unless it is sticky); " +
         (fallback.empty() ? std::string("no cache") : "using " + fallback.string()));
  return fallback;
}

bool krvk_is_cl_style(std::string_view compiler) {
  const std::vector<std::string> words = words_of(compiler);
  if (words.size() != 1) return false;
  const std::string_view whole = words[0];
  const size_t cut = whole.find_last_of("/\\");
  std::string program(cut == std::string_view::npos ? whole : whole.substr(cut + 1));
  std::transform(program.begin(), program.end(), program.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return program == "cl" || program == "cl.exe" || program == "clang-cl" || program == "clang-cl.exe";
}

bool krvk_probe_compiler(const std::string& compiler, std::string* why, const std::atomic<uint8_t>* abandon) {
  std::optional<std::vector<std::string>> argv = krvk_split_command(compiler);
  if (!argv || argv->empty()) {
    if (why != nullptr) *why = argv ? "it names no program" : "a double quote is not closed";
    return false;
  }
  const char* probe = krvk_is_cl_style(compiler) ? " /nologo /?" : " --version";
  for (const std::string& word : words_of(probe)) argv->push_back(word);
  const char* tmpdir = non_empty_env("TMPDIR");
  const fs::path probe_base = fs::path(tmpdir != nullptr ? tmpdir : "/tmp") / "korvalang-probe";
  const private_temporary_directory probe_files(probe_base.string());
  krv_platform::process_watch watch{abandon, probe_files};
  const int status =
      krv_platform::run_process(*argv, nullptr, std::chrono::milliseconds(krvk_jit_run_limit_ms.load()), 0, &watch);
  if (status == 0) return true;
  if (why == nullptr) return false;
  *why = "the probe (" + compiler + probe + ") ";
  switch (watch.end) {
    case krv_platform::process_end::exited: *why += "exited with status " + std::to_string(status); break;
    case krv_platform::process_end::not_started: *why += "could not be started"; break;
    case krv_platform::process_end::signalled: *why += "was ended by a signal"; break;
    case krv_platform::process_end::timed_out: *why += "timed out after " + krvk_run_limit_text(); break;
    case krv_platform::process_end::abandoned: *why += "was abandoned"; break;
  }
  return false;
}

std::optional<std::vector<std::string>> krvk_split_command(std::string_view command) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  bool quoted = false;
  for (const char c : command) {
    if (c == '"') {
      quoted = !quoted;
      in_word = true;  // "" is an empty word
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (quoted) return std::nullopt;
  if (in_word) words.push_back(std::move(word));
  return words;
}

int krvk_run_command(const std::vector<std::string>& argv, std::string& output, const krvk_build_options& options,
                     krv_platform::process_end* end, const std::string& temporary_directory) {
  krv_platform::process_watch watch{options.abandon, temporary_directory};
  const int status = krv_platform::run_process(argv, &output, std::chrono::milliseconds(krvk_jit_run_limit_ms.load()),
                                               options.niceness, &watch);
  if (end != nullptr) *end = watch.end;
  return status;
}

std::string krvk_run_limit_text() {
  const int64_t ms = krvk_jit_run_limit_ms.load();
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 != 0) {
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(ms % 1000));
    text += fraction;
    text.erase(text.find_last_not_of('0') + 1);
  }
  return text + " s";
}

std::string krvk_quote_arg(std::string_view text) { return "\"" + std::string(text) + "\""; }

krvk_native_fn krvk_jit_load(const std::string& path, std::string& error) {
  std::string reason;
  const krvk_native_fn entry = load_entry(path, error, reason);
  if (entry == nullptr) warn(error + ": " + reason);
  return entry;
}

bool krvk_jit_abandon_every_build(std::chrono::milliseconds patience) {
  krvk_jit_builder::instance().stop_for_good();
  const auto give_up = std::chrono::steady_clock::now() + patience;
  while (builds_in_flight.load(std::memory_order_seq_cst) != 0) {
    if (std::chrono::steady_clock::now() >= give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

krvk_native_fn krvk_jit_compile(const std::string& source, std::string& error, const krvk_build_options& options) {
  // Counted first, then the flag read: a process that sets the flag and then finds no build in flight
  // knows that every later build sees the flag before it makes a file or starts a compiler.
  const build_in_flight counted;
  if (options.abandon != nullptr && options.abandon->load(std::memory_order_seq_cst) != 0) {
    error = "abandoned: the process is ending";
    return nullptr;
  }
  const krvk_jit_tools tools = krvk_jit_discover(options.abandon);
  if (tools.compiler.empty()) {
    error = tools.refusal.empty() ? kNoCompiler : tools.refusal;
    return nullptr;
  }
  if (tools.cache_dir.empty()) {
    error = kNoDirectory;
    return nullptr;
  }
  const bool cl_style = krvk_is_cl_style(tools.compiler);
  const char* flags = cl_style ? kClFlags : kGccFlags;
  const uint64_t key = krvk_jit_hash_bytes(
      source, krvk_jit_hash_bytes(std::string("krvk-jit-1\n") + tools.compiler + "\n" + flags + "\n"));
  if (krvk_native_fn known = already_loaded(key)) return known;
  if (at_loaded_cap(error)) return nullptr;
  const std::string stem_path = stem_path_of(tools.cache_dir, key);
  if (cached_library_intact(key, stem_path)) {
    std::string ignored, reason;  // an unloadable cache file is built anew
    if (load_never_finished(stem_path, reason)) {
      warn("kernel cache entry " + stem_path + ".so refused: " + reason + "; removed, building the kernel anew");
      for (const char* extension : {".so", ".sum", ".loading"}) remove_quietly(stem_path + extension);
    } else if (krvk_native_fn found = load_marked(stem_path, ignored, reason)) {
      return remember(key, found);
    } else {
      warn("kernel cache entry " + stem_path + ".so refused: " + reason + "; building the kernel anew");
    }
  }
  error = gave_up_compiling();
  if (!error.empty()) return nullptr;
  krvk_native_fn built = build_library(tools, cl_style, flags, key, source, options, error);
  return built == nullptr ? nullptr : remember(key, built);
}
