#include "runtime/objects/log.h"

#include <algorithm>
#include <cstring>

#include "module/thread_record.h"

krv_log_base* krv_log_base::instance() {
  krv_thread_local& record = krv_get_thread_local();
  if (record.log) return record.log.get();
  // A VM without a log would be a host fault; fall back to the default rather than crash.
  if (record.vm != nullptr && record.vm->log) return record.vm->log.get();
  return &krv_default_log();
}

krv_log_base& krv_default_log() {
  static krv_log_base log;
  return log;
}

void krv_log_base::error(const char* text) {
  if (!enabled(KRV_LOG_ERROR)) return;
  write(KRV_LOG_ERROR, std::string(text));
}

void krv_log_base::write(krv_log_level level, const std::string& text) {
  if (!enabled(level)) return;
  const std::string line = text.find('\0') == std::string::npos ? text : std::string(text.c_str());
  call_hook(level, line);
  deliver(level, line);
}

void krv_log_base::call_hook(krv_log_level level, const std::string& text) {
  switch (level) {
    case KRV_LOG_WARNING: on_warning(text); break;
    case KRV_LOG_ERROR: on_error(text); break;
    case KRV_LOG_INFO: on_info(text); break;
    case KRV_LOG_CLASS_REPORT: on_class_report(text); break;
  }
}

namespace {

void call_listener(krv_log_listener& listener, krv_log_level level, const std::string& text) {
  switch (level) {
    case KRV_LOG_WARNING: listener.on_warning(text); break;
    case KRV_LOG_ERROR: listener.on_error(text); break;
    case KRV_LOG_INFO: listener.on_info(text); break;
    case KRV_LOG_CLASS_REPORT: listener.on_class_report(text); break;
  }
}

}  // namespace

void krv_log_base::deliver(krv_log_level level, const std::string& text) {
  std::vector<std::shared_ptr<krv_log_connection>> snapshot;
  {
    std::lock_guard guard(mutex_);
    snapshot = listeners_;
    for (auto& connection : snapshot) connection->in_calls.fetch_add(1);
  }
  for (auto& connection : snapshot) {
    if (!connection->closed.load()) call_listener(*connection->listener, level, text);
    connection->in_calls.fetch_sub(1);
    // The closer sets `closed` before it checks `in_calls`, and we drop `in_calls` before we check
    // `closed` (both sequentially consistent), so one of the two always sees the other's change.
    if (connection->closed.load()) {
      std::lock_guard guard(mutex_);
      closed_cv_.notify_all();
    }
  }
}

std::shared_ptr<krv_log_connection> krv_log_base::connect(krv_log_listener* listener) {
  auto connection = std::make_shared<krv_log_connection>(listener);
  std::lock_guard guard(mutex_);
  listeners_.push_back(connection);
  return connection;
}

void krv_log_base::close(const std::shared_ptr<krv_log_connection>& connection) {
  connection->closed.store(true);
  std::unique_lock guard(mutex_);
  std::erase(listeners_, connection);
  closed_cv_.wait(guard, [&] { return connection->in_calls.load() == 0; });
}
