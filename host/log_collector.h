// A log listener that keeps every line it receives, with its level, for tests and the CLI.
//
// It attaches itself on construction and closes its connection on destruction, which waits until no
// delivery to it is in flight, so the collector can be destroyed while other threads still log.
#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/objects/log.h"

struct krv_logged_line {
  krv_log_level level;
  std::string text;
  bool operator==(const krv_logged_line&) const = default;
};

class krv_log_collector : public krv_log_listener {
 public:
  explicit krv_log_collector(krv_log_base& log);
  ~krv_log_collector() override;
  krv_log_collector(const krv_log_collector&) = delete;
  krv_log_collector& operator=(const krv_log_collector&) = delete;

  std::vector<krv_logged_line> lines() const;
  void clear();

  void on_warning(const std::string& text) override { add(KRV_LOG_WARNING, text); }
  void on_error(const std::string& text) override { add(KRV_LOG_ERROR, text); }
  void on_info(const std::string& text) override { add(KRV_LOG_INFO, text); }
  void on_class_report(const std::string& text) override { add(KRV_LOG_CLASS_REPORT, text); }

 private:
  void add(krv_log_level level, const std::string& text);

  krv_log_base& log_;
  std::shared_ptr<krv_log_connection> connection_;
  mutable std::mutex mutex_;
  std::vector<krv_logged_line> lines_;
};
