// Script-class instances and what the interpreter does with them: operator methods, member and keyed
// access with their caches, the instance opcodes and the release of instances with and without
// __deinit__.
#include <gtest/gtest.h>

#include "runtime/base/value_records.h"
#include "runtime/objects/class_def.h"
#include "runtime/objects/class_instance.h"
#include "runtime/objects/class_template.h"
#include "script_fixture.h"

namespace {

// Vec(x, y) with operator methods and a private member; Num(y) with only __radd__ and __gt__; Sub
// derives from Vec; Fin has a __deinit__ that reports `self` to the native "note" and, when the global
// cell C0 holds 1, stores `self` there.
constexpr std::string_view classes = R"(string "x"
string "y"
string "secret"
string "nope"
string "sum"
native N0 "note" 1 1
cell C0 none
class K0 "Vec" default B1
member K0 "x" 0
member K0 "y" 1
member K0 "secret" 2 private
member K0 "__add__" 0 method
member K0 "__eq__" 1 method
member K0 "__getitem__" 2 method
member K0 "__setitem__" 3 method
member K0 "__neg__" 4 method
member K0 "sum" 5 method
method K0 0 B2
method K0 1 B3
method K0 2 B4
method K0 3 B5
method K0 4 B6
method K0 5 B7
class K1 "Num" default B8
member K1 "y" 0
member K1 "__radd__" 0 method
member K1 "__gt__" 1 method
method K1 0 B9
method K1 1 B10
class K2 "Sub" base K0
class K3 "Fin" default B12 deinit B13
)";

// The methods, children of the root B0 (declared after it).
constexpr std::string_view methods = R"(block B1 1 child B0 params 2 locals 3 class K0
  new_instance
end
block B2 1 child B0 params 1 locals 1 caches 2
  load_context
  member 0 0 null 0
  push_none
  load_local 0
  member 0 0 null 0
  add
end
block B3 1 child B0 params 1 locals 1 caches 2
  load_context
  member 0 0 null 0
  push_none
  load_local 0
  member 0 0 null 0
  eq 0
end
block B4 1 child B0 params 1 locals 1
  load_local 0
  push_none
  load_int 10
  mul
end
block B5 1 child B0 params 2 locals 2 caches 1
  load_context
  member 1 0 null 0
  push_none
  load_local 1
  assign
end
block B6 1 child B0 caches 1
  load_context
  member 0 0 null 0
  negate
end
block B7 1 child B0
  load_context
  context_member 0 0
  push_none
  load_context
  context_member 1 0
  add
end
block B8 1 child B0 params 1 locals 1 class K1
  new_instance
end
block B9 1 child B0 params 1 locals 1
  load_int 100
  push_none
  load_local 0
  add
end
block B10 1 child B0 params 1 locals 1 caches 1
  load_context
  member 1 0 null 0
  push_none
  load_local 0
  gt 0
end
block B11 1 child B0 params 1 locals 1 caches 1
  load_local 0
  member 1 0 null 0
end
block B12 1 child B0 class K3
  new_instance
end
block B13 1 child B0
  push_none
  args_open 1
  load_context
  arg 0
  call_native @N0
  args_release
  load_cell $C0
  jump_false done
  load_cell $C0
  push_none
  load_context
  assign
done:
end
)";

// Locals of the root: a = Vec(3, 4), b = Vec(5, 6), n = Num(9), local 3 None.
std::string program_with(std::string_view code) {
  auto construct = [](int local, int klass, std::string args) {
    std::string text = "  load_local " + std::to_string(local) + "\n  push_none\n  load_const " + std::to_string(klass) +
                       "\n  call_prepare " + std::to_string(args.empty() ? 0 : (args.find(' ') == std::string::npos ? 1 : 2)) + "\n";
    int index = 0;
    for (size_t at = 0; at < args.size();) {
      size_t next = args.find(' ', at);
      if (next == std::string::npos) next = args.size();
      text += "  load_int " + args.substr(at, next - at) + "\n  call_arg " + std::to_string(index++) + "\n";
      at = next + 1;
    }
    return text + "  call\n  assign\n";
  };
  // The root's member instructions all use cache entry 0.
  const bool caches = code.find("  member ") != std::string_view::npos;
  return std::string(classes) + "block B0 4 locals 4" + (caches ? " caches 1" : "") + "\n  const class K0\n  const class K1\n  const class K3\n" +
         construct(0, 0, "3 4") + construct(1, 0, "5 6") + construct(2, 1, "9") + std::string(code) + "\nend\n" +
         std::string(methods);
}

// A native class with one member variable, read through the member slots.
class member_probe : public krvobject<member_probe, CLASS_STRING<"test.member_probe">> {
 public:
  static void script_register() {
    add_member<&member_probe::value>("value", "A value.");
    add_function(
        "twice", [](member_probe* self, krv_vm_context&, std::vector<krvvar_shared>&) {
          return krvvar_shared::make_int(self->value->int_value() * 2);
        },
        0, 0, "Twice the value.");
  }
  krvvar_static value;
};

class Instances : public ScriptTest {
 protected:
  // Runs `code` after the constructions; the note native records each instance's text.
  krvvar& run_code(std::string_view code) {
    assemble(program_with(code));
    bind("note", [this](krv_vm_context&, std::vector<krvvar_shared>& args) {
      notes.push_back(args[0]->get_string());
      return krvvar_shared::make_none();
    });
    run_started(start());
    return result();
  }
  size_t count_infos(std::string_view prefix) const {
    size_t count = 0;
    for (const std::string& line : infos()) count += line.find(prefix) != std::string::npos;
    return count;
  }
  krv_class& instance_in_local(uint32_t index) {
    return *krv_instance_of(*task->root_frame()->locals[index]);
  }
  // Ends the last run's task and program (and their instances) and forgets what they logged.
  void reset() {
    krv_get_thread_local().current_task = nullptr;
    task.release();
    built.release();
    notes.clear();
    log.clear();
  }
  std::vector<std::string> notes;
};

struct operator_case {
  const char* what;
  const char* code;
  int64_t expected;       // the integer result, when no error is expected
  const char* error;      // the error text, or null
};

TEST_F(Instances, OperatorsIndexingAndMembers) {
  const operator_case cases[] = {
      {"__add__ of the left operand", "  load_local 0\n  push_none\n  load_local 1\n  add", 8, nullptr},
      {"a reflected method when only the right side has one", "  load_int 1\n  push_none\n  load_local 2\n  add", 101, nullptr},
      {"!= through __eq__ alone", "  load_local 0\n  push_none\n  load_local 1\n  eq 1", 1, nullptr},
      {"== through __eq__", "  load_local 0\n  push_none\n  load_local 1\n  eq 0", 0, nullptr},
      {"< through the right side's __gt__", "  load_int 5\n  push_none\n  load_local 2\n  lt 0", 1, nullptr},
      {"< through __gt__, false", "  load_int 20\n  push_none\n  load_local 2\n  lt 0", 0, nullptr},
      {"__neg__", "  load_local 0\n  negate", -3, nullptr},
      {"a negation without __neg__", "  load_local 2\n  negate", 0, "Cannot negate 'Num' (implement __neg__)"},
      {"the not-defined error", "  load_local 0\n  push_none\n  load_local 1\n  sub", 0,
       "Operator '-' is not defined for 'Vec' and 'Vec' (implement __sub__ or __rsub__)"},
      {"__getitem__ with a number key", "  load_local 0\n  push_none\n  load_int 7\n  index_read 1 null 0", 70, nullptr},
      {"a member name as key reads the member", "  load_local 0\n  push_none\n  load_string 0\n  index_read 1 null 0", 3, nullptr},
      {"__setitem__ with a number key",
       "  load_local 0\n  push_none\n  load_int 2\n  push_none\n  load_int 11\n  index_write null\n"
       "  load_local 0\n  member 1 0 null 0", 11, nullptr},
      {"a member name as key writes the member",
       "  load_local 0\n  push_none\n  load_string 0\n  push_none\n  load_int 8\n  index_write null\n"
       "  load_local 0\n  member 0 0 null 0", 8, nullptr},
      {"69 then 68 on a member", "  load_local 0\n  push_none\n  load_string 0\n  index_read_keep null\n  push_none\n"
       "  load_int 2\n  add\n  index_write null\n  load_local 0\n  member 0 0 null 0", 5, nullptr},
      {"69 then 68 through the item operators", "  load_local 0\n  push_none\n  load_int 7\n  index_read_keep null\n"
       "  push_none\n  load_int 1\n  add\n  index_write null\n  load_local 0\n  member 1 0 null 0", 71, nullptr},
      {"a bound method called at once", "  load_local 0\n  member 4 0 null 0\n  call_prepare 0\n  call", 7, nullptr},
      {"one site seeing two classes", "  load_function 10\n  call_prepare 1\n  load_local 0\n  call_arg 0\n  call\n"
       "  push_none\n  load_function 10\n  call_prepare 1\n  load_local 2\n  call_arg 0\n  call\n  add", 13, nullptr},
      {"a private member refused outside", "  load_local 0\n  member 2 0 null 0", 0,
       "member 'secret' of class 'Vec' is private"},
      {"a private key refused outside", "  load_local 0\n  push_none\n  load_string 2\n  index_read 1 null 0", 0,
       "member 'secret' of class 'Vec' is private"},
      {"an unknown member", "  load_local 0\n  member 3 0 null 0", 0, "class 'Vec' does not have member 'nope'"},
      {"a number without the quiet flag", "  load_int 5\n  member 0 0 null 0", 0, "type 'int' has no member 'x'"},
      {"load_context outside a method", "  load_context", 0, "object not valid."},
      {"context_member outside a method", "  context_member 0 0", 0, "class not valid."},
  };
  for (const operator_case& c : cases) {
    SCOPED_TRACE(c.what);
    log.clear();
    krvvar& value = run_code(c.code);
    if (c.error != nullptr) {
      EXPECT_TRUE(reported(c.error));
      continue;
    }
    for (const std::string& error : errors()) ADD_FAILURE() << error;
    ASSERT_EQ(value.type, KRVVAR_INT);
    EXPECT_EQ(value.payload.int_value, c.expected);
  }
}

TEST_F(Instances, MemberAccessBeyondInstances) {
  // A private member is allowed from a derived class.
  EXPECT_EQ(run_code("  load_local 0\n  member 2 0 %K2 0").type, KRVVAR_NONE);
  EXPECT_TRUE(errors().empty());
  // None turns into a container whose new member is written through.
  run_code("  load_local 3\n  member 0 0 null 0\n  push_none\n  load_int 5\n  assign\n  load_local 3");
  ASSERT_EQ(result().type, KRVVAR_JSON);
  krvvar_shared member;
  result().get_member("x", member);
  EXPECT_EQ(member->int_value(), 5);
  // With the quiet flag a number is turned into a container too.
  EXPECT_EQ(run_code("  load_int 5\n  member 0 0 null 1\n  load_local 3\n  load_int 1").type, KRVVAR_INT);
  EXPECT_TRUE(errors().empty());
  // The instance's text is its class name; a member read by name aliases the member's cell.
  run_code("  load_local 0");
  EXPECT_EQ(result().get_string(), "Vec");
  krv_class& a = instance_in_local(0);
  krvvar_shared x;
  result().get_member("x", x);
  krvvar_shared forty_two = krvvar_shared::make_int(42);
  x->set(forty_two);
  EXPECT_EQ(a.members()[0]->payload.int_value, 42);
  // Two method reads give two bound values, both bound to the instance.
  krvvar_shared first = a.read_member("sum"), second = a.read_member("sum");
  ASSERT_EQ(first->type, KRVVAR_FUNCTION);
  EXPECT_NE(first.get(), second.get());
  for (krvvar_shared* method : {&first, &second})
    EXPECT_EQ(static_cast<krvvar_function_record*>((*method)->payload.record)->context.get(), &a);
  // member_at at -1 and at the count.
  for (int64_t index : {int64_t{-1}, int64_t{3}}) {
    log.clear();
    EXPECT_EQ(a.member_at(index, false)->type, KRVVAR_NONE);
    EXPECT_TRUE(reported("out of range!"));
  }
  log.clear();
  EXPECT_EQ(a.member_at(6, true)->type, KRVVAR_NONE);
  EXPECT_TRUE(reported("out of range!"));
}

TEST_F(Instances, ReleaseAndDeinit) {
  // Without __deinit__: the release and destruction lines, at once.
  run_code("  load_local 0\n  push_none\n  load_int 1\n  assign");
  EXPECT_EQ(count_infos("krv_class release. "), 1u);
  EXPECT_EQ(count_infos("krv_class destroyed. "), 1u);

  // With __deinit__: it runs with `self`, whose text is the class name, then the instance goes.
  reset();
  run_code("  const class K3\n  load_const 2\n  call_prepare 0\n  call\n  load_int 1");
  EXPECT_EQ(notes, (std::vector<std::string>{"Fin"}));
  EXPECT_EQ(count_infos("krv_class release. "), 1u);
  EXPECT_EQ(count_infos("krv_class destroyed. "), 1u);

  // A __deinit__ that stores `self` keeps the instance alive; its next release destroys it without
  // running __deinit__ again.
  reset();
  assemble(program_with("  load_const 2\n  call_prepare 0\n  call\n  load_int 1"));
  {
    krvvar_shared one = krvvar_shared::make_int(1);
    built->cells[0]->set(one);
  }
  bind("note", [this](krv_vm_context&, std::vector<krvvar_shared>& args) {
    notes.push_back(args[0]->get_string());
    return krvvar_shared::make_none();
  });
  run_started(start());
  ASSERT_EQ(notes.size(), 1u);
  krvvar& kept = *built->cells[0];
  ASSERT_EQ(kept.type, KRVVAR_CLASS);
  ASSERT_NE(krv_instance_of(kept), nullptr);
  EXPECT_EQ(count_infos("krv_class destroyed. "), 0u);
  kept.set_type_simple(KRVVAR_NONE);
  EXPECT_EQ(notes.size(), 1u);
  EXPECT_EQ(count_infos("krv_class destroyed. "), 1u);

  // A value released with its release-contents flag tears the instance down for every holder.
  reset();
  run_code("");
  krvvar_shared other = krvvar_shared::make_none();
  other->set(task->root_frame()->locals[0]);
  krvvar& own = *task->root_frame()->locals[0];
  own.flags |= krvvar_release_contents;
  own.set_type_simple(KRVVAR_NONE);
  EXPECT_EQ(krv_instance_of(*other), nullptr);
  EXPECT_EQ(count_infos("krv_class destroyed. "), 1u);
  other.release();
  EXPECT_EQ(count_infos("krv_class destroyed. "), 1u);
}

TEST_F(Instances, DeinitContexts) {
  // Every instance record and frame taken while the programs below run is given back.
  const uint64_t records_before = vm.state().class_ref_pool.live;
  const uint64_t frames_before = vm.state().frame_pool.live;
  // An instance released while its task is torn down still gets __deinit__, under that task.
  run_code("  load_local 3\n  push_none\n  load_const 2\n  call_prepare 0\n  call\n  assign");
  ASSERT_EQ(task->root_frame()->locals[3]->type, KRVVAR_CLASS);
  log.clear();
  krv_get_thread_local().current_task = nullptr;
  task.release();
  EXPECT_EQ(notes, (std::vector<std::string>{"Fin"}));
  EXPECT_EQ(count_infos("krv_class destroyed. "), 4u);  // a, b, n and the Fin
  EXPECT_FALSE(said("is not called"));

  // Outliving its task and global scope, the instance is destroyed with the warning instead.
  reset();
  run_code("  load_local 3\n  push_none\n  load_const 2\n  call_prepare 0\n  call\n  assign");
  krvvar_shared held = task->root_frame()->locals[3];
  krvvar_shared survivor = krvvar_shared::make_none();
  survivor->set(held);
  krv_get_thread_local().current_task = nullptr;
  task.release();
  held.release();
  EXPECT_TRUE(notes.empty());
  survivor.release();
  EXPECT_TRUE(notes.empty());
  EXPECT_TRUE(said("__deinit__ of class 'Fin' is not called, its global scope no longer exists."));
  EXPECT_EQ(count_infos("krv_class destroyed. "), 4u);  // a, b, n and the survivor
  reset();
  EXPECT_EQ(vm.state().class_ref_pool.live, records_before);
  EXPECT_EQ(vm.state().frame_pool.live, frames_before);
}

TEST_F(Instances, NativeObjectMembersThroughTheirSlots) {
  member_probe::script_register_internal();
  auto probe = krvptr_strong<member_probe>::from_raw(new member_probe());
  krvvar_shared seven = krvvar_shared::make_int(7);
  probe->value->set(seven);
  // A name the class lacks, then one site reads the member twice (the second time through its cache).
  assemble("string \"value\"\nstring \"other\"\ncell C0 none\nblock B0 4 caches 2\n  load_cell $C0\n"
           "  member 1 1 null 0\n  load_cell $C0\n  member 0 0 null 0\n  push_none\n  load_cell $C0\n"
           "  member 0 0 null 0\n  add\nend\n");
  krvvar_shared object = krvvar_shared::make_object(krvptr_strong<krvobject_base>(probe));
  built->cells[0]->set(object);
  run_started(start());
  const krv_member_cache_entry& cached = built->root->member_cache[0];
  EXPECT_EQ(cached.type_key, probe->object_type_hash());
  EXPECT_GE(cached.member_index, 0);
  EXPECT_EQ(built->root->member_cache[1].member_index, -1);
  EXPECT_EQ(result().int_value(), 14);
}

// A method value fetched from a native object and called, three times: each call locks the method's
// definition for its duration and must leave it alive for the next.
TEST_F(Instances, NativeObjectMethodCalls) {
  member_probe::script_register_internal();
  auto probe = krvptr_strong<member_probe>::from_raw(new member_probe());
  krvvar_shared seven = krvvar_shared::make_int(7);
  probe->value->set(seven);
  std::string call = "  load_cell $C0\n  member 0 0 null 0\n  call_prepare 0\n  call\n";
  assemble("string \"twice\"\ncell C0 none\nblock B0 4 caches 1\n" + call + "  push_none\n" + call + "  add\n" +
           "  push_none\n" + call + "  add\nend\n");
  krvvar_shared object = krvvar_shared::make_object(krvptr_strong<krvobject_base>(probe));
  built->cells[0]->set(object);
  run_started(start());
  EXPECT_EQ(result().int_value(), 42);
  EXPECT_EQ(errors(), std::vector<std::string>{});
}

}  // namespace

namespace {

using FinaliserChain = ScriptTest;

// Each __deinit__ returns a new instance of its class, released with the finaliser's task, whose
// __deinit__ then runs one level deeper on the stack: the 129th level is not called, which ends the chain.
TEST_F(FinaliserChain, EndsAtTheNestingBound) {
  assemble(R"(native N0 "count" 0 0
class K0 "Link" default B1 deinit B2
block B0 4
  const class K0
  load_const 0
  call_prepare 0
  call
  load_none
end
block B1 1 child B0 class K0
  new_instance
end
block B2 1 child B0
  args_open 0
  call_native @N0
  load_global_const 0
  call_prepare 0
  call
end
)");
  int finalisers = 0;
  bind("count", [&finalisers](krv_vm_context&, std::vector<krvvar_shared>&) {
    ++finalisers;
    return krvvar_shared::make_none();
  });
  run_started(start());
  EXPECT_EQ(finalisers, 128);
  EXPECT_TRUE(said("__deinit__ of class 'Link' is not called, 128 finalisers already run on this thread."));
}

}  // namespace
