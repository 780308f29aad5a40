// Programs in the assembler's text form, run as tasks on the test thread's VM: the interpreter and
// continuation tests.
#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "exec_fixture.h"
#include "host/assembler/script_text.h"
#include "host/assembler/script_verifier.h"
#include "runtime/exec/interp/interpreter.h"
#include "runtime/exec/task/task_continue.h"
#include "runtime/objects/function_def.h"

class ScriptTest : public ExecTest {
 protected:
  void TearDown() override {
    krv_get_thread_local().current_task = nullptr;
    task.release();
    built.release();
    ExecTest::TearDown();
  }

  // Assembles `text` into `built`, verified (the text form refuses what the verifier finds); without
  // `verify`, code the verifier would refuse, to see what the interpreter does with it.
  krv_program& assemble(std::string_view text, bool verify = true) {
    built = verify ? krv_assemble_text(text) : krv_assemble_text_unverified(text);
    return *built;
  }
  // Gives the native declared as `name` its body.
  void bind(std::string_view name, krv_native_callable body) {
    for (auto& native : built->natives) {
      if (native->name == name) native->callable = body;
    }
  }
  // A task for the root block of `built`, started (parameters bound) and made current.
  krv_task& start() {
    // Made outside any task: a root task with no parent, named after the program alone.
    krv_get_thread_local().current_task = nullptr;
    task = krv_task_create(built->root, nullptr);
    task->bind_params(nullptr);
    krv_get_thread_local().current_task = task.get();
    return *task;
  }
  // Assembles and starts `text`, then continues the task until it stops running.
  krv_task& run(std::string_view text, bool verify = true) {
    assemble(text, verify);
    return run_started(start());
  }
  static krv_task& run_started(krv_task& started) {
    for (int i = 0; i < 1000 && task_continue(started); ++i) {
    }
    return started;
  }
  krvvar& result() { return *task->value_stack.back(); }
  // True when a warning or an error report in the log carries `message`.
  bool said(const std::string& message) const {
    for (const std::string& text : warnings())
      if (text.find(message) != std::string::npos) return true;
    return reported(message);
  }
  // True when an error report in the log carries `message`.
  bool reported(const std::string& message) const {
    for (const std::string& text : errors())
      if (text.find(message) != std::string::npos) return true;
    return false;
  }

  krvptr_strong<krv_program> built;
  krvptr_strong<krv_task> task;
};
