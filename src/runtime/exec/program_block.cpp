#include "runtime/exec/program_block.h"

namespace {

// Moves the block's children and body onto `pending`.
void detach_nested(krv_program_block& block, std::vector<krvptr_strong<krv_program_block>>& pending) {
  for (krvptr_strong<krv_program_block>& child : block.children) pending.push_back(std::move(child));
  block.children.clear();
  if (block.body) pending.push_back(std::move(block.body));
}

}  // namespace

krv_program_block::~krv_program_block() {
  // A nested block whose last strong handle is ours would otherwise end inside this destructor and
  // end its own nested blocks inside its destructor, one stack frame per level. Its nested blocks are
  // moved here first, so it ends with none and the loop takes them over.
  std::vector<krvptr_strong<krv_program_block>> pending;
  detach_nested(*this, pending);
  while (!pending.empty()) {
    krvptr_strong<krv_program_block> next = std::move(pending.back());
    pending.pop_back();
    if (next && next.block()->strong == 1) detach_nested(*next, pending);
  }
}

krv_program_block_symbol_table& krv_program_block::symbol_table() {
  if (!symbols) symbols = krvptr_strong<krv_program_block_symbol_table>::from_raw(new krv_program_block_symbol_table());
  return *symbols;
}

void krv_program_block::set_code(std::vector<uint8_t> bytes) {
  code = std::move(bytes);
  code_begin = code.data();
  code_end = code.data() + code.size();
}
