// What scripts reach of "std.json": its method table, the constructor function "json" in namespace
// "std", and the registrar that adds both while the library loads. Its place among the sources of
// classes/std fixes its place in the registry.
//
// Methods register in table order, which is also the order of the class's member list. Pairs of names
// register through one helper each, which carries the pair's argument range and parameter help; pairs
// that share a body behave alike (push_back, pop_back, remove_value, rsort), while remove and append
// have bodies of their own, as do any and all.
#include <string_view>

#include "classes/std/json_methods.h"
#include "classes/std/method_registration.h"
#include "module/namespace_registry.h"
#include "runtime/objects/class_registration.h"
#include "runtime/storage/json_object.h"

namespace {

using methods = krv_class_methods<krv_std_json>;
using method_body = krv_std_json::method_body;

void add_push_function(std::string_view name, method_body body) {
  methods::add(name, std::move(body), 1, 1,
               "Adds the supplied value to the given JSON container and returns the modified object",
               {"value: object - Value to insert into the JSON container"});
}

void add_erase_function(std::string_view name, method_body body) {
  methods::add(name, std::move(body), 1, 1,
               "Removes a key or index from a JSON object and returns whether the removal succeeded.",
               {"key: string - Key or numeric index to delete from the JSON object"});
}

void add_erase_value_function(std::string_view name, method_body body) {
  methods::add(name, std::move(body), 1, 1,
               "Removes a value from a JSON object and returns whether the removal succeeded.",
               {"key: string - Value to delete from the JSON object"});
}

void add_merge_function(std::string_view name, method_body body, std::string_view help) {
  methods::add(name, std::move(body), 1, 2, help,
               {"other: json - Object to merge\noverwrite: bool - Replace existing keys (default true)"});
}

void add_match_function(std::string_view name, method_body body, std::string_view help) {
  methods::add(name, std::move(body), 1, 1, help, {"filter: function|string"});
}

constexpr std::string_view pop_help = "Removes the last element from the JSON container and returns it.";
constexpr std::string_view sort_reverse_help =
    "Sorts a JSON object\u2019s entries by key in descending order, keeping keyless entries at the end";
// Says what a plain list of records meets: its entries have no keys, and only keyed entries are sorted.
constexpr std::string_view sort_by_help =
    "Sorts the keyed entries of a JSON object by a child key in each value object; entries without a key, such "
    "as those of a plain list, are not sorted (key the records, sort, then to_list).";
constexpr std::string_view compact_help =
    "compact: int - Non-zero for compact output without whitespace; 0 or absent for output indented by 4 spaces";

}  // namespace

void krv_std_json::script_register() {
  namespace m = krv_json_methods;
  statics().create_new = [] { return create(); };
  add_push_function("push", m::push);
  add_push_function("push_back", m::push);
  methods::add("pop", m::pop, 0, 0, pop_help);
  methods::add("pop_back", m::pop, 0, 0, pop_help);
  methods::add("insert", m::insert, 2, 2,
               "Inserts a value at the specified index in the JSON container, shifting existing elements. Negative "
               "indices count from the end.",
               {"index: int - Zero-based index at which to insert; negative values count from the end\nvalue: "
                "object - Value to insert"});
  methods::add("size", m::size, 0, 0,
               "Returns the number of elements in a JSON array or the number of keys in a JSON object.");
  methods::add("clear", m::clear, 0, 0,
               "Removes all entries from the JSON container and returns it. Nested containers are left as they are "
               "(see clear_free).");
  methods::add("clear_free", m::clear_free, 0, 0, "Clears the JSON container and frees all objects inside it.");
  methods::add("key", m::key, 1, 1, "Return the key at a specified index from a JSON object",
               {"index: int - Zero-based index of the key; negative values count from the end"});
  methods::add("has", m::has, 1, 1, "Checks if the JSON object contains a given key.",
               {"key: string - Key to check in the JSON object"});
  methods::add("has_value", m::has_value, 1, 1, "Checks if the JSON object contains a given value.",
               {"key: string - Value to check in the JSON object"});
  methods::add("has_value_str", m::has_value_str, 1, 1, "Checks if the JSON object contains a given value (as string).",
               {"value: string - Value to check in the JSON object"});
  methods::add("geti", m::geti, 1, 1, "Get a member value by key (case-insensitive)",
               {"key: string - Key to look up (case-insensitive)"});
  methods::add("hasi", m::hasi, 1, 1, "Check if JSON object contains a key (case-insensitive)",
               {"key: string - Key to check (case-insensitive)"});
  add_erase_function("erase", m::erase);
  add_erase_function("remove", m::remove);
  add_erase_value_function("erase_value", m::erase_value);
  add_erase_value_function("remove_value", m::erase_value);
  methods::add("remove_all_keys", m::remove_all_keys, 1, 1,
               "Removes a key from the JSON object and all nested JSON objects recursively.",
               {"key: string - Key to remove from all levels"});
  methods::add("copy", m::copy, 0, 0,
               "Creates a deep copy of the JSON object. If the JSON references itself, the copy contains the same "
               "self-reference instead of failing.");
  methods::add("sort", m::sort, 0, 0,
               "Sorts JSON entries by their keys in a case-insensitive manner, keeping only keyed entries in the "
               "sorted portion.");
  methods::add("sort_reverse", m::sort_reverse, 0, 0, sort_reverse_help);
  methods::add("rsort", m::sort_reverse, 0, 0, sort_reverse_help);
  methods::add("sort_by", m::sort_by, 1, 2, sort_by_help,
               {"key: string - Child key to sort by\ndescending: bool - Sort descending (default false)"});
  methods::add("string", m::string, 0, 1,
               "Convert JSON object to its string representation, optionally using compact output.", {compact_help});
  methods::add("compact_string", m::compact_string, 0, 0, "Convert JSON object to its compact string representation.");
  methods::add("combine_string", m::combine_string, 0, 1,
               "Combine string values of the JSON object with an optional separator",
               {"separator: string - Separator appended after each string value during concatenation"});
  methods::add("from_string", m::from_string, 1, 1, "Parse JSON from string and populate object",
               {"json: string - JSON string to parse into the object"});
  methods::add("filter_key", m::filter_key, 1, 1,
               "Filter JSON object's keys by matching substrings and return the filtered JSON.",
               {"filter: string - Substring or list of substrings used to match keys."});
  methods::add("filter_value", m::filter_value, 1, 1,
               "Return a new JSON object containing only string members whose values include a specific substring",
               {"filter: string - Substring to search for within JSON string values"});
  methods::add("filter", m::filter, 1, 1, "Filter JSON object entries by callback or key substring",
               {"filter: function|string - Callback that receives a key and value and returns true to keep the "
                "entry; if a string, only entries whose keys contain the string are included"});
  add_merge_function("merge", m::merge,
                     "Merge another JSON object into this one. If overwrite is true, existing keys will be replaced.");
  add_merge_function("append", m::append,
                     "Appends another JSON object into this one. If overwrite is true, existing keys will be replaced.");
  methods::add("map", m::map, 1, 1,
               "Return a new JSON where each value is replaced by the result of the callback.",
               {"callback: function - Called with (key, value); return becomes new value"});
  methods::add("reduce", m::reduce, 1, 2,
               "Reduce object entries into a single value by repeatedly applying callback(acc, key, value).",
               {"callback: function\ninitial: any - Starting accumulator value"});
  add_match_function("any", m::any, "Returns true if any entry matches substring or callback.");
  add_match_function("all", m::all, "Returns true if all entries match substring or callback.");
  methods::add("foreach", m::foreach, 1, 1,
               "Iterates over each key/value pair in a JSON object and runs a callback for each entry",
               {"callback: function - Callback function invoked with the entry key and value and should return bool "
                "(true to include the entry in a new JSON)"});
  methods::add("to_list", m::to_list, 0, 0,
               "Converts the JSON object into a list by removing all keys from each entry.");
  methods::add("resize", m::resize, 1, 1, "Resizes a JSON list to the specified size.",
               {"size: int - New size of the list"});
  methods::add("unique", m::unique, 0, 0,
               "Removes duplicate entries. For lists, duplicates are detected by value. For objects, duplicate keys "
               "are removed, keeping the first occurrence.");
  methods::add("push_cyclic", m::push_cyclic, 2, 2,
               "Adds a value to the back of the JSON list, removing elements from the front if the size would exceed "
               "max_entries.",
               {"value: object - Value to insert", "max_entries: int - Maximum number of elements the list may hold"});
  methods::add("debug_refs", m::debug_refs, 0, 1,
               "Convert JSON object to a debug string showing whether each element is a KRVVAR_REF and the variable "
               "refcount.",
               {compact_help});
}

krvvar_shared krv_std_json::constructor_function(krv_vm_context&, std::vector<krvvar_shared>& args) {
  krvvar_shared result = krvvar_shared::make_json();
  krv_std_json* container = result->object_ptr<krv_std_json>();
  if (args.empty() || !args[0] || container == nullptr) return result;
  krvvar& source = *args[0];
  if (source.type == KRVVAR_JSON) {
    // Entries of its own; nested containers stay shared, as assignment shares them.
    if (const krv_std_json* other = source.object_ptr<krv_std_json>()) container->assign_from(*other);
    return result;
  }
  const bool suppress_errors = args.size() > 1 && args[1] && args[1]->is_nonzero();
  container->from_string(source.get_string(), suppress_errors);
  return result;
}

namespace {

void register_json_class(krv_namespace& ns) {
  krv_function_def* constructor = ns.add_class<krv_std_json>(&krv_std_json::constructor_function, 0, 2,
                                                             "Create a new JSON object, optionally initialized from a JSON string");
  if (constructor == nullptr) return;
  constructor->param_help.push_back("json: string - Optional JSON string to parse into the new object");
  constructor->param_help.push_back("suppress_errors: bool - Suppress any error messages.");
}

const krv_namespace_static_registrar json_registrar("std", register_json_class);

}  // namespace
