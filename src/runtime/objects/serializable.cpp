#include "runtime/objects/serializable.h"

#include "runtime/objects/log.h"

bool krv_serializable::to_binary(std::vector<uint8_t>&) {
  krv_log_base::instance()->error("to_binary(): not implemented.");
  return false;
}

bool krv_serializable::from_binary(const std::vector<uint8_t>& bytes) { return from_binary(bytes.data(), bytes.size()); }

bool krv_serializable::from_binary(const uint8_t* data, size_t size) {
  krv_binary_reader reader{data, size, 0};
  return from_binary(reader);
}

bool krv_serializable::from_binary(krv_binary_reader&) {
  krv_log_base::instance()->error("from_binary(): not implemented.");
  return false;
}
