// Text operations of std.string shared by its object and its methods.
#pragma once
#include <string>
#include <string_view>

// Replaces every occurrence of `search` (never empty) in `text` by `replacement`, left to right, without
// overlaps and without searching the replacement again. False (text unchanged) when there is none.
bool krv_string_replace_all(std::string& text, std::string_view search, std::string_view replacement);

// The warning of a search for an empty text: "<method>: empty <noun> - nothing to search for, call ignored."
void krv_string_warn_empty_search(std::string_view method, std::string_view noun);
