// One token of kernel source.
//
// The lexer knows no keywords: every identifier is a word and the parser and checker give words their
// meaning. A token carries its own source position (the four fields a diagnostic needs), so syntax nodes
// keep a copy of the token they start at instead of a separate position record. `line` is the logical
// line after `#line` remapping; `source_line_index` always points at the physical line in the source map,
// so diagnostics quote what the user actually wrote.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

enum krvk_token_kind : uint32_t {
  KRVK_TOKEN_END = 0,  // end of the token list (one per compilation, after the main source)
  KRVK_TOKEN_WORD = 1,
  KRVK_TOKEN_INT = 2,
  KRVK_TOKEN_FLOAT = 3,
  KRVK_TOKEN_PUNCT = 4,
};

// Fields are ordered widest first: every syntax node holds a copy, so padding costs per source byte.
struct krvk_token {
  std::string text;  // the word, the punctuator, or the literal as written (suffix included)
  uint64_t int_value = 0;  // value of an integer literal; 0 for every other kind
  double float_value = 0;  // value of a float literal; 0 for every other kind
  uint32_t kind = KRVK_TOKEN_END;  // a krvk_token_kind
  uint32_t line = 0;  // logical line, 1-based, after #line
  uint32_t column = 0;  // 1-based byte column in the physical line
  uint32_t source_line_index = 0;  // into the source map's physical lines
  uint16_t file_index = 0;  // into the source map's file names
  uint8_t suffix_u = 0;  // the integer literal carried u or U
  uint8_t suffix_f = 0;  // the decimal literal carried f or F (it is then a float literal)

  // Inline so that comparisons with literals compile to a length test and a fixed-size compare.
  bool is_punct(std::string_view punct) const { return kind == KRVK_TOKEN_PUNCT && std::string_view(text) == punct; }
  bool is_word(std::string_view word) const { return kind == KRVK_TOKEN_WORD && std::string_view(text) == word; }
};
static_assert(sizeof(krvk_token) == 72, "a token is copied into every syntax node: no padding inside");

// Text of the end token; the parser's "but found" messages describe it differently.
inline constexpr const char* krvk_end_token_text = "end of kernel source";
