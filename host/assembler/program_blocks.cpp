#include "host/assembler/program_blocks.h"

#include "host/assembler/address_index.h"

std::vector<krv_block_place> krv_program_walk(const krv_program& program) {
  // Each block's body and children are pushed last to first, so they come off in canonical order, and a
  // block is listed when it first comes off, as a recursive walk would list it.
  std::vector<krv_block_place> order;
  krv_address_index listed;
  std::vector<krv_block_place> pending{{program.root.get(), 0, 0, false}};
  while (!pending.empty()) {
    const krv_block_place place = pending.back();
    pending.pop_back();
    const auto index = static_cast<uint32_t>(order.size());
    if (place.block == nullptr || !listed.add(place.block, index)) continue;
    order.push_back(place);
    const krv_program_block& block = *place.block;
    pending.push_back({block.body.get(), index, place.depth + 1, true});
    for (auto child = block.children.rbegin(); child != block.children.rend(); ++child)
      pending.push_back({child->get(), index, place.depth + 1, false});
  }
  return order;
}

std::vector<const krv_program_block*> krv_program_blocks(const krv_program& program) {
  std::vector<const krv_program_block*> blocks;
  for (const krv_block_place& place : krv_program_walk(program)) blocks.push_back(place.block);
  return blocks;
}
