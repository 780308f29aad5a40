#include "runtime/base/raise.h"

#include <algorithm>

#include "runtime/exec/interp/runtime_error.h"
#include "runtime/exec/task/return_thread.h"
#include "runtime/exec/task/task_status.h"
#include "runtime/objects/log.h"
#include "runtime/objects/vm_context.h"

std::string krv_frame_error_text(const std::string& message) {
  const size_t first_line = std::min(message.find('\n'), message.size());
  const std::string stars(first_line, '*');
  return "\n" + stars + "\n" + message + "\n" + stars + "\n\n";
}

krvvar_shared krv_raise_error_text(const std::string& message, bool catchable) {
  // Raised by a hand-off job: its task raises it when it resumes (return_thread.h).
  if (std::string* sink = krv_hand_off_error_sink(); sink != nullptr && catchable) {
    if (sink->empty()) *sink = message;
    return krvvar_shared::make_none();
  }
  const std::string framed = krv_frame_error_text(message);
  if (krv_vm_context* top = krv_raise_target()) {
    krv_runtime_error(*top, framed, message, catchable);
    // The interpreter stops at its next instruction and the continuation unwinds.
    if (catchable) top->status = KRV_STATUS_ERROR;
  } else {
    // No task to raise on (a worker thread, code outside any task): the text only goes to the log.
    krv_log_base::instance()->error(framed);
  }
  return krvvar_shared::make_none();
}

void krv_raise_warning_text(const std::string& message) {
  if (krv_vm_context* top = krv_raise_target())
    krv_runtime_warning(*top, message);
  else
    krv_log_base::instance()->warning(message);
}
