#include "kernel/compiler/diagnostics.h"

#include <limits>

uint16_t krvk_source_map::intern_file(const std::string& name) {
  for (size_t i = 0; i < file_names.size(); ++i) {
    if (file_names[i] == name) return static_cast<uint16_t>(i);
  }
  constexpr size_t kMaxFiles = size_t{std::numeric_limits<uint16_t>::max()} + 1;
  if (file_names.size() >= kMaxFiles) {
    throw kerror{"", 0, 0, "too many source files in one compilation (at most 65536)", ""};
  }
  file_names.push_back(name);
  return static_cast<uint16_t>(file_names.size() - 1);
}

void krvk_throw_error_at(const krvk_source_map& map, uint32_t line, uint32_t column, uint16_t file_index,
                         uint32_t source_line_index, std::string message) {
  kerror error;
  if (file_index < map.file_names.size()) error.file = map.file_names[file_index];
  error.line = line;
  error.column = column;
  error.message = std::move(message);
  if (source_line_index < map.source_lines.size()) error.source_line = map.source_lines[source_line_index];
  throw error;
}
