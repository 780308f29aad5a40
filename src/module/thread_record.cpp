#include "module/thread_record.h"

#include "module/global_instance.h"
#include "platform/thread_id.h"

krv_thread_local& krv_get_thread_local() { return krv_global().thread_local_hook(); }

krv_thread_local& krv_default_thread_local() {
  // A thread_local with a constructor is built on the thread's first use, rebuilt on the next use if its
  // constructor threw, and destroyed at thread exit (which releases the log handle).
  static thread_local krv_thread_local record(krv_platform::current_thread_id());
  return record;
}
