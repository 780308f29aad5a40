// The records that values of types 8 and 10 to 16 point to.
//
// A record is a small entry of one of the VM's record pools, or of the heap when the building thread may
// not use the pools; it carries its own slot byte (krv_pool_heap_slot for a heap record). The host frees
// records into the same pools, so sizes and slot positions are fixed. A record is constructed when it
// is handed out and destroyed when it is freed; its destructor releases its handles.
//
// Objects that records point to are declared by their own subsystems; a record only holds handles.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "module/vm_state.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/memory/handles.h"

class krvobject_base;
class krv_class;
class krv_program_block;
class krv_function_def;
class krvvar_ptr_function_lambda;
class krv_task;

// KRVVAR_OBJECT: any script object.
struct krvvar_object_record {
  explicit krvvar_object_record(uint8_t slot) noexcept : pool_slot(slot) {}
  static constexpr auto pool = &krv_vm_state::object_ref_pool;

  krvptr_strong<krvobject_base> object;
  uint8_t pool_slot;
};

// KRVVAR_CLASS: an instance of a script-defined class.
struct krvvar_class_record {
  explicit krvvar_class_record(uint8_t slot) noexcept : pool_slot(slot) {}
  static constexpr auto pool = &krv_vm_state::class_ref_pool;

  uint8_t pool_slot;
  krvptr_strong<krv_class> instance;
};

// KRVVAR_CLASS_DEF: a script class definition, which makes an instance when called.
struct krvvar_class_def_record {
  explicit krvvar_class_def_record(uint8_t slot) noexcept : pool_slot(slot) {}
  static constexpr auto pool = &krv_vm_state::class_def_pool;

  uint8_t pool_slot;
  krvptr_weak<krvptr_base_internal> definition;
};

// KRVVAR_FUNCTION: a script function with what it sees. The destructor releases the captured values,
// then the three weak handles, and drops a one-shot owner still held.
struct krvvar_function_record {
  explicit krvvar_function_record(uint8_t slot) noexcept : pool_slot(slot) {}
  ~krvvar_function_record() { drop_owner(); }
  krvvar_function_record(const krvvar_function_record&) = delete;
  krvvar_function_record& operator=(const krvvar_function_record&) = delete;
  static constexpr auto pool = &krv_vm_state::function_pool;

  // Gives up the one-shot owner's strong reference, if any.
  void drop_owner() noexcept;

  krvptr_weak<krv_program_block> function;
  krvptr_weak<krv_task> scope;                // the scope (a root task) whose globals the function sees
  krvptr_weak<krvptr_base_internal> context;  // the captured context
  krvptr_strong<krvvar_ptr_function_lambda> captured;
  krvptr_base_internal* owner = nullptr;       // holds one strong reference; the next call consumes it
  uint8_t pool_slot;
};

// KRVVAR_EXT_FUNCTION: a native method bound to an object. The value keeps the object alive but only
// observes the definition, which the object's class owns (a value must never own a definition).
struct krvvar_ext_function_record {
  explicit krvvar_ext_function_record(uint8_t slot) noexcept : pool_slot(slot) {}
  static constexpr auto pool = &krv_vm_state::ext_function_pool;

  krvptr_weak<krv_function_def> definition;
  krvptr_strong<krvobject_base> object;  // released before the definition handle
  uint8_t pool_slot;
};

// KRVVAR_OBJECT_MEMBER_LITERAL: a member of an object, by name.
struct krvvar_member_literal_record {
  explicit krvvar_member_literal_record(uint8_t slot) noexcept : pool_slot(slot) {}
  static constexpr auto pool = &krv_vm_state::member_literal_pool;

  krvptr_strong<krvobject_base> object;
  std::string name;
  uint8_t pool_slot;
};

// KRVVAR_OBJECT_MEMBER_INDEX: an element of an object, or with `definition_index` one of its member
// definitions, by index.
struct krvvar_member_index_record {
  explicit krvvar_member_index_record(uint8_t slot) noexcept : pool_slot(slot) {}
  static constexpr auto pool = &krv_vm_state::member_index_pool;

  krvptr_strong<krvobject_base> object;
  uint64_t index = 0;
  uint8_t definition_index = 0;
  uint8_t pool_slot;
};

// KRVVAR_OBJECT_MEMBER_VAR: a member of an object, by key value.
struct krvvar_member_var_record {
  explicit krvvar_member_var_record(uint8_t slot) : key(krvvar_shared::make_none()), pool_slot(slot) {}
  static constexpr auto pool = &krv_vm_state::member_var_pool;

  krvptr_weak<krvobject_base> object;
  krvvar_shared key;  // released before the object handle
  uint8_t pool_slot;
};

// Pool entries of each record kind, with the sizes and slot positions the host shares.
template <class Record, size_t Size, size_t SlotOffset>
struct krvvar_record_traits : krv_pool_record_traits<Record, SlotOffset> {
  static_assert(sizeof(Record) == Size && offsetof(Record, pool_slot) == SlotOffset);
};

template <>
struct krv_pool_traits<krvvar_function_record> : krvvar_record_traits<krvvar_function_record, 48, 40> {};
template <>
struct krv_pool_traits<krvvar_ext_function_record> : krvvar_record_traits<krvvar_ext_function_record, 24, 16> {};
template <>
struct krv_pool_traits<krvvar_object_record> : krvvar_record_traits<krvvar_object_record, 16, 8> {};
template <>
struct krv_pool_traits<krvvar_member_literal_record> : krvvar_record_traits<krvvar_member_literal_record, 48, 40> {
};
template <>
struct krv_pool_traits<krvvar_member_index_record> : krvvar_record_traits<krvvar_member_index_record, 24, 17> {};
template <>
struct krv_pool_traits<krvvar_member_var_record> : krvvar_record_traits<krvvar_member_var_record, 24, 16> {};
template <>
struct krv_pool_traits<krvvar_class_def_record> : krvvar_record_traits<krvvar_class_def_record, 16, 0> {};
template <>
struct krv_pool_traits<krvvar_class_record> : krvvar_record_traits<krvvar_class_record, 16, 0> {};

static_assert(krv_pool_traits<krvvar_function_record>::layout.page_size() == 12501);
static_assert(krv_pool_traits<krvvar_ext_function_record>::layout.page_size() == 6381);
static_assert(krv_pool_traits<krvvar_object_record>::layout.page_size() == 4341);
static_assert(krv_pool_traits<krvvar_object_record>::layout.magic_offset() == 4336);
static_assert(krv_pool_traits<krvvar_member_literal_record>::layout.page_size() == 12501);
static_assert(krv_pool_traits<krvvar_member_index_record>::layout.page_size() == 6381);
static_assert(krv_pool_traits<krvvar_member_var_record>::layout.page_size() == 6381);
static_assert(krv_pool_traits<krvvar_class_def_record>::layout.page_size() == 4341);
static_assert(krv_pool_traits<krvvar_class_record>::layout.page_size() == 4341);
