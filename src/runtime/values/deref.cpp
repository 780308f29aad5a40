// krvvar::deref: what a value stands for once REF chains and member references are followed.
//
// A REF chain longer than one step is first checked for a cycle with two walkers (one step and two
// steps at a time); walking a cycle would never end. A chain whose last REF has no target resolves to a
// new None value: handing back a REF would send any caller that resolves again round for ever.
//
// A member reference resolves through its object, whose member may lead to a member reference again
// (through a REF bound to one); a member that leads back round would recurse until the stack runs out,
// so member resolutions nest at most krv_max_member_resolve_depth deep on a thread.
#include <string>

#include "runtime/base/krvvar.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/base/raise.h"
#include "runtime/base/value_records.h"
#include "runtime/objects/object_base.h"

namespace {

constexpr int krv_max_member_resolve_depth = 256;

// Counts the member resolutions the calling thread is inside, for the life of the guard.
class member_resolve_depth {
 public:
  member_resolve_depth() noexcept { ++depth_; }
  ~member_resolve_depth() { --depth_; }
  member_resolve_depth(const member_resolve_depth&) = delete;
  member_resolve_depth& operator=(const member_resolve_depth&) = delete;
  bool too_deep() const noexcept { return depth_ > krv_max_member_resolve_depth; }

 private:
  static inline thread_local int depth_ = 0;
};

void warn_circular() { krv_raise_warning("Circular reference detected in deref()."); }

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

krvvar_shared& resolve_none(krvvar_shared& out) {
  out = krvvar_shared::make_none();
  return out;
}

krvvar_shared& report_invalid_object(const std::string& member, krvvar_shared& out) {
  out = krv_raise_error("Tried to access index '", member, "' on an invalid object.");
  return out;
}

// What a member of an object reads as, itself resolved (it may be a member reference again).
krvvar_shared& resolve_again(krvvar_shared& member, krvvar_shared& out) {
  if (!member) return resolve_none(out);
  krvvar_shared resolved;
  member->deref(resolved);
  out = std::move(resolved);
  return out;
}

// Reads the member a member reference names from its object; a gone object is reported.
krvvar_shared& resolve_member(krvvar& ref, krvvar_shared& out) {
  const member_resolve_depth nesting;
  if (nesting.too_deep()) {
    warn_circular();
    return resolve_none(out);
  }
  krvvar_shared member;
  switch (ref.type) {
    case KRVVAR_OBJECT_MEMBER_LITERAL: {
      auto* record = static_cast<krvvar_member_literal_record*>(ref.payload.record);
      krvptr_strong<krvobject_base> object = record->object;
      if (!object) return report_invalid_object(record->name, out);
      object->get_named(member, record->name);
      return resolve_again(member, out);
    }
    case KRVVAR_OBJECT_MEMBER_INDEX: {
      auto* record = static_cast<krvvar_member_index_record*>(ref.payload.record);
      krvptr_strong<krvobject_base> object = record->object;
      if (!object) return report_invalid_object(std::to_string(record->index), out);
      if (record->definition_index) {
        object->get_member_at(out, record->index);
        return out;
      }
      object->get_index(member, static_cast<int64_t>(record->index));
      return resolve_again(member, out);
    }
    default: {
      auto* record = static_cast<krvvar_member_var_record*>(ref.payload.record);
      krvptr_strong<krvobject_base> object = record->object.lock();
      if (!object) return report_invalid_object(record->key->get_string(), out);
      krvvar_shared key = record->key;
      object->get_member(member, key);
      return resolve_again(member, out);
    }
  }
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
    warn_circular();
    return resolve_none(out);
  }
  krvvar* end = this;
  while (is_ref(end)) end = end->payload.target;
  if (end == nullptr) return resolve_none(out);
  if (end->is_member_ref()) return resolve_member(*end, out);
  out = krvvar_shared::from_raw(end);
  return out;
}
