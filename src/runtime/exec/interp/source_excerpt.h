// One entry of an error or warning report: the source excerpt with its caret and the include trace.
//
//   Runtime Error
//   ------------------------------------------------------------
//    --> main.krv:3:4
//     |
//    3 | let x = y;
//     |     ^~~~~
//     |
//   <message><trace>
//   ------------------------------------------------------------
//
// The trace names the file (and the files that include it, root first) with the line and index, then
// lists every full path. The line text is shown from its first non-blank character when the index lies
// at or after it; the caret appears only when the index lies inside the shown text.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/objects/log.h"

struct krv_source_position;

// The line of 60 dashes that frames every report block.
inline constexpr std::string_view krv_report_rule = "------------------------------------------------------------";

// Replaces every '\' of `path` by '/' (in place) and returns the part after the last '/', or the whole
// text when it has none.
std::string path_file_name(std::string& path);

// When `log` writes errors: "While handling an error, a token without AST was passed.\n" + text.
void krv_error_token_note(krv_log_base& log, const std::string& text);

// The block text of one entry, headed `heading` ("Runtime Error" or "Runtime Warning").
std::string krv_format_source_excerpt(std::string_view heading, const std::string& file, uint32_t line,
                                      uint32_t index, std::string line_text, const std::string& message,
                                      const std::string& trace);

// Logs the entry of `position` with `message`: at the error level, or at the warning level.
void krv_print_call_stack_error(const krv_source_position& position, const std::string& message);
void krv_print_call_stack_warning(const krv_source_position& position, const std::string& message);
