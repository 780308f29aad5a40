// Fuzz target script_text: the input as script text. It is refused on one of its own lines, or it
// assembles into a program that verifies and whose disassembly assembles back to the same code and the
// same listing (script_text_round_trip.h).
#include <string>

#include "fuzz_support.h"
#include "script_text_round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  krv_fuzz_vm::instance().clear_log();
  const std::string text(reinterpret_cast<const char*>(data), size);
  bool accepted = false;
  const std::string fault = krv_script_text_fault(text, accepted);
  if (!fault.empty()) std::fprintf(stderr, "%s\n", fault.c_str());
  KRV_FUZZ_CHECK(fault.empty());
  return 0;
}
