// Running an external program without a shell, bounded in time and in the output it may keep.
//
// The program is started from an argument vector (the first element is looked up in PATH), so no
// word of it is ever expanded or interpreted. The child runs in a process group of its own, with
// standard input on /dev/null and standard output and error on one pipe; every other descriptor of
// this process is closed in the child, so it can hold neither the pipes of other runs nor the locks
// of shared-memory rings.
//
// The output is collected the way a line reader with a 512-byte buffer sees it: it is cut into pieces
// that end at a newline or after 511 bytes, and a piece is kept only while the output holds fewer
// than 16,384 bytes; later pieces are read and dropped. The kept output is therefore at most
// 16,894 bytes, whatever the program prints.
//
// When the program has not ended within the time limit, or after it ended, its whole process group
// is killed, and the program is always reaped before the call returns. The call returns when the
// program ends, with what it printed: a process that left the group and holds the pipe open (a
// compiler's server started with setsid) does not hold the call up.
//
// The group outlives no end of this process, SIGKILL included: it is led by a watchdog, a child forked
// first that holds no descriptor and waits for the parent-death signal (PR_SET_PDEATHSIG, sent when the
// thread that forked it ends: the calling thread, which stays in this call until the group is gone),
// and then kills the group, so the program's own children (a compiler driver's cc1, as, ld) die with it.
// A parent-death signal on the program itself would miss those, and would fire at once for a program
// spawned from the short-lived thread that sets its niceness (below).
//
// A positive niceness lowers the program's priority from its start (the processes it starts
// inherit it): work in the background then gives way to the threads of this process.
//
// A caller may name a temporary directory: the program then sees it as TMPDIR, so the files a compiler
// makes there for itself (and leaves when it is killed) stay where the caller can remove them.
//
// A caller may hand in an abandon flag: once it reads non-zero (looked at every 10 ms at most), the
// program's group is killed as at the time limit, so a run whose result nobody will use (a build when
// the workers stop) ends within milliseconds; a flag already set starts nothing. The caller may also
// learn how the run ended.
#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace krv_platform {

inline constexpr size_t process_output_piece = 511;  // longest piece, as a 512-byte line buffer reads
inline constexpr size_t process_output_keep = 16384;  // pieces are kept while the output is shorter

// How a run ended.
enum class process_end : uint8_t {
  exited,       // the program exited; the status is its exit status
  not_started,  // it could not be started (no such program, not executable, no pipe)
  signalled,    // a signal ended it, or its status could not be read
  timed_out,    // it ran past the time limit and was killed
  abandoned,    // the abandon flag was set and it was killed
};

// What a caller may give and learn beyond the status; every field is optional.
struct process_watch {
  const std::atomic<uint8_t>* abandon = nullptr;  // non-zero: kill the program, the run ends abandoned
  std::string temporary_directory{};               // non-empty: the program's TMPDIR
  process_end end = process_end::exited;           // written by run_process
};

// The exit status of the program (0..255), or -1 when it could not be started, was ended by a signal,
// ran past `limit` or was abandoned. `output`, when not null, receives what it printed (cleared first).
int run_process(const std::vector<std::string>& argv, std::string* output, std::chrono::milliseconds limit,
                int niceness = 0, process_watch* watch = nullptr);

// The id of this process.
uint64_t current_process_id() noexcept;

}  // namespace krv_platform
