#include "classes/ipc/ipc_payload.h"

bool krv_ipc_write_payload(krvvar_shared& value, std::vector<uint8_t>& out) {
  const size_t start = out.size();
  if (value && value->to_binary(out)) return true;
  out.resize(start);  // a refused value leaves no header behind: nothing half-written is ever sent
  return false;
}

bool krv_ipc_read_payload(const uint8_t* data, size_t size, krvvar_shared& out) {
  if (!out) out = krvvar_shared::make_none();
  return out->from_binary_bytes(data, size);
}
