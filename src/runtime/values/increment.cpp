// Increment and decrement of a value: None becomes 1 or -1, integers wrap around (two's complement),
// floats step by 1.0; other types are not counted.
#include "runtime/base/krvvar.h"
#include "runtime/base/raise.h"

namespace {

bool step(krvvar& value, int64_t delta, const char* operation) {
  switch (value.type) {
    case KRVVAR_NONE:
      value.set_type_simple(KRVVAR_INT);
      value.payload.int_value = delta;
      return true;
    case KRVVAR_INT:
      value.payload.int_value = static_cast<int64_t>(static_cast<uint64_t>(value.payload.int_value) + static_cast<uint64_t>(delta));
      return true;
    case KRVVAR_FLOAT:
      value.payload.float_value += static_cast<double>(delta);
      return true;
  }
  krv_raise_warning(operation, int{value.type});
  return false;
}

}  // namespace

bool krvvar::increment_value() { return step(*this, 1, "increment_value not implemented for type: "); }

bool krvvar::decrement_value() { return step(*this, -1, "decrement_value not implemented for type: "); }
