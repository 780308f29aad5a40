// krvhost's standard output: what scripts print and what `info`, `--version` and `--help` list.
//
// Output that cannot be written must not pass for success, as with any command-line tool: the first
// write or flush that fails (a full disk, /dev/full, a closed stdout) is said once on stderr,
// "krvhost: cannot write standard output: REASON", nothing is written after it (text after a lost piece
// would only mislead), and the command exits 1 at its end. A run goes on to its end as it would have.
//
// A standard descriptor (0, 1, 2) that is closed when the process starts is taken by /dev/null opened
// for reading before anything else is opened: otherwise the next file the process opens (the script,
// the signal pipe, a channel's shared memory) would land on it, and what is printed would be written
// into that file. A write to the stand-in fails with EBADF, as on the closed descriptor.
//
// Output into a pipe or a socket goes out at each line (line buffering, as on a terminal), so that a
// reader (`| tee`, a supervising process) sees each line when it is printed; into a regular file or a
// device other than a terminal it stays fully buffered and goes out in blocks.
//
// A reader that goes away (`| head`) ends the process with SIGPIPE at the next write, as it ends other
// programs; with SIGPIPE ignored, that write fails as above.
#pragma once
#include <chrono>
#include <string_view>

// First thing in main, before anything is opened or written.
void krv_stdout_prepare();
// Writes `text` unless an earlier write failed; false when this one or an earlier one failed. Called by
// one thread at a time (the VM thread, for `print`).
bool krv_stdout_write(std::string_view text);
// Flushes what is buffered; false when this or any earlier write or flush failed (said once on stderr).
bool krv_stdout_flush();
// True while a krv_stdout_write is under way: a reader that does not read keeps it so once the pipe is
// full.
bool krv_stdout_write_waits();
// For a process about to _exit: krv_stdout_flush on a thread of its own, waited for at most `patience`
// (a writer blocked on a full pipe holds the output's lock for as long as nobody reads). False when it
// failed or did not end in time.
bool krv_stdout_flush_within(std::chrono::milliseconds patience);
