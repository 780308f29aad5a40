// Printing a container as JSON text: dump, debug_dump and the container's text (to_string).
//
// The text is exactly what nlohmann_json's dump would make of the container's document (indent 4 or
// none, no ASCII escaping, invalid UTF-8 replaced by U+FFFD, its number texts), but it is written in one
// walk without building the document. The walk's rules:
//   - a container without any key of non-zero length is an array of its values in entry order;
//   - any other non-empty container is an object: members in byte-wise ascending key order, an unkeyed
//     entry counting as the empty key, a later entry with the same key replacing the earlier one;
//   - an empty container (or a container value without one) is `{}`;
//   - a container already being printed (a cycle) or one past krv_json_max_depth levels is printed as
//     the string "<cycle>" or "<nested too deeply>", and the last such refusal is warned once per call;
//   - a text that grows past the thread's output budget (a container holding shared parts prints each
//     part once per path to it) is not printed: the print ends with a warning and an empty text. The
//     check follows each value, so the text never passes the budget by more than one value's own text.
// The guard of these refusals belongs to the call, so a print never sees another walk's containers.
// The rules are not round-trip safe by design: a container whose only key is empty prints as an array.
#include <nlohmann/detail/conversions/to_chars.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "classes/std/json_bool.h"
#include "classes/std/json_utf8.h"
#include "runtime/base/raise.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/json_visit_guard.h"
#include "runtime/storage/string_object.h"

namespace {

constexpr std::string_view cycle_marker = "<cycle>";
constexpr std::string_view depth_marker = "<nested too deeply>";

// The containers a print is inside, innermost last, and the reason of its last refusal.
class print_guard {
 public:
  bool push(const krv_std_json* container) {
    if (stack_.size() >= krv_json_max_depth) {
      refusal_ = KRV_JSON_VISIT_TOO_DEEP;
      return false;
    }
    if (std::find(stack_.begin(), stack_.end(), container) != stack_.end()) {
      refusal_ = KRV_JSON_VISIT_CYCLE;
      return false;
    }
    stack_.push_back(container);
    return true;
  }
  void pop() { stack_.pop_back(); }
  krv_json_visit_refusal refusal() const noexcept { return refusal_; }

 private:
  std::vector<const krv_std_json*> stack_;
  krv_json_visit_refusal refusal_ = KRV_JSON_VISIT_OK;
};

// Writes JSON tokens and their layout: compact, or 4 spaces a level with line breaks. The text is
// written through a cursor into the string's own storage, so a token costs a bounds check and a copy,
// not a call per byte. The storage is reserved geometrically, but the string is sized (which fills
// with zeros) only a step ahead of the cursor, at most `sized_ahead` bytes: a large text is not zeroed
// in full before it is written, which would touch every page of a fresh mapping twice.
class text_writer {
 public:
  explicit text_writer(bool compact) : compact_(compact) {}

  // The text written so far, handed over.
  std::string text() {
    out_.resize(size());
    base_ = cursor_ = limit_ = nullptr;
    return std::move(out_);
  }
  size_t size() const noexcept { return static_cast<size_t>(cursor_ - base_); }

  void null() { put("null", 4); }
  void boolean(bool value) { value ? put("true", 4) : put("false", 5); }
  void integer(int64_t value) {
    char* at = room(24);
    cursor_ = std::to_chars(at, at + 24, value).ptr;
  }
  void floating(double value) {
    if (!std::isfinite(value)) return null();
    char* at = room(64);
    cursor_ = nlohmann::detail::to_chars(at, at + 64, value);
  }
  void string(std::string_view text);
  void empty_object() { put("{}", 2); }

  void open(char bracket) {
    put(bracket);
    ++depth_;
  }
  void close(char bracket) {
    --depth_;
    if (!compact_) put_indentation(line_start(depth_), depth_ * 4 + 1);
    put(bracket);
  }
  // Before each element of an array.
  void element(bool first) {
    if (compact_) {
      if (!first) put(',');
      return;
    }
    const char* start = line_start(depth_);
    put_indentation(first ? start : start - 1, depth_ * 4 + (first ? 1 : 2));
  }
  // Before each member of an object.
  void member(std::string_view key, bool first) {
    element(first);
    string(key);
    compact_ ? put(':') : put(": ", 2);
  }

 private:
  // Room for `bytes` more bytes at the cursor.
  char* room(size_t bytes) {
    if (static_cast<size_t>(limit_ - cursor_) < bytes) grow(bytes);
    return cursor_;
  }
  [[gnu::noinline]] void grow(size_t bytes) {
    const size_t used = size();
    const size_t wanted = used + std::max(bytes, std::clamp(used, initial_room, sized_ahead));
    if (wanted > out_.capacity()) out_.reserve(std::max(wanted, 2 * out_.capacity()));
    out_.resize(wanted);
    base_ = out_.data();
    cursor_ = base_ + used;
    limit_ = base_ + out_.size();
  }
  [[gnu::always_inline]] void put(char byte) {
    *room(1) = byte;
    ++cursor_;
  }
  // `bytes` may be null when `count` is 0 (an empty string's view), which memcpy must not be given.
  [[gnu::always_inline]] void put(const char* bytes, size_t count) {
    if (count == 0) return;
    std::memcpy(room(count), bytes, count);
    cursor_ += count;
  }
  // `count` bytes of the indentation buffer from `bytes`; up to the usual depths as one fixed-size copy
  // (the buffer holds at least `indentation_copy` bytes after any line start, the text gets room for
  // them, and the cursor moves by `count` only).
  [[gnu::always_inline]] void put_indentation(const char* bytes, size_t count) {
    if (count > indentation_copy) return put(bytes, count);
    std::memcpy(room(indentation_copy), bytes, indentation_copy);
    cursor_ += count;
  }
  // A line break and the indentation of `depth` levels, with a comma in front of it.
  const char* line_start(size_t depth) {
    const size_t length = depth * 4 + 2 + indentation_copy;
    if (indentation_.size() < length) indentation_.resize(std::max(length, 2 * indentation_.size()), ' ');
    return indentation_.data() + 1;
  }
  void escaped(unsigned char byte);

  static constexpr size_t initial_room = 256;
  static constexpr size_t sized_ahead = 64 * 1024;
  static constexpr size_t indentation_copy = 32;

  std::string out_;          // the text, sized ahead of the cursor
  char* base_ = nullptr;     // out_'s storage while writing
  char* cursor_ = nullptr;   // where the next byte goes
  char* limit_ = nullptr;    // the end of out_'s storage
  bool compact_;
  size_t depth_ = 0;                        // containers open around the next token
  std::string indentation_ = ",\n" + std::string(62, ' ');  // ",\n" and spaces, grown on demand
};

void text_writer::escaped(unsigned char byte) {
  char* at = room(6);
  *at++ = '\\';
  switch (byte) {
    case '\b': *at++ = 'b'; break;
    case '\t': *at++ = 't'; break;
    case '\n': *at++ = 'n'; break;
    case '\f': *at++ = 'f'; break;
    case '\r': *at++ = 'r'; break;
    case '"': *at++ = '"'; break;
    case '\\': *at++ = '\\'; break;
    default: {
      constexpr char hex[] = "0123456789abcdef";
      *at++ = 'u';
      *at++ = '0';
      *at++ = '0';
      *at++ = hex[byte >> 4];
      *at++ = hex[byte & 0xF];
    }
  }
  cursor_ = at;
}

void text_writer::string(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  put('"');
  size_t copied = 0;  // bytes before this are written
  size_t at = 0;
  while (at < size) {
    const unsigned char byte = bytes[at];
    if (byte >= 0x20 && byte < 0x80 && byte != '"' && byte != '\\') {
      ++at;
      continue;
    }
    size_t ill_formed = 0;
    if (byte >= 0x80) {
      if (const size_t length = krv_utf8_well_formed_length(bytes + at, size - at, ill_formed)) {
        at += length;
        continue;
      }
    }
    put(text.data() + copied, at - copied);
    if (byte < 0x80) {
      escaped(byte);
      ++at;
    } else {
      put("\xEF\xBF\xBD", 3);
      at += ill_formed;
    }
    copied = at;
  }
  put(text.data() + copied, size - copied);
  put('"');
}

// The object of a string or container cell, whose payload is its reference block (as krvvar::object_ptr
// gives it, without the call).
const krvptr_base_internal* block_object(const krvvar& cell) { return cell.payload.block->object; }

// a < b byte-wise; keys in order mostly differ in their first byte, which spares the call.
bool key_less(std::string_view a, std::string_view b) {
  if (!a.empty() && !b.empty() && a[0] != b[0]) return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
  return a < b;
}

// Thrown out of a print whose text has passed its budget.
struct text_too_large {};

// One print: walks a container and its values into the writer.
class json_printer {
 public:
  json_printer(bool compact, bool debug, uint64_t budget) : writer_(compact), budget_(budget), debug_(debug) {}

  void container(const krv_std_json& container);
  std::string text() { return writer_.text(); }
  krv_json_visit_refusal refusal() const noexcept { return guard_.refusal(); }

 private:
  void entries_as_array(const krv_std_json& container);
  void entries_as_object(const krv_std_json& container, bool in_key_order);
  void members_in_key_order(const krv_std_json& container);
  void value(krvvar* cell);
  void resolved_value(krvvar& cell);
  void container_value(const krv_std_json* container);
  void object_value(krvvar& cell);
  void debug_record(const krvvar& cell);
  void check_budget() const {
    if (writer_.size() > budget_) throw text_too_large{};
  }

  text_writer writer_;
  print_guard guard_;
  uint64_t budget_;  // the most bytes of text this print may write
  bool debug_;  // values other than containers print as their reference-debugging record
};

void json_printer::container(const krv_std_json& container) {
  if (!guard_.push(&container)) {
    writer_.string(guard_.refusal() == KRV_JSON_VISIT_TOO_DEEP ? depth_marker : cycle_marker);
    return;
  }
  bool keyed = false;
  bool in_key_order = true;  // keys strictly ascending: the entries are already the members
  std::string_view previous;
  for (size_t i = 0; i < container.entries.size(); ++i) {
    const std::string_view key = container.entries[i].key_view();
    keyed = keyed || !key.empty();
    if (i > 0 && !key_less(previous, key)) in_key_order = false;
    previous = key;
  }
  if (container.entries.empty()) {
    writer_.empty_object();
  } else if (!keyed) {
    entries_as_array(container);
  } else {
    entries_as_object(container, in_key_order);
  }
  guard_.pop();
  check_budget();  // the closing bracket counts too
}

// The entries are walked by index over the count the print began with: resolving a member reference
// may append to the container being printed (a missing key read is created), moving its entries.
void json_printer::entries_as_array(const krv_std_json& container) {
  writer_.open('[');
  const size_t count = container.entries.size();
  for (size_t i = 0; i < count && i < container.entries.size(); ++i) {
    writer_.element(i == 0);
    value(container.entries[i].value.get());
    check_budget();
  }
  writer_.close(']');
}

void json_printer::entries_as_object(const krv_std_json& container, bool in_key_order) {
  writer_.open('{');
  if (in_key_order) {
    const size_t count = container.entries.size();
    for (size_t i = 0; i < count && i < container.entries.size(); ++i) {
      writer_.member(container.entries[i].key_view(), i == 0);
      value(container.entries[i].value.get());
      check_budget();
    }
  } else {
    members_in_key_order(container);
  }
  writer_.close('}');
}

void json_printer::members_in_key_order(const krv_std_json& container) {
  const auto key_at = [&container](size_t index) { return container.entries[index].key_view(); };
  std::vector<size_t> order(container.entries.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return key_at(a) < key_at(b); });
  bool first = true;
  for (size_t i = 0; i < order.size() && order[i] < container.entries.size(); ++i) {
    const std::string_view key = key_at(order[i]);
    // Of entries with the same key, the last one is the member.
    if (i + 1 < order.size() && order[i + 1] < container.entries.size() && key_at(order[i + 1]) == key) continue;
    writer_.member(key, first);
    first = false;
    value(container.entries[order[i]].value.get());
    check_budget();
  }
}

void json_printer::value(krvvar* cell) {
  if (cell == nullptr) return writer_.null();
  if (debug_ && cell->type != KRVVAR_JSON) return debug_record(*cell);
  switch (cell->type) {
    case KRVVAR_OBJECT_MEMBER_LITERAL:
    case KRVVAR_OBJECT_MEMBER_INDEX:
    case KRVVAR_OBJECT_MEMBER_VAR:
    case KRVVAR_REF: {
      // A reference prints as what it refers to, under this print's guard: a container reached through
      // it may be the one being printed. The reference is held while its object resolves it.
      const krvvar_shared reference = krvvar_shared::from_raw(cell);
      krvvar_shared target;
      cell->deref(target);
      return resolved_value(*target);
    }
  }
  resolved_value(*cell);
}

void json_printer::resolved_value(krvvar& cell) {
  switch (cell.type) {
    case KRVVAR_NONE: return writer_.null();
    case KRVVAR_INT: return writer_.integer(cell.payload.int_value);
    case KRVVAR_FLOAT: return writer_.floating(cell.payload.float_value);
    case KRVVAR_STRING: {
      const auto* string = static_cast<const krv_std_string*>(block_object(cell));
      return writer_.string(string ? std::string_view(string->text) : std::string_view());
    }
    case KRVVAR_JSON: return container_value(static_cast<const krv_std_json*>(block_object(cell)));
    case KRVVAR_OBJECT: return object_value(cell);
  }
  writer_.string(cell.get_string());
}

void json_printer::container_value(const krv_std_json* container) {
  if (container == nullptr || container->entries.empty()) return writer_.empty_object();
  this->container(*container);
}

void json_printer::object_value(krvvar& cell) {
  krvobject_base* object = cell.object_ptr();
  if (object != nullptr) {
    if (krv_std_json_bool* boolean = krvptr_cast<krv_std_json_bool>(object)) return writer_.boolean(boolean->json_boolean());
    // A container held as an object (a method's result) prints as the container, under this guard.
    if (const krv_std_json* container = krvptr_cast<krv_std_json>(object)) return container_value(container);
  }
  writer_.string(cell.get_string());
}

void json_printer::debug_record(const krvvar& cell) {
  writer_.open('{');
  writer_.member("is_ref", true);
  writer_.boolean(cell.type == KRVVAR_REF);
  writer_.member("refcount", false);
  writer_.integer(cell.refcount);
  writer_.member("type", false);
  writer_.string(krvvar_type_name(cell.type));
  writer_.close('}');
}

// Prints `container`; the refused part is warned with `shown`, the words saying what shows the marker.
std::string print(krv_std_json& container, bool compact, bool debug, std::string_view shown) {
  std::string text;
  krv_json_visit_refusal refusal = KRV_JSON_VISIT_OK;
  const uint64_t budget = krv_json_visit_state_of_thread().output_budget;
  try {
    json_printer printer(compact, debug, budget);
    printer.container(container);
    refusal = printer.refusal();
    text = printer.text();
  } catch (const text_too_large&) {
    krv_raise_warning("JSON text exceeds the maximum size of ", budget, " bytes, ", shown, " nothing.");
    return {};
  } catch (const std::exception&) {
    return {};
  }
  if (refusal == KRV_JSON_VISIT_CYCLE) {
    krv_raise_warning("JSON contains a reference to itself, ", shown, " \"", cycle_marker,
                      "\" instead of recursing forever.");
  } else if (refusal == KRV_JSON_VISIT_TOO_DEEP) {
    krv_raise_warning("JSON nesting exceeds the maximum depth of ", krv_json_max_depth, ", ", shown, " \"",
                      depth_marker, "\" for the rest.");
  }
  return text;
}

}  // namespace

std::string krv_std_json::dump(bool compact) { return print(*this, compact, false, "printing"); }

std::string krv_std_json::debug_dump(bool compact) { return print(*this, compact, true, "debug_refs shows"); }

void krv_std_json::to_string(std::string& out) { out = dump(false); }
