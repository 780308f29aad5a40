// The result of compiling kernel source: a compiled unit with its struct types, entry kernels, kernel
// constants and source texts, and the kernel program record that every consumer reads (interpreters,
// launch, listing, script classes, C translation).
//
// A unit is immutable once the compile driver returns and may be read by any number of threads. The
// only mutable part of a program is its JIT slot. Programs are shared through shared pointers; a unit
// is shared as one allocation with its count (make_shared).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/compiler/opcodes.h"
#include "kernel/compiler/struct_types.h"
#include "kernel/compiler/types.h"
#include "kernel/native/jit_slot.h"

struct krvk_param {
  std::string name;
  krvk_type type;
  uint16_t reg = 0;  // register of a scalar parameter; 0 for pointers
  uint16_t pointer_slot = 0;  // slot of a pointer parameter (numbered in parameter order); 0 for scalars
  uint32_t element_size = 0;  // pointers: size of the pointed-to type (the slot's stride); scalars: own size
  std::string type_text;  // krvk_type_name of the type
};

// One value that a launch reduces over all work items.
struct krvk_acc {
  uint16_t reg = 0;  // where each work item leaves its value
  uint8_t prim = KRVK_VOID;
  uint8_t op = KRVK_REDUCE_NONE;
  uint32_t offset = 0;  // byte offset within a struct result; 0 for a scalar result
  std::string name;  // "" for a scalar result, else the field path ("sum", "inner.n"); its register is "acc." + path
};

// A register value loaded before a run: the constant pool occupies the registers after the allocated ones.
struct krvk_const {
  uint16_t reg = 0;
  uint8_t prim = KRVK_VOID;
  uint64_t bits = 0;  // value in register form
};

// A named kernel constant (`const` declaration at file level).
struct krvk_kernel_constant {
  std::string name;
  uint8_t prim = KRVK_VOID;  // bool or a number type
  uint64_t bits = 0;  // value in register form
};

struct krvk_source {
  std::string text;
  std::string name;  // the file name given for it
};

struct krvk_program {
  krvk_program();
  ~krvk_program();
  krvk_program(const krvk_program&) = delete;
  krvk_program& operator=(const krvk_program&) = delete;

  std::string name;  // a prologue program is named NAME + " (prologue)"
  std::string source_file;  // file of the kernel's name token
  uint32_t line = 0;  // line of the kernel's name token
  std::vector<krvk_param> parameters;  // declaration order
  krvk_type result_type;  // prim 0 for a void kernel
  uint8_t reduction = KRVK_REDUCE_NONE;  // operator of a scalar result, or of the first struct field entry
  std::vector<krvk_acc> accumulators;  // empty for a void kernel
  std::string result_text;  // e.g. "f32 reduce(+)"; empty for a void kernel
  uint32_t register_count = 0;  // allocated registers plus one per constant
  uint32_t pointer_count = 0;  // pointer parameters; the frame slot (if any) follows them
  uint16_t frame_slot = 0;  // equal to pointer_count
  uint32_t frame_bytes = 0;  // per-work-item frame size; 0 = no frame
  uint16_t gid_reg = 0;
  uint16_t gsize_reg = 0;
  uint16_t acc_reg = 0;  // accumulator of a scalar result
  uint16_t gid_x_reg = 0;
  uint16_t gid_y_reg = 0;
  uint16_t gsize_x_reg = 0;
  uint16_t gsize_y_reg = 0;
  // Set when the kernel reads gid_x or gid_y: engines derive them from gid and the width (gsize_x register).
  uint8_t two_d = 0;
  std::vector<krvk_const> constants;
  std::shared_ptr<krvk_program> prologue;  // launch-uniform code run once per lane runner; may be null
  std::vector<krvk_insn> code;  // ends with END
  std::vector<uint32_t> line_table;  // source line per instruction
  std::vector<uint16_t> file_table;  // file index per instruction, into file_names
  std::vector<std::string> file_names;  // the compilation's file list
  // One entry per register cell: builtin, parameter and accumulator names, "#" for constants, else "".
  std::vector<std::string> register_names;
  std::shared_ptr<krvk_jit_slot> jit_slot;  // native-code state, created empty with the program
};

// Name of a pointer slot as traps and listings show it: "frame" for the frame slot of a program with a
// frame, else the first pointer parameter with that slot, else "?".
std::string krvk_pointer_slot_name(const krvk_program& program, uint64_t slot);

// Handle through which native-code jobs keep a unit (and so its programs) alive without reading it.
struct krvk_unit {
 protected:
  krvk_unit() = default;
  ~krvk_unit() = default;
};

struct krvk_compiled_unit : krvk_unit {
  // User structs of all sources in declaration order, interleaved with vector structs in first-use order.
  std::vector<krvk_struct> structs;
  std::vector<std::shared_ptr<krvk_program>> kernels;  // entry kernels of the main source, declaration order
  std::vector<krvk_kernel_constant> constants;  // of all sources, declaration order
  std::vector<krvk_source> sources;  // imported sources (deduplicated), then the main source
};
