#include "runtime/storage/value_release.h"

#include <algorithm>
#include <new>
#include <utility>

#include "runtime/base/krvvar.h"

namespace {

// Nested scopes that release as plain calls; the one at this depth drains for all below it. Deep enough
// that ordinary values never pay for the list, shallow enough that the nested calls take a few tens of
// KiB of stack (more under the sanitizers) at most.
constexpr uint32_t direct_release_depth = 64;

// The calling thread's state. Plain values (no constructor), so reaching them costs no guard.
thread_local uint32_t release_depth = 0;  // direct and draining scopes on this stack

// Whether releasing this handle would tear down an object (and through it, perhaps, more values).
bool tears_down_object(const krvvar_shared& value) noexcept {
  return value && value->refcount == 1 && !krvvar_is_simple(value->type) && value->type != KRVVAR_STRING;
}
bool tears_down_object(const krvptr_strong<krvptr_base_internal>& object) noexcept {
  const krvptr_ref_block* block = object.block();
  return block->object != nullptr && block->strong == 1;
}

}  // namespace

thread_local std::vector<krv_release_scope::handed>* krv_release_scope::pending_ = nullptr;

krv_release_scope::krv_release_scope() noexcept {
  if (release_depth > direct_release_depth) {
    role_ = role::hand_over;
    first_handed_ = pending_->size();
    return;
  }
  ++release_depth;
  role_ = release_depth > direct_release_depth ? role::drain : role::direct;
  if (role_ == role::drain) pending_ = &list_;
}

krv_release_scope::~krv_release_scope() {
  if (role_ == role::hand_over) {
    std::reverse(pending_->begin() + static_cast<std::ptrdiff_t>(first_handed_), pending_->end());
    return;
  }
  if (role_ == role::drain) pending_ = nullptr;
  --release_depth;
}

void krv_release_scope::release(krvvar_shared& value, const krv_thread_local& record) noexcept {
  if (role_ == role::hand_over && tears_down_object(value)) {
    if (handed* place = place_on_list()) return place->value.move_assign(value);
  }
  value.release(record);
  if (role_ == role::drain) drain(record);
}

void krv_release_scope::release(krvptr_strong<krvptr_base_internal>& object, const krv_thread_local& record) noexcept {
  if (role_ == role::hand_over && tears_down_object(object)) {
    if (handed* place = place_on_list()) return place->object.move_assign(object);
  }
  object.release();
  if (role_ == role::drain) drain(record);
}

krv_release_scope::handed* krv_release_scope::place_on_list() noexcept {
  try {
    return &pending_->emplace_back();
  } catch (const std::bad_alloc&) {
    // No room to defer: released in place, one level deeper.
    return nullptr;
  }
}

void krv_release_scope::drain(const krv_thread_local& record) noexcept {
  while (!list_.empty()) {
    handed next = std::move(list_.back());
    list_.pop_back();
    next.value.release(record);
    next.object.release();
  }
}
