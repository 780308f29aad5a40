// Test-side compilation and running of kernel source on the scalar interpreter.
//
// `compile_unit` compiles a source (failing the test on a diagnostic), `compile_error` expects one and
// returns it. `krvk_kernel_call` binds vectors to a kernel's pointer parameters and values to its scalar
// parameters in declaration order, starts every accumulator at its reduction identity, runs the whole
// domain as one range and reads results back, as a launch on one thread would.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernel/compiler/compile_driver.h"
#include "kernel/runtime/reductions.h"
#include "kernel/runtime/trap_messages.h"
#include "kernel/support/program_builder.h"

inline std::shared_ptr<krvk_compiled_unit> compile_unit(const std::string& source) {
  kerror err;
  std::shared_ptr<krvk_compiled_unit> unit = krvk_compile_source(source, "test.k", err, {});
  EXPECT_NE(unit, nullptr) << err.line << ":" << err.column << ": " << err.message;
  return unit;
}

inline kerror compile_error(const std::string& source) {
  kerror err;
  std::shared_ptr<krvk_compiled_unit> unit = krvk_compile_source(source, "test.k", err, {});
  EXPECT_EQ(unit, nullptr) << "compiled: " << source;
  return err;
}

inline const krvk_program& kernel_named(const krvk_compiled_unit& unit, const std::string& name) {
  for (const auto& kernel : unit.kernels) {
    if (kernel->name == name) return *kernel;
  }
  throw std::runtime_error("no kernel " + name);
}

// Opcodes of a program in order, for shape tests.
inline std::vector<uint16_t> opcodes_of(const krvk_program& program) {
  std::vector<uint16_t> ops;
  for (const krvk_insn& insn : program.code) ops.push_back(insn.op);
  return ops;
}

inline const krvk_insn* find_opcode(const krvk_program& program, uint16_t op) {
  for (const krvk_insn& insn : program.code) {
    if (insn.op == op) return &insn;
  }
  return nullptr;
}

// One source that must fail, with its exact message and, where not 0, its column and line.
struct krvk_failure_case {
  std::string source;
  std::string message;
  uint32_t column = 0;
  uint32_t line = 0;
};

inline void expect_failures(const std::vector<krvk_failure_case>& cases) {
  for (const krvk_failure_case& c : cases) {
    SCOPED_TRACE(c.source);
    const kerror err = compile_error(c.source);
    EXPECT_EQ(err.message, c.message);
    if (c.column != 0) {
      EXPECT_EQ(err.column, c.column);
    }
    if (c.line != 0) {
      EXPECT_EQ(err.line, c.line);
    }
  }
}

inline size_t count_opcode(const krvk_program& program, uint16_t op) {
  size_t n = 0;
  for (const krvk_insn& insn : program.code) n += insn.op == op ? 1 : 0;
  return n;
}

class krvk_kernel_call {
 public:
  explicit krvk_kernel_call(const krvk_program& program) : program_(program), run_(program) {
    for (const krvk_acc& acc : program.accumulators) run_.reg(acc.reg) = krvk_reduce_identity(acc.op, acc.prim);
  }

  template <class T>
  krvk_kernel_call& buffer(std::vector<T>& data) {
    const krvk_param& param = next_param(true);
    // A buffer binds as many whole elements of the parameter's type as it holds.
    kptr ptr{reinterpret_cast<uint8_t*>(data.data()), data.size() * sizeof(T) / param.element_size, param.element_size,
             data.size() * sizeof(T)};
    run_.bind_raw(param.pointer_slot, ptr);
    return *this;
  }

  template <class T>
  krvk_kernel_call& scalar(T value) {
    const krvk_param& param = next_param(false);
    run_.reg(param.reg) = 0;
    run_.set_reg(param.reg, value);
    return *this;
  }

  // Runs every work item of a width x height domain; returns the trap code (0 when none).
  uint8_t run(uint64_t width, uint64_t height = 1) {
    run_.domain(width, height);
    return run_.run(0, width * height);
  }

  std::string trap_text() const { return krvk_trap_message(&program_, run_.trap()); }
  const ktrap& trap() const { return run_.trap(); }

  template <class T>
  T result(size_t accumulator = 0) const {
    T value{};
    const uint64_t cell = const_cast<krvk_test_run&>(run_).reg(program_.accumulators.at(accumulator).reg);
    std::memcpy(&value, &cell, sizeof value);
    return value;
  }

 private:
  const krvk_param& next_param(bool pointer) {
    size_t& next = pointer ? next_pointer_ : next_scalar_;
    while (next < program_.parameters.size()) {
      const krvk_param& param = program_.parameters[next++];
      if (param.type.is_pointer == pointer) return param;
    }
    throw std::runtime_error("no more parameters of that kind");
  }

  const krvk_program& program_;
  krvk_test_run run_;
  size_t next_pointer_ = 0;  // parameters are bound in declaration order, pointers and scalars apart
  size_t next_scalar_ = 0;
};
