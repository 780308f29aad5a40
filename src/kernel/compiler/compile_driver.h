// Compile driver: one kernel source and the units it imports to a new compiled unit.
//
// Imported units are compiled again from their text: the new unit's source list holds every imported
// source once (same text and same name), dependencies before the sources that import them, then the main
// source. All sources are lexed into one token list, so structs, constants and inline helpers of imported
// sources are visible to the main source, and diagnostics inside an imported source name that source's
// file and line. The first diagnostic ends the compilation; nothing of it survives.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "kernel/compiler/back_end.h"
#include "kernel/compiler/diagnostics.h"
#include "kernel/compiler/program.h"
#include "kernel/compiler/syntax_tree.h"
#include "kernel/compiler/token.h"

// What lexing and parsing of one compilation leave for the checker. Lives for one compilation.
struct krvk_front_end {
  krvk_source_map map;
  std::vector<krvk_token> tokens;  // every source's tokens, one end token at the very end
  size_t main_first_token = 0;  // index of the main source's first token
  krvk_syntax_unit syntax;
};

// The source list of a new unit: each imported unit's sources in order, skipping any source already
// present with the same text and name, then the main source (never skipped).
std::vector<krvk_source> krvk_merge_sources(const std::vector<std::shared_ptr<krvk_compiled_unit>>& imports,
                                            const std::string& text, const std::string& name);

// Lexes the sources in order into one token list (the last one is the main source) and parses it.
// Throws the first kerror. An empty list leaves `front` empty.
void krvk_parse_sources(const std::vector<krvk_source>& sources, krvk_front_end& front);

// The compiled unit, or an empty pointer with the diagnostic in `err` (written only on failure). Only a
// kerror is caught; other exceptions, such as exhausted memory, reach the caller.
std::shared_ptr<krvk_compiled_unit> krvk_compile_source(
    const std::string& text, const std::string& name, kerror& err,
    const std::vector<std::shared_ptr<krvk_compiled_unit>>& imports);

// The same with the given back-end passes, so results with and without the optimiser can be compared.
std::shared_ptr<krvk_compiled_unit> krvk_compile_source(
    const std::string& text, const std::string& name, kerror& err,
    const std::vector<std::shared_ptr<krvk_compiled_unit>>& imports, const krvk_back_end_passes& passes);
