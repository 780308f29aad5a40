#include "module/thread_record.h"

#include "platform/thread_id.h"

namespace {

// The calling thread's record once created. A constant-initialised pointer is the cheapest thread-local
// there is (no initialisation guard on access): guards look the record up on every entry.
constinit thread_local krv_thread_local* thread_record = nullptr;

// Destroys the thread's record at thread exit, which also releases its log handle.
struct thread_record_owner {
  ~thread_record_owner() {
    delete thread_record;
    thread_record = nullptr;
  }
};

[[gnu::noinline]] krv_thread_local& create_thread_record() {
  static thread_local thread_record_owner owner;  // registers the exit-time destruction on first use
  // Published only once fully built: if construction throws, the next call tries again.
  thread_record = new krv_thread_local(krv_platform::current_thread_id());
  return *thread_record;
}

}  // namespace

std::function<krv_thread_local&()> krv_default_thread_local_hook() {
  // A lambda rather than a function pointer, so the hook's call reaches the lookup without a second
  // indirect call.
  return []() -> krv_thread_local& {
    if (krv_thread_local* record = thread_record) [[likely]] return *record;
    return create_thread_record();
  };
}
