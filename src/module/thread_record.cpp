#include "module/thread_record.h"

#include "platform/thread_id.h"

constinit thread_local krv_thread_local* krv_default_thread_record = nullptr;
constinit krv_default_hook_image krv_default_hook;

namespace {

// Destroys the thread's record at thread exit, which also releases its log handle.
struct thread_record_owner {
  ~thread_record_owner() {
    delete krv_default_thread_record;
    krv_default_thread_record = nullptr;
  }
};

}  // namespace

krv_thread_local& krv_create_default_thread_record() {
  static thread_local thread_record_owner owner;  // registers the exit-time destruction on first use
  // Published only once fully built: if construction throws, the next call tries again.
  krv_default_thread_record = new krv_thread_local(krv_platform::current_thread_id());
  return *krv_default_thread_record;
}

krv_thread_local_hook_fn krv_default_thread_local_hook() { return krv_default_thread_local_provider{}; }
