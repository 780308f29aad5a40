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
// A positive niceness lowers the program's priority from its start (the processes it starts
// inherit it): work in the background then gives way to the threads of this process.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace krv_platform {

inline constexpr size_t process_output_piece = 511;  // longest piece, as a 512-byte line buffer reads
inline constexpr size_t process_output_keep = 16384;  // pieces are kept while the output is shorter

// The exit status of the program (0..255), or -1 when it could not be started, was ended by a signal
// or ran past `limit`. `output`, when not null, receives what it printed (cleared first).
int run_process(const std::vector<std::string>& argv, std::string* output, std::chrono::milliseconds limit,
                int niceness = 0);

// The id of this process.
uint64_t current_process_id() noexcept;

}  // namespace krv_platform
