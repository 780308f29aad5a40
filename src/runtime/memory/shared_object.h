// The base classes of every intrusively shared object.
//
// A shared class T derives from krvptr_base<T>, which is krvptr_base_internal (the lifecycle operations)
// plus krvptr_type_tag<T> (T's type hash, compared by checked downcasts). The link to the reference block
// lives in the virtual base krvptr_storage, so an object has one block however many shared bases it has.
//
// Lifecycle, in the order the runtime drives it when the last strong handle goes:
//   detach()  - unlink the block from the object (the block outlives the object while weak handles exist)
//   destroy() - end the object; by default `delete this`, pooled classes return their storage instead
// The virtual operations are declared in this order on purpose: the host relies on the same order.
#pragma once
#include <cstdint>
#include <typeinfo>

#include "runtime/memory/ref_block.h"

class krvptr_base_internal;
struct krv_thread_local;

class krvptr_storage {
 public:
  krvptr_storage() noexcept = default;
  // A copied object is a new object: it gets its own block on first need.
  krvptr_storage(const krvptr_storage&) noexcept {}
  krvptr_storage& operator=(const krvptr_storage&) noexcept { return *this; }

  // The object's block, created on first need; its object pointer is (re)set to `object` in every case.
  static krvptr_ref_block* get_ref_block(krvptr_base_internal& object);
  // The same with the calling thread's record at hand, for makers that look it up once.
  static krvptr_ref_block* get_ref_block(krvptr_base_internal& object, const krv_thread_local& record);

 protected:
  friend class krvptr_base_internal;
  krvptr_ref_block* ref_block_ = nullptr;  // null until a handle first needs it
};

class krvptr_base_internal : public virtual krvptr_storage {
 public:
  krvptr_base_internal() noexcept = default;
  krvptr_base_internal(const krvptr_base_internal&) noexcept = default;
  krvptr_base_internal& operator=(const krvptr_base_internal&) noexcept = default;

  // Detaches the block, so it never points at a destroyed object.
  virtual ~krvptr_base_internal();
  // Ends the object after its last strong handle went away.
  virtual void destroy();
  // Unlinks the block from the object; frees the block when nothing else counts on it. Classes that call
  // their destroy step "release" must not override this, hence the distinct name.
  virtual void detach() noexcept;
  // Whether this object's block may come from the VM's block pool. Definitions that outlive any one VM
  // answer false.
  virtual bool may_use_vm_pool() const noexcept { return true; }

  // detach() for a class whose release has the calling thread's record at hand; the same steps.
  void detach_block(const krv_thread_local& record) noexcept;

 private:
  // Unlinks the block from the object both ways; the block, or null when the object had none.
  krvptr_ref_block* unlink_block() noexcept;
};

// The standard type-identity hash of T, computed once per type.
template <class T>
uint64_t krvptr_type_hash() noexcept {
  static const uint64_t hash = typeid(T).hash_code();
  return hash;
}

template <class T>
class krvptr_type_tag {
 public:
  static uint64_t type_hash() noexcept { return krvptr_type_hash<T>(); }

 protected:
  uint64_t type_tag_hash_ = krvptr_type_hash<T>();
};

template <class T>
class krvptr_base : public krvptr_base_internal, public krvptr_type_tag<T> {};
