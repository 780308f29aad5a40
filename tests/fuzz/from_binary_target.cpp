// Fuzz target from_binary: bytes read as a value (a "v11" section) or, when they start with a "j11"
// header, as a container's own section. Whatever reads back is written, read and written again: both
// writes must be equal, so the writer and the reader agree on every value the reader accepts.
#include <cstring>
#include <stdexcept>
#include <vector>

#include "fuzz_support.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/storage/json_object.h"
#include "runtime/values/binary_format.h"

namespace {

bool starts_container_section(const uint8_t* data, size_t size) {
  return size >= 5 && data[0] == 3 && std::memcmp(data + 1, "j11", 3) == 0 && data[4] == 0;
}

// The value the bytes hold; false when the reader refuses them.
bool read_input(krvvar_shared& value, const uint8_t* data, size_t size) {
  if (!starts_container_section(data, size)) return value->from_binary_bytes(data, size);
  value = krvvar_shared::make_json();
  krv_binary_reader reader{data, size, 0};
  try {
    return value->json_ptr(false)->from_binary(reader);
  } catch (const std::runtime_error&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  krv_fuzz_vm::instance().clear_log();
  krvvar_shared value = krvvar_shared::make_none();
  if (!read_input(value, data, size)) return 0;
  std::vector<uint8_t> first;
  if (!value->to_binary(first)) return 0;  // refused whole (depth), never written in part
  krvvar_shared again = krvvar_shared::make_none();
  KRV_FUZZ_CHECK(again->from_binary_bytes(first.data(), first.size()));
  std::vector<uint8_t> second;
  KRV_FUZZ_CHECK(again->to_binary(second));
  KRV_FUZZ_CHECK(first == second);
  return 0;
}
