// Filling a container from JSON text: from_string.
//
// The text is read by our strict reader (json_strict_reader.h) where it is plain JSON, and otherwise,
// from its start again, by nlohmann_json (comments skipped, no parser callback), whose verdict and
// messages then stand. Either reader's events fill the container (json_container_filler.h) without
// building a document first, as filling from nlohmann's document would.
// A failed parse leaves the container empty and is retried once on the stretch from the first opening
// brace, bracket or quote to the last closing one, so a JSON object inside a log line still parses.
// The whole text is parsed: nlohmann reads a zero byte as the end of its input, so a zero byte outside a
// string is reported here as the stray byte it is, and a text holding one is binary, not a line of text:
// it is not retried (the part before the zero byte would otherwise be taken and the rest dropped).
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "classes/std/json_container_filler.h"
#include "classes/std/json_strict_reader.h"
#include "classes/std/json_text_readers.h"
#include "runtime/objects/log.h"
#include "runtime/storage/json_error_text.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/json_visit_guard.h"

namespace {

// nlohmann's parser events: the filler's, and the record of a parse error.
class nlohmann_events : public krv_json_container_filler {
 public:
  using krv_json_container_filler::krv_json_container_filler;
  using krv_json_container_filler::number_float;

  bool number_float(double value, const std::string& /*text*/) { return number_float(value); }
  bool binary(nlohmann::json::binary_t& /*bytes*/) { return true; }  // JSON text has none
  bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/, const nlohmann::json::exception& error) {
    const auto* parse_error = dynamic_cast<const nlohmann::json::parse_error*>(&error);
    error_position_ = parse_error ? parse_error->byte : 0;
    message_ = krv_json_bounded_parser_message(error.what());
    return false;
  }

  uint64_t error_position() const noexcept { return error_position_; }
  std::string& message() noexcept { return message_; }

 private:
  uint64_t error_position_ = 0;  // the parser's byte position of a parse error; 0 for other failures
  std::string message_;          // what the parse failed with, its quoted token bounded
};

// The outcome of parsing one text into a container.
struct parse_outcome {
  bool parsed = false;           // the text is one JSON document (the container may still be too deep)
  bool too_deep = false;         // the document nests past the depth limit
  uint64_t error_position = 0;   // where parsing failed (0 when not a parse error)
  std::string message;           // why parsing failed, its quoted token bounded
};

// A text the parser accepted whole may still hold a zero byte: the parser stopped there. Raw zero bytes
// in strings are refused by the parser, so the first one lies outside any string; it fails the parse in
// the words the parser gives any other stray byte, with its line and column.
void refuse_stray_zero_byte(std::string_view text, parse_outcome& outcome) {
  const size_t zero = text.find('\0');
  if (zero == std::string_view::npos) return;
  const size_t line_feed = text.rfind('\n', zero);
  const size_t line_start = line_feed == std::string_view::npos ? 0 : line_feed + 1;
  const nlohmann::detail::position_t position{zero + 1, zero - line_start + 1,
                                              static_cast<size_t>(std::count(text.begin(), text.begin() + zero, '\n'))};
  const auto error = nlohmann::json::parse_error::create(
      101, position, "syntax error while parsing value - invalid literal; last read: '<U+0000>'; expected end of input",
      nullptr);
  outcome.parsed = false;
  outcome.error_position = error.byte;
  outcome.message = krv_json_bounded_parser_message(error.what());
}

// Reads `text` into the (empty) container through nlohmann; a text that does not parse leaves it empty.
parse_outcome read_through_nlohmann(krv_std_json& target, std::string_view text) {
  parse_outcome outcome;
  try {
    nlohmann_events events(target);
    outcome.parsed = nlohmann::json::sax_parse(text.begin(), text.end(), &events, nlohmann::json::input_format_t::json,
                                               true, true);
    outcome.too_deep = events.too_deep();
    outcome.error_position = events.error_position();
    outcome.message = std::move(events.message());
    if (outcome.parsed) refuse_stray_zero_byte(text, outcome);
  } catch (const std::exception& error) {
    outcome.parsed = false;
    outcome.error_position = 0;
    outcome.message = krv_json_bounded_parser_message(error.what());
  }
  if (!outcome.parsed || outcome.too_deep) target.clear_entries();
  return outcome;
}

// Reads `text` into the (empty) container through the strict reader; false, leaving the container
// empty, when it gave the text up (or ran out of memory: nlohmann's reading then reports that). A number
// above every double that it gave up at is left in `overflowing_number` when given.
bool read_strictly(krv_std_json& target, std::string_view text, std::string_view* overflowing_number = nullptr) {
  try {
    krv_json_container_filler filler(target);
    if (krv_json_read_strict(text, filler, overflowing_number)) return true;
  } catch (const std::exception&) {
  }
  target.clear_entries();
  return false;
}

// The failure nlohmann reports for a number no double holds, in its words, without the copies of the
// whole token that its reading makes (several times a 100 MB token's size).
parse_outcome number_overflow(std::string_view number) {
  parse_outcome outcome;
  outcome.message = "[json.exception.out_of_range.406] number overflow parsing '" + krv_quoted_text(number) + "'";
  return outcome;
}

// Parses `text` into the (empty) container; a text that does not parse leaves it empty.
parse_outcome try_parse(krv_std_json& target, std::string_view text) {
  std::string_view overflowing_number;
  if (read_strictly(target, text, &overflowing_number)) {
    parse_outcome read;
    read.parsed = true;
    return read;
  }
  if (!overflowing_number.empty()) return number_overflow(overflowing_number);
  return read_through_nlohmann(target, text);
}

// From the first opening brace, bracket or quote to the last closing one; empty when there is none or
// when it would be the whole text.
std::string_view bracketed_stretch(std::string_view text) {
  const size_t first = text.find_first_of("{[\"");
  const size_t last = text.find_last_of("}]\"");
  if (first == std::string_view::npos || last == std::string_view::npos || last < first) return {};
  const size_t length = last - first + 1;
  return length < text.size() ? text.substr(first, length) : std::string_view();
}

// The text near an error, its zero bytes written as the parser writes them: a log line ends at a zero byte.
std::string snippet_text(std::string_view snippet) {
  std::string shown;
  for (const char byte : snippet) {
    if (byte == '\0')
      shown += "<U+0000>";
    else
      shown += byte;
  }
  return shown;
}

void log_parse_error(std::string_view text, const parse_outcome& failure) {
  const uint64_t size = text.size();
  const uint64_t near = failure.error_position == 0 ? 0 : std::min(size, failure.error_position - 1);
  const uint64_t start = near < 61 ? 0 : near - 60;
  krv_log_line(*krv_log_base::instance(), KRV_LOG_ERROR, "JSON parse error at byte ",
               std::min(size, failure.error_position), " of ", size, ": ", failure.message, "\n  near: ",
               snippet_text(text.substr(start, 120)));
}

}  // namespace

bool krv_json_fill_strictly(krv_std_json& target, std::string_view text) { return read_strictly(target, text); }

bool krv_json_fill_through_nlohmann(krv_std_json& target, std::string_view text) {
  const parse_outcome outcome = read_through_nlohmann(target, text);
  return outcome.parsed && !outcome.too_deep;
}

bool krv_std_json::from_string(std::string_view text, bool suppress_errors) {
  clear_entries();
  if (text.empty()) return false;
  parse_outcome outcome = try_parse(*this, text);
  if (!outcome.parsed) {
    const bool binary = text.find('\0') != std::string_view::npos;
    const std::string_view stretch = binary ? std::string_view() : bracketed_stretch(text);
    parse_outcome retry;
    if (!stretch.empty()) retry = try_parse(*this, stretch);
    if (!retry.parsed) {
      if (!suppress_errors) log_parse_error(text, outcome);
      return false;
    }
    outcome = std::move(retry);
  }
  if (outcome.too_deep) {
    if (!suppress_errors)
      krv_log_line(*krv_log_base::instance(), KRV_LOG_ERROR, "JSON parse error: nesting exceeds the maximum depth of ",
                   krv_json_max_depth, ".");
    return false;
  }
  return true;
}
