// The reference the IPC channel is measured against: the same messages moved between two forked
// processes through pipes with plain read() and write(), started into a process_group so that they are
// timed exactly as a pair of krvhost runs is (from the first start to the last exit).
//
// - A stream: the writer writes COUNT messages of SIZE bytes, one write() per message (repeated only for
//   the part a full pipe did not take); the reader reads each message whole into its buffer. At the end
//   the reader answers one byte on a second pipe and the writer waits for it, as send_loop.krvasm waits
//   for count_loop.krvasm's "done".
// - Ping-pong: COUNT round trips of SIZE bytes over two pipes, one message in flight; the end of file on
//   ping's pipe is pong's end marker.
//
// A worker exits 0 only when it moved every byte it should have.
#pragma once
#include <cstddef>
#include <cstdint>

#include "process_group.h"

// Forks the reader, then the writer; false when a pipe or a fork failed (the reason is on stderr).
bool start_pipe_stream(process_group& group, uint64_t count, size_t size);
// Forks pong, then ping; false when a pipe or a fork failed.
bool start_pipe_ping_pong(process_group& group, uint64_t count, size_t size);
