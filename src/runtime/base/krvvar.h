// krvvar: the 16-byte value cell that every script value lives in.
//
// The host's interpreter reads and writes the same cells and frees them into the same pools, so the
// layout is fixed to the byte:
//
//   0  i32 refcount   holders (handles, REF cells, key records); a plain integer, not atomic
//   4  u8  flags      krvvar_share_on_assign | krvvar_release_contents; other bits stay 0
//   5  u8  by_value   bit 0: assign_ref copies instead of referencing; cleared by every type change
//   6  u8  type       a krvvar_type code
//   7  u8  pool_slot  index in its page of the VM's cell pool; krv_pool_heap_slot for a heap cell
//   8  u64 payload    by type: the value (simple types), a block with one strong count (5 to 7), a
//                     record (8, 10 to 16) or the target cell (REF, whose count this cell holds)
//
// Cells come from the VM's cell pool when the calling thread owns the VM lock outside any native-call
// scope, else from the heap. A pooled cell rests in its page as None with payload 0 and count 0, and a
// heap cell kept for reuse (heap_cache.h) rests the same way: destroy leaves it so before giving it back,
// and create relies on it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "module/pool_return.h"
#include "module/thread_record.h"
#include "runtime/base/krvvar_type.h"
#include "runtime/memory/handles.h"
#include "runtime/memory/heap_cache.h"
#include "runtime/memory/pool.h"

class krvobject_base;
class krvvar_shared;
class krv_function_def;
class krv_std_json;
class krv_program_block;
class krv_task;
struct krvvar;
struct krv_binary_reader;

// Flag bits of a cell.
inline constexpr uint8_t krvvar_share_on_assign = 0x01;   // an object source is shared, not strong_self'd
inline constexpr uint8_t krvvar_release_contents = 0x10;  // releasing the payload tears the object down

union krvvar_payload {
  int64_t int_value;
  double float_value;
  krvptr_ref_block* block;  // types 5 to 7: holds one strong count
  void* record;             // types 8, 10 to 16
  krvvar* target;           // KRVVAR_REF
  uint64_t bits;
};

struct krvvar {
  krvvar() noexcept : refcount(0), flags(0), by_value(0), type(KRVVAR_NONE), pool_slot(krv_pool_heap_slot) {
    payload.bits = 0;
  }
  ~krvvar() { set_type_simple(KRVVAR_NONE); }
  krvvar(const krvvar&) = delete;
  krvvar& operator=(const krvvar&) = delete;

  // A new cell with count 0, type None; from the VM's pool when this thread may use it, else the heap.
  static krvvar* create();
  // The same with the calling thread's record at hand (makers that look it up once for all their parts).
  static krvvar* create(const krv_thread_local& record);
  // Frees a cell whose count fell below 1 (null: nothing). A negative count is logged and the cell left
  // untouched. The payload is released first; then a heap cell is kept for reuse, a pooled one goes to
  // its page or (from a thread without the VM lock) through the pool's return ring.
  static void destroy(krvvar* cell) noexcept;
  // The same with the calling thread's record at hand (a container dropping all its entries).
  static void destroy(krvvar* cell, const krv_thread_local& record) noexcept;
  static void report_negative_count() noexcept;
  // set_type_simple(KRVVAR_NONE) for a string cell, the string and its block given back with the
  // record destroy looked up (makers.cpp): string cells are what list results hold by the thousand.
  void release_string(const krv_thread_local& record) noexcept;

  // Changes between two simple types in place (payload 0), any other change through set_type.
  krvvar& set_type_simple(uint8_t new_type) {
    if (krvvar_is_simple(type) && krvvar_is_simple(new_type)) {
      payload.bits = 0;
      by_value = 0;
      type = new_type;
      return *this;
    }
    return set_type(new_type);
  }
  // Releases the old payload by the old type, then builds a fresh one for `new_type`. Only building can
  // throw (no memory for a record); a change to a simple type never does.
  krvvar& set_type(uint8_t new_type);

  // The resolved value: this cell, or what a REF chain or member reference leads to (a new None for a
  // cycle, a chain without target, or a gone object). Stored in `out`, which is returned.
  krvvar_shared& deref(krvvar_shared& out);

  // Assignment (assign.cpp). set gives this value the source's value: strings and buffers are copied,
  // containers shared, objects shared or copied as their class decides (strong_self); a member-reference
  // destination writes through its object. A member-reference source is resolved first, and the
  // caller's handle then holds the resolved value.
  void set(krvvar_shared& source);
  // set() between two simple values, inline: the value is copied in place. False, with nothing done,
  // for any other pair.
  bool set_simple(const krvvar& from) noexcept {
    if (!krvvar_is_simple(type) || !krvvar_is_simple(from.type)) return false;
    type = from.type;
    by_value = 0;
    payload = from.payload;
    return true;
  }
  // Binds this value by reference to `source` (a KRVVAR_REF), or copies it when its by-value bit is set.
  void assign_ref(krvvar* source);

  // Conversions (conversions.cpp); unsupported types warn and give 0, 0.0, false or "".
  int64_t int_value() { return type == KRVVAR_INT ? payload.int_value : int_value_slow(); }
  int64_t int_value_slow();
  double float_value();
  bool get_bool();
  // The value as text, assigned to `out`.
  void string_value(std::string& out);
  std::string get_string();
  // A view of the text: a string value's own text, else a per-thread buffer that the next call on the
  // same thread overwrites.
  std::string_view string_view_value();
  // Length, byte count, entry count or element count by type.
  int64_t size();

  // String and container values (string_container_values.cpp).
  void set_string(const char* text, size_t length);
  // The value becomes a string unless it is one; its text, for writing.
  std::string& string_ref();
  // The value becomes an empty container unless it is one.
  void set_json();
  // The value's container, made one if needed; with `clear` its entries and index are emptied first.
  krv_std_json* json_ptr(bool clear);

  // Member and index access (member_access.cpp). Values that have neither become empty containers.
  void get_member(std::string_view name, krvvar_shared& out);
  void get_index(int64_t index, krvvar_shared& out);
  bool has_member(std::string_view name);

  // None becomes 1 or -1, integers wrap, floats step by 1.0; false for other types (with a warning).
  bool increment_value();
  bool decrement_value();

  // Comparisons (comparisons.cpp), decided by the larger of the two type codes.
  bool compare_equal(krvvar& other);
  bool compare_smaller(krvvar& other, bool or_equal);
  bool compare_bigger(krvvar& other, bool or_equal);
  // True when the value counts as zero or false.
  bool compare_zero();
  bool is_nonzero() { return !compare_zero(); }

  // Function values (function_values.cpp). A native-function value: bound to `object` (kept alive), or
  // with no object for a namespace function; it observes `definition`.
  void set_ext_function(krvobject_base* object, krv_function_def* definition);
  // A script-function value for `function`, seeing the globals of `scope` (null: the scope of the
  // current task's top frame, none without a task). The record is reused when the value is one
  // already. A null function changes nothing.
  void set_function(krv_program_block* function, krv_task* scope);
  // A task made for a function value whose block is alive, carrying its captured context and values;
  // an empty handle otherwise.
  krvptr_strong<krv_task> call_function();
  // This value becomes a copy of the script-function value `source` (assignment); a function whose
  // scope is gone is rebound to the globals of the running task.
  void copy_function(krvvar& source);
  // True for a class value whose instance is alive; a gone instance is logged and the value set None.
  bool get_class_ref();

  // Binary value format (binary_format.cpp). Appends the value's "v11" form to `out`: false when it
  // cannot be written, with what was appended left in place (a container takes its own section back).
  bool to_binary(std::vector<uint8_t>& out);
  // Overwrites this value with the value at the reader's position, moving past it; false for a value it
  // refuses. Throws std::runtime_error on malformed input.
  bool from_binary(krv_binary_reader& reader);
  // The same over `size` bytes; malformed input is logged and gives false, never an exception. Bytes
  // after a complete value are ignored.
  bool from_binary_bytes(const uint8_t* data, size_t size);

  bool is_string() const noexcept { return type == KRVVAR_STRING; }
  bool is_json() const noexcept { return type == KRVVAR_JSON; }
  bool is_member_ref() const noexcept { return krvvar_is_member_ref(type); }

  // The object of a string, buffer, container or object value; null for other types and for gone
  // objects. A KRVVAR_OBJECT value whose object is gone becomes None. `Object` is the object base, which
  // must be complete where this is used.
  template <class Object = krvobject_base>
  Object* object_ptr() noexcept {
    return static_cast<Object*>(object_base());
  }
  // The same object as a strong handle (empty where object_ptr gives null).
  template <class Object = krvobject_base>
  krvptr_strong<Object> object_strong() noexcept {
    return krvptr_strong<Object>::from_raw(object_ptr<Object>());
  }
  // object_ptr before the downcast.
  krvptr_base_internal* object_base() noexcept;

  int32_t refcount;
  uint8_t flags;
  uint8_t by_value;
  uint8_t type;
  uint8_t pool_slot;
  krvvar_payload payload;
};

static_assert(sizeof(krvvar) == 16);
static_assert(offsetof(krvvar, refcount) == 0);
static_assert(offsetof(krvvar, flags) == 4);
static_assert(offsetof(krvvar, by_value) == 5);
static_assert(offsetof(krvvar, type) == 6);
static_assert(offsetof(krvvar, pool_slot) == 7);
static_assert(offsetof(krvvar, payload) == 8);

template <>
struct krv_pool_traits<krvvar> : krv_pool_bitmap_traits<krvvar, offsetof(krvvar, pool_slot)> {};
static_assert(krv_pool_traits<krvvar>::layout.page_size() == 4373);
static_assert(krv_pool_traits<krvvar>::layout.magic_offset() == 4368);

// Cells are the most frequent allocation: create and destroy are inline down to the pool.

inline krvvar* krvvar::create() { return create(krv_get_thread_local()); }

// A cell from the VM's pool, else one kept on the heap, else a new one. Pool and kept cells rest as
// None with a count of 0; what a previous user may have left is reset here.
inline krvvar* krvvar::create(const krv_thread_local& record) {
  krvvar* cell = nullptr;
  // A pool that cannot make a page has logged it; the heap still serves the value.
  if (record.may_use_vm_pools()) cell = record.vm->var_pool.allocate();
  if (cell == nullptr) cell = krv_heap_cache<krvvar>::take();
  if (cell == nullptr) return new krvvar();
  cell->flags = 0;
  cell->by_value = 0;
  return cell;
}

inline void krvvar::destroy(krvvar* cell) noexcept {
  if (cell != nullptr) destroy(cell, krv_get_thread_local());
}

inline void krvvar::destroy(krvvar* cell, const krv_thread_local& record) noexcept {
  if (cell == nullptr) return;
  if (cell->refcount < 0) return report_negative_count();
  if (cell->type == KRVVAR_STRING)
    cell->release_string(record);
  else
    cell->set_type_simple(KRVVAR_NONE);
  if (cell->pool_slot == krv_pool_heap_slot)
    krv_heap_cache<krvvar>::keep(cell);
  else if (record.vm != nullptr)
    krv_pool_return(record.vm->var_pool, cell, record);
}
