// Equality, ordering and the zero test of values.
//
// Two values compare by the larger of their type codes (m): integers with None as 0, floats, texts
// (converting the other operand to text), buffers by bytes, containers deeply, objects through their
// own operations. REFs are not looked through here; the interpreter resolves operands first.
//
// Deep container equality walks the pairs of nested containers with a list instead of the stack, so two
// equal chains of any depth (a script builds one 200,000 deep in a tenth of a second) compare equal
// without running off the thread's stack. Containers are shared on assignment, so one container can sit
// in many places of a structure: each pair of nested containers is listed once per comparison and
// walked once. Without that, two equal structures built apart, each holding its parts twice per level,
// take time exponential in their depth (2^64 pairs at 64 levels), and cyclic containers would not end;
// two cycles of the same shape compare equal.
#include <cmath>
#include <functional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "runtime/base/krvvar.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/base/raise.h"
#include "runtime/base/value_records.h"
#include "runtime/objects/log.h"
#include "runtime/objects/object_base.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/string_object.h"

namespace {

int64_t integer_of(const krvvar& value) noexcept { return value.type == KRVVAR_INT ? value.payload.int_value : 0; }

double float_of(const krvvar& value) noexcept {
  if (value.type == KRVVAR_FLOAT) return value.payload.float_value;
  return static_cast<double>(integer_of(value));
}

// A string value's own text, or the other operand's text form.
std::string_view text_of(krvvar& value, std::string& storage) {
  if (value.type == KRVVAR_STRING) {
    const krv_std_string* string = value.object_ptr<krv_std_string>();
    return string ? std::string_view(string->text) : std::string_view();
  }
  value.string_value(storage);
  return storage;
}

int compare_texts(krvvar& a, krvvar& b) {
  std::string a_storage, b_storage;
  return text_of(a, a_storage).compare(text_of(b, b_storage));
}

bool buffers_equal(krvvar& a, krvvar& b) {
  if (a.type != KRVVAR_BUFFER || b.type != KRVVAR_BUFFER) return false;
  const krv_std_buffer* x = a.object_ptr<krv_std_buffer>();
  const krv_std_buffer* y = b.object_ptr<krv_std_buffer>();
  if (x == y) return true;
  if (x == nullptr || y == nullptr) return false;
  if (x->write_holds != 0 || y->write_holds != 0) {
    krv_raise_error(krv_buffer_in_use_text);
    return false;
  }
  return x->bytes == y->bytes;
}

using container_pair = std::pair<const krv_std_json*, const krv_std_json*>;

struct container_pair_hash {
  size_t operator()(const container_pair& pair) const noexcept {
    return std::hash<const void*>()(pair.first) * 31 + std::hash<const void*>()(pair.second);
  }
};

// One deep comparison of two containers, walked with a list of its own instead of the stack.
class container_walk {
 public:
  // Whether x and y hold equal entries, their nested containers compared to the bottom. Leaves the walk
  // empty for the next comparison (buckets and capacity kept).
  bool equal(krv_std_json& x, krv_std_json& y) {
    bool equal = entries_equal(x, y);
    while (equal && !pending_.empty()) {
      auto [a, b] = std::move(pending_.back());
      pending_.pop_back();
      equal = entries_equal(*a->object_ptr<krv_std_json>(), *b->object_ptr<krv_std_json>());
    }
    pending_.clear();
    if (!taken_.empty()) taken_.clear();
    return equal;
  }

 private:
  // The entries of two containers of one size, pairwise; nested pairs of containers go to the list.
  bool entries_equal(const krv_std_json& x, const krv_std_json& y) {
    for (size_t i = 0; i < x.entries.size(); ++i) {
      const krv_std_json_entry& p = x.entries[i];
      const krv_std_json_entry& q = y.entries[i];
      // An empty key counts as no key.
      if (p.key_view() != q.key_view()) return false;
      if (!p.value || !q.value) {
        if (p.value || q.value) return false;
        continue;
      }
      krvvar_shared a = p.value.deref_copy(), b = q.value.deref_copy();
      if (a->type == KRVVAR_JSON && b->type == KRVVAR_JSON) {
        if (!take(std::move(a), std::move(b))) return false;
      } else if (!a->compare_equal(*b)) {
        return false;
      }
    }
    return true;
  }

  // Lists a nested pair unless it is equal at sight or was taken on before; false if it differs in size.
  // A pair taken on before is either found equal or ends the whole comparison unequal, so it is walked
  // once; a container reached again inside itself (a cycle) thus compares as the same shape.
  bool take(krvvar_shared a, krvvar_shared b) {
    const krv_std_json* x = a->object_ptr<krv_std_json>();
    const krv_std_json* y = b->object_ptr<krv_std_json>();
    if (x == y) return true;
    if (x == nullptr || y == nullptr) return false;
    if (x->entries.size() != y->entries.size()) return false;
    if (taken_.insert({x, y}).second) pending_.emplace_back(std::move(a), std::move(b));
    return true;
  }

  std::vector<std::pair<krvvar_shared, krvvar_shared>> pending_;  // nested pairs still to compare
  std::unordered_set<container_pair, container_pair_hash> taken_;  // every nested pair listed so far
};

bool containers_equal(krv_std_json* x, krv_std_json* y) {
  if (x == y) return true;
  if (x == nullptr || y == nullptr || x->entries.size() != y->entries.size()) return false;
  // The thread's walk, reused so its storage is kept; a comparison started from inside another (an
  // object's own equality) walks with a fresh one.
  static thread_local container_walk thread_walk;
  static thread_local bool walking = false;
  if (walking) return container_walk().equal(*x, *y);
  walking = true;
  const bool equal = thread_walk.equal(*x, *y);
  walking = false;
  return equal;
}

bool container_equal(krvvar& a, krvvar& b) {
  if (a.type == KRVVAR_INT && b.type == KRVVAR_JSON) return a.payload.int_value == b.size();
  if (a.type == KRVVAR_JSON && b.type == KRVVAR_INT) return b.payload.int_value == a.size();
  if (a.type != KRVVAR_JSON || b.type != KRVVAR_JSON) return false;
  return containers_equal(a.object_ptr<krv_std_json>(), b.object_ptr<krv_std_json>());
}

bool objects_equal(krvvar& a, krvvar& b) {
  if (a.type != KRVVAR_OBJECT || b.type != KRVVAR_OBJECT) return false;
  krvptr_strong<krvobject_base> x = a.object_strong(), y = b.object_strong();
  if (x.get() == y.get()) return true;
  krvvar_shared a_handle = krvvar_shared::from_raw(&a), b_handle = krvvar_shared::from_raw(&b);
  return (x && x->equals(b_handle)) || (y && y->equals(a_handle));
}

template <class Record>
Record& record_of(krvvar& value) {
  return *static_cast<Record*>(value.payload.record);
}

bool functions_equal(krvvar& a, krvvar& b) {
  if (a.type != KRVVAR_FUNCTION || b.type != KRVVAR_FUNCTION) return false;
  if (a.payload.record == b.payload.record) return true;
  auto& x = record_of<krvvar_function_record>(a);
  auto& y = record_of<krvvar_function_record>(b);
  // One block per object: equal blocks mean the same object.
  return x.function.block() == y.function.block() && x.context.block() == y.context.block() &&
         (x.scope.block() == y.scope.block() || x.scope.expired() || y.scope.expired());
}

bool ext_functions_equal(krvvar& a, krvvar& b) {
  if (a.type != KRVVAR_EXT_FUNCTION || b.type != KRVVAR_EXT_FUNCTION) return false;
  auto& x = record_of<krvvar_ext_function_record>(a);
  auto& y = record_of<krvvar_ext_function_record>(b);
  return x.object.get() == y.object.get() && x.definition.get() == y.definition.get();
}

bool classes_equal(krvvar& a, krvvar& b) {
  if (a.type != KRVVAR_CLASS || b.type != KRVVAR_CLASS) return false;
  return record_of<krvvar_class_record>(a).instance.block() == record_of<krvvar_class_record>(b).instance.block();
}

// a < b (or a <= b) of two object operands, asking a first, then b the mirrored question.
bool object_ordered(krvvar& a, krvvar& b, bool or_equal, bool smaller) {
  krvvar_shared a_handle = krvvar_shared::from_raw(&a), b_handle = krvvar_shared::from_raw(&b);
  if (a.type == KRVVAR_OBJECT) {
    if (krvptr_strong<krvobject_base> x = a.object_strong()) {
      if (smaller ? x->less_than(b_handle, or_equal) : x->greater_than(b_handle, or_equal)) return true;
    }
  }
  if (b.type == KRVVAR_OBJECT) {
    if (krvptr_strong<krvobject_base> y = b.object_strong())
      return smaller ? y->greater_than(a_handle, or_equal) : y->less_than(a_handle, or_equal);
  }
  return false;
}

bool ordered(krvvar& a, krvvar& b, bool or_equal, bool smaller) {
  switch (std::max(a.type, b.type)) {
    case KRVVAR_INT: {
      const int64_t x = integer_of(a), y = integer_of(b);
      return smaller ? (or_equal ? x <= y : x < y) : (or_equal ? x >= y : x > y);
    }
    case KRVVAR_FLOAT: {
      const double x = float_of(a), y = float_of(b);
      return smaller ? (or_equal ? x <= y : x < y) : (or_equal ? x >= y : x > y);
    }
    case KRVVAR_STRING: {
      const int order = compare_texts(a, b);
      return smaller ? (or_equal ? order <= 0 : order < 0) : (or_equal ? order >= 0 : order > 0);
    }
    case KRVVAR_OBJECT: return object_ordered(a, b, or_equal, smaller);
  }
  krv_raise_warning(smaller ? "Compare_smaller" : "Compare_bigger", " not implemented for type: ", int{a.type});
  return false;
}

bool member_reference_is_zero(krvvar& reference) {
  krvvar_shared member;
  switch (reference.type) {
    case KRVVAR_OBJECT_MEMBER_LITERAL: {
      auto& record = record_of<krvvar_member_literal_record>(reference);
      krvptr_strong<krvobject_base> object = record.object;
      if (!object || !object->has_named(record.name)) return true;
      object->get_named(member, record.name);
      break;
    }
    case KRVVAR_OBJECT_MEMBER_INDEX: {
      auto& record = record_of<krvvar_member_index_record>(reference);
      krvptr_strong<krvobject_base> object = record.object;
      const auto index = static_cast<int64_t>(record.index);
      if (!object || !object->has_index(index)) return true;
      object->get_index(member, index);
      break;
    }
    default: {
      auto& record = record_of<krvvar_member_var_record>(reference);
      krvptr_strong<krvobject_base> object = record.object.lock();
      krvvar_shared key = record.key;
      if (!object || !object->has_member(key)) return true;
      key = record.key;
      object->get_member(member, key);
      break;
    }
  }
  return !member || member->compare_zero();
}

}  // namespace

bool krvvar::compare_equal(krvvar& other) {
  switch (std::max(type, other.type)) {
    case KRVVAR_NONE: return true;
    case KRVVAR_INT: return integer_of(*this) == integer_of(other);
    case KRVVAR_FLOAT: return float_of(*this) == float_of(other);
    case KRVVAR_STRING: return compare_texts(*this, other) == 0;
    case KRVVAR_BUFFER: return buffers_equal(*this, other);
    case KRVVAR_JSON: return container_equal(*this, other);
    case KRVVAR_OBJECT: return objects_equal(*this, other);
    case KRVVAR_CLASS: return classes_equal(*this, other);
    case KRVVAR_FUNCTION: return functions_equal(*this, other);
    case KRVVAR_EXT_FUNCTION: return ext_functions_equal(*this, other);
  }
  if (type == KRVVAR_NONE || other.type == KRVVAR_NONE) return false;
  krv_raise_warning("Compare_equal not implemented for type: ", int{type});
  return false;
}

bool krvvar::compare_smaller(krvvar& other, bool or_equal) { return ordered(*this, other, or_equal, true); }

bool krvvar::compare_bigger(krvvar& other, bool or_equal) { return ordered(*this, other, or_equal, false); }

bool krvvar::compare_zero() {
  switch (type) {
    case KRVVAR_ERR:
    case KRVVAR_NONE: return true;
    case KRVVAR_INT: return payload.int_value == 0;
    case KRVVAR_FLOAT: return payload.float_value == 0.0;
    case KRVVAR_STRING:
    case KRVVAR_BUFFER:
    case KRVVAR_JSON: return size() == 0;
    case KRVVAR_OBJECT: {
      krvptr_strong<krvobject_base> object = object_strong();
      return !object || object->is_empty();
    }
    case KRVVAR_CLASS:
      krv_log_line(*krv_log_base::instance(), KRV_LOG_INFO, "Implement proper class compare_zero check!");
      return !record_of<krvvar_class_record>(*this).instance;
    case KRVVAR_FUNCTION: return record_of<krvvar_function_record>(*this).function.expired();
    case KRVVAR_EXT_FUNCTION: return false;
    case KRVVAR_OBJECT_MEMBER_LITERAL:
    case KRVVAR_OBJECT_MEMBER_INDEX:
    case KRVVAR_OBJECT_MEMBER_VAR: return member_reference_is_zero(*this);
    case KRVVAR_REF: return payload.target == nullptr;
  }
  krv_raise_warning("compare_zero not implemented for type: ", int{type});
  return true;
}
