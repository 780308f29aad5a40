// The bound on what a JSON error text quotes of its input.
//
// The tokens nlohmann's parser quotes in its messages ("last read: '...'", "number overflow parsing
// '...'") come from texts of any size: a 50 MB number quoted whole made a 50 MB log line. They are
// quoted as runtime/base/quoted_text.h bounds any quote.
#pragma once
#include <string>
#include <string_view>

#include "runtime/base/quoted_text.h"

// A parser's message with the token it quotes bounded as above, copied part by part: the token's own
// bytes past the bound are never copied.
std::string krv_json_bounded_parser_message(std::string_view message);
