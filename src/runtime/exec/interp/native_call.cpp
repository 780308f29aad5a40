#include "runtime/exec/interp/native_call.h"

#include <exception>
#include <functional>
#include <utility>

#include "runtime/base/raise.h"
#include "runtime/objects/function_def.h"

namespace {

thread_local const krv_function_def* native_in_call = nullptr;

// Names the definition as the one in call for the guard's life, then the caller's again.
class native_in_call_guard {
 public:
  explicit native_in_call_guard(const krv_function_def& definition)
      : outer_(std::exchange(native_in_call, &definition)) {}
  ~native_in_call_guard() { native_in_call = outer_; }
  native_in_call_guard(const native_in_call_guard&) = delete;
  native_in_call_guard& operator=(const native_in_call_guard&) = delete;

 private:
  const krv_function_def* outer_;
};

}  // namespace

const krv_function_def* vm_native_in_call() noexcept { return native_in_call; }

bool vm_native_count_fits(const krv_function_def& definition, uint32_t count) {
  if (count >= definition.min_args && count <= definition.max_args) return true;
  krv_raise_error("invalid parameter count ", count, " min: ", definition.min_args, " max: ", definition.max_args);
  return false;
}

krvvar_shared& vm_call_native(krvvar_shared& result, krv_function_def& definition, krv_vm_context& frame,
                              std::vector<krvvar_shared>& args) {
  // Bodies index their arguments up to their minimum without testing them: whoever calls, a count
  // outside the definition's range never reaches the body.
  if (!vm_native_count_fits(definition, static_cast<uint32_t>(args.size()))) {
    result = krvvar_shared::make_none();
    return result;
  }
  // A slot that code never filled reads as None.
  for (krvvar_shared& arg : args)
    if (!arg) arg = krvvar_shared::make_none();
  const native_in_call_guard in_call(definition);
  try {
    if (!definition.callable) throw std::bad_function_call();
    result = definition.callable(frame, args);
  } catch (const std::exception& error) {
    result = krv_raise_error(definition.name, ": ", error.what());
  } catch (...) {
    result = krv_raise_error(definition.name, ": unknown native exception");
  }
  if (!result) result = krvvar_shared::make_none();
  return result;
}
