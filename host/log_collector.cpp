#include "host/log_collector.h"

krv_log_collector::krv_log_collector(krv_log_base& log) : log_(log), connection_(log.connect(this)) {}

krv_log_collector::~krv_log_collector() { log_.close(connection_); }

std::vector<krv_logged_line> krv_log_collector::lines() const {
  std::lock_guard guard(mutex_);
  return lines_;
}

void krv_log_collector::clear() {
  std::lock_guard guard(mutex_);
  lines_.clear();
}

void krv_log_collector::add(krv_log_level level, const std::string& text) {
  std::lock_guard guard(mutex_);
  lines_.push_back({level, text});
}
