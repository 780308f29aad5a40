#include "runtime/storage/json_release.h"

#include <new>
#include <utility>

#include "runtime/base/krvvar.h"

namespace {

// The drain state of one thread.
struct release_drain {
  std::vector<krvvar_shared> pending;  // values to release, the next one last
  bool draining = false;               // a krv_json_release_entries call below on this stack drains
};

release_drain& drain_of_thread() {
  static thread_local release_drain drain;
  return drain;
}

// Whether releasing this handle would tear down an object (and through it, perhaps, more entries).
bool tears_down_object(const krvvar_shared& value) noexcept {
  return value && value->refcount == 1 && !krvvar_is_simple(value->type) && value->type != KRVVAR_STRING;
}

}  // namespace

void krv_json_release_entries(std::vector<krv_std_json_entry>& entries, const krv_thread_local& record) noexcept {
  release_drain& drain = drain_of_thread();
  if (drain.draining) {
    // Pushed last to first, so the drain takes them first to last, as the nested calls would have.
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
      if (tears_down_object(entry->value)) {
        try {
          drain.pending.push_back(std::move(entry->value));
          continue;
        } catch (const std::bad_alloc&) {
          // No room to defer: released here, one level deeper.
        }
      }
      entry->value.release(record);
    }
    entries.clear();
    return;
  }
  drain.draining = true;
  for (krv_std_json_entry& entry : entries) {
    entry.value.release(record);
    while (!drain.pending.empty()) {
      krvvar_shared next = std::move(drain.pending.back());
      drain.pending.pop_back();
      next.release(record);
    }
  }
  entries.clear();
  drain.draining = false;
}
