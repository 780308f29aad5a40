// krvvar::deref: what a value stands for once REF chains and member references are followed.
//
// A REF chain longer than one step is first checked for a cycle with two walkers (one step and two
// steps at a time); walking a cycle would never end. A chain whose last REF has no target resolves to a
// new None value: handing back a REF would send any caller that resolves again round for ever.
#include <cstdio>
#include <string>

#include "runtime/values/krvvar.h"
#include "runtime/values/krvvar_shared.h"
#include "runtime/values/value_records.h"
#include "runtime/values/value_reports.h"

namespace {

// The next cell of a REF chain; null past a non-REF cell or a REF without target.
krvvar* next_in_chain(krvvar* cell) noexcept {
  return cell != nullptr && cell->type == KRVVAR_REF ? cell->payload.target : nullptr;
}

bool is_ref(const krvvar* cell) noexcept { return cell != nullptr && cell->type == KRVVAR_REF; }

bool chain_has_cycle(krvvar* start) noexcept {
  krvvar* slow = start;
  krvvar* fast = start;
  for (;;) {
    fast = next_in_chain(fast);
    if (!is_ref(fast)) return false;
    fast = next_in_chain(fast);
    if (!is_ref(fast)) return false;
    slow = next_in_chain(slow);
    if (slow == fast) return true;
  }
}

// The text of a key cell in messages.
std::string key_text(const krvvar& key) {
  switch (key.type) {
    case KRVVAR_ERR: return "ERROR";
    case KRVVAR_INT: return std::to_string(key.payload.int_value);
    case KRVVAR_FLOAT: {
      char text[512];
      std::snprintf(text, sizeof text, "%f", key.payload.float_value);
      return text;
    }
    default: return "";
  }
}

krvvar_shared& resolve_none(krvvar_shared& out) {
  out = krvvar_shared::make_none();
  return out;
}

krvvar_shared& report_invalid_object(const std::string& member, krvvar_shared& out) {
  krvvar_report_error("Tried to access index '" + member + "' on an invalid object.");
  return resolve_none(out);
}

// A member reference whose object is gone reports it. Reading the member of a live object is the
// object's own operation, which arrives with the script object base; until then it reads as None.
krvvar_shared& resolve_member(krvvar& ref, krvvar_shared& out) {
  switch (ref.type) {
    case KRVVAR_OBJECT_MEMBER_LITERAL: {
      auto* record = static_cast<krvvar_member_literal_record*>(ref.payload.record);
      if (!record->object) return report_invalid_object(record->name, out);
      break;
    }
    case KRVVAR_OBJECT_MEMBER_INDEX: {
      auto* record = static_cast<krvvar_member_index_record*>(ref.payload.record);
      if (!record->object) return report_invalid_object(std::to_string(record->index), out);
      break;
    }
    case KRVVAR_OBJECT_MEMBER_VAR: {
      auto* record = static_cast<krvvar_member_var_record*>(ref.payload.record);
      if (record->object.expired()) return report_invalid_object(key_text(*record->key), out);
      break;
    }
  }
  return resolve_none(out);
}

}  // namespace

krvvar_shared& krvvar::deref(krvvar_shared& out) {
  if (is_member_ref()) return resolve_member(*this, out);
  if (type != KRVVAR_REF) {
    out = krvvar_shared::from_raw(this);
    return out;
  }
  krvvar* target = payload.target;
  if (target != nullptr && target->type != KRVVAR_REF && !target->is_member_ref()) {
    out = krvvar_shared::from_raw(target);
    return out;
  }
  if (chain_has_cycle(this)) {
    krvvar_report_warning("Circular reference detected in deref().");
    return resolve_none(out);
  }
  krvvar* end = this;
  while (is_ref(end)) end = end->payload.target;
  if (end == nullptr) return resolve_none(out);
  if (end->is_member_ref()) return resolve_member(*end, out);
  out = krvvar_shared::from_raw(end);
  return out;
}
