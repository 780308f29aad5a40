// A VM owned by the test thread, with the VM lock held and a collector on its log, so values take the
// pooled paths the interpreter takes and every report can be read back.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/host_vm.h"
#include "host/log_collector.h"
#include "large_stack_thread.h"
#include "module/vm_lock.h"
#include "runtime/base/raise.h"

class ValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vm.attach_current_thread();
    lock.emplace();
  }
  void TearDown() override {
    lock.reset();
    krv_host_vm::detach_current_thread();
  }
  // The texts logged at `level`, in order.
  std::vector<std::string> logged(krv_log_level level) const {
    std::vector<std::string> texts;
    for (const krv_logged_line& line : log.lines())
      if (line.level == level) texts.push_back(line.text);
    return texts;
  }
  std::vector<std::string> warnings() const { return logged(KRV_LOG_WARNING); }
  std::vector<std::string> errors() const { return logged(KRV_LOG_ERROR); }
  // Runs `body` as the host's VM thread runs it: on a thread of its own with a 32 MiB stack (or
  // `stack_bytes`), the VM attached and locked. The test thread lets go of the lock meanwhile.
  void on_vm_thread(const std::function<void()>& body, size_t stack_bytes = krv_large_stack_bytes) {
    lock.reset();
    krv_run_on_large_stack([&] { as_vm_thread(body); }, stack_bytes);
    lock.emplace();
  }
  // Runs `body` on the calling thread with the VM attached and locked.
  void as_vm_thread(const std::function<void()>& body) {
    vm.attach_current_thread();
    {
      krv_vm_lock vm_lock;
      body();
    }
    krv_host_vm::detach_current_thread();
  }

  krv_host_vm vm{"value-test"};
  krv_log_collector log{vm.log()};
  std::optional<krv_vm_lock> lock;
};

// An error as the log shows it without a task: framed.
inline std::string framed(const std::string& message) { return krv_frame_error_text(message); }
