// krv_program_block: one compiled unit of script code, as the interpreter and the task code read it.
//
// The host's compiler builds blocks (here: the host's script assembler) and its program keeps them
// alive; a block's children are owned by the block. The instruction stream is the block's own `code`
// vector; `code_begin` and `code_end` point into it and are what everything else reads. Fields read by
// the runtime come first, in the order the interpreter knows them.
//
// Invariants: code_begin <= code_end, both inside `code` (or both null for an empty block);
// local_flags.size() == local_count; the default-value block of parameter p is child
// p - first_default; member-cache and slot-reference entries are addressed by instruction operands;
// fast_path_sites are in code order and match the code installed last.
#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include "runtime/base/krvvar_shared.h"
#include "runtime/exec/interp/fast_path_site.h"
#include "runtime/memory/handles.h"
#include "runtime/objects/compiled_record.h"
#include "runtime/objects/symbol_table.h"

class krv_program;
class krv_class_def;
class krv_global_scope;
struct krv_source_position;

// Block kinds; other values are plain nested blocks.
enum krv_block_kind : uint32_t {
  KRV_BLOCK_FUNCTION = 1,
  KRV_BLOCK_LOOP = 2,
  KRV_BLOCK_TASK = 4,  // a task (global root) block
};

inline constexpr uint32_t krv_no_default_param = 0xFFFFFFFFu;
// The local flag bit of a reference parameter: arguments bind to it by reference.
inline constexpr uint8_t krv_local_by_ref = 0x04;
// Method flag bits; the cached method call binds a block with either set.
inline constexpr uint8_t krv_block_method = 0x01;
inline constexpr uint8_t krv_block_bound_method = 0x02;

// One call-site cache entry of opcodes 61 and 73 (24 bytes). Script-class instances fill klass and
// member_index; native objects fill type_key and member_index.
struct krv_member_cache_entry {
  krv_class_def* klass = nullptr;  // the class seen last; null while empty
  int32_t member_index = -1;
  uint8_t filled = 0;              // the member flag (method) of the cached member
  uint8_t reserved[3] = {};
  uint64_t type_key = 0;           // type hash of the native object seen last
};
static_assert(sizeof(krv_member_cache_entry) == 24);
static_assert(offsetof(krv_member_cache_entry, member_index) == 8);
static_assert(offsetof(krv_member_cache_entry, filled) == 12);
static_assert(offsetof(krv_member_cache_entry, type_key) == 16);

// One slot reference of the fast paths (32 bytes): a {kind, depth, index} reference, and for kind 20
// the base reference's own entry plus the member name and its cached resolution.
struct krv_slot_ref_entry {
  uint8_t kind = 0;
  uint8_t depth = 0;
  uint8_t reserved[2] = {};
  uint32_t index = 0;
  krv_class_def* cached_class = nullptr;  // kind 20: the class the member index belongs to
  uint32_t member_index = 0;
  uint32_t name_index = 0;                // kind 20: program string of the member name
  uint64_t reserved_tail = 0;
};
static_assert(sizeof(krv_slot_ref_entry) == 32);
static_assert(offsetof(krv_slot_ref_entry, index) == 4);
static_assert(offsetof(krv_slot_ref_entry, cached_class) == 8);
static_assert(offsetof(krv_slot_ref_entry, member_index) == 16);
static_assert(offsetof(krv_slot_ref_entry, name_index) == 20);

class krv_program_block : public krv_compiled_record<krv_program_block> {
 public:
  krv_program_block() = default;
  // Releases the nested blocks one level at a time, so tearing down a deeply nested program takes no
  // stack per level.
  ~krv_program_block() override;

  // The block's symbol table, created on first use.
  krv_program_block_symbol_table& symbol_table();

  // Code offset of `ip` when it lies within the code, both ends included; else -1.
  int64_t offset_of(const uint8_t* ip) const noexcept {
    if (ip == nullptr || ip < code_begin || ip > code_end) return -1;
    return ip - code_begin;
  }
  uint32_t code_size() const noexcept { return static_cast<uint32_t>(code_end - code_begin); }
  // The site of the numeric fast-path header at `ip`, or null when the walk from the code's start did
  // not meet a header there (one reached only by a jump into another instruction).
  const krv_fast_path_site* fast_path_site_at(const uint8_t* ip) const noexcept {
    const uint32_t offset = static_cast<uint32_t>(ip - code_begin);
    const uint32_t span = offset / krv_fast_path_span;
    if (span >= fast_path_site_by_span.size() || fast_path_site_by_span[span] == 0) return nullptr;
    const krv_fast_path_site& site = fast_path_sites[fast_path_site_by_span[span] - 1];
    return site.offset == offset ? &site : nullptr;
  }

  krvptr_strong<krv_program_block> body;           // entered by opcode 50
  krv_program* program = nullptr;                   // owner; holds the string table
  krvptr_weak<krv_class_def> class_def;             // instantiated by opcode 54 (constructor blocks)
  const uint8_t* code_begin = nullptr;
  const uint8_t* code_end = nullptr;
  std::vector<krvptr_strong<krv_program_block>> children;  // function, nested and default-value blocks
  std::vector<uint8_t> local_flags;                 // one per local; krv_local_by_ref marks references
  std::vector<krvvar_shared> constants;
  krvptr_strong<krv_program_block_symbol_table> symbols;  // lazily created
  uint32_t local_count = 0;
  uint32_t param_count = 0;      // a catch block: 1 when it binds the error value
  uint32_t captured_count = 0;   // captured values live in the locals after the parameters
  uint32_t first_default = krv_no_default_param;
  uint32_t continue_offset = 0;  // where a continue resumes a loop block
  uint32_t kind = 0;             // krv_block_kind
  uint8_t resume_at_end = 0;     // on return the frame continues at code size - 8 instead of popping
  uint8_t has_catch = 0;
  uint8_t is_noexcept = 0;
  uint8_t method_flags = 0;      // krv_block_method | krv_block_bound_method
  std::vector<krv_member_cache_entry> member_cache;
  std::vector<krv_slot_ref_entry> slot_refs;
  // One per numeric fast-path header met walking the code from its start, made by set_code.
  std::vector<krv_fast_path_site> fast_path_sites;
  // Entry k: 1 + the index of the site whose header starts in code bytes [k, k + 1) * krv_fast_path_span,
  // 0 for none; empty when the block has no site.
  std::vector<uint32_t> fast_path_site_by_span;
  // Code offset -> source position, read by the error and warning reports.
  std::map<uint32_t, krvptr_weak<krv_source_position>> positions;
  krvptr_weak<krv_global_scope> global_scope;       // the global scope the block's routines run in
  std::vector<uint8_t> code;                        // the instruction stream code_begin points into

  // Installs `bytes` as the instruction stream, points code_begin / code_end at it and checks its
  // numeric fast-path headers into sites.
  void set_code(std::vector<uint8_t> bytes);
};
