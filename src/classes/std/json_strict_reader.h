// krv_json_read_strict: a reader of plain JSON text for the common case, in front of nlohmann's parser.
//
// It takes only what it can read exactly as nlohmann reads it: one JSON value with whitespace around
// it, strings of well-formed UTF-8 with their escapes (surrogate pairs joined), integers that fit in
// int64 and floating-point numbers that convert without overflow or underflow, nested below the depth
// limit. Anything else (comments, a byte-order mark, a zero byte, a control byte or ill-formed UTF-8 in
// a string, a lone surrogate escape, a syntax error, a number it does not convert exactly as nlohmann
// would, nesting that reaches krv_json_max_depth) makes it give up, and the caller reads the whole text
// again through nlohmann, whose verdict, messages and values then stand. So it never decides whether a
// text is JSON: what it accepts, nlohmann accepts with the same events.
//
// It reads without recursion (a stack of one byte per open container) and without a copy of strings
// that hold no escape, and hands its events to a container filler.
#pragma once
#include <string_view>

class krv_json_container_filler;

// Reads all of `text` into `filler`; false when it gave up, and then what it filled is to be dropped.
// When it gave up at a number of 10^309 or more (which no double holds, so nlohmann too stops there with
// its number-overflow error, and would quote the whole token in it, however long), that token is left in
// `overflowing_number` when given, so that the caller can report it without nlohmann's reading.
bool krv_json_read_strict(std::string_view text, krv_json_container_filler& filler,
                          std::string_view* overflowing_number = nullptr);
