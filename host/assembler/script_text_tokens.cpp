#include "host/assembler/script_text_tokens.h"

#include <charconv>
#include <stdexcept>

namespace {

constexpr char hex_digits[] = "0123456789abcdef";
constexpr size_t shown_bytes = 64;

void append_hex_escape(std::string& out, unsigned char byte) {
  out += "\\x";
  out += hex_digits[byte >> 4];
  out += hex_digits[byte & 15];
}

// A blank, a string or a comment ends a word.
bool ends_word(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '"' || c == '#'; }

bool is_control(unsigned char byte) { return byte < 0x20 || byte == 0x7f; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the string token starting at the quote `line[at]`; `at` ends past the closing quote.
std::string read_string(std::string_view line, size_t& at) {
  std::string text;
  for (++at; at < line.size(); ++at) {
    const char c = line[at];
    if (c == '"') {
      ++at;
      return text;
    }
    if (c != '\\') {
      text += c;
      continue;
    }
    if (++at == line.size()) break;
    switch (line[at]) {
      case '\\': text += '\\'; break;
      case '"': text += '"'; break;
      case 'n': text += '\n'; break;
      case 'r': text += '\r'; break;
      case 't': text += '\t'; break;
      case 'x': {
        const int high = at + 2 < line.size() ? hex_digit(line[at + 1]) : -1;
        const int low = high >= 0 ? hex_digit(line[at + 2]) : -1;
        if (low < 0) throw std::invalid_argument("bad \\x escape");
        text += static_cast<char>(high * 16 + low);
        at += 2;
        break;
      }
      default: throw std::invalid_argument(std::string("unknown escape \\") + line[at]);
    }
  }
  throw std::invalid_argument("unterminated string");
}

}  // namespace

std::string_view krv_next_line(std::string_view text, size_t& at) {
  size_t end = at;
  while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
  const std::string_view line = text.substr(at, end - at);
  at = end + 1;
  if (end < text.size() && text[end] == '\r' && at < text.size() && text[at] == '\n') ++at;
  return line;
}

std::vector<krv_text_token> krv_split_tokens(std::string_view line) {
  std::vector<krv_text_token> tokens;
  size_t at = 0;
  while (at < line.size()) {
    const char c = line[at];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++at;
    } else if (c == '#') {
      break;
    } else if (c == '"') {
      tokens.push_back({read_string(line, at), true});
    } else {
      size_t stop = at;
      while (stop < line.size() && !ends_word(line[stop])) ++stop;
      tokens.push_back({std::string(line.substr(at, stop - at)), false});
      at = stop;
    }
  }
  return tokens;
}

std::string krv_quote(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': quoted += "\\\\"; break;
      case '"': quoted += "\\\""; break;
      case '\n': quoted += "\\n"; break;
      case '\r': quoted += "\\r"; break;
      case '\t': quoted += "\\t"; break;
      default:
        if (is_control(byte))
          append_hex_escape(quoted, byte);
        else
          quoted += c;
    }
  }
  return quoted + "\"";
}

std::string krv_shown(std::string_view text) {
  std::string shown;
  for (const char c : text.substr(0, shown_bytes)) {
    if (is_control(static_cast<unsigned char>(c)))
      append_hex_escape(shown, static_cast<unsigned char>(c));
    else
      shown += c;
  }
  if (text.size() > shown_bytes) shown += "...";
  return shown;
}

std::string krv_format_double(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  if (text.find_first_of(".eIn") == std::string::npos) text += ".0";  // "inf" and "nan" contain 'n'
  return text;
}
