#include "kernel/runtime/launch_runners.h"

#include <algorithm>
#include <cstring>

#include "kernel/compiler/opcodes.h"

namespace {

// Whether any jump of the program lands on or before itself.
bool jumps_backwards(const krvk_program& program) {
  for (size_t at = 0; at < program.code.size(); ++at) {
    const krvk_insn& insn = program.code[at];
    if (insn.op < KRVK_OPCODE_COUNT && std::strchr(krvk_opcode_signatures[insn.op], 'J') != nullptr && insn.x <= at)
      return true;
  }
  return false;
}

}  // namespace

int krvk_helpers_worth_starting(const krvk_program& program, uint64_t total, int allowed) noexcept {
  if (allowed <= 0) return 0;
  if (jumps_backwards(program)) return allowed;
  const uint64_t instructions = std::max<uint64_t>(program.code.size(), 1);
  const uint64_t runners = total / std::max<uint64_t>(krvk_work_per_runner / instructions, 1);
  return static_cast<int>(std::min<uint64_t>(runners == 0 ? 0 : runners - 1, static_cast<uint64_t>(allowed)));
}
