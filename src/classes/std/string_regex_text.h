// The text the library compiles for a pattern: the script's pattern, with two readings of the ECMAScript
// grammar that libstdc++ gets wrong spelled so that it gets them right.
//
//   \cX, X a letter   the control character X % 32, as ECMAScript and other engines read it; the library
//                     takes the letter itself. Spelled \xHH, inside brackets and out. \c before anything
//                     else keeps the library's reading (that character), which the guards rely on too.
//   [lo-hi] crossing  a range from below byte 0x80 to 0x80 or above ([\x20-\xff]): the library compares
//   byte 0x80         a range's ends as signed chars and refuses it as error_range. It becomes the two
//                     ranges lo-\x7f and \x80-hi, which each compare right. A range whose ends are reversed
//                     as bytes ([\xff-\x20]) is refused as error_range, as every engine refuses it; the
//                     library would have taken it as the signed range -1..32, matching 0xff and 0x00-0x20.
//
// Nothing else changes, and each change keeps the piece it is in (one character, one bracket), so the
// guards' reading of the script's pattern (string_regex_shape.h) holds for this text too. The pattern is
// cut into escapes, brackets and their items exactly as that reading cuts it, and a bracket's items are
// paired into ranges as the library pairs them (a '-' after a range, at either end or after another
// '-' with nothing before it is a character). Where the library would refuse the pattern, the rest is
// copied as it is and the library refuses it for its own reason.
#pragma once
#include <string>
#include <string_view>

// Throws std::regex_error(error_range) for a reversed byte range.
std::string krv_regex_library_text(std::string_view pattern);
