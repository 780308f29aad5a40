// Strong and weak handles: one pointer to a reference block, never null.
//
// krvptr_strong<T> keeps the object alive; krvptr_weak<T> keeps only the block alive and sees the object
// while the block's object pointer is set. An empty handle points at the immortal krvptr_empty_block, so
// copying and releasing never test for null; immortal blocks are never counted.
//
// When the last strong handle goes, the block is marked dead (alive 0, no object) before the object is
// detached and destroyed, so no weak handle to that block can revive the object. Detaching unlinks the
// block from the object, so code running inside the object's destruction must not make a new handle from
// the raw object: it would get a fresh block and destroy the object a second time.
#pragma once
#include <concepts>
#include <cstdint>
#include <utility>

#include "runtime/memory/shared_object.h"

template <class T>
class krvptr_weak;

template <class T>
class krvptr_strong {
 public:
  constexpr krvptr_strong() noexcept = default;
  krvptr_strong(const krvptr_strong& other) noexcept : block_(other.block_) { add_strong(block_); }
  krvptr_strong(krvptr_strong&& other) noexcept : block_(std::exchange(other.block_, &krvptr_empty_block)) {}
  template <class U>
    requires std::convertible_to<U*, T*>
  krvptr_strong(const krvptr_strong<U>& other) noexcept : block_(other.block()) {
    add_strong(block_);
  }
  ~krvptr_strong() { release(); }

  krvptr_strong& operator=(const krvptr_strong& other) noexcept {
    krvptr_strong copy(other);
    swap(copy);
    return *this;
  }
  krvptr_strong& operator=(krvptr_strong&& other) noexcept {
    move_assign(other);
    return *this;
  }

  // A strong handle to `object`, or an empty one when the object is null or already released.
  static krvptr_strong from_raw(T* object) {
    krvptr_strong handle;
    if (object != nullptr) handle.acquire_block(krvptr_storage::get_ref_block(*object));
    return handle;
  }
  // The same with the calling thread's record at hand (a new object's block may come from its pool).
  static krvptr_strong from_raw(T* object, const krv_thread_local& record) {
    krvptr_strong handle;
    if (object != nullptr) handle.acquire_block(krvptr_storage::get_ref_block(*object, record));
    return handle;
  }

  // Points the handle at `object`; holding the same object already changes nothing. The new reference
  // is taken before the old one is given up: the old target may be what keeps `object` alive.
  void reset(T* object) {
    if (block_->object != nullptr && block_->object == as_internal(object)) return;
    krvptr_strong replacement = from_raw(object);
    swap(replacement);
  }
  void reset_empty() noexcept { release(); }

  // Takes over one strong count already held on `block`, without adding one. Cells keep the count of a
  // string, buffer or container value as a bare block pointer and give it back through this.
  static krvptr_strong adopt(krvptr_ref_block* block) noexcept {
    krvptr_strong handle;
    handle.block_ = block;
    return handle;
  }
  // Hands this handle's count to the caller, who keeps the bare block; the handle ends empty.
  krvptr_ref_block* take_block() noexcept { return std::exchange(block_, &krvptr_empty_block); }

  // Takes over `other`'s reference, then gives up the old one (`node = std::move(node->next)` is safe).
  void move_assign(krvptr_strong& other) noexcept {
    if (&other == this) return;
    krvptr_strong old;
    old.block_ = std::exchange(block_, std::exchange(other.block_, &krvptr_empty_block));
  }

  // Gives up this handle's count; the handle ends empty. The last strong release destroys the object.
  void release() noexcept {
    krvptr_ref_block* block = std::exchange(block_, &krvptr_empty_block);
    if (block->immortal()) return;
    if (--block->strong > 0) return;
    if (krvptr_base_internal* object = block->object) {
      block->object = nullptr;
      block->alive = 0;
      object->detach();
      object->destroy();
    } else if (block->weak == 0) {
      krvptr_ref_block_free(block);
    }
  }

  T* get() const noexcept { return static_cast<T*>(block_->object); }
  T* operator->() const noexcept { return get(); }
  T& operator*() const noexcept { return *get(); }
  explicit operator bool() const noexcept { return block_->object != nullptr; }
  krvptr_ref_block* block() const noexcept { return block_; }
  void swap(krvptr_strong& other) noexcept { std::swap(block_, other.block_); }

 private:
  static void add_strong(krvptr_ref_block* block) noexcept {
    if (!block->immortal()) ++block->strong;
  }
  static const krvptr_base_internal* as_internal(T* object) noexcept { return object; }

  void acquire_block(krvptr_ref_block* block) noexcept {
    if (block->object == nullptr || block->immortal() || block->alive != 1) return;
    ++block->strong;
    block_ = block;
  }

  template <class U>
  friend class krvptr_weak;
  krvptr_ref_block* block_ = &krvptr_empty_block;
};

template <class T>
class krvptr_weak {
 public:
  constexpr krvptr_weak() noexcept = default;
  krvptr_weak(const krvptr_weak& other) noexcept { acquire(other.block_); }
  krvptr_weak(krvptr_weak&& other) noexcept : block_(std::exchange(other.block_, &krvptr_empty_block)) {}
  template <class U>
    requires std::convertible_to<U*, T*>
  explicit krvptr_weak(const krvptr_strong<U>& strong) noexcept {
    acquire(strong.block());
  }
  ~krvptr_weak() { release(); }

  krvptr_weak& operator=(const krvptr_weak& other) noexcept {
    if (&other == this) return *this;
    krvptr_weak copy(other);
    std::swap(block_, copy.block_);
    return *this;
  }
  krvptr_weak& operator=(krvptr_weak&& other) noexcept {
    if (&other == this) return *this;
    krvptr_weak old;
    old.block_ = std::exchange(block_, std::exchange(other.block_, &krvptr_empty_block));
    return *this;
  }

  static krvptr_weak from_raw(T* object) {
    krvptr_weak handle;
    if (object != nullptr) handle.acquire(krvptr_storage::get_ref_block(*object));
    return handle;
  }
  void reset(T* object) {
    krvptr_weak replacement = from_raw(object);
    std::swap(block_, replacement.block_);
  }

  // Takes a weak count on `block`; a null, immortal or dead block leaves the handle empty.
  void acquire(krvptr_ref_block* block) noexcept {
    if (block == nullptr || block->immortal() || block->alive != 1) {
      block_ = &krvptr_empty_block;
      return;
    }
    ++block->weak;
    block_ = block;
  }

  void release() noexcept {
    krvptr_ref_block* block = std::exchange(block_, &krvptr_empty_block);
    if (block->immortal()) return;
    --block->weak;
    if (block->unused()) krvptr_ref_block_free(block);
  }

  // A strong handle to the object while it lives, else an empty one.
  krvptr_strong<T> lock() const noexcept {
    krvptr_strong<T> strong;
    if (block_->object != nullptr && block_->alive == 1) {
      ++block_->strong;
      strong.block_ = block_;
    }
    return strong;
  }

  T* get() const noexcept { return static_cast<T*>(block_->object); }
  bool expired() const noexcept { return block_->object == nullptr; }
  krvptr_ref_block* block() const noexcept { return block_; }

 private:
  krvptr_ref_block* block_ = &krvptr_empty_block;
};

// A weak and a strong handle held together (a bound method: weak to the definition, strong to the
// object). Members are destroyed in reverse order, so the strong handle is released before the weak one.
template <class W, class S>
struct krvptr_weak_strong_pair {
  krvptr_weak<W> weak;
  krvptr_strong<S> strong;
};

static_assert(sizeof(krvptr_strong<krvptr_base_internal>) == 8);
static_assert(sizeof(krvptr_weak<krvptr_base_internal>) == 8);
