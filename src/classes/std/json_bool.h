// krv_std_json_bool: the script class "json.bool", a JSON boolean in a language whose truth values are
// integers.
//
// The object wraps one value (the property "value") and stands for its truth: it prints as true or false,
// becomes a JSON boolean inside a printed container, and is what the JSON literals true and false parse
// into. In arithmetic it acts as the number it wraps, in comparisons as its truth. Integer results wrap in
// two's complement at the 64-bit limits, as the value core's increment does.
//
// Objects live on the heap (no pool). Handing the object out (strong_self) hands out a copy, so two
// variables never share one wrapped value by accident.
#pragma once
#include <string>
#include <vector>

#include "runtime/objects/class_template.h"

class krv_std_json_bool : public krvobject<krv_std_json_bool, CLASS_STRING<"json.bool">> {
 public:
  // Wraps None.
  krv_std_json_bool() = default;
  // Wraps a fresh cell assigned from `source` (as krvvar::set assigns).
  explicit krv_std_json_bool(krvvar_shared source);

  // The truth of the wrapped value.
  bool truth() const { return value->get_bool(); }
  // What the object is as a JSON boolean; the printer builds the JSON literal from it.
  virtual bool json_boolean() { return truth(); }

  void to_string(std::string& out) override;
  void strong_self(krvptr_strong<krvobject_base>& out) override;
  bool is_empty() override { return !truth(); }

  bool op_add(krvvar_shared& out, krvvar_shared& other) override;
  bool op_add_swapped(krvvar_shared& out, krvvar_shared& other) override;
  bool op_subtract(krvvar_shared& out, krvvar_shared& other) override;
  bool op_subtract_swapped(krvvar_shared& out, krvvar_shared& other) override;
  bool op_multiply(krvvar_shared& out, krvvar_shared& other) override;
  bool op_multiply_swapped(krvvar_shared& out, krvvar_shared& other) override;
  bool op_divide(krvvar_shared& out, krvvar_shared& other) override;
  bool op_divide_swapped(krvvar_shared& out, krvvar_shared& other) override;
  bool equals(krvvar_shared& other) override;
  bool less_than(krvvar_shared& other, bool or_equal) override;
  bool greater_than(krvvar_shared& other, bool or_equal) override;

  static void script_register();
  // The body of the constructor function "bool": a new object wrapping the argument (None when absent).
  static krvvar_shared constructor_function(krv_vm_context& frame, std::vector<krvvar_shared>& args);

  krvvar_static value;  // the wrapped value, a cell this object owns
};

// A new integer value 1 or 0: the language's plain truth value.
krvvar_shared krv_make_bool_value(bool flag);
