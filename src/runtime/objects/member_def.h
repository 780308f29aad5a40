// Member definitions: what a class's member table holds for each method and member variable.
//
// A definition makes the value that stands for the member on a given object (bind: a bound method or a
// member reference), and reads or writes the member (get / set; methods have neither). Definitions are
// created during class registration and live in the class's member table; their reference blocks never
// come from a VM pool, since they outlive any VM.
#pragma once
#include <cstdint>

#include "runtime/base/krvvar_shared.h"
#include "runtime/memory/handles.h"

class krvobject_base;
class krv_function_def;

class krvobject_member_def_base : public krvptr_base<krvobject_member_def_base> {
 public:
  bool may_use_vm_pool() const noexcept override { return false; }

  // The value that stands for this member on `object`.
  virtual void bind(krvvar_shared& out, krvobject_base& object);
  // Writes the member of `object` (member variables only).
  virtual void set(krvobject_base& object, krvvar_shared& value);
  // Reads the member of `object` (member variables only).
  virtual void get(krvvar_shared& out, krvobject_base& object);
  // The function descriptor of a method, null for a member variable.
  virtual krv_function_def* function_descriptor();
};

class krvobject_member_def : public krvobject_member_def_base {};

// Makes `out` a bound method: a KRVVAR_EXT_FUNCTION value that keeps `object` alive and observes `def`.
void krv_bind_method(krvvar_shared& out, krvobject_base* object, krv_function_def& def);
// Makes `out` a reference to member definition `index` of `object` (a KRVVAR_OBJECT_MEMBER_INDEX value).
void krv_bind_member_reference(krvvar_shared& out, krvobject_base& object, uint64_t index);
