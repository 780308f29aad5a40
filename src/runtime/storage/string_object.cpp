#include "runtime/storage/string_object.h"

#include <algorithm>

#include "runtime/base/raise.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_text.h"

namespace {

std::string text_of(const krvvar_shared& value) { return value ? value->get_string() : std::string(); }

krvvar_shared new_string_value(std::string_view text) { return krvvar_shared::make_string(text); }

// Replaces the occurrences of `key`, left to right, by the texts of the container's entries in entry
// order; stops when either runs out. Replacement text is never searched again.
void replace_by_entries(std::string& text, std::string_view key, krv_std_json& entries) {
  const int64_t count = entries.element_count();
  size_t position = text.find(key);
  for (int64_t i = 0; i < count && position != std::string::npos; ++i) {
    const std::string replacement = text_of(entries.at(i));
    text.replace(position, key.size(), replacement);
    position = text.find(key, position + replacement.size());
  }
}

}  // namespace

krvptr_strong<krv_std_string> krv_std_string::create(std::string_view text) {
  return create(text, krv_get_thread_local());
}

krvptr_strong<krv_std_string> krv_std_string::create(std::string_view text, const krv_thread_local& record) {
  krv_std_string* object = krv_pooled_allocate<krv_std_string>(record);
  // A new or resting string is empty: appending skips assign's checks for overlapping text.
  object->text.append(text);
  return krvptr_strong<krv_std_string>::from_raw(object, record);
}

void krv_std_string::release_value_block(krvptr_ref_block* block, const krv_thread_local& record) noexcept {
  if (block->immortal() || --block->strong > 0) return;
  auto* object = static_cast<krv_std_string*>(block->object);
  if (object == nullptr) {
    if (block->weak == 0) krvptr_ref_block_free(block, record);
    return;
  }
  block->object = nullptr;
  block->alive = 0;
  object->detach_block(record);
  object->empty_for_reuse();
  krv_pooled_recycle(object, record);
}

krvptr_strong<krv_std_string> krv_std_string::clone() const { return create(text); }

void krv_std_string::empty_for_reuse() noexcept {
  text.clear();
  if (text.capacity() > krv_string_kept_capacity) text.shrink_to_fit();
}

void krv_std_string::destroy() {
  empty_for_reuse();
  krv_pooled_recycle(this);
}

void krv_std_string::to_string(std::string& out) { out = text; }

void krv_std_string::strong_self(krvptr_strong<krvobject_base>& out) { out = clone(); }

void krv_std_string::get_index(krvvar_shared& out, int64_t index) {
  const auto length = static_cast<int64_t>(text.size());
  if (index < 0) index += length;
  if (index < 0 || index >= length) {
    out = new_string_value("");
    return;
  }
  out = new_string_value(std::string_view(text).substr(static_cast<size_t>(index), 1));
}

void krv_std_string::set_index(int64_t index, krvvar_shared& value) {
  const std::string written = text_of(value);
  value.release();
  const auto length = static_cast<int64_t>(text.size());
  if (index < 0) index = std::max<int64_t>(index + length, 0);
  if (index > length && index > krv_string_max_pad_index) {
    // Padding stops at the limit, and a text already longer than the limit is written at its end:
    // existing bytes are never cut.
    const int64_t clamped = std::max(krv_string_max_pad_index, length);
    krv_raise_warning("std.string[]: index ", index, " clamped to ", clamped);
    index = clamped;
  }
  const auto at = static_cast<size_t>(index);
  if (at > text.size()) text.resize(at, ' ');
  if (at + written.size() > text.size()) text.resize(at);
  text.replace(at, written.size(), written);
}

void krv_std_string::set_named(std::string_view key, krvvar_shared& value) {
  if (key.empty()) {
    krv_string_warn_empty_search("std.string[]", "search key");
  } else if (value && value->type == KRVVAR_JSON) {
    if (krv_std_json* entries = value->object_ptr<krv_std_json>()) replace_by_entries(text, key, *entries);
  } else {
    krv_string_replace_all(text, key, text_of(value));
  }
  value.release();
}
