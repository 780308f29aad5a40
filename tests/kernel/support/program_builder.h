// Test-side construction and running of kernel programs without the compiler.
//
// `krvk_test_program` assembles a `krvk_program` by hand: the builtin registers get their fixed numbers
// (gid 0, gsize 1, acc 2, gid_x 3, gid_y 4, gsize_x 5, gsize_y 6), parameters and constants get registers
// and slots in the order they are declared, and instructions are emitted with an optional source line.
// `krvk_test_run` owns a register file and pointer slots for one program, binds vectors to pointer slots
// and runs the scalar interpreter (the prologue first, when there is one), so tests read results straight
// from registers and bound memory.
#pragma once
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kernel/compiler/program.h"
#include "kernel/runtime/run_records.h"
#include "kernel/runtime/scalar_interpreter.h"

class krvk_test_program {
 public:
  static constexpr uint16_t kFirstFreeRegister = 7;

  explicit krvk_test_program(std::string name = "k") : program_(std::make_shared<krvk_program>()) {
    program_->name = std::move(name);
    program_->gid_reg = 0;
    program_->gsize_reg = 1;
    program_->acc_reg = 2;
    program_->gid_x_reg = 3;
    program_->gid_y_reg = 4;
    program_->gsize_x_reg = 5;
    program_->gsize_y_reg = 6;
    program_->register_count = kFirstFreeRegister;
    program_->register_names = {"gid", "gsize", "", "gid_x", "gid_y", "gsize_x", "gsize_y"};
  }

  // A fresh register with an optional name for listings.
  uint16_t reg(const std::string& name = "") {
    program_->register_names.push_back(name);
    return static_cast<uint16_t>(program_->register_count++);
  }

  // A scalar parameter: its own register, named after the parameter.
  uint16_t scalar_param(const std::string& name, uint8_t prim) {
    krvk_param param;
    param.name = name;
    param.type.prim = prim;
    param.reg = reg(name);
    param.element_size = static_cast<uint32_t>(krvk_prim_size(prim));
    param.type_text = krvk_type_name({}, param.type);
    program_->parameters.push_back(param);
    return param.reg;
  }

  // A pointer parameter: the next pointer slot.
  uint16_t pointer_param(const std::string& name, uint8_t prim, bool is_const = false) {
    krvk_param param;
    param.name = name;
    param.type = krvk_type{prim, -1, 1, static_cast<uint8_t>(is_const)};
    param.pointer_slot = static_cast<uint16_t>(program_->pointer_count++);
    param.element_size = static_cast<uint32_t>(krvk_prim_size(prim));
    param.type_text = krvk_type_name({}, param.type);
    program_->parameters.push_back(param);
    program_->frame_slot = static_cast<uint16_t>(program_->pointer_count);
    return param.pointer_slot;
  }

  // A per-work-item frame in the slot after the pointer parameters.
  uint16_t frame(uint32_t bytes) {
    program_->frame_bytes = bytes;
    program_->frame_slot = static_cast<uint16_t>(program_->pointer_count);
    return program_->frame_slot;
  }

  // A constant register ("#" in listings) loaded before each run.
  uint16_t constant(uint8_t prim, uint64_t bits) {
    const uint16_t r = reg("#");
    program_->constants.push_back(krvk_const{r, prim, bits});
    return r;
  }

  // A scalar accumulator in the fixed acc register, as a kernel with a `reduce` result has.
  void scalar_result(uint8_t prim, uint8_t op, const std::string& result_text) {
    program_->result_type.prim = prim;
    program_->reduction = op;
    program_->result_text = result_text;
    program_->accumulators.push_back(krvk_acc{program_->acc_reg, prim, op, 0, ""});
    program_->register_names[program_->acc_reg] = "acc";
  }

  void two_d() { program_->two_d = 1; }

  // Appends one instruction and returns its index; a line of 0 leaves the line table alone.
  uint32_t emit(uint16_t op, uint16_t a = 0, uint16_t b = 0, uint16_t c = 0, uint64_t x = 0, uint32_t line = 0) {
    program_->code.push_back(krvk_insn{op, a, b, c, x});
    if (line != 0) {
      program_->line_table.resize(program_->code.size() - 1, 0);
      program_->line_table.push_back(line);
      program_->file_table.resize(program_->code.size(), 0);
    }
    return static_cast<uint32_t>(program_->code.size() - 1);
  }

  krvk_program& program() { return *program_; }
  std::shared_ptr<krvk_program> share() { return program_; }

 private:
  std::shared_ptr<krvk_program> program_;
};

class krvk_test_run {
 public:
  explicit krvk_test_run(const krvk_program& program)
      : program_(program),
        regs_(program.register_count, 0),
        ptrs_(program.pointer_count + (program.frame_bytes != 0 ? 1 : 0), kptr{nullptr, 0, 0, 0}),
        frame_(program.frame_bytes, 0) {
    for (const krvk_const& constant : program.constants) regs_[constant.reg] = constant.bits;
    if (program.frame_bytes != 0) {
      ptrs_[program.frame_slot] = kptr{frame_.data(), 1, program.frame_bytes, program.frame_bytes};
    }
  }

  // Binds a vector to a pointer slot: count = elements, stride = element size.
  template <class T>
  void bind(uint16_t slot, std::vector<T>& data) {
    ptrs_[slot] = kptr{reinterpret_cast<uint8_t*>(data.data()), data.size(), sizeof(T), data.size() * sizeof(T)};
  }
  void bind_raw(uint16_t slot, const kptr& ptr) { ptrs_[slot] = ptr; }

  uint64_t& reg(uint16_t r) { return regs_[r]; }
  template <class T>
  void set_reg(uint16_t r, T value) {
    std::memcpy(&regs_[r], &value, sizeof value);
  }

  // Sets gsize (and for 2-D programs the width and height) as a launch over that domain would.
  void domain(uint64_t width, uint64_t height = 1) {
    regs_[program_.gsize_reg] = width * height;
    regs_[program_.gsize_x_reg] = width;
    regs_[program_.gsize_y_reg] = height;
  }

  // Runs the prologue, when the program has one, on this register file as a lane runner does before its
  // first work item (its launch-uniform results stay valid for the whole range), then the range.
  uint8_t run(uint64_t gid_begin, uint64_t gid_end, const volatile unsigned char* abort = nullptr,
              uint32_t start_pc = 0) {
    kptr* ptrs = ptrs_.empty() ? nullptr : ptrs_.data();
    if (program_.prologue && program_.register_count != 0) {
      ktrap scratch{};
      krvk_interpret(program_.prologue.get(), regs_.data(), ptrs, 0, 1, nullptr, &scratch, 0);
    }
    return krvk_interpret(&program_, regs_.data(), ptrs, gid_begin, gid_end, abort, &trap_, start_pc);
  }

  const ktrap& trap() const { return trap_; }
  ktrap& trap() { return trap_; }

 private:
  const krvk_program& program_;
  std::vector<uint64_t> regs_;
  std::vector<kptr> ptrs_;
  std::vector<uint8_t> frame_;
  ktrap trap_{};
};
