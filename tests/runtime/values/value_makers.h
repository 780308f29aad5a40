// Deferred value makers for table-driven value tests: each row builds its values when the test runs,
// on the test's VM thread.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "runtime/base/krvvar_shared.h"

using value_maker = std::function<krvvar_shared()>;

inline value_maker text(std::string value) {
  return [value] { return krvvar_shared::make_string(value); };
}
inline value_maker number(double value) {
  return [value] { return krvvar_shared::make_float(value); };
}
inline value_maker integer(int64_t value) {
  return [value] { return krvvar_shared::make_int(value); };
}
inline value_maker none() {
  return [] { return krvvar_shared::make_none(); };
}
