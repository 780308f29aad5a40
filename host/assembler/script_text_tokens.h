// The lexical layer of the assembler's text form, shared by the parser and the disassembler.
//
// Lines end at LF, CRLF or a lone CR. A line is a list of tokens separated by blanks; '#' outside a string starts a comment. A string token
// is written in double quotes with the escapes \\ \" \n \r \t and \xHH; every other byte stands for
// itself. Floating-point numbers are written in their shortest form that reads back to the same double,
// always with a '.', an exponent, "inf" or "nan", so they never read as integers.
#pragma once
#include <string>
#include <string_view>
#include <vector>

struct krv_text_token {
  std::string text;
  bool quoted = false;
};

// The line of `text` that starts at `at` (without its ending); `at` moves past the ending. Call while
// `at` <= text.size(): text ending in a line break has an empty last line.
std::string_view krv_next_line(std::string_view text, size_t& at);
// The tokens of one line; std::invalid_argument for an unterminated string or a bad escape.
std::vector<krv_text_token> krv_split_tokens(std::string_view line);
// `text` as a string token.
std::string krv_quote(std::string_view text);
// `text` as messages show it: control bytes escaped as \xHH, cut after 64 bytes with "...", so a
// hostile token cannot flood a message or a terminal.
std::string krv_shown(std::string_view text);
// `value` as a number token that reads back exactly.
std::string krv_format_double(double value);
