// The two readers behind krv_std_json::from_string, each on its own, for the tests and the fuzz target
// that hold them to giving the same containers. Each fills an empty container from the whole text
// (no retry on a stretch of it, nothing logged) and leaves it empty when it returns false.
#pragma once
#include <string_view>

class krv_std_json;

// The strict reader alone: false when it gives the text up.
bool krv_json_fill_strictly(krv_std_json& target, std::string_view text);
// nlohmann's reading alone: false when the text does not parse or nests too deeply.
bool krv_json_fill_through_nlohmann(krv_std_json& target, std::string_view text);
