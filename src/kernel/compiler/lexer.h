// Kernel lexer: turns the text of one kernel source into tokens.
//
// The compile driver lexes every source of a compilation (imports first) into one token vector and one
// source map. Each source adds all of its physical lines to the map (carriage returns removed, so CRLF and
// LF sources give the same lines, tokens and columns) and ends with one end token. The only directive is
// `#line N "file"` at the start of a line, which renumbers the following lines and optionally names
// another file; diagnostics still quote the physical line.
//
// The first lexical fault throws a kerror at its position; nothing is recovered.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/compiler/diagnostics.h"
#include "kernel/compiler/token.h"

// What the driver hands to the lexer: where lines and file names go, and the shared token vector.
struct krvk_lexer {
  krvk_source_map* map = nullptr;
  std::vector<krvk_token>* tokens = nullptr;
};

// Appends the tokens of one source, ending with one end token, and its lines and name to the source map.
void krvk_lex(krvk_lexer& lexer, std::string_view text, const std::string& source_name);

// Lexes the number literal starting at `pos`, whose position fields `token` already carries; completes the
// token and appends it. `pos` ends after the literal.
void krvk_lex_number(krvk_lexer& lexer, std::string_view text, size_t& pos, krvk_token& token);
