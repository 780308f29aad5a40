#include "kernel/compiler/register_allocation.h"

#include <algorithm>
#include <atomic>
#include <bit>

#include "kernel/compiler/expression_value.h"
#include "kernel/compiler/operand_walk.h"
#include "kernel/compiler/optimiser.h"

namespace {

std::atomic<size_t> peak_interference_bytes{0};

void record_peak(size_t bytes) {
  size_t seen = peak_interference_bytes.load(std::memory_order_relaxed);
  while (bytes > seen && !peak_interference_bytes.compare_exchange_weak(seen, bytes, std::memory_order_relaxed)) {
  }
}

// Basic blocks of the main code with their successors.
struct block_graph {
  std::vector<size_t> starts;  // leader of each block; block b ends where block b + 1 starts
  std::vector<std::vector<uint32_t>> successors;
  size_t end(size_t b, size_t code_length) const { return b + 1 < starts.size() ? starts[b + 1] : code_length; }
};

bool ends_flow(uint16_t op) { return op == KOP_END || op == KOP_JMP || op == KOP_LOOP; }

block_graph build_blocks(const krvk_function_view& view) {
  const std::vector<krvk_insn>& code = view.program->code;
  const krvk_bitset leaders = krvk_opt_block_leaders(view);
  block_graph graph;
  std::vector<uint32_t> block_of(code.size() + 1, 0);
  for (size_t i = 0; i < code.size(); ++i) {
    if (leaders.test(i)) graph.starts.push_back(i);
    block_of[i] = static_cast<uint32_t>(graph.starts.size() - 1);
  }
  block_of[code.size()] = static_cast<uint32_t>(graph.starts.size());
  graph.successors.resize(graph.starts.size());
  for (size_t b = 0; b < graph.starts.size(); ++b) {
    const krvk_insn& last = code[graph.end(b, code.size()) - 1];
    krvk_for_each_operand(last, [&](char letter, uint64_t target) {
      if (letter == 'J' && target < code.size()) graph.successors[b].push_back(block_of[target]);
    });
    if (!ends_flow(last.op) && b + 1 < graph.starts.size()) graph.successors[b].push_back(static_cast<uint32_t>(b + 1));
  }
  return graph;
}

// Step 1: fixed registers keep their numbers, prologue results take F, F + 1, ...; returns B.
uint16_t preassign(const krvk_function_view& view, std::vector<int32_t>& colours) {
  const uint16_t n = view.register_count;
  for (uint16_t r = 0; r < view.fixed_registers && r < n; ++r) colours[r] = r;
  int32_t next = view.fixed_registers;
  if (const krvk_program* prologue = view.program->prologue.get()) {
    for (const krvk_insn& insn : prologue->code) {
      const uint16_t d = insn.a;
      if (insn.op == KOP_END || d < view.fixed_registers || d >= krvk_constant_operand_base || d >= n) continue;
      if (colours[d] < 0) colours[d] = next++;
    }
  }
  return static_cast<uint16_t>(next);
}

// The uncoloured body registers that some main-code instruction mentions, in register order.
krvk_allocation_members find_members(const krvk_function_view& view, const std::vector<int32_t>& colours) {
  krvk_allocation_members members;
  members.index.assign(view.register_count, -1);
  krvk_bitset mentioned(view.register_count);
  for (const krvk_insn& insn : view.program->code) {
    krvk_for_each_register_operand(insn, [&](char, uint16_t reg) {
      if (reg < view.register_count && colours[reg] < 0) mentioned.set(reg);
    });
  }
  mentioned.for_each([&](size_t reg) {
    members.index[reg] = static_cast<int32_t>(members.registers.size());
    members.registers.push_back(static_cast<uint16_t>(reg));
  });
  return members;
}

// Numbers the members that can be live where a block begins: mentioned in more than one block, or read
// in their only block before it writes them (a value carried around a loop of one block, or never
// written at all).
void find_globals(const krvk_function_view& view, const block_graph& graph, krvk_allocation_members& members) {
  const std::vector<krvk_insn>& code = view.program->code;
  const size_t m = members.registers.size();
  std::vector<int64_t> first_block(m, -1);
  std::vector<uint8_t> global(m, 0);
  for (size_t b = 0; b < graph.starts.size(); ++b) {
    for (size_t i = graph.starts[b]; i < graph.end(b, code.size()); ++i) {
      // Reads before the write, as the instruction performs them.
      for (const bool reads : {true, false}) {
        krvk_for_each_register_operand(code[i], [&](char letter, uint16_t reg) {
          const int32_t k = members.member(reg);
          if (k < 0 || krvk_is_read_letter(letter) != reads) return;
          if (first_block[k] < 0) {
            first_block[k] = static_cast<int64_t>(b);
            global[k] = reads ? 1 : 0;
          } else if (first_block[k] != static_cast<int64_t>(b)) {
            global[k] = 1;
          }
        });
      }
    }
  }
  members.global_index.assign(m, -1);
  for (size_t k = 0; k < m; ++k) {
    if (global[k] == 0) continue;
    members.global_index[k] = static_cast<int32_t>(members.globals.size());
    members.globals.push_back(static_cast<uint32_t>(k));
  }
}

// Steps 3 and 4: live-out set of every block (global numbers), iterated to a fixed point over whole blocks.
std::vector<krvk_bitset> live_out_sets(const krvk_function_view& view, const block_graph& graph,
                                       const krvk_allocation_members& members) {
  const std::vector<krvk_insn>& code = view.program->code;
  const size_t blocks = graph.starts.size(), m = members.globals.size();
  std::vector<krvk_bitset> use(blocks, krvk_bitset(m)), def(blocks, krvk_bitset(m));
  std::vector<krvk_bitset> in(blocks, krvk_bitset(m)), out(blocks, krvk_bitset(m));
  for (size_t b = 0; b < blocks; ++b) {
    for (size_t i = graph.starts[b]; i < graph.end(b, code.size()); ++i) krvk_opt_collect_uses(code[i], members, use[b], def[b]);
  }
  krvk_bitset new_out(m), new_in(m);
  for (bool changed = true; changed;) {
    changed = false;
    for (size_t b = blocks; b-- > 0;) {
      new_out.clear();
      for (uint32_t s : graph.successors[b]) new_out.unite(in[s]);
      std::vector<uint64_t>& words = new_in.words();
      for (size_t w = 0; w < words.size(); ++w) {
        words[w] = (new_out.words()[w] & ~def[b].words()[w]) | use[b].words()[w];
      }
      if (new_in == in[b] && new_out == out[b]) continue;
      std::swap(in[b], new_in);
      std::swap(out[b], new_out);
      changed = true;
    }
  }
  return out;
}

// Step 6: greedy colouring in register order; every member gets the lowest number from B that no
// already coloured neighbour has.
void colour_members(const krvk_allocation_members& members, const krvk_interference_rows& rows, uint16_t first,
                    std::vector<int32_t>& colours) {
  std::vector<uint8_t> taken(members.registers.size() + 1, 0);
  std::vector<int32_t> marked;
  for (size_t j = 0; j < members.registers.size(); ++j) {
    const uint64_t* row = rows.row(j);
    for (size_t w = 0; w < rows.width(); ++w) {
      for (uint64_t word = row[w]; word != 0; word &= word - 1) {
        const size_t k = w * 64 + static_cast<size_t>(std::countr_zero(word));
        const int32_t colour = colours[members.registers[k]];
        if (k == j || colour < first) continue;
        taken[colour - first] = 1;
        marked.push_back(colour - first);
      }
    }
    int32_t offset = 0;
    while (taken[offset] != 0) ++offset;
    colours[members.registers[j]] = first + offset;
    for (int32_t o : marked) taken[o] = 0;
    marked.clear();
  }
}

}  // namespace

void krvk_opt_collect_uses(const krvk_insn& insn, const krvk_allocation_members& members, krvk_bitset& use,
                           krvk_bitset& def) {
  krvk_for_each_register_operand(insn, [&](char letter, uint16_t reg) {
    const int32_t g = members.global(reg);
    if (g >= 0 && krvk_is_read_letter(letter) && !def.test(g)) use.set(g);
  });
  krvk_for_each_register_operand(insn, [&](char letter, uint16_t reg) {
    const int32_t g = members.global(reg);
    if (g >= 0 && letter == 'D') def.set(g);
  });
}

void krvk_opt_interference(const krvk_insn& insn, const krvk_allocation_members& members, krvk_live_set& live,
                           krvk_interference_rows& rows) {
  krvk_for_each_register_operand(insn, [&](char letter, uint16_t reg) {
    const int32_t d = members.member(reg);
    if (d < 0 || letter != 'D') return;
    for (uint32_t other : live.members()) rows.add(static_cast<size_t>(d), other);
    live.erase(static_cast<uint32_t>(d));
  });
  krvk_for_each_register_operand(insn, [&](char letter, uint16_t reg) {
    const int32_t m = members.member(reg);
    if (m >= 0 && krvk_is_read_letter(letter)) live.insert(static_cast<uint32_t>(m));
  });
}

void krvk_opt_rename_registers(krvk_insn& insn, const std::vector<int32_t>& colours) {
  krvk_for_each_register_operand(insn, [&](char, uint16_t& reg) {
    if (reg < colours.size()) reg = static_cast<uint16_t>(colours[reg]);
  });
}

uint16_t krvk_opt_allocate_registers(krvk_function_view& view) {
  krvk_program& program = *view.program;
  std::vector<int32_t> colours(view.register_count, -1);
  const uint16_t first = preassign(view, colours);
  if (program.code.empty()) return first;
  krvk_allocation_members members = find_members(view, colours);
  const block_graph graph = build_blocks(view);
  find_globals(view, graph, members);
  const std::vector<krvk_bitset> live_out = live_out_sets(view, graph, members);
  krvk_interference_rows rows(members.registers.size());
  record_peak(rows.bytes());
  krvk_live_set live(members.registers.size());
  for (size_t b = 0; b < graph.starts.size(); ++b) {
    live.assign(live_out[b], members);
    for (size_t i = graph.end(b, program.code.size()); i-- > graph.starts[b];) {
      krvk_opt_interference(program.code[i], members, live, rows);
    }
  }
  colour_members(members, rows, first, colours);
  int32_t highest = first - 1;
  for (int32_t& colour : colours) {
    // A register that no instruction mentions needs no number of its own: it takes B.
    if (colour < 0) colour = first;
    if (colour >= first) highest = std::max(highest, colour);
  }
  for (krvk_insn& insn : program.code) {
    krvk_opt_rename_registers(insn, colours);
    // A copy into the register it copies from (the source's life ended where the copy's began) does
    // nothing; the back end's compaction removes it.
    if (insn.op == KOP_MOV && insn.a == insn.b) insn = krvk_insn{};
  }
  if (program.prologue) {
    for (krvk_insn& insn : program.prologue->code) krvk_opt_rename_registers(insn, colours);
  }
  return static_cast<uint16_t>(std::max<int32_t>(first, highest + 1));
}

size_t krvk_opt_peak_interference_bytes() { return peak_interference_bytes.load(std::memory_order_relaxed); }
