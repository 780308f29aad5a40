// krvobject<T, CLASS_STRING<"ns.name">>: the class template every native script class derives from.
//
//   class krv_std_json : public krvobject<krv_std_json, CLASS_STRING<"std.json">> { ... };
//
// Per class T it keeps one set of statics (function-local, so registration order does not depend on
// static initialisation order): the member table (definitions in registration order, a member's index
// is its position), the name map from member name to index (krv_member_name_map), create_new, and the
// registered flag. The statics are written only while the class registers, from the host's namespace
// initialisers, and read without locks afterwards.
//
// The template routes member access by name through the name map and by index into the member table;
// an index past the table throws std::out_of_range("invalid vector subscript"), which only a caller that
// did not get the index from member_index can provoke.
#pragma once
#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "module/global_instance.h"
#include "runtime/base/raise.h"
#include "runtime/objects/class_metadata.h"
#include "runtime/objects/function_def.h"
#include "runtime/objects/log.h"
#include "runtime/objects/member_def.h"
#include "runtime/objects/member_name_map.h"
#include "runtime/objects/object_base.h"
#include "runtime/objects/vm_context.h"

// A script class name as a template argument.
template <size_t N>
struct krv_class_literal {
  constexpr krv_class_literal(const char (&text)[N]) { std::copy_n(text, N, chars); }
  char chars[N];
};

template <krv_class_literal Name>
struct CLASS_STRING {
  static constexpr const char* value = Name.chars;
};

// A value cell a native object embeds as a member variable: it always holds a cell, owned by the object.
struct krvvar_static : krvvar_shared {
  krvvar_static() : krvvar_shared(krvvar_shared::make_none()) {}
};

template <class T, class Name>
class krvobject : public krvobject_base, public krvptr_type_tag<T> {
 public:
  using method_body = std::function<krvvar_shared(T*, krv_vm_context&, std::vector<krvvar_shared>&)>;

  class krvobject_function_def final : public krvobject_member_def {
   public:
    void bind(krvvar_shared& out, krvobject_base& object) override { krv_bind_method(out, &object, *function); }
    krv_function_def* function_descriptor() override { return function.get(); }

    // A shared object of its own, held here for the life of the class: a bound method value locks a
    // strong handle on it for each call, and the last of those must never be the one that ends it.
    krvptr_strong<krv_function_def> function = krvptr_strong<krv_function_def>::from_raw(new krv_function_def());
  };

  class krvobject_variable_def final : public krvobject_member_def {
   public:
    void bind(krvvar_shared& out, krvobject_base& object) override {
      krv_bind_member_reference(out, object, member_index);
    }
    void set(krvobject_base& object, krvvar_shared& value) override { setter(static_cast<T*>(&object), value); }
    void get(krvvar_shared& out, krvobject_base& object) override { out = getter(static_cast<T*>(&object)); }

    uint64_t member_index = 0;  // position in the class's member table
    std::function<void(T*, krvvar_shared&)> setter;
    std::function<krvvar_shared(T*)> getter;
  };

  struct class_statics {
    std::vector<krvptr_strong<krvobject_member_def_base>> members;
    krv_member_name_map names;  // member name -> index in `members`
    std::function<krvptr_strong<T>()> create_new;
    uint8_t registered = 0;
  };

  static class_statics& statics() {
    static class_statics class_state;
    return class_state;
  }
  static constexpr const char* class_name() { return Name::value; }

  krvobject() { type_hash_ = krvptr_type_hash<T>(); }

  const char* type_name() override { return Name::value; }

  int64_t member_index(std::string_view name) override { return statics().names.find(name); }
  void member_value_at(krvvar_shared& out, uint64_t index) override { member_at(index).bind(out, *this); }
  void set_member_at(uint64_t index, krvvar_shared& value) override { member_at(index).set(*this, value); }
  void get_member_at(krvvar_shared& out, uint64_t index) override { member_at(index).get(out, *this); }

  void get_named(krvvar_shared& out, std::string_view name) override {
    const int64_t index = member_index(name);
    if (index >= 0) return member_value_at(out, static_cast<uint64_t>(index));
    out = krv_raise_error("type '", type_name(), "' does not have member '", name, "'");
    krv_log_base& log = *krv_log_base::instance();
    for (const auto& entry : statics().names.entries()) krv_log_line(log, KRV_LOG_INFO, " - ", entry.name);
  }

  // Registers a method; a maximum below the minimum is raised to it.
  static void add_function(std::string_view name, method_body body, uint32_t min_args, uint32_t max_args,
                           std::string_view help) {
    auto definition = krvptr_strong<krvobject_function_def>::from_raw(new krvobject_function_def());
    krv_function_def& function = *definition->function;
    function.callable = [body = std::move(body)](krv_vm_context& frame, std::vector<krvvar_shared>& args) {
      // Only an object of class T can reach this descriptor, so the receiver needs no type check.
      return body(static_cast<T*>(frame.native_self), frame, args);
    };
    function.min_args = min_args;
    function.max_args = std::max(min_args, max_args);
    function.name = name;
    function.help = help;
    function.kind = 1;
    function.is_method = 1;
    append_member(name, std::move(definition));
  }

  // Registers a member variable that reads and writes the embedded cell `Field`.
  template <krvvar_static T::*Field>
  static void add_member(std::string_view name, std::string_view /*help*/) {
    variable_definition(name).getter = [](T* self) {
      krvvar_shared copy = krvvar_shared::make_none();
      krvvar_shared source = self->*Field;
      copy->set(source);
      return copy;
    };
    variable_definition(name).setter = [](T* self, krvvar_shared& value) { (self->*Field)->set(value); };
  }

  // Registers class T once: its members, create_new, factory and metadata.
  static void script_register_internal();

 private:
  static krvobject_member_def_base& member_at(uint64_t index) {
    auto& members = statics().members;
    if (index >= members.size()) throw std::out_of_range("invalid vector subscript");
    return *members[index];
  }

  static void append_member(std::string_view name, krvptr_strong<krvobject_member_def_base> definition) {
    auto& state = statics();
    state.members.push_back(std::move(definition));
    state.names.assign(name, state.members.size() - 1);
  }

  // The variable definition registered under `name`, created (or put in place of a method of that name)
  // when there is none.
  static krvobject_variable_def& variable_definition(std::string_view name) {
    auto& state = statics();
    const int64_t found = state.names.find(name);
    if (found >= 0) {
      auto* existing = dynamic_cast<krvobject_variable_def*>(state.members[static_cast<size_t>(found)].get());
      if (existing != nullptr) return *existing;
    }
    auto definition = krvptr_strong<krvobject_variable_def>::from_raw(new krvobject_variable_def());
    definition->getter = [](T*) { return krv_raise_error("get called on write-only member variable."); };
    definition->setter = [](T*, krvvar_shared&) { krv_raise_error("set called on read-only member variable."); };
    krvobject_variable_def& created = *definition;
    if (found >= 0) {
      created.member_index = static_cast<uint64_t>(found);
      state.members[static_cast<size_t>(found)] = std::move(definition);
    } else {
      created.member_index = state.members.size();
      append_member(name, std::move(definition));
    }
    return created;
  }
};

template <class T, class Name>
void krvobject<T, Name>::script_register_internal() {
  auto& state = statics();
  if (state.registered) return;
  state.registered = 1;
  T::script_register();
  if (!state.create_new) {
    krv_log_line(*krv_log_base::instance(), KRV_LOG_CLASS_REPORT, "internal type '", Name::value,
                 "' does not implement a 'create_new' function.\n");
    state.create_new = [] { return krvptr_strong<T>::from_raw(new T()); };
  }

  krv_global_instance& global = krv_global();
  const std::string_view name = Name::value;
  if (global.class_factories->contains(name)) return;
  (*global.class_factories)[name] = [] { return krvptr_strong<krvobject_base>(statics().create_new()); };

  auto metadata = std::make_shared<krvobject_metadata>();
  for (const auto& entry : state.names.entries()) {
    if (krv_function_def* function = state.members[entry.index]->function_descriptor()) {
      metadata->methods[entry.name] = function;
    } else {
      metadata->variables.push_back(entry.name);
    }
  }
  (*global.class_metadata)[name] = std::move(metadata);
}
