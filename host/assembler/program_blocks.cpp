#include "program_blocks.h"

#include <unordered_set>

std::vector<const krv_program_block*> krv_program_blocks(const krv_program& program) {
  // Depth first with an explicit stack: nesting as deep as a program may hold takes no call stack.
  // Each block's body and children are pushed last to first, so they come off in canonical order, and a
  // block is listed when it first comes off, as a recursive walk would list it.
  std::vector<const krv_program_block*> order;
  std::unordered_set<const krv_program_block*> listed;
  std::vector<const krv_program_block*> pending{program.root.get()};
  while (!pending.empty()) {
    const krv_program_block* block = pending.back();
    pending.pop_back();
    if (block == nullptr || !listed.insert(block).second) continue;
    order.push_back(block);
    pending.push_back(block->body.get());
    for (auto child = block->children.rbegin(); child != block->children.rend(); ++child) pending.push_back(child->get());
  }
  return order;
}
