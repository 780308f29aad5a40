// The "j11" section: how a container writes itself into the binary value format and reads itself back.
//
//   section header   03 "j11" 00
//   entry count      LEB128 of the count as a u32
//   entries          per entry: LEB128 key length (0: unkeyed), the key bytes, a byte 0, then the value
//                    in the value format (a nested container as a nested section)
//
// An unkeyed entry and one with an empty key are written alike and both read back unkeyed.
//
// Both directions walk through the thread's visit guard, so a container that holds itself or nests past
// krv_json_max_depth stops the walk instead of the stack. A write is all or nothing per section: any
// failure, here or in a nested value, cuts the output back to where this section began, so no caller
// is handed a truncated section as if it were whole. The top-level write also fails when a nested
// walk was refused without saying so (the thread's failure flag), and when its output grows past the
// thread's output budget (a container holding shared parts is written once per path to each part): the
// check follows every entry, so the output never passes the budget by more than one value that exists.
#include <stdexcept>

#include "runtime/base/krvvar.h"
#include "runtime/base/raise.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/json_visit_guard.h"
#include "runtime/values/binary_format.h"

namespace {

constexpr std::string_view krv_json_section_tag = "j11";

void warn_refused_write(krv_json_visit_refusal refusal) {
  if (refusal == KRV_JSON_VISIT_CYCLE)
    krv_raise_warning("Cannot serialize JSON to binary: the value contains a reference to itself (cycle).");
  else
    krv_raise_warning("Cannot serialize JSON to binary: nesting exceeds the maximum depth of ", krv_json_max_depth, ".");
}

// Sets the budget of the outermost binary write in progress (a write inside another kind of walk is one
// too) and lifts it when that write ends, also by an exception.
class output_budget_scope {
 public:
  output_budget_scope(krv_json_visit_state& walk, size_t start) : walk_(walk), outermost_(walk.output_end == SIZE_MAX) {
    if (outermost_) walk.output_end = start + walk.output_budget;
  }
  ~output_budget_scope() {
    if (outermost_) walk_.output_end = SIZE_MAX;
  }
  output_budget_scope(const output_budget_scope&) = delete;
  output_budget_scope& operator=(const output_budget_scope&) = delete;

 private:
  krv_json_visit_state& walk_;
  bool outermost_;
};

bool write_entries(const std::vector<krv_std_json_entry>& entries, std::vector<uint8_t>& out) {
  const krv_json_visit_state& walk = krv_json_visit_state_of_thread();
  for (const krv_std_json_entry& entry : entries) {
    const std::string_view key = entry.key_view();
    write_varint(out, key.size());
    out.insert(out.end(), key.begin(), key.end());
    out.push_back(0);
    if (!entry.value->to_binary(out)) return false;
    if (out.size() > walk.output_end) {
      krv_raise_warning("Cannot serialize JSON to binary: the output exceeds the maximum size of ",
                        walk.output_budget, " bytes.");
      return false;
    }
  }
  return true;
}

}  // namespace

bool krv_std_json::to_binary(std::vector<uint8_t>& out) {
  krv_json_visit_guard guard;
  if (!guard.push(this)) {
    warn_refused_write(guard.refusal());
    return false;
  }
  krv_json_visit_state& walk = krv_json_visit_state_of_thread();
  const bool top_level = walk.stack.size() == 1;
  if (top_level) walk.failed = 0;
  const size_t start = out.size();
  const output_budget_scope budget(walk, start);
  write_section(out, krv_json_section_tag);
  write_varint(out, static_cast<uint32_t>(entries.size()));
  bool written = write_entries(entries, out);
  if (top_level && walk.failed) written = false;
  if (top_level) walk.failed = 0;
  if (!written) out.resize(start);
  return written;
}

bool krv_std_json::from_binary(krv_binary_reader& reader) {
  clear_entries();
  if (!check_section(reader, krv_json_section_tag)) {
    krv_raise_error_text("invalid section.", false);
    return false;
  }
  krv_json_visit_guard guard;
  if (!guard.push(this)) {
    krv_raise_error_text(krv_message("JSON binary nesting exceeds the maximum depth of ", krv_json_max_depth, "."), false);
    return false;
  }
  // Every entry takes at least two bytes (an empty key and its terminator), so a count past half of
  // what remains cannot be true; refusing it first keeps a forged count from costing anything.
  const auto count = static_cast<uint32_t>(take_varint(reader));
  if (count > reader.remaining() / 2) throw std::runtime_error("JSON member count larger than the remaining data");
  for (uint32_t i = 0; i < count; ++i) {
    const std::string_view key = read_string_view(reader);
    krvvar_shared& cell = key.empty() ? push_empty() : push_empty_keyed(key);
    if (!cell->from_binary(reader)) return false;
  }
  return true;
}
