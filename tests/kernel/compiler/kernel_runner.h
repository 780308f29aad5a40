// Test-side compilation and running of kernel source on the scalar interpreter.
//
// `compile_unit` compiles a source (failing the test on a diagnostic), `compile_error` expects one and
// returns it. `krvk_kernel_call` binds vectors to a kernel's pointer parameters and values to its scalar
// parameters in declaration order, starts every accumulator at its reduction identity, runs the whole
// domain as one range and reads results back, as a launch on one thread would.
//
// Every unit that `compile_unit` makes with the default back-end passes is compiled a second time
// without them (and one made without them a second time with them), and every run of one of its kernels
// through `krvk_kernel_call` runs the twin too, on copies of the same buffers: memory, accumulators and
// trap records must come out the same.
// Every compiled kernel is also checked for what the passes must never break (operands inside the
// register file, jumps inside the code, prologue registers never written by the main code).
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernel/compiler/compile_driver.h"
#include "kernel/compiler/operand_walk.h"
#include "kernel/runtime/reductions.h"
#include "kernel/runtime/trap_messages.h"
#include "kernel/support/program_builder.h"

// Operands inside the register file, jumps inside the code, no main-code write to a prologue register.
inline void expect_sound_program(const krvk_program& program) {
  std::vector<bool> prologue_result(program.register_count, false);
  auto check_code = [&](const krvk_program& p, bool is_main) {
    for (size_t i = 0; i < p.code.size(); ++i) {
      const krvk_insn& insn = p.code[i];
      SCOPED_TRACE(p.name + " instruction " + std::to_string(i) + " " + krvk_opcode_name(insn.op));
      krvk_for_each_register_operand(insn, [&](char letter, uint16_t reg) {
        ASSERT_LT(reg, program.register_count);
        if (letter != 'D') return;
        if (!is_main) prologue_result[reg] = true;
        EXPECT_FALSE(is_main && prologue_result[reg]) << "the main code writes prologue register r" << reg;
      });
      krvk_for_each_operand(insn, [&](char letter, uint64_t value) {
        if (letter == 'J') {
          EXPECT_LT(value, p.code.size());
        }
      });
    }
  };
  if (program.prologue) check_code(*program.prologue, false);
  check_code(program, true);
}

// Units compiled the other way (with or without the back-end passes), by the kernel they mirror. Both
// units stay alive for the whole test process, so no program address is ever reused.
struct krvk_unoptimised_twins {
  std::map<const krvk_program*, const krvk_program*> by_program;
  std::vector<std::shared_ptr<krvk_compiled_unit>> units;

  static krvk_unoptimised_twins& instance() {
    static krvk_unoptimised_twins twins;
    return twins;
  }
  const krvk_program* find(const krvk_program& program) const {
    const auto it = by_program.find(&program);
    return it == by_program.end() ? nullptr : it->second;
  }
};

inline std::shared_ptr<krvk_compiled_unit> compile_unit(
    const std::string& source, const krvk_back_end_passes& passes = krvk_default_back_end_passes()) {
  kerror err;
  std::shared_ptr<krvk_compiled_unit> unit = krvk_compile_source(source, "test.k", err, {}, passes);
  EXPECT_NE(unit, nullptr) << err.line << ":" << err.column << ": " << err.message;
  if (unit == nullptr) return unit;
  for (const auto& kernel : unit->kernels) expect_sound_program(*kernel);
  // The twin is compiled the other way: without the passes for the default, with them for none.
  const bool default_passes = &passes == &krvk_default_back_end_passes();
  const bool no_passes = !passes.optimise && !passes.allocate_registers;
  if (!default_passes && !no_passes) return unit;
  std::shared_ptr<krvk_compiled_unit> plain = krvk_compile_source(
      source, "test.k", err, {}, default_passes ? krvk_back_end_passes{} : krvk_default_back_end_passes());
  EXPECT_NE(plain, nullptr) << "compiles only one way: " << err.message;
  if (plain == nullptr) return unit;
  krvk_unoptimised_twins& twins = krvk_unoptimised_twins::instance();
  for (size_t k = 0; k < unit->kernels.size(); ++k) twins.by_program[unit->kernels[k].get()] = plain->kernels[k].get();
  twins.units.push_back(unit);
  twins.units.push_back(plain);
  return unit;
}

// The emitter's own output, without the back-end passes: for tests that pin the code the checker emits.
inline std::shared_ptr<krvk_compiled_unit> compile_emitted(const std::string& source) {
  return compile_unit(source, krvk_back_end_passes{});
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
  explicit krvk_kernel_call(const krvk_program& program)
      : program_(program), run_(program), twin_(krvk_unoptimised_twins::instance().find(program)) {
    if (twin_ != nullptr) twin_run_ = std::make_unique<krvk_test_run>(*twin_);
    for (const krvk_acc& acc : program.accumulators) {
      run_.reg(acc.reg) = krvk_reduce_identity(acc.op, acc.prim);
      if (twin_run_) twin_run_->reg(acc.reg) = run_.reg(acc.reg);
    }
  }

  template <class T>
  krvk_kernel_call& buffer(std::vector<T>& data) {
    const krvk_param& param = next_param(true);
    // A buffer binds as many whole elements of the parameter's type as it holds.
    kptr ptr{reinterpret_cast<uint8_t*>(data.data()), data.size() * sizeof(T) / param.element_size, param.element_size,
             data.size() * sizeof(T)};
    run_.bind_raw(param.pointer_slot, ptr);
    bindings_.push_back({param.pointer_slot, ptr});
    return *this;
  }

  template <class T>
  krvk_kernel_call& scalar(T value) {
    const krvk_param& param = next_param(false);
    run_.reg(param.reg) = 0;
    run_.set_reg(param.reg, value);
    if (twin_run_) twin_run_->reg(param.reg) = run_.reg(param.reg);
    return *this;
  }

  // Runs every work item of a width x height domain; returns the trap code (0 when none). The twin,
  // when there is one, runs first on copies of the buffers and must end the same.
  uint8_t run(uint64_t width, uint64_t height = 1) {
    std::map<uint8_t*, std::vector<uint8_t>> copies;
    if (twin_run_) run_twin(width, height, copies);
    run_.domain(width, height);
    const uint8_t code = run_.run(0, width * height);
    if (twin_run_) expect_same_as_twin(code, copies);
    return code;
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
  struct binding {
    uint16_t slot;
    kptr ptr;
  };

  // Buffers bound to the same memory share one copy, so that aliasing stays as the test set it up.
  void run_twin(uint64_t width, uint64_t height, std::map<uint8_t*, std::vector<uint8_t>>& copies) {
    for (const binding& b : bindings_) {
      std::vector<uint8_t>& copy = copies[b.ptr.base];
      if (copy.size() < b.ptr.bytes) copy.assign(b.ptr.base, b.ptr.base + b.ptr.bytes);
    }
    for (const binding& b : bindings_) {
      kptr ptr = b.ptr;
      ptr.base = copies[b.ptr.base].data();
      twin_run_->bind_raw(b.slot, ptr);
    }
    twin_run_->domain(width, height);
    twin_code_ = twin_run_->run(0, width * height);
  }

  void expect_same_as_twin(uint8_t code, const std::map<uint8_t*, std::vector<uint8_t>>& copies) {
    SCOPED_TRACE("kernel " + program_.name + ": runs with and without the back-end passes differ");
    EXPECT_EQ(code, twin_code_);
    for (const binding& b : bindings_) {
      if (b.ptr.bytes == 0) continue;
      EXPECT_EQ(std::memcmp(b.ptr.base, copies.at(b.ptr.base).data(), b.ptr.bytes), 0) << "buffer in slot " << b.slot;
    }
    for (const krvk_acc& acc : program_.accumulators) EXPECT_EQ(run_.reg(acc.reg), twin_run_->reg(acc.reg)) << acc.name;
    if (code == 0 || code != twin_code_) return;
    const ktrap& mine = run_.trap();
    const ktrap& theirs = twin_run_->trap();
    EXPECT_EQ(mine.gid, theirs.gid);
    if (code == KRVK_TRAP_MISALIGNED) {
      // The value is an address: compare where it points inside the bound buffers.
      EXPECT_EQ(buffer_offset(mine.value, nullptr), buffer_offset(theirs.value, &copies));
    } else {
      EXPECT_EQ(mine.value, theirs.value);
    }
    EXPECT_EQ(std::memcmp(&mine.fvalue, &theirs.fvalue, sizeof mine.fvalue), 0) << mine.fvalue << " " << theirs.fvalue;
    EXPECT_EQ(mine.limit, theirs.limit);
    EXPECT_EQ(line_at(program_, mine.pc), line_at(*twin_, theirs.pc));
  }

  // "slot S + offset" of an address inside a bound buffer (or its twin copy), else the address itself.
  std::string buffer_offset(int64_t value, const std::map<uint8_t*, std::vector<uint8_t>>* copies) const {
    const auto address = static_cast<uint64_t>(value);
    for (const binding& b : bindings_) {
      const auto base = reinterpret_cast<uint64_t>(copies ? copies->at(b.ptr.base).data() : b.ptr.base);
      if (address >= base && address - base < b.ptr.bytes) {
        return "slot " + std::to_string(b.slot) + " + " + std::to_string(address - base);
      }
    }
    return std::to_string(address);
  }

  static uint32_t line_at(const krvk_program& program, uint32_t pc) {
    return pc < program.line_table.size() ? program.line_table[pc] : 0;
  }

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
  const krvk_program* twin_;  // the same kernel compiled the other way, or null
  std::unique_ptr<krvk_test_run> twin_run_;
  std::vector<binding> bindings_;
  uint8_t twin_code_ = 0;
  size_t next_pointer_ = 0;  // parameters are bound in declaration order, pointers and scalars apart
  size_t next_scalar_ = 0;
};
