// Filling a container from JSON text: from_string.
//
// The text is parsed by nlohmann_json (comments skipped, no parser callback) and the container is filled
// from the parser's events, without building a document first. The result is what filling from
// nlohmann's document would give:
//   - an object's members in byte-wise ascending key order, a later duplicate key winning, each keyed
//     (the empty key too, as get_or_insert keeps it); an array's elements unkeyed in order;
//   - null, strings and integers as themselves, booleans as heap "json.bool" objects wrapping 1 or 0,
//     unsigned integers from 2^63 and all other numbers as floats;
//   - a document that is neither object nor array as the one unkeyed element;
//   - a container at level krv_json_max_depth (the filled container being level 0) fails the fill, and
//     the text is still read to its end, so a syntax error anywhere is reported as such.
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

#include "classes/std/json_bool.h"
#include "classes/std/json_key_names.h"
#include "runtime/objects/log.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/json_visit_guard.h"
#include "runtime/storage/string_object.h"

namespace {

// The parser's events, written into the container as they come.
class container_filler {
 public:
  static constexpr size_t small_container = 4;

  explicit container_filler(krv_std_json& root) : root_(root) {}

  bool null() {
    next_slot();  // the new slot already holds None
    return true;
  }
  bool boolean(bool value) {
    if (krvvar_shared* slot = next_slot()) {
      auto* object = new krv_std_json_bool();
      object->value->set_type_simple(KRVVAR_INT);
      object->value->payload.int_value = value ? 1 : 0;
      *slot = krvvar_shared::make_object(krvptr_strong<krvobject_base>::from_raw(object));
    }
    return true;
  }
  bool number_integer(int64_t value) {
    if (krvvar_shared* slot = next_slot()) {
      (*slot)->set_type_simple(KRVVAR_INT);
      (*slot)->payload.int_value = value;
    }
    return true;
  }
  bool number_unsigned(uint64_t value) {
    if (value < (uint64_t{1} << 63)) return number_integer(static_cast<int64_t>(value));
    return number_float(static_cast<double>(value), {});
  }
  bool number_float(double value, const std::string& /*text*/) {
    if (krvvar_shared* slot = next_slot()) {
      (*slot)->set_type_simple(KRVVAR_FLOAT);
      (*slot)->payload.float_value = value;
    }
    return true;
  }
  bool string(std::string_view value) {
    if (krvvar_shared* slot = next_slot()) {
      (*slot)->set_type(KRVVAR_STRING);
      if (krv_std_string* string = (*slot)->object_ptr<krv_std_string>()) string->text.assign(value);
    }
    return true;
  }
  bool binary(nlohmann::json::binary_t& /*bytes*/) { return true; }  // JSON text has none

  bool start_object(std::size_t /*size*/) { return open(true); }
  bool key(std::string_view key) {
    if (skipped_ > 0) return true;
    open_container& object = open_.back();
    krv_std_json& container = *object.container;
    // Keys in ascending order go straight in; the first one out of order moves the members to the side,
    // to be put in order when the object closes.
    if (!object.staged && (container.entries.empty() || container.entries.back().key_view() < key)) {
      container.append_unindexed_key(krvvar_shared::make_none(), names_.share(key));
      return true;
    }
    if (!object.staged) stage_entries(object);
    members_.emplace_back(krvvar_shared::make_none(), names_.share(key));
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t /*size*/) { return open(false); }
  bool end_array() { return close(); }

  bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/, const nlohmann::json::exception& error) {
    const auto* parse_error = dynamic_cast<const nlohmann::json::parse_error*>(&error);
    error_position_ = parse_error ? parse_error->byte : 0;
    message_ = error.what();
    return false;
  }

  bool too_deep() const noexcept { return too_deep_; }
  uint64_t error_position() const noexcept { return error_position_; }
  std::string& message() noexcept { return message_; }

 private:
  struct open_container {
    krv_std_json* container;
    size_t first_member;  // this object's members in members_ start here
    bool is_object;
    bool staged = false;  // its members wait in members_ (a key came out of order)
  };

  // The handle the next value goes into (holding a fresh None); null while skipping.
  krvvar_shared* next_slot() {
    if (skipped_ > 0) return nullptr;
    if (open_.empty()) return &root_.push_empty();  // a document that is a single value
    const open_container& innermost = open_.back();
    if (!innermost.is_object) return &innermost.container->push_empty();
    return innermost.staged ? &members_.back().value : &innermost.container->entries.back().value;
  }

  bool open(bool is_object) {
    // Levels count from the filled container (0); one at the limit fails the fill, and what it holds is
    // read without filling.
    if (skipped_ > 0 || open_.size() >= krv_json_max_depth) {
      too_deep_ = true;
      ++skipped_;
      return true;
    }
    krv_std_json* container = &root_;
    if (!open_.empty()) {
      krvvar& cell = **next_slot();
      cell.set_type(KRVVAR_JSON);
      container = cell.object_ptr<krv_std_json>();
    }
    // Most containers are small: room for a few entries saves the first reallocations.
    if (container->entries.capacity() < small_container) container->entries.reserve(small_container);
    open_.push_back({container, members_.size(), is_object});
    return true;
  }

  bool close() {
    if (skipped_ > 0) {
      --skipped_;
      return true;
    }
    const open_container closed = open_.back();
    open_.pop_back();
    if (closed.staged) add_members(*closed.container, closed.first_member);
    return true;
  }

  // Moves the object's entries so far aside, as members waiting for their order.
  void stage_entries(open_container& object) {
    object.staged = true;
    object.first_member = members_.size();
    for (krv_std_json_entry& entry : object.container->entries) members_.push_back(std::move(entry));
    object.container->clear_entries();
  }

  // Moves the members from `first` on into the container, in key order, the last of equal keys winning.
  void add_members(krv_std_json& container, size_t first) {
    const auto begin = members_.begin() + static_cast<std::ptrdiff_t>(first);
    const auto by_key = [](const krv_std_json_entry& a, const krv_std_json_entry& b) { return a.key_view() < b.key_view(); };
    if (!std::is_sorted(begin, members_.end(), by_key)) std::stable_sort(begin, members_.end(), by_key);
    for (auto at = begin; at != members_.end(); ++at) {
      const auto next = at + 1;
      if (next != members_.end() && next->key_view() == at->key_view()) continue;
      container.append_unindexed_key(std::move(at->value), std::exchange(at->key, nullptr));
    }
    members_.erase(begin, members_.end());
  }

  krv_std_json& root_;
  std::vector<open_container> open_;  // the containers being filled, innermost last
  std::vector<krv_std_json_entry> members_;  // members of the open objects, kept until each object closes
  krv_json_key_names names_;                 // the text's key names, shared by the members that carry them
  size_t skipped_ = 0;                // containers open past the depth limit
  bool too_deep_ = false;
  uint64_t error_position_ = 0;  // the parser's byte position of a parse error; 0 for other failures
  std::string message_;          // what the parse failed with
};

// The outcome of parsing one text into a container.
struct parse_outcome {
  bool parsed = false;           // the text is one JSON document (the container may still be too deep)
  bool too_deep = false;         // the document nests past the depth limit
  uint64_t error_position = 0;   // where parsing failed (0 when not a parse error)
  std::string message;           // why parsing failed
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
  outcome.message = error.what();
}

// Parses `text` into the (empty) container; a text that does not parse leaves it empty.
parse_outcome try_parse(krv_std_json& target, std::string_view text) {
  parse_outcome outcome;
  try {
    container_filler filler(target);
    outcome.parsed = nlohmann::json::sax_parse(text.begin(), text.end(), &filler, nlohmann::json::input_format_t::json,
                                               true, true);
    outcome.too_deep = filler.too_deep();
    outcome.error_position = filler.error_position();
    outcome.message = std::move(filler.message());
    if (outcome.parsed) refuse_stray_zero_byte(text, outcome);
  } catch (const std::exception& error) {
    outcome.parsed = false;
    outcome.error_position = 0;
    outcome.message = error.what();
  }
  if (!outcome.parsed || outcome.too_deep) target.clear_entries();
  return outcome;
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

// The parser quotes the whole token it stopped in ("last read: '...'"): a 100 MB number would make a
// 100 MB line. The quote keeps its first 64 bytes, then "...".
constexpr size_t quoted_token_bytes = 64;

std::string with_short_token(const std::string& message) {
  static constexpr std::string_view opening = "last read: '";
  const size_t start = message.find(opening);
  const size_t end = message.rfind('\'');
  if (start == std::string::npos) return message;
  const size_t token = start + opening.size();
  if (end < token || end - token <= quoted_token_bytes) return message;
  return message.substr(0, token + quoted_token_bytes) + "..." + message.substr(end);
}

void log_parse_error(std::string_view text, const parse_outcome& failure) {
  const uint64_t size = text.size();
  const uint64_t near = failure.error_position == 0 ? 0 : std::min(size, failure.error_position - 1);
  const uint64_t start = near < 61 ? 0 : near - 60;
  krv_log_line(*krv_log_base::instance(), KRV_LOG_ERROR, "JSON parse error at byte ",
               std::min(size, failure.error_position), " of ", size, ": ", with_short_token(failure.message), "\n  near: ",
               snippet_text(text.substr(start, 120)));
}

}  // namespace

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
