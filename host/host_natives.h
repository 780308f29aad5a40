// The host's own natives: what a script's `native N0 "name" MIN MAX` line binds when the name is one of
// the host's rather than a function "ns.fn" of the module.
//
//   print        argument texts joined by spaces, then a newline, on stdout (standard_output.h)
//   script_args  a std.json list of the script's arguments (the words after FILE) as strings
//   clock_ms     a float: milliseconds from a monotonic clock (only differences mean anything)
//   type_name    the value's type: "int", "float", "string", "json", "None", a class name for an object
//   size_of      length, byte count or entry count; 8 for a number; 0 for anything else
//   buffer_value a buffer value (what IPC can send) with the bytes of a string or a std.buffer
//   fail         raises its argument texts, joined by spaces, as a runtime error (the run exits 1)
//   worker_sum   sums 1..n on a worker through return_thread; n at most 4294967295 (the sum fits an int)
//   rss_bytes    an int: the process's resident set in bytes
//   idle_ms      waits n milliseconds (at most a minute) with the VM idle: the sleep runs on a worker
//                and ends at once when a stop is requested (platform/stop_request.h)
//
// The table holds each name once, and none of them has a dot, so no host native hides a function of
// the module.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "runtime/objects/function_def.h"

struct krv_host_native {
  std::string_view name;
  krv_native_callable function;
};

// The host's natives for a run whose script was given `script_words`. `script_args` reads the words
// where they are, so they must outlive every native bound from this table.
std::vector<krv_host_native> krv_host_natives(const std::vector<std::string>& script_words);
