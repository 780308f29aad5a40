// How value operations report a failure.
//
// A warning or error raised by a value operation goes to the log at its level. Runtime warnings and
// errors on the current task take over once tasks exist; the call sites stay the same.
#pragma once
#include <string>

void krvvar_report_warning(const std::string& text);
void krvvar_report_error(const std::string& text);
