// Kernels as scripts reach them: the std namespace's kernel functions and the four kernel classes called
// through their registered definitions (argument counts checked as the call machinery checks them), with
// exact error texts, results in every kernel mode, and hold counters that balance to 0.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <variant>

#include "classes/kernel/kernel_binding.h"
#include "classes/kernel/kernel_classes.h"
#include "classes/kernel/kernel_launch_finish.h"
#include "classes/kernel/kernel_workers.h"
#include "kernel/native/jit_cache.h"
#include "kernel/runtime/kernel_unit_cache.h"
#include "kernel/runtime/settings.h"
#include "runtime/base/value_records.h"
#include "runtime/exec/interp/native_call.h"
#include "runtime/objects/namespace.h"
#include "runtime/storage/json_object.h"
#include "runtime/storage/kernel_memory.h"
#include "runtime/storage/string_object.h"
#include "value_test_vm.h"

namespace {

constexpr const char* kernels_source =
    "kernel struct Stats { f32 sum; u32 n; };\n"
    "kernel struct P { f32 x; i32 m[4]; Stats s[2]; };\n"
    "kernel const i32 LIMIT = -7;\n"
    "kernel void saxpy(f32* y, const f32* x, f32 a) { y[gid] = a * x[gid] + y[gid]; }\n"
    "kernel i64 total(const i32* x) reduce(+) { return i64(x[gid]); }\n"
    "kernel i32 lowest(const i32* x) reduce(min) { return x[gid]; }\n"
    "kernel Stats stats(const f32* x) reduce(sum: +, n: +) { Stats s; s.sum = x[gid]; s.n = 1u; return s; }\n"
    "kernel u32 grid(const u32* x) reduce(+) { return x[gid_y * gsize_x + gid_x]; }\n"
    "kernel u64 chars(const u8* t) reduce(+) { return u64(t[gid]); }\n"
    "kernel void k(f32* data, i8 a, bool b, u64 c, f64 d, i32 e) { data[gid] = f32(a); }\n";

class KernelScript : public ValueTest {
 protected:
  void SetUp() override {
    ValueTest::SetUp();
    ns.name = "std";
    for (auto& populate : krv_global().namespace_initializers.at("std")) populate(ns);
    krvk_jit_mode.store(KRVK_JIT_OFF);
    unit = fn("kernel_compile", {krvvar_shared::make_string(kernels_source), krvvar_shared::make_string("t.k")});
    ASSERT_EQ(raised(), "");
  }
  void TearDown() override {
    krvk_kernel_mode.store(KRVK_MODE_AUTO);
    krvk_kernel_threads.store(0);
    unit = krvvar_shared();
    ValueTest::TearDown();
  }

  static krvvar_shared call_definition(krv_function_def& definition, krvobject_base* self,
                                       std::vector<krvvar_shared> args) {
    krvvar_shared result = krvvar_shared::make_none();
    krv_vm_context frame;
    frame.native_self = self;
    vm_call_native(result, definition, frame, args);
    return result;
  }
  krvvar_shared fn(std::string_view name, std::vector<krvvar_shared> args = {}) {
    for (auto& definition : ns.functions)
      if (definition->name == name) return call_definition(*definition, nullptr, std::move(args));
    ADD_FAILURE() << "no function " << name;
    return krvvar_shared::make_none();
  }
  template <class T>
  static krv_function_def* definition_in(krvobject_base& self, std::string_view name) {
    if (krvptr_cast<T>(&self) == nullptr) return nullptr;
    const int64_t index = T::statics().names.find(name);
    return index < 0 ? nullptr : T::statics().members[static_cast<size_t>(index)]->function_descriptor();
  }
  static krvvar_shared method(const krvvar_shared& object, std::string_view name, std::vector<krvvar_shared> args = {}) {
    krvobject_base* self = object->object_ptr();
    if (self == nullptr) return ADD_FAILURE() << "no object for " << name, krvvar_shared::make_none();
    krv_function_def* definition = nullptr;
    for (krv_function_def* found :
         {definition_in<krv_std_kernel>(*self, name), definition_in<krv_std_kernel_job>(*self, name),
          definition_in<krv_std_kernel_unit>(*self, name), definition_in<krv_std_kernel_struct>(*self, name),
          definition_in<krv_std_buffer>(*self, name)}) {
      if (found != nullptr) definition = found;
    }
    if (definition == nullptr) return ADD_FAILURE() << "no method " << name, krvvar_shared::make_none();
    return call_definition(*definition, self, std::move(args));
  }
  krvvar_shared get(std::string_view name) { return method(unit, "get", {krvvar_shared::make_string(name)}); }
  // The one error raised since the last look, unframed; "" when none was.
  std::string raised() {
    const std::vector<std::string> all = errors();
    log.clear();
    if (all.empty()) return "";
    if (all.size() > 1) return "several errors";
    for (std::string message : {all[0]}) {
      for (size_t start = message.find('\n', 1) + 1, end = message.rfind("\n*"); end != std::string::npos;)
        return message.substr(start, end - start);
    }
    return all[0];
  }

  static krvvar_shared i(int64_t v) { return krvvar_shared::make_int(v); }
  static krvvar_shared f(double v) { return krvvar_shared::make_float(v); }
  static krvvar_shared s(const char* v) { return krvvar_shared::make_string(v); }
  static krvvar_shared list(std::vector<krvvar_shared> items) {
    krvvar_shared value = krvvar_shared::make_json();
    for (auto& item : items) value->object_ptr<krv_std_json>()->push_value(item);
    return value;
  }
  // A std.buffer object value holding `values` as little-endian elements of T.
  template <class T>
  static krvvar_shared buffer(std::vector<T> values) {
    krvptr_strong<krv_std_buffer> made = krv_std_buffer::create();
    made->bytes.resize(values.size() * sizeof(T));
    std::memcpy(made->bytes.data(), values.data(), made->bytes.size());
    return krvvar_shared::make_object(std::move(made));
  }
  template <class T>
  static T element(const krvvar_shared& value, size_t index) {
    T out{};
    std::memcpy(&out, value->object_ptr<krv_std_buffer>()->bytes.data() + index * sizeof(T), sizeof(T));
    return out;
  }
  static krv_std_buffer& bytes_of(const krvvar_shared& value) { return *value->object_ptr<krv_std_buffer>(); }

  krv_namespace ns;
  krvvar_shared unit;
};

TEST_F(KernelScript, BindingMessages) {
  krvvar_shared k = get("k");
  krvvar_shared data = buffer<float>({0, 0});
  auto args = [&](krvvar_shared domain, std::vector<krvvar_shared> rest) {
    std::vector<krvvar_shared> all{std::move(domain), data, i(1), i(1), i(1), f(1), i(1)};
    for (size_t n = 0; n < rest.size(); ++n) all[n + 1] = rest[n];
    return all;
  };
  const std::string p = "kernel 'k'";
  const struct {
    std::vector<krvvar_shared> args;
    std::string error;
  } cases[] = {
      {{}, "invalid parameter count 0 min: 1 max: 999"},  // the call machinery's own check
      {args(i(-1), {}), p + ": the domain must not be negative"},
      {args(list({i(-1), i(2)}), {}), p + ": the domain must not be negative"},
      {args(f(2.0), {}), p + ": the domain must be an int or [width, height] but got float"},
      {args(list({f(2.0), i(3)}), {}), p + ": the domain must be an int or [width, height] but got json"},
      {args(list({i(65536), i(65536)}), {}), p + ": the domain is too large (at most 4294967295 invocations)"},
      {args(list({i(4294967296), i(4611686018427387904)}), {}),
       p + ": the domain is too large (at most 4294967295 invocations)"},
      {{i(1), data}, p + " expects 6 arguments (f32* data, i8 a, bool b, u64 c, f64 d, i32 e) after the domain but got 1"},
      {args(i(2), {data, i(128)}), p + ": argument 2 ('a') expects i8 but 128 does not fit"},
      {args(i(2), {data, i(-129)}), p + ": argument 2 ('a') expects i8 but -129 does not fit"},
      {args(i(2), {data, i(1), i(2)}), p + ": argument 3 ('b') expects bool (true / false) but got the int 2"},
      {args(i(2), {data, i(1), f(1.0)}), p + ": argument 3 ('b') expects bool (true / false) but got float"},
      {args(i(2), {data, i(1), i(1), i(-1)}), p + ": argument 4 ('c') expects u64 but -1 does not fit"},
      {args(i(2), {data, i(1), i(1), i(1), i(2)}),
       p + ": argument 5 ('d') expects f64 but got int (write 2.0 instead of 2, or x * 1.0)"},
      {args(i(2), {data, i(1), i(1), i(1), f(2), f(2.5)}),
       p + ": argument 6 ('e') expects i32 but got float (~~x makes an int of a float x, dropping its fraction)"},
      {args(i(2), {s("text")}),
       p + ": argument 1 ('f32* data') strings are read only, declare the parameter as const (const u8*) or use a "
           "std.buffer"},
      {args(i(2), {i(3)}), p + ": argument 1 ('f32* data') expects a std.buffer but got int"},
      {args(i(2), {krvvar_shared::make_none()}), p + ": argument 1 ('f32* data') expects a std.buffer but got None"},
      {args(i(2), {}), ""},
      {args(krvvar_shared::make_int(1), {}), ""},
      {args(list({i(7), i(0)}), {}), ""},
  };
  for (const auto& c : cases) {
    method(k, "launch", c.args);
    EXPECT_EQ(raised(), c.error);
    EXPECT_EQ(bytes_of(data).read_holds + bytes_of(data).write_holds, 0u);
  }
  EXPECT_EQ(element<float>(data, 1), 1.0f);
}

TEST_F(KernelScript, HoldsAreTakenAndGivenBackOnce) {
  krvvar_shared saxpy = get("saxpy");
  krvvar_shared y = buffer<float>({1, 2, 3}), x = buffer<float>({1, 1, 1});
  krvvar_shared job = method(saxpy, "launch_async", {i(3), y, x, f(2.0)});
  ASSERT_EQ(raised(), "");
  EXPECT_EQ(bytes_of(y).write_holds, 1u);
  EXPECT_EQ(bytes_of(x).read_holds, 1u);
  EXPECT_EQ(method(job, "done")->int_value(), 1);
  // The held buffers refuse to move; a second launch may read x but not write y.
  method(y, "resize", {i(0)});
  EXPECT_EQ(raised(), krv_buffer_in_use_text);
  krvvar_shared total = get("total");
  method(total, "launch", {i(0), x});
  EXPECT_EQ(raised(), "");
  method(saxpy, "launch", {i(3), y, x, f(1.0)});
  EXPECT_EQ(raised(),
            "kernel 'saxpy': argument 1 ('f32* y') the std.buffer is already used by another running kernel launch");
  // Two waits: one release, the same (void) result twice.
  EXPECT_EQ(method(job, "wait")->type, KRVVAR_NONE);
  EXPECT_EQ(method(job, "wait")->type, KRVVAR_NONE);
  EXPECT_EQ(raised(), "");
  EXPECT_EQ(bytes_of(y).write_holds + bytes_of(x).read_holds, 0u);
  EXPECT_EQ(element<float>(y, 2), 5.0f);
  // A job dropped unwaited gives the buffers back. Without workers launch_async ran the whole launch
  // itself, so nothing was left to stop.
  job = method(saxpy, "launch_async", {i(3), y, x, f(1.0)});
  EXPECT_EQ(bytes_of(y).write_holds, 1u);
  job = krvvar_shared();
  EXPECT_EQ(bytes_of(y).write_holds + bytes_of(x).read_holds, 0u);
  EXPECT_EQ(element<float>(y, 2), 6.0f);
  // A failure after binding (here a state released by hand twice) gives back once only.
  std::string error;
  std::vector<krvvar_shared> args{i(3), y, x, f(1.0)};
  auto state = krv_kernel_launch_bind(*saxpy->object_ptr<krv_std_kernel>(), args, false, error);
  ASSERT_TRUE(state);
  state->release();
  state->release();
  EXPECT_EQ(bytes_of(y).write_holds + bytes_of(x).read_holds, 0u);
  // A launch stopped from outside before its chunks ran (the run's stop) is no result: its wait says so.
  state = krv_kernel_launch_bind(*saxpy->object_ptr<krv_std_kernel>(), args, false, error);
  ASSERT_TRUE(state);
  state->launch->stop();
  state->launch->wait();
  krv_kernel_launch_finish(*saxpy->object_ptr<krv_std_kernel>(), *state);
  EXPECT_EQ(raised(), "kernel 'saxpy' was stopped with the run before its end (0 of 3 chunks ran)");
  EXPECT_EQ(bytes_of(y).write_holds + bytes_of(x).read_holds, 0u);
  EXPECT_EQ(element<float>(y, 2), 6.0f);
}

TEST_F(KernelScript, LaunchResultsInEveryMode) {
  krvvar_shared ints = buffer<int32_t>({5, -3, 9, 4}), words = buffer<uint32_t>({1, 2, 3, 4, 5, 6});
  krvvar_shared floats = buffer<float>({0.5f, 1.5f, 2.0f});
  for (uint32_t mode : {KRVK_MODE_AUTO, KRVK_MODE_SCALAR, KRVK_MODE_BATCH}) {
    krvk_kernel_mode.store(mode);
    EXPECT_EQ(method(get("total"), "launch", {i(4), ints})->int_value(), 15);
    EXPECT_EQ(method(get("lowest"), "launch", {i(4), ints})->int_value(), -3);
    EXPECT_EQ(method(get("lowest"), "launch", {i(0), ints})->int_value(), 2147483647);
    EXPECT_EQ(method(get("grid"), "launch", {list({i(3), i(2)}), words})->int_value(), 21);
    EXPECT_EQ(method(get("chars"), "launch", {i(3), s("abc")})->int_value(), 97 + 98 + 99);
    krvvar_shared job = method(get("total"), "launch_async", {i(4), ints});
    EXPECT_EQ(method(job, "wait")->int_value(), 15);
    krvvar_shared stats = method(get("stats"), "launch", {i(3), floats});
    EXPECT_EQ(stats->object_ptr<krv_std_json>()->dump(true), "{\"n\":3,\"sum\":4.0}");
    EXPECT_EQ(raised(), "");
  }
}

TEST_F(KernelScript, TrapsNameTheWorkItemAndRaiseAgainOnSecondWait) {
  krvvar_shared small = buffer<int32_t>({1, 2});
  method(get("total"), "launch", {i(3), small});
  EXPECT_EQ(raised().substr(0, 45), "kernel 'total' failed at t.k:5 (gid 2): index");
  krvvar_shared job = method(get("grid"), "launch_async", {list({i(2), i(2)}), buffer<uint32_t>({1, 2, 3})});
  method(job, "wait");
  const std::string first = raised();
  EXPECT_EQ(first.substr(0, 50), "kernel 'grid' failed at t.k:8 (gid 3, x 1, y 1): i");
  method(job, "wait");
  EXPECT_EQ(raised(), first);
}

TEST_F(KernelScript, Inspection) {
  krvvar_shared saxpy = get("saxpy");
  EXPECT_EQ(method(saxpy, "name")->get_string(), "saxpy");
  EXPECT_EQ(method(saxpy, "returns")->get_string(), "void");
  EXPECT_EQ(method(get("stats"), "returns")->get_string(), "Stats reduce(sum: +, n: +)");
  EXPECT_EQ(method(saxpy, "params")->object_ptr<krv_std_json>()->dump(true),
            "[{\"name\":\"y\",\"type\":\"f32*\"},{\"name\":\"x\",\"type\":\"const f32*\"},{\"name\":\"a\",\"type\":\"f32\"}]");
  EXPECT_EQ(method(saxpy, "jit_status")->get_string(), "off");
  EXPECT_NE(method(saxpy, "disasm")->get_string().find("saxpy"), std::string::npos);
  EXPECT_NE(method(saxpy, "jit_source")->get_string().find("saxpy"), std::string::npos);
  EXPECT_EQ(saxpy->get_string(), "kernel saxpy");
  EXPECT_EQ(get("LIMIT")->int_value(), -7);
  get("nothing");
  EXPECT_EQ(raised(), "the kernel source has no kernel, struct or constant 'nothing'");
  EXPECT_EQ(method(unit, "kernels")->object_ptr<krv_std_json>()->dump(true),
            "[\"saxpy\",\"total\",\"lowest\",\"stats\",\"grid\",\"chars\",\"k\"]");
  EXPECT_EQ(method(unit, "constants")->object_ptr<krv_std_json>()->dump(true), "[\"LIMIT\"]");
  // Member access falls back to get().
  krvvar_shared member = krvvar_shared::make_none();
  unit->object_ptr()->get_named(member, "saxpy");
  EXPECT_EQ(member->get_string(), "kernel saxpy");
  // Factory-made objects answer empty.
  krvvar_shared bare_unit = krvvar_shared::make_object(krv_std_kernel_unit::statics().create_new());
  EXPECT_EQ(method(bare_unit, "get", {s("x")})->type, KRVVAR_NONE);
  EXPECT_EQ(method(bare_unit, "disasm")->get_string(), "");
  krvvar_shared bare_kernel = krvvar_shared::make_object(krv_std_kernel::statics().create_new());
  EXPECT_EQ(method(bare_kernel, "launch", {i(1)})->type, KRVVAR_NONE);
  EXPECT_EQ(bare_kernel->get_string(), "kernel");
  krvvar_shared bare_job = krvvar_shared::make_object(krv_std_kernel_job::statics().create_new());
  EXPECT_EQ(method(bare_job, "done")->int_value(), 0);
  EXPECT_EQ(raised(), "");
}

TEST_F(KernelScript, CompileCache) {
  const krvvar_shared source = s("kernel void z(u8* p) { p[gid] = u8(0); }");
  auto unit_of = [](const krvvar_shared& value) -> const void* {
    auto* object = value->object_ptr<krv_std_kernel_unit>();
    return object != nullptr ? object->unit.get() : nullptr;
  };
  krvvar_shared a = fn("kernel_compile", {source}), b = fn("kernel_compile", {source});
  EXPECT_EQ(unit_of(a), unit_of(b));
  EXPECT_NE(unit_of(fn("kernel_compile", {source, s("other")})), unit_of(a));
  krvvar_shared constants = fn("kernel_compile", {s("kernel const i32 Q = 1;")});
  EXPECT_NE(unit_of(fn("kernel_compile", {source, s("<kernel>"), constants})), unit_of(a));
  EXPECT_EQ(unit_of(fn("kernel_compile", {source, s("<kernel>"), list({})})), unit_of(a));
  EXPECT_EQ(raised(), "");
  const std::string imports =
      "kernel_compile: imports must be std.kernel_unit objects (the result of std.kernel_compile or __krv_kernel_unit)";
  fn("kernel_compile", {source, i(5)});
  EXPECT_EQ(raised(), imports);
  fn("kernel_compile", {source, s("f"), list({a, list({a})})});
  EXPECT_EQ(raised(), imports);
  for (int round = 0; round < 2; ++round) {
    fn("kernel_compile", {s("kernel void bad( {}"), s("bad.k")});
    EXPECT_EQ(raised().substr(0, 33), "kernel compile error at bad.k:1:1");
  }
  for (int n = 0; n < 300; ++n) fn("kernel_compile", {s(("kernel const i32 C = " + std::to_string(n) + ";").c_str())});
  EXPECT_LE(krv_kernel_unit_cache_size(), krv_kernel_unit_cache_limit);
  EXPECT_NE(unit_of(fn("kernel_compile", {source})), unit_of(a));  // flushed, compiled anew
  EXPECT_EQ(method(get("k"), "name")->get_string(), "k");  // units handed out keep working
}

TEST_F(KernelScript, StructPathsAndMethods) {
  krvvar_shared p = get("P");
  const struct {
    const char* path;
    const char* result;  // the offset, or the error
  } paths[] = {
      {"", "0"}, {"x", "0"}, {"m[2]", "12"}, {"s[1]n", "32"}, {"s[1].sum", "28"}, {".s..[1].n.", "32"},
      {"m[]", "4"}, {"m[a]", "4"}, {"m[4]", "array index 4 is out of bounds in 'm[4]'"},
      {"m[-1]", "array index -1 is out of bounds in 'm[-1]'"},
      {"m[99999999999999999999999]", "array index 9223372036854775807 is out of bounds in 'm[99999999999999999999999]'"},
      {"x[0]", "invalid field path 'x[0]'"}, {"m[1", "invalid field path 'm[1'"},
      {"m.x", "'x' in 'm.x' is not a struct field"}, {"y", "struct 'P' has no field 'y'"},
  };
  for (const auto& c : paths) {
    krvvar_shared offset = method(p, "offset", {s(c.path)});
    const std::string error = raised();
    EXPECT_EQ(error.empty() ? std::to_string(offset->int_value()) : error, c.result) << c.path;
  }
  EXPECT_EQ(method(p, "size")->int_value(), 36);
  krvvar_shared memory = buffer<uint8_t>(std::vector<uint8_t>(100, 0));
  EXPECT_EQ(method(p, "count", {memory})->int_value(), 2);
  method(p, "set", {memory, i(1), s("s[1].n"), i(9)});
  EXPECT_EQ(method(p, "get", {memory, i(1), s("s[1]n")})->int_value(), 9);
  const struct {
    const char* name;
    std::vector<krvvar_shared> args;
    const char* error;
  } refusals[] = {
      {"get", {memory, i(2), s("x")}, "index 2 is out of range (2 structs in the buffer)"},
      {"get", {memory, f(1.0), s("x")}, "get() expects (buffer, index, field)"},
      {"get", {memory, i(0), s("s")}, "get() needs a number field, 's' is a struct or an array (use read())"},
      {"set", {memory, i(0), s("m"), i(1)}, "set() needs a number field, 'm' is a struct or an array (use write())"},
      {"set", {i(1), i(0), s("x"), i(1)}, "set() expects (buffer, index, field, value)"},
      {"count", {s("no")}, "count() expects a std.buffer (or an object with kernel memory, e.g. a bitmap)"},
      {"read", {memory, i(-1)}, "index -1 is out of range (2 structs in the buffer)"},
      {"write", {memory, i(0), i(3)}, "write() expects (buffer, index, json)"},
  };
  for (const auto& c : refusals) {
    method(p, c.name, c.args);
    EXPECT_EQ(raised(), c.error) << c.name;
  }
  krvvar_shared values = krvvar_shared::make_json();
  krvvar_shared two = i(2), short_list = list({i(1), i(2)});
  values->object_ptr<krv_std_json>()->push_value(two, "x");  // ints are taken for floats
  values->object_ptr<krv_std_json>()->push_value(short_list, "m");
  method(p, "write", {memory, i(0), values});
  EXPECT_EQ(method(p, "read", {memory, i(0)})->object_ptr<krv_std_json>()->dump(true),
            "{\"m\":[1,2,0,0],\"s\":[{\"n\":0,\"sum\":0.0},{\"n\":0,\"sum\":0.0}],\"x\":2.0}");
  krvvar_shared too_wide = list({i(1), i(1LL << 40)});
  values->object_ptr<krv_std_json>()->get_or_insert("m")->set(too_wide);
  method(p, "write", {memory, i(0), values});
  EXPECT_EQ(raised(), "field 'm' expects i32 but 1099511627776 does not fit");
  EXPECT_EQ(method(p, "fields")->object_ptr<krv_std_json>()->size(), 3);
  // While a launch writes the memory, reading is refused; counting is not.
  krvvar_shared job = method(get("k"), "launch_async", {i(0), memory, i(0), i(0), i(0), f(0), i(0)});
  method(p, "read", {memory, i(0)});
  EXPECT_EQ(raised(), krv_buffer_in_use_text);
  EXPECT_EQ(method(p, "count", {memory})->int_value(), 2);
  method(job, "wait");
  EXPECT_EQ(raised(), "");
}

TEST_F(KernelScript, NamespaceFunctions) {
  std::vector<std::string_view> names;
  for (const auto& definition : ns.functions) names.push_back(definition->name);
  EXPECT_EQ(std::vector<std::string_view>(names.begin(), names.begin() + 7),
            (std::vector<std::string_view>{"kernel_compile", "kernel_threads", "kernel_jit", "kernel_aot_source",
                                           "kernel_aot_load", "kernel_jit_compiler", "kernel_mode"}));
  EXPECT_EQ(ns.functions[0]->param_help.size(), 3u);
  // No worker queue serves this VM yet: every budget is the calling thread.
  EXPECT_EQ(fn("kernel_threads", {i(10000)})->int_value(), 1);
  EXPECT_EQ(krvk_kernel_threads.load(), 4096u);
  fn("kernel_threads", {i(-5)});
  EXPECT_EQ(krvk_kernel_threads.load(), 0u);
  const struct {
    const char* function;
    krvvar_shared arg;
    const char* result;  // the word, or the error
  } words[] = {
      {"kernel_jit", s("Sync"), "kernel_jit expects 'auto', 'sync' or 'off'"},
      {"kernel_jit", i(1), "kernel_jit expects 'auto', 'sync' or 'off'"},
      {"kernel_jit", s("sync"), "sync"},
      {"kernel_jit", s("off"), "off"},
      {"kernel_mode", s("batch"), "batch"},
      {"kernel_mode", s("fast"), "kernel_mode expects 'auto', 'scalar' or 'batch'"},
  };
  for (const auto& c : words) {
    krvvar_shared word = fn(c.function, {c.arg});
    const std::string error = raised();
    EXPECT_EQ(error.empty() ? word->get_string() : error, c.result);
  }
  EXPECT_EQ(fn("kernel_mode")->get_string(), "batch");
  // A call answers "" while a discovery it waited a second for is still under way (a loaded machine):
  // discover first, then every call gives the same answer at once.
  krvk_jit_discover();
  EXPECT_EQ(fn("kernel_jit_compiler")->get_string(), fn("kernel_jit_compiler")->get_string());
  const std::string whole = fn("kernel_aot_source", {unit})->get_string();
  EXPECT_EQ(fn("kernel_aot_source", {list({get("saxpy"), list({get("total"), unit})})})->get_string().size() > 0, true);
  EXPECT_FALSE(whole.empty());
  fn("kernel_aot_source", {i(5)});
  EXPECT_EQ(raised(), "kernel_aot_source expects kernels (std.kernel), units (std.kernel_unit) or lists of them");
  fn("kernel_aot_load", {s("/nonexistent/lib.so")});
  EXPECT_EQ(raised().substr(0, 17), "kernel_aot_load: ");
}

}  // namespace

namespace {

// launch gives the VM lock up while the lanes run: another thread takes it before the launch returns.
TEST_F(KernelScript, LaunchGivesTheVmLockUp) {
  krvvar_shared slow = fn("kernel_compile", {s("kernel u64 spin(u32 n) reduce(+) { u64 t = 0; for (u32 i = 0u; i < n; "
                                               "i++) { t += u64(i ^ gid); } return t; }")});
  ASSERT_EQ(raised(), "");
  krvvar_shared spin = method(slow, "get", {s("spin")});
  std::atomic<bool> launching{true}, taken_while_launching{false};
  // Tries without blocking, so a launch that kept the lock fails the test instead of hanging it.
  std::thread other([&] {
    while (launching.load() && !taken_while_launching.load()) {
      if (vm.state().lock.try_lock()) {
        taken_while_launching = launching.load();  // the launch cannot take the lock back meanwhile
        vm.state().lock.unlock();
      }
      std::this_thread::yield();
    }
  });
  method(spin, "launch", {i(4096), i(20000)});
  launching = false;
  other.join();
  EXPECT_EQ(raised(), "");
  EXPECT_TRUE(taken_while_launching.load());
}

// The thread budget over the host's own worker pool: what kernel_threads answers, and how many helper
// jobs a 16-item saxpy puts into the worker queue (its tail counts every push; JIT off, so nothing else
// is pushed) through launch and through launch_async. Its work is worth no helper (launch_runners.h):
// launch runs it on the launching thread, launch_async on the one helper it always asks for.
TEST_F(KernelScript, ThreadBudgetThroughTheWorkerQueue) {
  const struct {
    uint32_t workers;
    int64_t limit;
    int64_t budget;
    uint32_t launch_helpers, async_helpers;
  } cases[] = {
      {0, 0, 1, 0, 0}, {0, 5, 1, 0, 0}, {7, 0, 8, 0, 1}, {7, 3, 3, 0, 1}, {7, 100, 8, 0, 1}, {7, 1, 1, 0, 1},
  };
  krvvar_shared saxpy = get("saxpy");
  krvvar_shared y = buffer<float>(std::vector<float>(16, 0.0f)), x = buffer<float>(std::vector<float>(16, 1.0f));
  float expected = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.workers << " workers, limit " << c.limit);
    vm.start_workers(c.workers);
    EXPECT_EQ(fn("kernel_threads", {i(c.limit)})->int_value(), c.budget);
    const std::atomic<uint32_t>& pushed = vm.state().worker_queue.tail;
    const uint32_t before = pushed.load();
    method(saxpy, "launch", {i(16), y, x, f(1.0)});
    EXPECT_EQ(pushed.load() - before, c.launch_helpers);
    krvvar_shared job = method(saxpy, "launch_async", {i(16), y, x, f(2.0)});
    EXPECT_EQ(pushed.load() - before, c.launch_helpers + c.async_helpers);
    method(job, "wait");
    EXPECT_EQ(raised(), "");
    expected += 3.0f;
    EXPECT_EQ(element<float>(y, 0), expected);
    EXPECT_EQ(element<float>(y, 15), expected);
    EXPECT_EQ(bytes_of(y).write_holds + bytes_of(x).read_holds, 0u);
  }
  vm.stop_workers();
  // A thread without a VM has no queue: its budget is itself, whatever the limit.
  int64_t without_vm = 0;
  std::thread([&] {
    without_vm = fn("kernel_threads", {i(3)})->int_value();
    EXPECT_FALSE(krv_kernel_enqueue());
  }).join();
  EXPECT_EQ(without_vm, 1);
}

}  // namespace

namespace {

// An object lending 8 bytes of its own: read only when told, counting its holds per kind.
class lender : public krvobject<lender, CLASS_STRING<"test.bitmap">>, public krv_kernel_memory {
 public:
  static void script_register() {}
  void* query_interface(uint64_t hash) override {
    return hash == krvptr_type_hash<krv_kernel_memory>() ? static_cast<krv_kernel_memory*>(this) : nullptr;
  }
  bool get_memory(uint8_t** base, uint64_t* size, bool writable) override {
    if (writable && read_only) return false;
    *base = pixels;
    *size = sizeof pixels;
    return true;
  }
  void hold(bool writable, int delta) override { (writable ? write_holds : read_holds) += delta; }
  bool in_use(bool writable) override { return write_holds != 0 || (writable && read_holds != 0); }

  uint8_t pixels[8] = {};
  bool read_only = false;
  int read_holds = 0, write_holds = 0;
};

TEST_F(KernelScript, MemoryObjects) {
  krvptr_strong<lender> made = krvptr_strong<lender>::from_raw(new lender());
  lender& bitmap = *made;
  krvvar_shared value = krvvar_shared::make_object(std::move(made));
  krvvar_shared k = get("k");
  auto launch_k = [&] { return method(k, "launch_async", {i(2), value, i(3), i(0), i(0), f(0), i(0)}); };
  krvvar_shared job = launch_k();
  EXPECT_EQ(raised(), "");
  EXPECT_EQ(bitmap.write_holds, 1);
  launch_k();
  EXPECT_EQ(raised(), "kernel 'k': argument 1 ('f32* data') the test.bitmap is already used by another running kernel launch");
  method(job, "wait");
  EXPECT_EQ(bitmap.write_holds, 0);
  float first = 0;
  std::memcpy(&first, bitmap.pixels, sizeof first);
  EXPECT_EQ(first, 3.0f);
  bitmap.read_only = true;
  launch_k();
  EXPECT_EQ(raised(),
            "kernel 'k': argument 1 ('f32* data') the memory of test.bitmap is not writable (declare the parameter as const)");
  // Struct access: read-only memory reads but refuses writes.
  krvvar_shared stats = get("Stats");
  EXPECT_EQ(method(stats, "get", {value, i(0), s("sum")})->float_value(), 3.0);
  method(stats, "set", {value, i(0), s("n"), i(1)});
  EXPECT_EQ(raised(), "the memory is read only");
  method(stats, "write", {value, i(0), krvvar_shared::make_json()});
  EXPECT_EQ(raised(), "the memory is read only");
  EXPECT_EQ(bitmap.read_holds + bitmap.write_holds, 0);
}

}  // namespace

namespace {

// kernel_aot_source's file built by the C compiler and loaded with kernel_aot_load: the kernels then
// report 'aot' and still give their results.
TEST_F(KernelScript, AheadOfTimeEndToEnd) {
  krvk_jit_mode.store(KRVK_JIT_AUTO);
  krvk_jit_discover();  // else a loaded machine's slow discovery answers "" and the test would skip
  const std::string compiler = fn("kernel_jit_compiler")->get_string();
  if (compiler.empty()) GTEST_SKIP() << "no C compiler";
  krvvar_shared small = fn("kernel_compile", {s("kernel i64 aot_sum(const i32* x) reduce(+) { return i64(x[gid]) * 3; }")});
  const std::string source = fn("kernel_aot_source", {list({list({small})})})->get_string();
  ASSERT_EQ(raised(), "");
  const std::string base = ::testing::TempDir() + "kernel_script_aot_" + std::to_string(::getpid());
  FILE* file = std::fopen((base + ".c").c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fwrite(source.data(), 1, source.size(), file);
  std::fclose(file);
  const std::string build = compiler + " -O1 -shared -fPIC -DKRVK_AOT_SHARED -o " + base + ".so " + base + ".c -lm";
  ASSERT_EQ(std::system(build.c_str()), 0) << build;
  EXPECT_EQ(fn("kernel_aot_load", {s((base + ".so").c_str())})->int_value(), 1);
  krvvar_shared kernel = method(small, "get", {s("aot_sum")});
  EXPECT_EQ(method(kernel, "launch", {i(3), buffer<int32_t>({1, 2, 3})})->int_value(), 18);
  EXPECT_EQ(method(kernel, "jit_status")->get_string(), "aot");
  EXPECT_EQ(raised(), "");
  std::remove((base + ".c").c_str());
  std::remove((base + ".so").c_str());
}

// A launch whose runner could not set itself up has no result: finishing it raises the out-of-memory
// text and gives the holds back.
TEST_F(KernelScript, FailedLaunchIsOutOfMemory) {
  krvvar_shared total = get("total");
  krvvar_shared x = buffer<int32_t>({1, 2});
  std::vector<krvvar_shared> args{i(2), x};
  std::string error;
  auto state = krv_kernel_launch_bind(*total->object_ptr<krv_std_kernel>(), args, false, error);
  ASSERT_TRUE(state);
  state->launch->stop();
  state->launch->failed = 1;
  EXPECT_EQ(krv_kernel_launch_finish(*total->object_ptr<krv_std_kernel>(), *state)->type, KRVVAR_NONE);
  EXPECT_EQ(raised(), "kernel 'total': out of memory");
  EXPECT_EQ(bytes_of(x).read_holds, 0u);
}

}  // namespace
