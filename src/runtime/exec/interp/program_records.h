// The records around program blocks: the program, its global scope, source files and source positions.
//
// A krv_program owns everything its code refers to: the root block (which owns its children), the
// string table of opcodes 10, 61, 63 and 73, the class records, the source and position records, and
// the native definitions and value cells whose addresses instructions carry (opcodes 12, 13, 42), so
// those stay valid while the code exists.
//
// The global scope is the object whose routines share one set of globals; tasks compare global scopes to
// refuse running a function inside a foreign program. A source record holds one file's lines and the
// record that includes it; a position record places one instruction at a line and index of a source.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/base/krvvar_shared.h"
#include "runtime/memory/handles.h"
#include "runtime/objects/compiled_record.h"

class krv_program;
class krv_program_block;
class krv_class_def;
class krv_function_def;

class krv_global_scope : public krv_compiled_record<krv_global_scope> {
 public:
  krvptr_weak<krv_program> program;  // the program whose name tasks take
};

struct krv_source_record : public krv_compiled_record<krv_source_record> {
  std::string path;                               // as the compiler saw it; may use '\' separators
  std::unordered_map<uint32_t, std::string> lines;  // line number -> text (may run past its '\n')
  krvptr_weak<krv_source_record> included_by;     // empty for the root file
};

struct krv_source_position : public krv_compiled_record<krv_source_position> {
  uint32_t line = 0;
  uint32_t index = 0;  // column
  krvptr_weak<krv_source_record> source;
};

class krv_program : public krv_compiled_record<krv_program> {
 public:
  std::string name;
  std::vector<std::string> strings;  // the program string table
  krvptr_strong<krv_global_scope> global_scope;
  krvptr_strong<krv_program_block> root;
  std::vector<krvptr_strong<krv_class_def>> classes;
  std::vector<krvptr_strong<krv_source_record>> sources;
  std::vector<krvptr_strong<krv_source_position>> positions;
  std::vector<krvptr_strong<krv_function_def>> natives;  // addressed by opcodes 12 and 42
  std::deque<std::string> native_names;                  // the text the natives' name views point into
  std::vector<krvvar_shared> cells;                      // addressed by opcode 13
};
