// krvvar_shared: the 8-byte counting handle of a value cell.
//
// While a handle points at a cell, the cell's reference count includes it; the release that takes the
// count below 1 destroys the cell. Script argument vectors, results and container elements are handles.
// Assignments take the new reference before dropping the old one: the old cell may be what keeps the new
// one alive (a key cell reached through the old value's record).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "runtime/base/krvvar.h"

class krvvar_shared {
 public:
  constexpr krvvar_shared() noexcept = default;
  krvvar_shared(const krvvar_shared& other) noexcept : cell_(other.cell_) { add_ref(cell_); }
  krvvar_shared(krvvar_shared&& other) noexcept : cell_(std::exchange(other.cell_, nullptr)) {}
  ~krvvar_shared() { release(); }

  krvvar_shared& operator=(const krvvar_shared& other) noexcept {
    if (&other == this) return *this;
    add_ref(other.cell_);
    krvvar* old = std::exchange(cell_, other.cell_);
    drop_ref(old);
    return *this;
  }
  krvvar_shared& operator=(krvvar_shared&& other) noexcept {
    move_assign(other);
    return *this;
  }

  // Takes over `other`'s reference, then gives up the old one; `other` ends null.
  void move_assign(krvvar_shared& other) noexcept {
    if (&other == this) return;
    krvvar* old = std::exchange(cell_, std::exchange(other.cell_, nullptr));
    drop_ref(old);
  }

  // A handle holding `cell` (null: a null handle), counting it.
  static krvvar_shared from_raw(krvvar* cell) noexcept {
    krvvar_shared handle;
    handle.cell_ = cell;
    add_ref(cell);
    return handle;
  }

  // Takes over one count already held on `cell` (a REF cell's target), without adding one.
  static krvvar_shared adopt(krvvar* cell) noexcept {
    krvvar_shared handle;
    handle.cell_ = cell;
    return handle;
  }

  // Drops this handle's count (destroying the cell when it falls below 1); the handle ends null.
  void release() noexcept { drop_ref(std::exchange(cell_, nullptr)); }
  // The same with the calling thread's record at hand, for a caller that releases many handles.
  void release(const krv_thread_local& record) noexcept {
    krvvar* cell = std::exchange(cell_, nullptr);
    if (cell != nullptr && --cell->refcount < 1) [[unlikely]] krvvar::destroy(cell, record);
  }

  krvvar* get() const noexcept { return cell_; }
  krvvar* operator->() const noexcept { return cell_; }
  krvvar& operator*() const noexcept { return *cell_; }
  explicit operator bool() const noexcept { return cell_ != nullptr; }

  // Member references and REFs resolved (krvvar::deref); any other cell shared as it is.
  krvvar_shared deref_copy() const;

  // Makers: each returns a handle to a new cell with count 1.
  static krvvar_shared make_none() { return adopt_new(); }
  static krvvar_shared make_typed(uint8_t type);
  static krvvar_shared make_int(int64_t value) {
    krvvar_shared handle = adopt_new();
    handle.cell_->type = KRVVAR_INT;
    handle.cell_->payload.int_value = value;
    return handle;
  }
  static krvvar_shared make_float(double value) {
    krvvar_shared handle = adopt_new();
    handle.cell_->type = KRVVAR_FLOAT;
    handle.cell_->payload.float_value = value;
    return handle;
  }
  // A string value with a fresh std.string holding a copy of `text` (makers.cpp).
  static krvvar_shared make_string(std::string_view text);
  // The same with the calling thread's record at hand: cell, string and block with no further lookup.
  static krvvar_shared make_string(std::string_view text, const krv_thread_local& record);
  // A buffer value with a fresh std.buffer holding a copy of the bytes.
  static krvvar_shared make_buffer(const uint8_t* bytes, size_t size);
  // A container value with a fresh empty std.json.
  static krvvar_shared make_json() { return make_typed(KRVVAR_JSON); }
  // An object value holding a strong reference to `object` (the object itself, not a copy); None for a
  // null reference.
  static krvvar_shared make_object(krvptr_strong<krvobject_base> object);

 private:
  // create gives count 0 (a resting pool entry or a fresh heap cell), so the count is written, not
  // incremented: no read of what the cell's last release stored.
  static krvvar_shared adopt_new() { return adopt_new(krv_get_thread_local()); }
  static krvvar_shared adopt_new(const krv_thread_local& record) {
    krvvar* cell = krvvar::create(record);
    cell->refcount = 1;
    return adopt(cell);
  }
  static void add_ref(krvvar* cell) noexcept {
    if (cell != nullptr) ++cell->refcount;
  }
  // Inline down to the count; the destruction itself stays one call, so releasing a handle that is
  // not the last one (the interpreter's every load) costs no call.
  [[gnu::always_inline]] static void drop_ref(krvvar* cell) noexcept {
    if (cell != nullptr && --cell->refcount < 1) [[unlikely]] destroy_last(cell);
  }
  [[gnu::noinline]] static void destroy_last(krvvar* cell) noexcept { krvvar::destroy(cell); }

  krvvar* cell_ = nullptr;
};

static_assert(sizeof(krvvar_shared) == 8);
