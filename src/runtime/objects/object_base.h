// krvobject_base: the base of every native script object.
//
// The interpreter, the value operations and the serialiser call any object through this one table of
// virtual operations without knowing its class; each has a default here. Classes written against the
// class template (class_template.h) get their name, member table and member access by index from it and
// override what their class does differently. The operations are declared in the order the host's
// interpreter knows them.
//
// Conventions: "None" is a new cell of type KRVVAR_NONE; an out handle is always assigned; operator
// operations answer false when the object does not handle the operation, and the interpreter then falls
// back to its own rules.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/base/krvvar_shared.h"
#include "runtime/memory/handles.h"
#include "runtime/objects/serializable.h"

class krvobject_base : public krvptr_base<krvobject_base>, public krv_serializable {
 public:
  krvobject_base() = default;
  // A copy is a new object: its own reference block, and no worker holds it.
  krvobject_base(const krvobject_base& other)
      : krvptr_storage(), krvptr_base<krvobject_base>(other), krv_serializable(other), type_hash_(other.type_hash_) {}

  // Text form of the object; by default its class name.
  virtual void to_string(std::string& out);
  virtual void class_name_view(std::string_view& out);
  // The object a copy of the value refers to: this same object unless a class copies its content.
  virtual void strong_self(krvptr_strong<krvobject_base>& out);

  // Member access by key: an integer key goes to get_index, a string to get_named, anything else to
  // get_named with its text (after a warning). The key handle is released.
  virtual void get_member(krvvar_shared& out, krvvar_shared& key);
  virtual void get_index(krvvar_shared& out, int64_t index);
  virtual void get_named(krvvar_shared& out, std::string_view name);
  // The same three ways for writes; both handles are released.
  virtual void set_member(krvvar_shared& key, krvvar_shared& value);
  virtual void set_index(int64_t index, krvvar_shared& value);
  virtual void set_named(std::string_view name, krvvar_shared& value);
  virtual bool has_member(krvvar_shared& key);
  virtual bool has_index(int64_t index);
  virtual bool has_named(std::string_view name);

  // True when the object has no content (its truth test in conditions is the negation).
  virtual bool is_empty();
  virtual uint32_t element_count();
  // Two integer queries that a class may answer for itself; no class of this module does (-1).
  virtual int64_t class_query_first();
  virtual int64_t class_query_second();

  // Operators; `out` is the result when the answer is true.
  virtual bool op_add(krvvar_shared& out, krvvar_shared& other);
  virtual bool op_add_swapped(krvvar_shared& out, krvvar_shared& other);
  virtual bool op_subtract(krvvar_shared& out, krvvar_shared& other);
  virtual bool op_subtract_swapped(krvvar_shared& out, krvvar_shared& other);
  virtual bool op_multiply(krvvar_shared& out, krvvar_shared& other);
  virtual bool op_multiply_swapped(krvvar_shared& out, krvvar_shared& other);
  virtual bool op_divide(krvvar_shared& out, krvvar_shared& other);
  virtual bool op_divide_swapped(krvvar_shared& out, krvvar_shared& other);
  virtual bool equals(krvvar_shared& other);
  virtual bool less_than(krvvar_shared& other, bool or_equal);
  virtual bool greater_than(krvvar_shared& other, bool or_equal);

  // An interface of the object by the interface's type hash; null when it has none.
  virtual void* query_interface(uint64_t interface_hash);
  // True when `hash` is the type hash of the object's most-derived class.
  virtual bool is_type(uint64_t hash);
  // The script class name ("std.json"); "object" for objects outside the class template.
  virtual const char* type_name();

  // Member access by index into the class's member table (class template).
  virtual int64_t member_index(std::string_view name);
  virtual void member_value_at(krvvar_shared& out, uint64_t index);
  virtual void set_member_at(uint64_t index, krvvar_shared& value);
  virtual void get_member_at(krvvar_shared& out, uint64_t index);

  uint64_t object_type_hash() const noexcept { return type_hash_; }

 protected:
  uint64_t type_hash_ = 0;  // the type hash of the most-derived class, set by the class template

 public:
  // Native methods of this object running on worker threads right now; while non-zero, a forced
  // teardown of the object is deferred to the VM's deferred releases.
  uint32_t worker_holds = 0;
};

// The object as T when it is exactly of class T (a cast to a base class fails), else null.
template <class T>
T* krvptr_cast(krvobject_base* object) {
  return object->is_type(krvptr_type_hash<T>()) ? static_cast<T*>(object) : nullptr;
}
