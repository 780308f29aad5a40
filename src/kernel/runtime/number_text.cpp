#include "kernel/runtime/number_text.h"

#include <charconv>

std::string krvk_format_general(double value, int precision) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, precision);
  return std::string(buffer, result.ptr);
}
