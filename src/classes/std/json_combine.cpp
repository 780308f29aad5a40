// Combining std.json containers: merge and append bring another container's entries into this one,
// combine_string joins the texts of all values, copy makes a deep copy.
//
// Merging or appending a container into itself walks only the entries present when the call began, by
// index, and takes each entry's key and value before changing anything (an append may move the entries),
// so the call ends and reads no freed entry. The other container is held for the whole call: an
// assignment here may drop the last other reference to it.
//
// copy keeps the path of containers being copied on the current branch, each with the value it is being
// copied into: a container met again on its own path (one that contains itself) is not copied again but
// refers to its copy, so the copy contains itself at the same place. The path is bounded by
// krv_json_max_depth; deeper containers become None in the copy, with a warning. A part shared at several
// places off the path is copied once per place, as a copy of each place may be changed on its own; so that
// a structure holding each level's part twice cannot double the copy with every level, one copy makes at
// most krv_json_max_copy_entries entries and leaves the rest out, with one warning.
#include <string>
#include <vector>

#include "classes/std/json_methods.h"
#include "classes/std/string_method_support.h"
#include "runtime/base/raise.h"
#include "runtime/storage/json_visit_guard.h"

namespace {

// Assigns every keyed entry of `other` to the entry under its key here (appended when missing; left alone
// when present and not `overwrite`). Unkeyed entries are appended when `append_unkeyed`, else skipped.
void bring_in(krv_std_json& self, krvptr_strong<krv_std_json> other, bool overwrite, bool append_unkeyed) {
  const size_t count = other->entries.size();
  for (size_t i = 0; i < count && i < other->entries.size(); ++i) {
    krvvar_shared value = other->entries[i].value;
    if (!other->entries[i].has_key()) {
      if (append_unkeyed) krvvar_shared(self.push_empty())->set(value);
      continue;
    }
    const std::string key(other->entries[i].key_view());
    if (!overwrite && self.has_key(key)) continue;
    self.get_or_insert(key)->set(value);
  }
}

// The optional overwrite flag of merge and append: true unless given and false.
bool overwrite_flag(const std::vector<krvvar_shared>& args) { return args.size() < 2 || args[1]->is_nonzero(); }

class deep_copy {
 public:
  deep_copy() : entries_left_(krv_json_visit_state_of_thread().copy_entry_budget) {}

  // Fills `target`, a fresh cell, with a copy of `source` (see the file comment).
  void step(const krvvar_shared& target, krv_std_json* source) {
    for (const path_entry& entry : path_) {
      if (entry.source != source) continue;
      krvvar_shared copy = entry.target;
      target->set(copy);
      return;
    }
    if (path_.size() >= krv_json_max_depth) {
      krv_raise_warning("JSON copy exceeds the maximum nesting depth of ", krv_json_max_depth,
                        ", the remaining members are not copied.");
      return;
    }
    if (target->type != KRVVAR_JSON) target->set_type(KRVVAR_JSON);
    krv_std_json& copy = *target->object_ptr<krv_std_json>();
    path_.push_back({source, target});
    for (size_t i = 0; i < source->entries.size() && take_entry(); ++i) {
      const krv_std_json_entry& entry = source->entries[i];
      krvvar_shared value = entry.value;
      krvvar_shared cell = entry.has_key() ? copy.push_empty_keyed(*entry.key) : copy.push_empty();
      krv_std_json* nested = value->type == KRVVAR_JSON ? value->object_ptr<krv_std_json>() : nullptr;
      if (nested != nullptr)
        step(cell, nested);
      else
        cell->set(value);
    }
    path_.pop_back();
  }

 private:
  // Counts one more entry against the budget; false, with the warning the first time, once it is spent.
  bool take_entry() {
    if (entries_left_ > 0) {
      --entries_left_;
      return true;
    }
    if (!budget_warned_)
      krv_raise_warning("JSON copy exceeds the maximum size of ", krv_json_max_copy_entries,
                        " entries, the remaining members are not copied.");
    budget_warned_ = true;
    return false;
  }

  struct path_entry {
    const krv_std_json* source;  // a container being copied on the current branch
    krvvar_shared target;        // the value it is being copied into
  };
  std::vector<path_entry> path_;  // outermost first
  uint64_t entries_left_;         // entries this copy may still make
  bool budget_warned_ = false;
};

}  // namespace

namespace krv_json_methods {

// Only keyed entries of a container argument; anything else changes nothing.
KRV_JSON_METHOD(merge) {
  krvvar& other = *args[0];
  if (other.type == KRVVAR_JSON && other.object_ptr() != nullptr)
    bring_in(*self, other.object_strong<krv_std_json>(), overwrite_flag(args), false);
  return krv_json_self_result(self);
}

// As merge, but list items are appended too, and a value that is not a container is appended as one
// element (None is not).
KRV_JSON_METHOD(append) {
  krvvar& other = *args[0];
  if (other.type == KRVVAR_JSON) {
    if (other.object_ptr() != nullptr)
      bring_in(*self, other.object_strong<krv_std_json>(), overwrite_flag(args), true);
  } else if (other.type != KRVVAR_NONE) {
    krvvar_shared(self->push_empty())->set(args[0]);
  }
  return krv_json_self_result(self);
}

// The separator, when given, follows every value, the last one included.
KRV_JSON_METHOD(combine_string) {
  const bool separated = args.size() == 1;
  const std::string separator = separated ? args[0]->get_string() : std::string();
  std::string combined, text;
  for (size_t i = 0; i < self->entries.size(); ++i) {
    krvvar_shared value = self->entries[i].value;
    value->string_value(text);
    combined += text;
    if (separated) combined += separator;
  }
  return krv_string_result(std::move(combined));
}

KRV_JSON_METHOD(copy) {
  krvvar_shared result = krvvar_shared::make_json();
  deep_copy().step(result, self);
  return result;
}

}  // namespace krv_json_methods
