#include "runtime/exec/interp/runtime_error.h"

#include <iterator>
#include <vector>

#include "module/thread_record.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/interp/program_records.h"
#include "runtime/exec/interp/source_excerpt.h"
#include "runtime/exec/task/task.h"
#include "runtime/objects/log.h"
#include "runtime/objects/vm_context.h"

namespace {

// Deeper stacks print their first and last entries only.
constexpr size_t report_head = 10;
constexpr size_t report_tail = 20;

std::string plain_block(std::string_view heading, const std::string& text) {
  std::string block(heading);
  block += "\n";
  block += krv_report_rule;
  block += "\n" + text + "\n";
  block += krv_report_rule;
  return block;
}

// The code offset a frame stands at: its instruction pointer while that lies in its code, else where
// it resumes.
uint32_t frame_offset(const krv_vm_context& frame) {
  const int64_t at = frame.block != nullptr ? frame.block->offset_of(frame.ip) : -1;
  return at >= 0 ? static_cast<uint32_t>(at) : frame.saved_offset;
}

// True when a frame of `task`, from the top down, takes a catchable error before a noexcept function.
bool catch_frame_exists(const krv_task& task) {
  for (auto frame = task.frames.rbegin(); frame != task.frames.rend(); ++frame) {
    const krv_program_block* block = (*frame)->block;
    if (block == nullptr) continue;
    if (block->has_catch) return true;
    if (block->is_noexcept && block->kind == KRV_BLOCK_FUNCTION) return false;
  }
  return false;
}

// The position a frame's entry names: the top frame's instruction, a caller's call.
krvptr_strong<krv_source_position> entry_position(const krv_task& task, size_t index) {
  const krv_vm_context& frame = *task.frames[index];
  if (frame.block == nullptr) return {};
  return krv_find_position(*frame.block, frame_offset(frame), index + 1 != task.frames.size());
}

void report_entry(const krv_task& task, const std::string& framed, size_t index) {
  const bool top = index + 1 == task.frames.size();
  const krvptr_strong<krv_source_position> position = entry_position(task, index);
  if (!position) {
    // A caller's entry shows where it called, never the message: without a position it has nothing.
    if (top) krv_log_base::instance()->write(KRV_LOG_ERROR, plain_block("Runtime Error", framed));
    return;
  }
  krv_print_call_stack_error(*position, top ? framed : std::string());
}

}  // namespace

krv_vm_context* krv_raise_target() {
  const krv_thread_local& record = krv_get_thread_local();
  if (!record.owns_vm_lock() || record.current_task == nullptr) return nullptr;
  return record.current_task->top_frame();
}

krvptr_strong<krv_source_position> krv_find_position(const krv_program_block& block, uint32_t offset, bool caller) {
  // A caller's frame stands after its call instruction, which may end where the next statement's
  // position begins: the call is the instruction that ends at the offset.
  if (caller && offset > 0) --offset;
  auto entry = block.positions.upper_bound(offset);
  if (entry == block.positions.begin()) return {};
  --entry;
  return entry->second.lock();
}

void krv_runtime_error(krv_vm_context& frame, const std::string& framed, const std::string& message, bool catchable) {
  krv_task* task = frame.task;
  if (catchable && task != nullptr && catch_frame_exists(*task)) {
    krv_log_line(*krv_log_base::instance(), KRV_LOG_INFO, "Caught runtime error: ", message);
    task->error_value = krvvar_shared::make_string(message);
    return;
  }
  krv_runtime_error_report(frame, framed, -1);
  if (task != nullptr) task->error_value = krvvar_shared::make_string(message);
}

void krv_runtime_error_report(krv_vm_context& frame, const std::string& framed, int64_t index) {
  krv_task* task = frame.task;
  if (task == nullptr) return;
  task->error_value = krvvar_shared::make_string(framed);
  const size_t count = task->frames.size();
  if (index >= 0) {
    if (static_cast<size_t>(index) < count) report_entry(*task, framed, static_cast<size_t>(index));
    return;
  }
  // The entries that print (callers with a position, and the top frame), so that the count of those left
  // out counts entries too, never callers that would have printed nothing.
  std::vector<size_t> shown;
  for (size_t i = 0; i + 1 < count; ++i)
    if (entry_position(*task, i)) shown.push_back(i);
  if (count > 0) shown.push_back(count - 1);
  for (size_t k = 0; k < shown.size(); ++k) {
    if (shown.size() > report_head + report_tail && k == report_head) {
      krv_log_line(*krv_log_base::instance(), KRV_LOG_ERROR, "... ", shown.size() - report_head - report_tail,
                   " more frames ...");
      k = shown.size() - report_tail;
    }
    report_entry(*task, framed, shown[k]);
  }
}

void krv_runtime_warning(krv_vm_context& frame, const std::string& message) {
  krvptr_strong<krv_source_position> position;
  if (frame.block != nullptr) position = krv_find_position(*frame.block, frame_offset(frame), false);
  if (position)
    krv_print_call_stack_warning(*position, message);
  else
    krv_log_base::instance()->write(KRV_LOG_WARNING, plain_block("Runtime Warning", message));
}
