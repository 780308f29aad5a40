// Compile diagnostics of the kernel language.
//
// A compilation keeps one source map: the file names it has seen and every physical line of every
// source, in lexing order. Tokens and syntax nodes carry indexes into both, so a diagnostic can name the
// file and quote the offending line long after lexing. The first fault ends the compilation: it is
// thrown as a `kerror` (a plain value, caught by reference only in the compile driver).
#pragma once
#include <concepts>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct kerror {
  std::string file;  // empty when the position's file index is outside the file list
  uint32_t line = 0;
  uint32_t column = 0;
  std::string message;
  std::string source_line;  // the physical line of the position; empty when its index is outside the list
};

struct krvk_source_map {
  std::vector<std::string> file_names;  // indexed by a position's file index
  std::vector<std::string> source_lines;  // every physical line, without its line end

  // Position of the name in the file list, appended when new. File indexes are 16-bit; a compilation
  // that names more distinct files than that fails with a kerror instead of wrapping the index.
  uint16_t intern_file(const std::string& name);
};

// A source position: whatever carries the four position fields (tokens, and the token copies that
// syntax nodes keep). `line` is the logical line after `#line`; `source_line_index` the physical one.
template <class T>
concept krvk_source_position = requires(const T& pos) {
  { pos.line } -> std::convertible_to<uint32_t>;
  { pos.column } -> std::convertible_to<uint32_t>;
  { pos.file_index } -> std::convertible_to<uint16_t>;
  { pos.source_line_index } -> std::convertible_to<uint32_t>;
};

[[noreturn]] void krvk_throw_error_at(const krvk_source_map& map, uint32_t line, uint32_t column,
                                      uint16_t file_index, uint32_t source_line_index, std::string message);

// Builds the diagnostic for a position and throws it; never returns.
template <krvk_source_position Pos>
[[noreturn]] void krvk_throw_error(const krvk_source_map& map, const Pos& pos, std::string message) {
  krvk_throw_error_at(map, pos.line, pos.column, pos.file_index, pos.source_line_index, std::move(message));
}
