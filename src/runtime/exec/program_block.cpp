#include "runtime/exec/program_block.h"

krv_program_block_symbol_table& krv_program_block::symbol_table() {
  if (!symbols) symbols = krvptr_strong<krv_program_block_symbol_table>::from_raw(new krv_program_block_symbol_table());
  return *symbols;
}

void krv_program_block::set_code(std::vector<uint8_t> bytes) {
  code = std::move(bytes);
  code_begin = code.data();
  code_end = code.data() + code.size();
}
