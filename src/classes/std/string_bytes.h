// Byte classes of std.string. Text is bytes, not characters: whitespace and case are decided byte by byte
// as the classic "C" locale decides them, whatever locale the host set. Only the six ASCII whitespace bytes
// are whitespace and only ASCII letters change case; bytes from 0x80 on (UTF-8 sequences) never do.
#pragma once
#include <array>
#include <string_view>

// Space, tab, line feed, vertical tab, form feed and carriage return.
constexpr bool krv_is_space_byte(unsigned char byte) { return byte == ' ' || (byte >= '\t' && byte <= '\r'); }

constexpr char krv_lower_byte(char byte) { return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte + 32) : byte; }
constexpr char krv_upper_byte(char byte) { return byte >= 'a' && byte <= 'z' ? static_cast<char>(byte - 32) : byte; }

// Byte-string order of `a` and `b` with ASCII letters lowered (bytes compared unsigned, a proper prefix
// first), without copying either.
constexpr bool krv_less_ignoring_case(std::string_view a, std::string_view b) {
  const size_t common = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < common; ++i) {
    const auto x = static_cast<unsigned char>(krv_lower_byte(a[i]));
    const auto y = static_cast<unsigned char>(krv_lower_byte(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

// A 256-entry membership table of the bytes of `set`: one lookup per byte instead of a search of the set.
class krv_byte_set {
 public:
  explicit krv_byte_set(std::string_view set) {
    for (char byte : set) member_[static_cast<unsigned char>(byte)] = true;
  }
  bool contains(char byte) const { return member_[static_cast<unsigned char>(byte)]; }

 private:
  std::array<bool, 256> member_{};
};
