// What the fuzz targets share. Each target defines LLVMFuzzerTestOneInput over one kind of hostile input
// and checks a property that must hold for every input; a broken property aborts, so libFuzzer (or the
// replay driver of builds without it) reports the input that broke it.
//
// A target prints nothing per input and keeps no state from one input to the next: the VM's reports go
// to a collector that each input clears, and process-wide settings a target changes are put back.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "host/host_vm.h"
#include "host/log_collector.h"
#include "module/vm_lock.h"

// One VM for the whole fuzzing process, attached to the fuzzing thread with its lock held, so values take
// the pooled paths the interpreter takes. Never destroyed: inputs run until the process ends.
class krv_fuzz_vm {
 public:
  static krv_fuzz_vm& instance() {
    static krv_fuzz_vm* vm = new krv_fuzz_vm();
    return *vm;
  }
  // Drops what the previous input logged.
  void clear_log() { log_.clear(); }
  krv_host_vm& host() { return vm_; }

 private:
  krv_fuzz_vm() {
    vm_.attach_current_thread();
    lock_.emplace();
  }

  krv_host_vm vm_{"fuzz"};
  krv_log_collector log_{vm_.log()};
  std::optional<krv_vm_lock> lock_;
};

#define KRV_FUZZ_CHECK(condition)                                                                \
  do {                                                                                           \
    if (!(condition)) {                                                                          \
      std::fprintf(stderr, "fuzz property broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                              \
    }                                                                                            \
  } while (0)
