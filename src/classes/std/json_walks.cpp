// The std.json methods that walk the entries: the substring filters (no task runs) and the callback
// walks (filter, map, reduce, any, all through the iteration object; foreach through a chain of
// scheduled tasks). A callback walk returns its result value at once; the caller sees it filled only
// after it is woken at the end of the walk.
#include <memory>
#include <string>

#include "classes/std/json_iteration.h"
#include "classes/std/json_methods.h"
#include "runtime/base/raise.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/task/task.h"

namespace {

bool text_contains(std::string_view text, std::string_view pattern) {
  return text.find(pattern) != std::string_view::npos;  // the empty pattern is found everywhere
}

// The patterns of a filter argument: the text of each element of a list, else the argument's text.
std::vector<std::string> patterns_of(krvvar& argument) {
  std::vector<std::string> patterns;
  if (argument.type == KRVVAR_JSON) {
    if (krv_std_json* list = argument.object_ptr<krv_std_json>())
      for (krv_std_json_entry& entry : list->entries) patterns.emplace_back(entry.value->string_view_value());
  } else {
    patterns.emplace_back(argument.string_view_value());
  }
  return patterns;
}

bool any_contained(std::string_view text, const std::vector<std::string>& patterns) {
  for (const std::string& pattern : patterns)
    if (text_contains(text, pattern)) return true;
  return false;
}

// Appends a cell assigned from `entry`'s value, keyed as the entry (unkeyed without a key).
void append_copy(krv_std_json& target, krv_std_json_entry& entry, krvvar_shared& value) {
  krvvar_shared& cell = entry.has_key() ? target.push_empty_keyed(entry.key_view()) : target.push_empty();
  cell->set(value);
}

krvvar_shared filter_by_key(krv_std_json* self, krvvar& argument) {
  krvvar_shared result = krvvar_shared::make_json();
  krv_std_json& target = *result->object_ptr<krv_std_json>();
  const std::vector<std::string> patterns = patterns_of(argument);
  for (krv_std_json_entry& entry : self->entries)
    if (entry.has_key() && any_contained(entry.key_view(), patterns)) append_copy(target, entry, entry.value);
  return result;
}

krvvar_shared new_container(krv_std_json*& target) {
  krvvar_shared result = krvvar_shared::make_json();
  target = result->object_ptr<krv_std_json>();
  return result;
}

// any and all with a text: the keys are tested in order.
bool any_key_contains(krv_std_json* self, std::string_view pattern) {
  for (krv_std_json_entry& entry : self->entries)
    if (entry.has_key() && text_contains(entry.key_view(), pattern)) return true;
  return false;
}

bool all_keys_contain(krv_std_json* self, std::string_view pattern) {
  for (krv_std_json_entry& entry : self->entries)
    if (!entry.has_key() || !text_contains(entry.key_view(), pattern)) return false;
  return true;
}

std::shared_ptr<krv_json_iteration> key_value_walk() {
  auto walk = std::make_shared<krv_json_iteration>();
  walk->build_args = krv_json_key_value_args;
  return walk;
}

// The any/all callback walk: a result whose truth equals `stop_on` sets the result cell to `stop_on`.
void truth_walk(krv_std_json* self, krv_vm_context& frame, krvvar_shared& callback, krvvar_shared& result,
                bool stop_on) {
  auto walk = key_value_walk();
  krvvar* cell = result.get();
  walk->on_result = [cell, result, stop_on](krv_std_json*, uint32_t, krvvar_shared& value) {
    if (value->is_nonzero() != stop_on) return true;
    krvvar_shared flag = krvvar_shared::make_int(stop_on ? 1 : 0);
    cell->set(flag);
    return false;
  };
  krv_json_iteration::start(walk, frame, self, callback);
}

// One step of foreach: starts the callback task for entry `index`, whose completion starts the next.
void foreach_step(uint32_t index, krvptr_strong<krv_std_json> source, krvptr_strong<krv_task> caller,
                  krvvar_shared callback) {
  krv_json_notify_scheduler();
  if (!source || index >= source->entries.size()) {
    if (caller) krv_task::wake(*caller);
    return;
  }
  krvptr_strong<krv_task> task = callback->call_function();
  std::vector<krvvar_shared> args;
  krv_std_json_entry& entry = source->entries[index];
  if (task && task->block && task->block->param_count == 2) args.push_back(krvvar_shared::make_string(entry.key_view()));
  args.push_back(entry.value);
  if (task) {
    task->on_finish = [index, source, caller, callback](krvvar_shared&) {
      foreach_step(index + 1, source, caller, callback);
    };
    if (krv_task::run_scheduled(*task, 0, &args)) return;
    task->on_finish = nullptr;
  }
  krv_json_raise_call_failure();
  if (caller) krv_task::wake(*caller);
}

}  // namespace

namespace krv_json_methods {

KRV_JSON_METHOD(filter_key) { return filter_by_key(self, *args[0]); }

KRV_JSON_METHOD(filter_value) {
  krvvar& argument = *args[0];
  const bool from_list = argument.type == KRVVAR_JSON;
  const std::vector<std::string> patterns = patterns_of(argument);
  krv_std_json* target = nullptr;
  krvvar_shared result = new_container(target);
  for (krv_std_json_entry& entry : self->entries) {
    if (!from_list && entry.value->type != KRVVAR_STRING) continue;
    if (any_contained(entry.value->string_view_value(), patterns)) append_copy(*target, entry, entry.value);
  }
  return result;
}

KRV_JSON_METHOD(filter) {
  if (args[0]->type != KRVVAR_FUNCTION) return filter_by_key(self, *args[0]);
  krv_std_json* target = nullptr;
  krvvar_shared result = new_container(target);
  auto walk = key_value_walk();
  walk->on_result = [target, result](krv_std_json* source, uint32_t index, krvvar_shared& value) {
    if (!value->is_nonzero()) return true;
    krv_std_json_entry& entry = source->entries[index];
    append_copy(*target, entry, entry.value);
    return true;
  };
  krv_json_iteration::start(walk, frame, self, args[0]);
  return result;
}

KRV_JSON_METHOD(map) {
  krv_std_json* target = nullptr;
  krvvar_shared result = new_container(target);
  if (args[0]->type != KRVVAR_FUNCTION) {
    krv_raise_warning("map expects a function");
    return result;
  }
  auto walk = key_value_walk();
  walk->on_result = [target, result](krv_std_json* source, uint32_t index, krvvar_shared& value) {
    krv_std_json_entry& entry = source->entries[index];
    append_copy(*target, entry, value);
    return true;
  };
  krv_json_iteration::start(walk, frame, self, args[0]);
  return result;
}

KRV_JSON_METHOD(reduce) {
  if (args[0]->type != KRVVAR_FUNCTION) {
    krv_raise_warning("reduce expects a callback");
    return krvvar_shared::make_none();
  }
  auto accumulator = std::make_shared<krvvar_shared>(krvvar_shared::make_int(0));
  if (args.size() > 1 && args[1]) (*accumulator)->set(args[1]);
  krvvar_shared result = krvvar_shared::make_none();
  auto walk = std::make_shared<krv_json_iteration>();
  walk->build_args = [accumulator](krv_std_json* source, uint32_t index, std::vector<krvvar_shared>& out) {
    out.push_back(*accumulator);
    krv_json_key_value_args(source, index, out);
  };
  walk->on_result = [accumulator](krv_std_json*, uint32_t, krvvar_shared& value) {
    *accumulator = value;
    return true;
  };
  krvvar* cell = result.get();
  walk->on_done = [accumulator, cell, result] { cell->set(*accumulator); };
  krv_json_iteration::start(walk, frame, self, args[0]);
  return result;
}

KRV_JSON_METHOD(any) {
  krvvar_shared result = krvvar_shared::make_int(0);
  if (args[0]->type == KRVVAR_STRING) {
    if (any_key_contains(self, args[0]->string_view_value())) result = krvvar_shared::make_int(1);
  } else if (args[0]->type == KRVVAR_FUNCTION) {
    truth_walk(self, frame, args[0], result, true);
  } else {
    krv_raise_warning("any expects string or function");
  }
  return result;
}

KRV_JSON_METHOD(all) {
  krvvar_shared result = krvvar_shared::make_int(1);
  if (args[0]->type == KRVVAR_STRING) {
    if (!all_keys_contain(self, args[0]->string_view_value())) result = krvvar_shared::make_int(0);
  } else if (args[0]->type == KRVVAR_FUNCTION) {
    truth_walk(self, frame, args[0], result, false);
  } else {
    krv_raise_warning("all expects string or function");
    result = krvvar_shared::make_int(0);
  }
  return result;
}

KRV_JSON_METHOD(foreach) {
  if (args[0]->type != KRVVAR_FUNCTION) return krv_raise_error("foreach requires a callback function argument.");
  if (frame.task != nullptr) krv_task::suspend(frame);
  krvvar_shared callback = krv_json_bind_callback(args[0], frame.task);
  foreach_step(0, krvptr_strong<krv_std_json>::from_raw(self), krvptr_strong<krv_task>::from_raw(frame.task),
               callback);
  return krv_json_self_result(self);
}

}  // namespace krv_json_methods
