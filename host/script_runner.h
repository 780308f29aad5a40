// `krvhost run`: a script file in the assembler's text form, run on a VM of our own.
//
// The file is read only when it is a regular file within the size limit (script_file.h), and the text
// is assembled and verified first; a refused file or text is reported (with its line) and nothing runs.
// Every `native` is bound by name (native_binding.h): one of the host's own natives (host_natives.h),
// else "ns.fn" to that function of the module's namespace, declared within the argument counts the
// function registered; an unknown name or a wider declaration is reported with its line and nothing runs.
// The root block runs as a task on a VM thread of its own, with the host's workers, and the VM ticks
// until nothing is left to do: no task due or running on a worker, and nothing on the update list that
// keeps the run alive (a connected IPC channel; one not connected can never bring work). A root task that
// ends with an unhandled error ends the run at once, whatever is still listed; an error that no catch
// takes in another task (a std.thread task, a callback, a finaliser) is reported and the run goes on,
// but it exits KRV_RUN_FAILED at the end. SIGINT, SIGTERM and SIGHUP end the run in order (run_stop.h).
// Error and warning lines go to stderr. At the end the workers are stopped, the tasks left are dropped
// and the globals released: their finalisers may still hand work off, which the VM thread then runs
// itself, and the VM runs until the last of them has returned (or a stop is asked for meanwhile). Every
// kernel build is abandoned (its compiler killed, its files removed) while the signal handlers still
// stand. A worker still inside a job after a quarter of a second (a long regex match, or an idle_ms
// whose task a failed run left behind; a stop ends an idle_ms at once) is not waited for: once the
// finalisers have run, the process ends without destroying the VM or the program, naming the native
// the worker runs.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Exit codes of a run.
enum krv_run_exit : int {
  KRV_RUN_OK = 0,
  KRV_RUN_FAILED = 1,    // a task or callback ended with an unhandled error, tasks were left waiting, or
                         // standard output could not be written
  KRV_RUN_REFUSED = 2,   // the file could not be read, or its text was refused; nothing ran
  KRV_RUN_SIGNALLED = 128,  // + the signal's number: stopped by SIGINT (130), SIGTERM (143) or SIGHUP (129)
};

struct krv_run_options {
  std::string path;
  uint32_t workers = 2;
  std::vector<std::string> script_args;  // the words after FILE, as `script_args` gives them
};

int krv_run_script_file(const krv_run_options& options);

// Flushes standard output (standard_output.h): a run that would exit 0 exits KRV_RUN_FAILED when
// anything it printed could not be written; another status stays.
int krv_run_exit_with_output_written(int exit_code);
