// Fuzz target json_text: the input parsed as JSON text into a container. First the two readers behind
// the parse each read it alone: what the strict reader takes, nlohmann's reading takes too, into the
// same container (its compact and reference-debugging texts). A text that parses holds no
// zero byte (JSON has none, in strings or out, so one that parsed was cut short there). It is printed
// compact and pretty; each print parses again and prints compact to the same text, and the containers
// compare equal.
#include <string>
#include <string_view>

#include "classes/std/json_text_readers.h"
#include "fuzz_support.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/storage/json_object.h"

namespace {

// `printed` parsed into a new container, which prints compact as `compact` and equals `original`.
void check_reparse(const std::string& printed, const std::string& compact, krvvar_shared& original) {
  krvvar_shared again = krvvar_shared::make_json();
  KRV_FUZZ_CHECK(again->json_ptr(false)->from_string(printed, true));
  KRV_FUZZ_CHECK(again->json_ptr(false)->dump(true) == compact);
  KRV_FUZZ_CHECK(original->compare_equal(*again));
}

// The strict reader gives a text up or fills as nlohmann's reading does.
void check_readers_agree(std::string_view text) {
  krvvar_shared strict = krvvar_shared::make_json();
  if (!krv_json_fill_strictly(*strict->json_ptr(false), text)) return;
  krvvar_shared reference = krvvar_shared::make_json();
  KRV_FUZZ_CHECK(krv_json_fill_through_nlohmann(*reference->json_ptr(false), text));
  KRV_FUZZ_CHECK(strict->json_ptr(false)->dump(true) == reference->json_ptr(false)->dump(true));
  KRV_FUZZ_CHECK(strict->json_ptr(false)->debug_dump(true) == reference->json_ptr(false)->debug_dump(true));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  krv_fuzz_vm::instance().clear_log();
  krvvar_shared value = krvvar_shared::make_json();
  krv_std_json& container = *value->json_ptr(false);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_readers_agree(text);
  if (!container.from_string(text, true)) return 0;
  KRV_FUZZ_CHECK(text.find('\0') == std::string_view::npos);
  const std::string compact = container.dump(true);
  if (compact.empty()) return 0;  // printing refused (nesting past the limit), said in a warning
  check_reparse(compact, compact, value);
  check_reparse(container.dump(false), compact, value);
  return 0;
}
