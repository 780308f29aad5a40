// Fuzz target script_text: the input as script text. It is refused on one of its own lines, or it
// assembles into a program that verifies and whose disassembly assembles back to the same code and the
// same listing (script_text_round_trip.h). A verified program whose code cannot loop then runs as a task
// with a call-depth limit of 64 (script_task_run.h): it must end without a crash.
#include <string>

#include "fuzz_support.h"
#include "script_task_run.h"
#include "script_text_round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  krv_fuzz_vm& vm = krv_fuzz_vm::instance();
  vm.clear_log();
  const std::string text(reinterpret_cast<const char*>(data), size);
  bool accepted = false;
  krvptr_strong<krv_program> program;
  const std::string fault = krv_script_text_fault(text, accepted, &program);
  if (!fault.empty()) std::fprintf(stderr, "%s\n", fault.c_str());
  KRV_FUZZ_CHECK(fault.empty());
  if (program && krv_program_runs_to_an_end(*program)) krv_run_root_as_task(vm.host(), *program);
  return 0;
}
