#include "runtime/objects/class_def.h"

#include <algorithm>

#include "runtime/base/value_records.h"
#include "runtime/exec/interp/vm_operator_methods.h"

krvvar_shared krv_class_value(krv_class_def& klass) {
  krvvar_shared value = krvvar_shared::make_typed(KRVVAR_CLASS_DEF);
  static_cast<krvvar_class_def_record*>(value->payload.record)->definition =
      krvptr_weak<krvptr_base_internal>::from_raw(&klass);
  return value;
}

krv_class_def* krv_class_of(const krvvar& value) {
  if (value.type != KRVVAR_CLASS_DEF) return nullptr;
  // Class values are only ever made for class records (krv_class_value).
  return static_cast<krv_class_def*>(static_cast<krvvar_class_def_record*>(value.payload.record)->definition.get());
}

bool krv_class_inherits(const krv_class_def* klass, const krv_class_def* base) {
  if (klass == nullptr || base == nullptr) return false;
  // Depth-first with a visited list: a malformed program whose bases form a cycle ends the walk instead
  // of recursing forever.
  std::vector<const krv_class_def*> pending{klass};
  std::vector<const krv_class_def*> visited;
  while (!pending.empty()) {
    const krv_class_def* current = pending.back();
    pending.pop_back();
    if (current == base) return true;
    if (std::find(visited.begin(), visited.end(), current) != visited.end()) continue;
    visited.push_back(current);
    // Pushed last to first, so the first base is explored first.
    for (auto parent = current->bases.rbegin(); parent != current->bases.rend(); ++parent)
      if (const krv_class_def* next = parent->get()) pending.push_back(next);
  }
  return false;
}

bool krv_class_is_related(const krv_class_def* a, const krv_class_def* b) {
  return krv_class_inherits(a, b) || krv_class_inherits(b, a);
}

void krv_class_def::fill_operator_methods() {
  static_assert(std::tuple_size_v<decltype(operator_methods)> == krv_vm::operator_count);
  for (uint32_t op = 0; op < krv_vm::operator_count; ++op) {
    const krv_symbol* symbol = symbols ? symbols->find(krv_vm::operator_table[op].method) : nullptr;
    operator_methods[op] = symbol != nullptr && symbol->is_method != 0 ? static_cast<int32_t>(symbol->member_index) : -1;
  }
}
