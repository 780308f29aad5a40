#include "kernel/compiler/types.h"

#include <array>
#include <set>
#include <unordered_map>

namespace {

constexpr uint8_t kPrimCount = KRVK_NO_TYPE;  // codes 0..12 have a name

constexpr std::array<const char*, kPrimCount> kPrimNames = {
    "void", "bool", "i8", "u8", "i16", "u16", "i32", "u32", "i64", "u64", "f32", "f64", "struct"};

constexpr std::array<int32_t, kPrimCount> kPrimSizes = {0, 1, 1, 1, 2, 2, 4, 4, 8, 8, 4, 8, 0};

constexpr std::array<const char*, 7> kReduceOpNames = {"", "+", "min", "max", "&", "|", "^"};

}  // namespace

const char* krvk_prim_name(uint8_t code) noexcept { return code < kPrimCount ? kPrimNames[code] : "?"; }

int32_t krvk_prim_size(uint8_t code) noexcept { return code < kPrimCount ? kPrimSizes[code] : 0; }

bool krvk_prim_is_float(uint8_t code) noexcept { return code == KRVK_F32 || code == KRVK_F64; }

const char* krvk_reduce_op_name(uint8_t code) noexcept {
  return code < kReduceOpNames.size() ? kReduceOpNames[code] : "?";
}

uint8_t krvk_prim_from_name(std::string_view name) {
  // Built once under the thread-safe initialisation of function-local statics, read-only afterwards.
  static const std::unordered_map<std::string_view, uint8_t> by_name = [] {
    std::unordered_map<std::string_view, uint8_t> map;
    for (uint8_t code = KRVK_VOID; code <= KRVK_F64; ++code) map.emplace(kPrimNames[code], code);
    return map;
  }();
  auto it = by_name.find(name);
  return it == by_name.end() ? uint8_t{KRVK_NO_TYPE} : it->second;
}

bool krvk_parse_vector_type(std::string_view name, uint8_t& scalar, uint8_t& lanes) {
  if (name.size() < 3 || name[name.size() - 2] != 'x') return false;
  const char digit = name.back();
  if (digit < '2' || digit > '4') return false;
  const uint8_t code = krvk_prim_from_name(name.substr(0, name.size() - 2));
  if (code < KRVK_I8 || code > KRVK_F64) return false;
  scalar = code;
  lanes = static_cast<uint8_t>(digit - '0');
  return true;
}

bool krvk_is_reserved_word(std::string_view word) {
  static const std::set<std::string_view> keywords = {
      "kernel", "struct", "cstruct", "const", "inline", "reduce", "if", "else",
      "for", "while", "break", "continue", "return", "unchecked", "sizeof", "true",
      "false", "gid", "gsize", "gid_x", "gid_y", "gsize_x", "gsize_y"};
  if (keywords.count(word) != 0 || krvk_prim_from_name(word) != KRVK_NO_TYPE) return true;
  uint8_t scalar = 0;
  uint8_t lanes = 0;
  return krvk_parse_vector_type(word, scalar, lanes);
}
