// Logging: the runtime's diagnostic channel beside runtime errors.
//
// A log object holds a level mask and a list of listener connections. The calling thread's log is its
// own, else its VM's, else the module default. A line is built only when its level bit is set (a clear
// bit costs one test and allocates nothing); a built line is cut at its first NUL byte, handed to the
// log's own hook for the level, then delivered to every listener.
//
// Delivery copies the listener list under the log's mutex and calls listeners outside it. Each
// connection counts the deliveries in flight; whoever closes a connection sets its closed flag and
// waits on the log's condition variable until that count is 0, after which the listener is never
// called again.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/memory/handles.h"

enum krv_log_level : uint32_t {
  KRV_LOG_WARNING = 2,
  KRV_LOG_ERROR = 4,
  KRV_LOG_INFO = 8,
  KRV_LOG_CLASS_REPORT = 16,  // a native class registered without a create_new function
};

// Warnings and errors on; bits 1 and 32 belong to the host.
inline constexpr uint32_t krv_log_default_mask = 39;

// The host's listener. Operations default to ignoring the line.
class krv_log_listener {
 public:
  virtual ~krv_log_listener() = default;
  virtual void on_warning(const std::string&) {}
  virtual void on_error(const std::string&) {}
  virtual void on_info(const std::string&) {}
  virtual void on_class_report(const std::string&) {}
};

struct krv_log_connection {
  explicit krv_log_connection(krv_log_listener* l) : listener(l) {}

  krv_log_listener* listener;
  std::atomic<uint32_t> in_calls{0};  // deliveries to this listener in progress
  std::atomic<bool> closed{false};    // set by whoever detaches; a closed connection receives nothing
};

class krv_log_base : public krvptr_base<krv_log_base> {
 public:
  krv_log_base() = default;

  // The calling thread's log: its own, else its VM's, else the module default.
  static krv_log_base* instance();

  bool enabled(krv_log_level level) const noexcept { return (mask & level) != 0; }

  // One-piece lines.
  void error(const std::string& text) { write(KRV_LOG_ERROR, text); }
  void error(const char* text);
  void warning(const std::string& text) { write(KRV_LOG_WARNING, text); }

  // Writes a line at `level` if its bit is set: cut at the first NUL, hook, then listeners.
  void write(krv_log_level level, const std::string& text);

  // Deliver a finished text to the listeners.
  void emit_warning(const std::string& text) { deliver(KRV_LOG_WARNING, text); }
  void emit_error(const std::string& text) { deliver(KRV_LOG_ERROR, text); }
  void emit_info(const std::string& text) { deliver(KRV_LOG_INFO, text); }
  void emit_level16(const std::string& text) { deliver(KRV_LOG_CLASS_REPORT, text); }

  // Attaches a listener; the host keeps the connection to close it later.
  std::shared_ptr<krv_log_connection> connect(krv_log_listener* listener);
  // Detaches a listener and waits until no delivery to it is in flight.
  void close(const std::shared_ptr<krv_log_connection>& connection);

  // Level hooks, called with every written line before the listeners. Empty here; a host's log may
  // override them.
  virtual void on_warning(const std::string&) {}
  virtual void on_error(const std::string&) {}
  virtual void on_info(const std::string&) {}
  virtual void on_class_report(const std::string&) {}

  uint32_t mask = krv_log_default_mask;  // krv_log_level bits that are built and delivered

 private:
  void call_hook(krv_log_level level, const std::string& text);
  void deliver(krv_log_level level, const std::string& text);

  std::vector<std::shared_ptr<krv_log_connection>> listeners_;  // guarded by mutex_
  std::mutex mutex_;
  std::condition_variable closed_cv_;  // signalled when a delivery to a closed connection ends
};

// The module-wide log of threads with neither their own nor a VM's log.
krv_log_base& krv_default_log();

// Writes one line built from `pieces` (texts, integers in decimal, pointers in the stream's address
// form), building nothing when the level is off.
template <class... Pieces>
void krv_log_line(krv_log_base& log, krv_log_level level, const Pieces&... pieces) {
  if (!log.enabled(level)) return;
  std::ostringstream line;
  (line << ... << pieces);
  log.write(level, line.str());
}
