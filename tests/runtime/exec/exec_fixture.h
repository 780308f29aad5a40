// A VM owned by the test thread (lock held, information lines on, a collector on its log) and small
// builders of programs, blocks and tasks, for the task, frame and report tests.
#pragma once
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "module/thread_record.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/interp/program_records.h"
#include "runtime/exec/task/task.h"
#include "runtime/objects/log.h"
#include "runtime/objects/vm_context.h"
#include "value_test_vm.h"

class ExecTest : public ValueTest {
 protected:
  void SetUp() override {
    ValueTest::SetUp();
    vm.log().mask |= KRV_LOG_INFO;
    program = krvptr_strong<krv_program>::from_raw(new krv_program());
    program->name = "main.krv";
    program->global_scope = krvptr_strong<krv_global_scope>::from_raw(new krv_global_scope());
    program->global_scope->program = krvptr_weak<krv_program>(program);
  }
  void TearDown() override {
    krv_get_thread_local().current_task = nullptr;
    ValueTest::TearDown();
  }

  // A block of `kind` in the test program's global scope.
  krvptr_strong<krv_program_block> make_block(uint32_t kind, uint32_t locals = 0, uint32_t params = 0) {
    auto block = krvptr_strong<krv_program_block>::from_raw(new krv_program_block());
    block->kind = kind;
    block->local_count = locals;
    block->local_flags.assign(locals, 0);
    block->param_count = params;
    block->program = program.get();
    block->global_scope = krvptr_weak<krv_global_scope>(program->global_scope);
    return block;
  }
  // A root task of a fresh task block, made the thread's current task.
  krvptr_strong<krv_task> make_current_root(uint32_t locals = 0) {
    krvptr_strong<krv_task> root = krv_task_create(make_block(KRV_BLOCK_TASK, locals), nullptr);
    krv_get_thread_local().current_task = root.get();
    return root;
  }
  static std::string address_of(const void* address) {
    std::ostringstream text;
    text << address;
    return text.str();
  }
  std::vector<std::string> infos() const { return logged(KRV_LOG_INFO); }

  krvptr_strong<krv_program> program;
};
