#include "runtime/exec/raise.h"

#include "runtime/objects/log.h"

std::string krv_frame_error_text(const std::string& message) {
  const size_t first_line = std::min(message.find('\n'), message.size());
  const std::string stars(first_line, '*');
  return "\n" + stars + "\n" + message + "\n" + stars + "\n\n";
}

krvvar_shared krv_raise_error_text(const std::string& message, bool /*catchable*/) {
  // Until script tasks exist there is no task to raise on: the framed text goes to the log.
  krv_log_base::instance()->error(krv_frame_error_text(message));
  return krvvar_shared::make_none();
}

void krv_raise_warning_text(const std::string& message) { krv_log_base::instance()->warning(message); }
