// Number texts shared by trap messages and listings. They never depend on the host's locale: a host
// that calls setlocale must not turn "1.5" into "1,5" in a kernel's messages.
#pragma once
#include <cstdint>
#include <string>

// printf "%.<precision>g" of the value, in the classic C locale ("inf", "-inf", "nan" as printf writes
// them). Precision 6 is what a default-formatted output stream writes.
std::string krvk_format_general(double value, int precision);
