#include "runtime/exec/interp/program_block.h"

#include "runtime/exec/interp/script_opcodes.h"

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
  fast_path_sites.clear();
  fast_path_site_by_span.clear();
  // A walk from the start stops at the first invalid opcode or an instruction that leaves the code.
  const uint32_t size = code_size();
  for (uint32_t offset = 0; offset < size;) {
    const uint8_t opcode = code_begin[offset];
    const uint32_t length = krv_script_op_sizes[opcode];
    if (length == 0 || length > size - offset) break;
    if (opcode == KRV_OP_NUMERIC_FAST_PATH) {
      if (fast_path_site_by_span.empty()) fast_path_site_by_span.resize(size / krv_fast_path_span + 1);
      fast_path_sites.push_back(krv_decode_fast_path_site(code_begin, size, offset));
      fast_path_site_by_span[offset / krv_fast_path_span] = static_cast<uint32_t>(fast_path_sites.size());
    }
    offset += length;
  }
  // Each integer site learns which integer site the code reaches next, so that a run goes from one to
  // the next without a dispatch.
  for (krv_fast_path_site& site : fast_path_sites) {
    if (site.form != KRV_FAST_SITE_INTEGER) continue;
    krv_fast_path_site_continuations(code_begin, size, site);
    for (int way = 0; way < 2; ++way) {
      const krv_fast_path_site* next = site.next[way] < size ? fast_path_site_at(code_begin + site.next[way]) : nullptr;
      const bool linked = next != nullptr && next->form == KRV_FAST_SITE_INTEGER;
      site.next_site[way] = linked ? static_cast<uint32_t>(next - fast_path_sites.data()) + 1 : 0;
    }
  }
}
