// Operator methods: how the interpreter hands an operator over to a method of a script class.
//
// Operator number k is entry k of `krv_vm::operator_table` and the index of the class's operator slot
// (`krv_class_def::operator_methods`). A two-operand arithmetic or bitwise operator k (0..7) has its
// reflected method at k + 8 ("__radd__" for "__add__"), tried on the right operand when the left one
// has none. An operator method runs as a script call: a frame bound to the instance is pushed with
// status 16, the instance and a result slot are pushed on the value stack, and the calling frame's
// operator-result mode says what to make of the result when it resumes (`krv_vm::finish_operator_call`).
#pragma once
#include <array>
#include <cstdint>
#include <string_view>

#include "runtime/base/krvvar_shared.h"

class krv_vm_context;

struct krv_operator_entry {
  std::string_view method;  // the method name that implements it
  std::string_view symbol;  // as error messages print it
  uint64_t operands;        // arguments the method takes
};

enum krv_operator_number : uint8_t {
  KRV_OPERATOR_ADD = 0,
  KRV_OPERATOR_MOD = 7,
  KRV_OPERATOR_REFLECTED = 8,  // added to a two-operand operator for its reflected method
  KRV_OPERATOR_EQ = 16,
  KRV_OPERATOR_NE = 17,
  KRV_OPERATOR_LT = 18,
  KRV_OPERATOR_LE = 19,
  KRV_OPERATOR_GT = 20,
  KRV_OPERATOR_GE = 21,
  KRV_OPERATOR_NEG = 22,
  KRV_OPERATOR_GETITEM = 23,
  KRV_OPERATOR_SETITEM = 24,
};

// What the calling frame makes of an operator method's result (krv_vm_context::operator_result_mode).
enum krv_operator_result_mode : uint8_t {
  KRV_OPERATOR_RESULT_NONE = 0,
  KRV_OPERATOR_RESULT_VALUE = 1,  // the result itself
  KRV_OPERATOR_RESULT_TRUTH = 2,  // its truth, as int 1 or 0
  KRV_OPERATOR_RESULT_FALSEHOOD = 3,  // its falsehood (!= through __eq__)
};

namespace krv_vm {

inline constexpr uint32_t operator_count = 25;
inline constexpr std::array<krv_operator_entry, operator_count> operator_table = {{
    {"__add__", "+", 1},   {"__sub__", "-", 1},    {"__mul__", "*", 1},    {"__div__", "/", 1},
    {"__and__", "&", 1},   {"__or__", "|", 1},     {"__xor__", "^", 1},    {"__mod__", "%", 1},
    {"__radd__", "+", 1},  {"__rsub__", "-", 1},   {"__rmul__", "*", 1},   {"__rdiv__", "/", 1},
    {"__rand__", "&", 1},  {"__ror__", "|", 1},    {"__rxor__", "^", 1},   {"__rmod__", "%", 1},
    {"__eq__", "==", 1},   {"__ne__", "!=", 1},    {"__lt__", "<", 1},     {"__le__", "<=", 1},
    {"__gt__", ">", 1},    {"__ge__", ">=", 1},    {"__neg__", "-", 0},    {"__getitem__", "[]", 1},
    {"__setitem__", "[]=", 2},
}};

// Calls operator method `op` of `object` (a live instance whose class has it) with up to two
// arguments (null: none); false, with nothing changed, when there is no such method.
bool try_operator_method(krv_vm_context& frame, const krvvar_shared& object, uint8_t op, krvvar_shared* first,
                         krvvar_shared* second, uint8_t mode);
// Arithmetic or bitwise operator `op` (0..7) of two operands, one an instance: left's method, else
// right's reflected one, else the not-defined error with A := None.
void binary_operator_overload(krv_vm_context& frame, krvvar_shared& left, krvvar_shared& right, uint8_t op);
// Comparison `op` (16..21) with one operand an instance; false when no method applies (the caller
// compares the values itself).
bool compare_operator_overload(krv_vm_context& frame, krvvar_shared& left, krvvar_shared& right, uint8_t op);
// The resume step: A := the operator method's result as the frame's mode says; pops the two values
// the call pushed.
void finish_operator_call(krv_vm_context& frame);

}  // namespace krv_vm
