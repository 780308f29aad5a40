// The bodies of the std.json methods, registered in method-table order by krv_std_json::script_register
// (json_registration.cpp), and what they share: the result that is the container itself.
//
// A body receives the container, the calling frame and the arguments. Arguments are converted, never
// rejected: an integer argument is the value's int_value (floats truncated and saturated, NaN 0), a text
// argument its string form, a flag its truth (non-zero, non-empty), a value argument is copied into a
// fresh cell with krvvar::set. The call path has checked the count against the method's range, so a body
// reads the arguments up to its minimum without testing. Only the walks start tasks.
#pragma once
#include <vector>

#include "runtime/objects/vm_context.h"
#include "runtime/storage/json_object.h"

// The container as a method's result: a KRVVAR_OBJECT value holding a strong reference to it (not a
// KRVVAR_JSON value: what a script does with it does not change how it sees the container).
inline krvvar_shared krv_json_self_result(krv_std_json* self) {
  return krvvar_shared::make_object(krvptr_strong<krvobject_base>::from_raw(self));
}

namespace krv_json_methods {

#define KRV_JSON_METHOD(name)                                                                   \
  krvvar_shared name([[maybe_unused]] krv_std_json* self, [[maybe_unused]] krv_vm_context& frame, \
                     [[maybe_unused]] std::vector<krvvar_shared>& args)

// Single elements, reshaping and text (json_methods.cpp).
KRV_JSON_METHOD(push);
KRV_JSON_METHOD(pop);
KRV_JSON_METHOD(insert);
KRV_JSON_METHOD(size);
KRV_JSON_METHOD(clear);
KRV_JSON_METHOD(clear_free);
KRV_JSON_METHOD(key);
KRV_JSON_METHOD(has);
KRV_JSON_METHOD(has_value);
KRV_JSON_METHOD(has_value_str);
KRV_JSON_METHOD(geti);
KRV_JSON_METHOD(hasi);
KRV_JSON_METHOD(erase);
KRV_JSON_METHOD(remove);
KRV_JSON_METHOD(erase_value);
KRV_JSON_METHOD(remove_all_keys);
KRV_JSON_METHOD(to_list);
KRV_JSON_METHOD(resize);
KRV_JSON_METHOD(push_cyclic);
KRV_JSON_METHOD(string);
KRV_JSON_METHOD(compact_string);
KRV_JSON_METHOD(from_string);
KRV_JSON_METHOD(debug_refs);

// Ordering and de-duplication (json_ordering.cpp).
KRV_JSON_METHOD(sort);
KRV_JSON_METHOD(sort_reverse);
KRV_JSON_METHOD(sort_by);
KRV_JSON_METHOD(unique);

// Merging, appending, joining and deep copy (json_combine.cpp).
KRV_JSON_METHOD(merge);
KRV_JSON_METHOD(append);
KRV_JSON_METHOD(combine_string);
KRV_JSON_METHOD(copy);

// Substring filters and script-callback walks (json_walks.cpp): the only bodies that start tasks.
KRV_JSON_METHOD(filter_key);
KRV_JSON_METHOD(filter_value);
KRV_JSON_METHOD(filter);
KRV_JSON_METHOD(map);
KRV_JSON_METHOD(reduce);
KRV_JSON_METHOD(any);
KRV_JSON_METHOD(all);
KRV_JSON_METHOD(foreach);

}  // namespace krv_json_methods
