#include "runtime/values/value_reports.h"

#include "runtime/objects/log.h"

void krvvar_report_warning(const std::string& text) { krv_log_base::instance()->write(KRV_LOG_WARNING, text); }

void krvvar_report_error(const std::string& text) { krv_log_base::instance()->write(KRV_LOG_ERROR, text); }
