#include "host/host_natives.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "classes/kernel/kernel_arguments.h"
#include "classes/kernel/kernel_memory_access.h"
#include "host/resident_memory.h"
#include "host/standard_output.h"
#include "platform/stop_request.h"
#include "runtime/base/raise.h"
#include "runtime/objects/vm_context.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/json_object.h"

namespace {

krvvar_shared print_values(krv_vm_context&, std::vector<krvvar_shared>& args) {
  std::string line;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) line += ' ';
    line += args[i]->get_string();
  }
  line += '\n';
  krv_stdout_write(line);
  return krvvar_shared::make_none();
}

// The script's arguments as a std.json list of strings, a fresh list on each call.
krvvar_shared script_args(const std::vector<std::string>& words) {
  krvvar_shared list = krvvar_shared::make_json();
  for (const std::string& word : words) {
    krvvar_shared text = krvvar_shared::make_string(word);
    list->object_ptr<krv_std_json>()->push_value(text);
  }
  return list;
}

// Milliseconds with the clock's own resolution, so that short spans can be timed.
krvvar_shared clock_ms(krv_vm_context&, std::vector<krvvar_shared>&) {
  const auto since_origin = std::chrono::steady_clock::now().time_since_epoch();
  return krvvar_shared::make_float(std::chrono::duration<double, std::milli>(since_origin).count());
}

// The value's type as messages name it: "int", "float", "string", "json", a class name for an object.
krvvar_shared type_name(krv_vm_context&, std::vector<krvvar_shared>& args) {
  if (args.empty()) return krv_raise_error("type_name expects a value");
  const krvvar_shared value = args[0].deref_copy();
  return krvvar_shared::make_string(krv_var_type_name(value.get()));
}

// Length, byte count or entry count of a string, buffer, container or object; 8 (the payload's bytes)
// for a number; 0 for anything else.
krvvar_shared size_of(krv_vm_context&, std::vector<krvvar_shared>& args) {
  if (args.empty()) return krv_raise_error("size_of expects a value");
  const krvvar_shared value = args[0].deref_copy();
  switch (value->type) {
    case KRVVAR_INT:
    case KRVVAR_FLOAT: return krvvar_shared::make_int(8);
    case KRVVAR_STRING:
    case KRVVAR_BUFFER:
    case KRVVAR_JSON:
    case KRVVAR_OBJECT: return krvvar_shared::make_int(value->size());
  }
  return krvvar_shared::make_int(0);
}

// A buffer value (the binary format carries it; a std.buffer object it does not) with the bytes of a
// string, or of a std.buffer that no kernel launch is writing.
krvvar_shared buffer_value(krv_vm_context&, std::vector<krvvar_shared>& args) {
  const krvvar_shared value = args.empty() ? krvvar_shared::make_none() : args[0].deref_copy();
  if (value->type == KRVVAR_STRING) {
    const std::string_view text = value->string_view_value();
    return krvvar_shared::make_buffer(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  const krv_std_buffer* buffer = krv_var_std_buffer(value.get());
  if (buffer == nullptr) return krv_raise_error("buffer_value expects a string or a std.buffer");
  if (buffer->write_holds != 0) return krv_raise_error(krv_buffer_in_use_text);
  return krvvar_shared::make_buffer(buffer->bytes.data(), buffer->bytes.size());
}

// Raises the argument texts, joined by spaces, as a runtime error: a script's way to give up.
krvvar_shared fail(krv_vm_context&, std::vector<krvvar_shared>& args) {
  std::string message;
  for (size_t i = 0; i < args.size(); ++i) message += (i > 0 ? " " : "") + args[i]->get_string();
  return krv_raise_error_text(message);
}

// The largest n whose sum 1..n a script's int (int64) holds: n (n + 1) / 2 <= 2^63 - 1.
constexpr int64_t worker_sum_max_n = 4'294'967'295;
constexpr uint64_t sum_to(uint64_t n) { return n % 2 == 0 ? n / 2 * (n + 1) : (n + 1) / 2 * n; }
static_assert(sum_to(worker_sum_max_n) <= INT64_MAX && sum_to(worker_sum_max_n + 1) > INT64_MAX);

// Sums 1..n (0 for n below 1) on a worker; the script resumes with the sum. A sum past the largest int
// is refused before the hand-off rather than wrapped to a wrong number.
krvvar_shared worker_sum(krv_vm_context& frame, std::vector<krvvar_shared>& args) {
  const int64_t n = args.empty() ? 0 : args[0]->int_value();
  if (n > worker_sum_max_n)
    return krv_raise_error("worker_sum(", n, "): the sum passes the largest int (", INT64_MAX, "); n may be at most ",
                           worker_sum_max_n);
  return frame.return_thread([n] {
    return krvvar_shared::make_int(n < 1 ? 0 : static_cast<int64_t>(sum_to(static_cast<uint64_t>(n))));
  });
}

// The process's resident set in bytes, as the kernel counts it now.
krvvar_shared rss_bytes(krv_vm_context&, std::vector<krvvar_shared>&) {
  return krvvar_shared::make_int(static_cast<int64_t>(krv_host_resident_bytes()));
}

// The longest idle_ms sleeps: a script's number must not hold a worker for ever.
constexpr int64_t idle_ms_limit = 60'000;

// Lets the VM go quiet for n milliseconds (0 to idle_ms_limit): the sleep runs on a worker while the
// script's task waits, so the VM thread finds no work and runs its idle ticks as it would between
// bursts of a real script. With no workers the VM thread runs the sleep itself and never idles. A stop
// request (Ctrl-C) ends the sleep at once: the run's end then waits for no sleeping worker, and a
// finaliser asleep here when the stop comes ends where it stands.
krvvar_shared idle_ms(krv_vm_context& frame, std::vector<krvvar_shared>& args) {
  const int64_t ms = std::clamp<int64_t>(args.empty() ? 0 : args[0]->int_value(), 0, idle_ms_limit);
  return frame.return_thread([ms] {
    krv_platform::wait_for_stop(std::chrono::milliseconds(ms));
    return krvvar_shared::make_none();
  });
}

}  // namespace

std::vector<krv_host_native> krv_host_natives(const std::vector<std::string>& script_words) {
  return {
      {"print", print_values},
      {"script_args", [&script_words](krv_vm_context&, std::vector<krvvar_shared>&) { return script_args(script_words); }},
      {"clock_ms", clock_ms},
      {"type_name", type_name},
      {"size_of", size_of},
      {"buffer_value", buffer_value},
      {"fail", fail},
      {"worker_sum", worker_sum},
      {"rss_bytes", rss_bytes},
      {"idle_ms", idle_ms},
  };
}
