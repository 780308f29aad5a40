// `krvhost run`: a script file in the assembler's text form, run on a VM of our own.
//
// The text is assembled and verified first; a refused text is reported with its line and nothing runs.
// Every `native` is bound by name: "ns.fn" to that function of the module's namespace, `print` to the
// host's printer (argument texts joined by spaces, then a newline, on stdout) and `worker_sum` to a host
// native that sums 1..n on a worker through return_thread. The root block runs as a task on a VM thread
// of its own, with the host's workers, and the VM ticks until nothing is left to do. Error and warning
// lines go to stderr.
#pragma once
#include <cstdint>
#include <string>

// Exit codes of a run.
enum krv_run_exit : int {
  KRV_RUN_OK = 0,
  KRV_RUN_FAILED = 1,    // the root task ended with an unhandled error, or tasks were left waiting
  KRV_RUN_REFUSED = 2,   // the file could not be read, or its text was refused; nothing ran
};

struct krv_run_options {
  std::string path;
  uint32_t workers = 2;
};

int krv_run_script_file(const krv_run_options& options);
