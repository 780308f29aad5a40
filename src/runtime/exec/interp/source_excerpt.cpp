#include "runtime/exec/interp/source_excerpt.h"

#include <algorithm>
#include <sstream>
#include <vector>

#include "runtime/exec/interp/program_records.h"

namespace {

constexpr std::string_view token_note = "While handling an error, a token without AST was passed.\n";

// The include chain of `source`, root first. A chain that comes back to a record it has listed (a
// malformed program) ends there.
std::vector<const krv_source_record*> include_chain(const krv_source_record& source) {
  std::vector<const krv_source_record*> chain;
  for (const krv_source_record* at = &source; at != nullptr; at = at->included_by.get()) {
    if (std::find(chain.begin(), chain.end(), at) != chain.end()) break;
    chain.push_back(at);
  }
  std::reverse(chain.begin(), chain.end());
  return chain;
}

std::string display_name(const krv_source_record& source) {
  std::string path = source.path;
  return path_file_name(path);
}

// The trace under the message: the chain of file names with the line and index, then the full paths.
std::string include_trace(const std::vector<const krv_source_record*>& chain, uint32_t line, uint32_t index) {
  std::ostringstream trace;
  const size_t count = chain.size();
  for (size_t j = 0; j < count; ++j) {
    const std::string name = display_name(*chain[j]);
    if (count == 1) {
      trace << name << " --> Line " << line << ", Index " << index << "\n";
    } else if (j == 0) {
      trace << name << "\n";
    } else {
      trace << std::string(3 * j, ' ') << "|-- " << name << "\n";
      if (j == count - 1) trace << std::string(3 * count, ' ') << "`--> Line " << line << ", Index " << index << "\n";
    }
  }
  for (const krv_source_record* source : chain) trace << "\n>>> " << source->path;
  return trace.str();
}

void print_call_stack(const krv_source_position& position, const std::string& message, krv_log_level level) {
  krv_log_base& log = *krv_log_base::instance();
  krvptr_strong<krv_source_record> source = position.source.lock();
  const std::string* full_line = nullptr;
  if (source) {
    auto found = source->lines.find(position.line);
    if (found != source->lines.end()) full_line = &found->second;
  }
  if (full_line == nullptr) {
    if (level == KRV_LOG_ERROR)
      krv_error_token_note(log, message);
    else
      log.write(KRV_LOG_WARNING, message + "\n");
    return;
  }
  const std::string line_text = full_line->substr(0, full_line->find('\n'));
  const std::string trace = include_trace(include_chain(*source), position.line, position.index);
  const std::string_view heading = level == KRV_LOG_ERROR ? "Runtime Error" : "Runtime Warning";
  log.write(level, krv_format_source_excerpt(heading, display_name(*source), position.line, position.index,
                                             line_text, message, trace));
}

}  // namespace

std::string path_file_name(std::string& path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void krv_error_token_note(krv_log_base& log, const std::string& text) {
  if (!log.enabled(KRV_LOG_ERROR)) return;
  log.write(KRV_LOG_ERROR, std::string(token_note) + text);
}

std::string krv_format_source_excerpt(std::string_view heading, const std::string& file, uint32_t line,
                                      uint32_t index, std::string line_text, const std::string& message,
                                      const std::string& trace) {
  const std::string line_number = std::to_string(line);
  const std::string gutter(line_number.size() + 2, ' ');
  std::ostringstream text;
  text << heading << "\n" << krv_report_rule << "\n";
  text << std::string(line_number.size(), ' ') << "--> " << file << ":" << line_number << ":" << index << "\n";
  text << gutter << "|\n";
  const size_t first_shown = line_text.find_first_not_of(' ');
  if (first_shown != std::string::npos && index >= first_shown) {
    line_text.erase(0, first_shown);
    index -= static_cast<uint32_t>(first_shown);
  }
  text << " " << line_number << " | " << line_text << "\n";
  if (index < line_text.size()) text << gutter << "| " << std::string(index, ' ') << "^~~~~\n";
  text << gutter << "|\n";
  text << message << trace << "\n" << krv_report_rule;
  return text.str();
}

void krv_print_call_stack_error(const krv_source_position& position, const std::string& message) {
  print_call_stack(position, message, KRV_LOG_ERROR);
}

void krv_print_call_stack_warning(const krv_source_position& position, const std::string& message) {
  print_call_stack(position, message, KRV_LOG_WARNING);
}
