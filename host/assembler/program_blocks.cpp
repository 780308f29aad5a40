#include "program_blocks.h"

#include <algorithm>

namespace {

void visit(const krv_program_block* block, std::vector<const krv_program_block*>& order) {
  if (block == nullptr || std::find(order.begin(), order.end(), block) != order.end()) return;
  order.push_back(block);
  for (const krvptr_strong<krv_program_block>& child : block->children) visit(child.get(), order);
  visit(block->body.get(), order);
}

}  // namespace

std::vector<const krv_program_block*> krv_program_blocks(const krv_program& program) {
  std::vector<const krv_program_block*> order;
  visit(program.root.get(), order);
  return order;
}
