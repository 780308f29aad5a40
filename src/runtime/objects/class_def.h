// krv_class_def: the record of a class written in the script language, built by the host's compiler.
//
// Instances (krv_class) refer back to it; the interpreter reads its symbol table for member access and
// its method values for calls; opcode 44 calls its constructor block and refuses a class that still has
// abstract methods. Base classes are held weakly: the program owns every class record.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/base/krvvar_shared.h"
#include "runtime/memory/handles.h"
#include "runtime/objects/compiled_record.h"
#include "runtime/objects/symbol_table.h"

class krv_program_block;
class krv_global_scope;

class krv_class_def : public krv_compiled_record<krv_class_def> {
 public:
  std::string name;
  krvptr_strong<krv_program_block_symbol_table> symbols;  // member name -> index, method and private flags
  std::vector<krvvar_shared> methods;                     // method values by member index
  krvptr_weak<krv_global_scope> global_scope;
  krvptr_weak<krv_program_block> deinit;                  // the __deinit__ method's block; empty for none
  krvptr_weak<krv_program_block> constructor;             // the class's own constructor block, if any
  krvptr_weak<krv_program_block> default_block;           // builds an instance when there is no constructor
  std::vector<krvptr_weak<krv_class_def>> bases;           // direct base classes, in declaration order
  std::vector<std::string> abstract_methods;              // declared but not implemented
  // Member index (into `methods`) of the method of each operator number (vm_operator_methods.h);
  // -1 where the class has none. Filled from the symbol table by `fill_operator_methods`.
  std::array<int32_t, 25> operator_methods = filled_with_none();

  // Looks every operator's method name up in the symbols; run once the class's members are known.
  void fill_operator_methods();
  // The method value of operator `op`, or null.
  const krvvar_shared* operator_method(uint8_t op) const noexcept {
    if (op >= operator_methods.size() || operator_methods[op] < 0) return nullptr;
    const auto index = static_cast<size_t>(operator_methods[op]);
    return index < methods.size() && methods[index] ? &methods[index] : nullptr;
  }

 private:
  static constexpr std::array<int32_t, 25> filled_with_none() {
    std::array<int32_t, 25> none{};
    none.fill(-1);
    return none;
  }
};

// A class value (KRVVAR_CLASS_DEF) for `klass`: calling it makes an instance. The value observes the
// class weakly; the program owns it.
krvvar_shared krv_class_value(krv_class_def& klass);
// The class a class value designates; null for other values and for a class that is gone.
krv_class_def* krv_class_of(const krvvar& value);

// True when `a` and `b` are the same class or either inherits from the other at any depth; a null
// class gives false.
bool krv_class_is_related(const krv_class_def* a, const krv_class_def* b);
// True when `klass` is `base` or inherits from it at any depth (depth-first over the base lists).
bool krv_class_inherits(const krv_class_def* klass, const krv_class_def* base);
