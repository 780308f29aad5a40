#include "runtime/storage/json_release.h"

#include <cstdint>
#include <new>
#include <utility>

#include "runtime/base/krvvar.h"

namespace {

// Nested releases of entries that run as plain nested calls; the one at this depth drains for all
// below it. Deep enough that ordinary documents never pay for the list, shallow enough that the nested
// calls take a few tens of KiB of stack (more under the sanitizers) at most.
constexpr uint32_t direct_release_depth = 64;

// The calling thread's state. Plain values (no constructor), so reaching them costs no guard.
thread_local uint32_t release_depth = 0;                    // krv_json_release_entries calls on this stack
thread_local std::vector<krvvar_shared>* pending = nullptr;  // the draining call's list, next value last

// Whether releasing this handle would tear down an object (and through it, perhaps, more entries).
bool tears_down_object(const krvvar_shared& value) noexcept {
  return value && value->refcount == 1 && !krvvar_is_simple(value->type) && value->type != KRVVAR_STRING;
}

// Below the draining call: the values that would tear down objects go to its list, last to first, so it
// takes them first to last, as the nested calls would have.
void hand_to_drain(std::vector<krv_std_json_entry>& entries, const krv_thread_local& record) noexcept {
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    if (tears_down_object(entry->value)) {
      try {
        pending->push_back(std::move(entry->value));
        continue;
      } catch (const std::bad_alloc&) {
        // No room to defer: released here, one level deeper.
      }
    }
    entry->value.release(record);
  }
}

// The call at the limit: each entry released, then whatever its release handed over, until none is left.
void drain(std::vector<krv_std_json_entry>& entries, const krv_thread_local& record) noexcept {
  std::vector<krvvar_shared> list;
  pending = &list;
  for (krv_std_json_entry& entry : entries) {
    entry.value.release(record);
    while (!list.empty()) {
      krvvar_shared next = std::move(list.back());
      list.pop_back();
      next.release(record);
    }
  }
  pending = nullptr;
}

}  // namespace

void krv_json_release_entries(std::vector<krv_std_json_entry>& entries, const krv_thread_local& record) noexcept {
  if (release_depth > direct_release_depth) {
    hand_to_drain(entries, record);
  } else {
    ++release_depth;
    if (release_depth > direct_release_depth) {
      drain(entries, record);
    } else {
      for (krv_std_json_entry& entry : entries) entry.value.release(record);
    }
    --release_depth;
  }
  entries.clear();
}
