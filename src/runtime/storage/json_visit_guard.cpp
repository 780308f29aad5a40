#include "runtime/storage/json_visit_guard.h"

#include <algorithm>

krv_json_visit_state& krv_json_visit_state_of_thread() {
  static thread_local krv_json_visit_state state;
  return state;
}

bool krv_json_visit_guard::push(const krv_std_json* container) {
  krv_json_visit_state& state = krv_json_visit_state_of_thread();
  if (state.stack.size() >= krv_json_max_depth) {
    refusal_ = KRV_JSON_VISIT_TOO_DEEP;
  } else if (std::find(state.stack.begin(), state.stack.end(), container) != state.stack.end()) {
    refusal_ = KRV_JSON_VISIT_CYCLE;
  } else {
    state.stack.push_back(container);
    pushed_ = true;
    return true;
  }
  state.failed = 1;
  return false;
}

krv_json_visit_guard::~krv_json_visit_guard() {
  krv_json_visit_state& state = krv_json_visit_state_of_thread();
  if (pushed_) state.stack.pop_back();
  if (state.stack.empty()) state.failed = 0;
}
