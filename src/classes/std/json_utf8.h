// Well-formed UTF-8 as JSON text needs it: what the printer passes through (and replaces by U+FFFD where
// it is ill-formed) and what the strict reader accepts in strings (it leaves everything else to
// nlohmann). Well-formed means the shortest form, no surrogates, nothing above U+10FFFF.
#pragma once
#include <cstddef>

// Length of the well-formed UTF-8 sequence starting at `text` (its lead byte is 0x80 or above), or 0
// when it is ill-formed; then `ill_formed` is the number of bytes replaced by one U+FFFD before the
// next byte is read afresh (the lead alone, the lead and the continuations before the byte that broke
// the sequence, or the rest of a text that ends inside the sequence).
inline size_t krv_utf8_well_formed_length(const unsigned char* text, size_t available, size_t& ill_formed) {
  const unsigned char lead = text[0];
  size_t continuations = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    continuations = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    continuations = 2;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    continuations = 3;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    ill_formed = 1;
    return 0;
  }
  for (size_t at = 1; at <= continuations; ++at) {
    if (at >= available) {
      ill_formed = available;
      return 0;
    }
    if (text[at] < low || text[at] > high) {
      ill_formed = at;
      return 0;
    }
    low = 0x80;
    high = 0xBF;
  }
  return continuations + 1;
}
