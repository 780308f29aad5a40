// The bound on what a JSON error text quotes of its input.
//
// Keys, and the tokens nlohmann's parser quotes in its messages ("last read: '...'", "number overflow
// parsing '...'"), come from scripts and texts of any size: a 50 MB number quoted whole made a 50 MB
// log line. An error text quotes at most krv_json_quoted_token_bytes of any one of them, then "...".
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

inline constexpr size_t krv_json_quoted_token_bytes = 64;

// `token` as an error text quotes it: whole up to the bound, else its first bytes and "...".
std::string krv_json_quoted_token(std::string_view token);
// A parser's message with the token it quotes bounded as above, copied part by part: the token's own
// bytes past the bound are never copied.
std::string krv_json_bounded_parser_message(std::string_view message);
