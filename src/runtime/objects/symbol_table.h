// krv_program_block_symbol_table: the member names of a script class, as class code and the interpreter's
// member caches look them up.
//
// A symbol gives the member's index (into the instance's member vector, or the class's method vector
// for a method) and whether it is a method or private. The table belongs to one program block (a
// class's constructor block) or one class record, created on first use and kept for their lifetime.
// The vector and ordered map beside the name map are for class code that needs the members in
// declaration or name order; they start empty.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "module/name_hash.h"
#include "runtime/memory/handles.h"
#include "runtime/objects/compiled_record.h"

struct krv_symbol {
  uint32_t member_index = 0;
  uint8_t is_method = 0;
  uint8_t is_private = 0;
};

class krv_program_block_symbol_table : public krv_compiled_record<krv_program_block_symbol_table> {
 public:
  krv_program_block_symbol_table() {
    symbols.max_load_factor(1.0f);
    symbols.rehash(8);
  }

  // The symbol of `name`, or null.
  const krv_symbol* find(std::string_view name) const {
    auto found = symbols.find(name);
    return found == symbols.end() ? nullptr : &found->second;
  }

  std::unordered_map<std::string, krv_symbol, krv_hasher, krv_transparent_equal> symbols;
  std::vector<std::string> declaration_order;     // filled by class code
  std::map<std::string, uint32_t> by_name;        // filled by class code
};
