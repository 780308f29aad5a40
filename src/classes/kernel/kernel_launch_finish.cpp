#include "classes/kernel/kernel_launch_finish.h"

#include <cstring>
#include <vector>

#include "classes/kernel/kernel_struct_json.h"
#include "kernel/runtime/trap_messages.h"
#include "runtime/base/raise.h"
#include "runtime/exec/interp/source_excerpt.h"

namespace {

// Where the trapping instruction came from: its own line and file when the tables reach it, else the
// kernel's declaration.
void trap_position(const krvk_program& program, uint32_t pc, std::string& file, uint32_t& line) {
  file = program.source_file;
  line = program.line;
  if (pc >= program.line_table.size()) return;
  line = program.line_table[pc];
  if (pc < program.file_table.size() && program.file_table[pc] < program.file_names.size()) {
    file = program.file_names[program.file_table[pc]];
  }
}

krvvar_shared raise_trap(const krvk_program& program, const krvk_launch& launch) {
  const ktrap& trap = launch.trap;
  std::string location = "gid " + std::to_string(trap.gid);
  if (program.two_d) {
    location += ", x " + std::to_string(trap.gid % launch.width) + ", y " + std::to_string(trap.gid / launch.width);
  }
  std::string file;
  uint32_t line = 0;
  trap_position(program, trap.pc, file, line);
  return krv_raise_error("kernel '", program.name, "' failed at ", path_file_name(file), ":", line, " (", location,
                         "): ", krvk_trap_message(&program, trap));
}

// The accumulators written into a zeroed struct block, each in the width of its type.
krvvar_shared struct_result(const krvk_compiled_unit& unit, const krvk_program& program,
                            const std::vector<uint64_t>& values) {
  const int32_t index = program.result_type.struct_index;
  std::vector<uint8_t> block(unit.structs[static_cast<size_t>(index)].size, 0);
  for (size_t i = 0; i < program.accumulators.size() && i < values.size(); ++i) {
    const krvk_acc& acc = program.accumulators[i];
    const size_t width = krvk_prim_size(acc.prim);
    if (acc.offset + width <= block.size()) std::memcpy(block.data() + acc.offset, &values[i], width);
  }
  return krv_kernel_struct_to_json(unit, index, block.data());
}

}  // namespace

krvvar_shared krv_kernel_launch_finish(krv_std_kernel& kernel, krv_kernel_launch_state& state) {
  state.release();
  const krvk_program& program = *kernel.program;
  const krvk_launch& launch = *state.launch;
  if (launch.trap_recorded.load()) return raise_trap(program, launch);
  if (launch.failed.load()) return krv_raise_error("kernel '", program.name, "': out of memory");
  if (!launch.ran_every_chunk())
    return krv_raise_error("kernel '", program.name, "' was stopped with the run before its end (",
                           launch.chunks_done.load(), " of ", launch.chunk_count, " chunks ran)");
  if (program.accumulators.empty()) return krvvar_shared::make_none();
  const std::vector<uint64_t> values = launch.collect_results();
  if (program.result_type.prim == KRVK_STRUCT) return struct_result(*kernel.unit, program, values);
  return krv_kernel_value_to_var(program.result_type.prim, values.empty() ? 0 : values[0]);
}
