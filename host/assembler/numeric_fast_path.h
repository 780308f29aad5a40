// The body of the numeric fast-path header (opcode 72): its steps and constants, as the assembler writes
// them and the disassembler reads them back.
//
// Steps and constants sit at fixed places in the 200-byte header (krv_numeric_fast_path); slots that
// are not used stay zero. The step count is written as given; the float mask has bit i set for every
// constant i that is a double.
#pragma once
#include <cstdint>
#include <vector>

struct krv_fast_path_step {
  uint8_t kind = 0;
  uint8_t depth = 0;
  uint32_t index = 0;
  bool operator==(const krv_fast_path_step&) const = default;
};

struct krv_fast_path_constant {
  bool is_float = false;
  uint64_t bits = 0;  // the i64, or the f64's bits
  bool operator==(const krv_fast_path_constant&) const = default;
};

struct krv_fast_path_body {
  std::vector<krv_fast_path_step> steps;          // at most 16
  std::vector<krv_fast_path_constant> constants;  // at most 6
};

// Writes `body` into the header starting at `header`; std::invalid_argument when it has too many steps
// or constants.
void krv_write_fast_path_body(uint8_t* header, const krv_fast_path_body& body);
// Reads the steps (as many as the step count says, none when it is 0 or less) and the constants up to
// the last one that is a double or non-zero (unused slots are zero, so nothing written is lost).
// std::invalid_argument for a step count above 16.
krv_fast_path_body krv_read_fast_path_body(const uint8_t* header);
