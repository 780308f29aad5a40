// The fast forms: the numeric fast path (72) against its generic code, and the cached method call (73)
// against member access plus call preparation.
#include <gtest/gtest.h>

#include <cstring>

#include "runtime/base/value_records.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/interp/script_opcodes.h"
#include "runtime/exec/interp/vm_fast_paths.h"
#include "runtime/objects/class_def.h"
#include "script_fixture.h"

namespace {

// x = 2 (local 0), s = "text" (local 1), y = 5 (local 2); the generic code after each header gives
// 999, so a result tells which path ran.
std::string fast_path_program(std::string_view header, std::string_view before = "") {
  return "block B0 4 locals 3\n  const string \"text\"\n  load_local 0\n  push_none\n  load_int 2\n  assign\n"
         "  load_local 1\n  push_none\n  load_const 0\n  assign\n  load_local 2\n  push_none\n  load_int 5\n  assign\n" +
         std::string(before) + "  " + std::string(header) + "\n  load_int 999\nend_form:\n" + "end\n";
}

class FastPath : public ScriptTest {};

struct fast_case {
  const char* what;
  const char* header;
  uint8_t type;
  double expected;
  const char* before = "";  // code run before the header
};

TEST_F(FastPath, NumericFastPathAgainstItsGenericCode) {
  const fast_case cases[] = {
      {"an int variable plus a float constant gives a float",
       "numeric_fast_path end_form 0 0 0 step 0 0 0 step 3 0 0 step 4 0 0 float 0.5", KRVVAR_FLOAT, 2.5},
      {"ints stay ints, in order", "numeric_fast_path end_form 0 0 0 step 2 0 2 step 3 0 0 step 5 0 0 int 7", KRVVAR_INT, -2},
      {"a comparison of an int and a float", "numeric_fast_path end_form 0 0 0 step 0 0 0 step 3 0 0 step 14 0 0 float 2.5",
       KRVVAR_INT, 1},
      {"negation and modulo", "numeric_fast_path end_form 0 0 0 step 0 0 2 step 18 0 0 step 3 0 0 step 8 0 0 int 3",
       KRVVAR_INT, -2},
      {"an int divisor of 0 falls back", "numeric_fast_path end_form 0 0 0 step 0 0 0 step 3 0 0 step 7 0 0 int 0",
       KRVVAR_INT, 999},
      {"a string operand falls back", "numeric_fast_path end_form 0 0 0 step 0 0 1 step 3 0 0 step 4 0 0 int 1",
       KRVVAR_INT, 999},
      {"a string target falls back", "numeric_fast_path end_form 1 0 1 step 0 0 0 step 3 0 0 step 4 0 0 int 1",
       KRVVAR_INT, 999},
      {"xor of a float falls back", "numeric_fast_path end_form 0 0 0 step 0 0 0 step 3 0 0 step 11 0 0 float 1.0",
       KRVVAR_INT, 999},
      // Operands folded into the operations that read them, in every position.
      {"a lone push", "numeric_fast_path end_form 0 0 0 step 0 0 2", KRVVAR_INT, 5},
      {"a variable under a result: y - x * 3 % 4",
       "numeric_fast_path end_form 0 0 0 step 0 0 2 step 0 0 0 step 3 0 0 step 6 0 0 step 3 0 1 step 8 0 0 step 5 0 0 "
       "int 3 int 4",
       KRVVAR_INT, 3},
      {"two results at once: (x + y) * (y - x)",
       "numeric_fast_path end_form 0 0 0 step 0 0 0 step 0 0 2 step 4 0 0 step 0 0 2 step 0 0 0 step 5 0 0 step 6 0 0",
       KRVVAR_INT, 21},
      {"a constant left of a variable, truncating: -7 / x",
       "numeric_fast_path end_form 0 0 0 step 3 0 0 step 0 0 0 step 7 0 0 int -7", KRVVAR_INT, -3},
      {"a negated constant", "numeric_fast_path end_form 0 0 0 step 3 0 0 step 18 0 0 int 4", KRVVAR_INT, -4},
      {"a divisor of -1 falls back", "numeric_fast_path end_form 0 0 0 step 0 0 2 step 3 0 0 step 8 0 0 int -1", KRVVAR_INT,
       999},
      {"a double in an integer variable is left to the steps",
       "numeric_fast_path end_form 0 0 0 step 0 0 0 step 3 0 0 step 4 0 0 int 1", KRVVAR_FLOAT, 1.5,
       "  load_local 0\n  push_none\n  load_float 0.5\n  assign\n"},
      // Last: the check after the table reads x.
      {"x = x + y written into x", "numeric_fast_path end_form 1 0 0 step 0 0 0 step 0 0 2 step 4 0 0", KRVVAR_INT, 7},
  };
  for (const fast_case& c : cases) {
    SCOPED_TRACE(c.what);
    run(fast_path_program(c.header, c.before));
    EXPECT_TRUE(errors().empty());
    ASSERT_EQ(result().type, c.type);
    if (c.type == KRVVAR_FLOAT)
      EXPECT_EQ(result().payload.float_value, c.expected);
    else
      EXPECT_EQ(result().payload.int_value, static_cast<int64_t>(c.expected));

    // The form again, 100 times, as the loop runs it: it applies exactly when it did above, and creates
    // no cell (the cell pool's count, A's cell and x's cell stay as they are).
    const uint8_t* header = built->root->code_begin;
    while (*header != KRV_OP_NUMERIC_FAST_PATH) header += krv_script_op_sizes[*header];
    krv_vm_context& frame = *task->root_frame();
    const uint64_t live = vm.state().var_pool.live;
    const krvvar* accumulator = &result();
    const krvvar* x = frame.locals[0].get();
    bool applied = false;
    krv_fast_number number{};
    for (int i = 0; i < 100; ++i) applied = vm_numeric_fast_path(frame, frame.local_limit(), header, number);
    EXPECT_EQ(applied, c.expected != 999);
    EXPECT_EQ(vm.state().var_pool.live, live);
    EXPECT_EQ(&result(), accumulator);
    EXPECT_EQ(frame.locals[0].get(), x);
  }
  // The target took all 100 additions in place.
  EXPECT_EQ(task->root_frame()->locals[0]->payload.int_value, 7 + 100 * 5);
  // The generic code of a zero divisor warns, as the fast path left it to.
  log.clear();
  run(fast_path_program("numeric_fast_path skip 0 0 0 step 0 0 0 step 3 0 0 step 7 0 0 int 0\n"
                        "  load_local 0\n  push_none\n  load_int 0\n  div\nskip:\n  jump end_form"));
  EXPECT_TRUE(said("Division by zero!"));
  EXPECT_EQ(result().payload.int_value, 0);
}

TEST_F(FastPath, TargetWrittenInPlaceForEveryHolder) {
  // A below holds x's cell: the fast path writes x = x + y into that very cell and A takes it too.
  run(fast_path_program("numeric_fast_path end_form 1 0 0 step 0 0 0 step 0 0 2 step 4 0 0\n  pop",
                        "  load_local 0\n  push_none\n"));
  ASSERT_EQ(result().type, KRVVAR_INT);
  EXPECT_EQ(result().payload.int_value, 7);
  EXPECT_EQ(&result(), task->root_frame()->locals[0].get());
}

TEST_F(FastPath, HeadersOutsideTheirBoundsFallBack) {
  // Byte offsets in the header: length at 4, target kind at 8 and index at 12, step count at 16, step
  // 0's kind at 20 and index at 24.
  struct patch {
    const char* what;
    size_t offset;
    uint64_t value;
    size_t width;
    uint8_t form;  // of the site made from the patched header
  };
  const patch patches[] = {
      {"a step count above 16", 16, 17, 2, KRV_FAST_SITE_REFUSED},
      {"a constant index above 5", 32, 6, 4, KRV_FAST_SITE_REFUSED},
      {"an operator with too few numbers", 20, 4, 1, KRV_FAST_SITE_REFUSED},
      {"two numbers left", 16, 2, 2, KRV_FAST_SITE_REFUSED},
      {"an unknown step kind", 36, 21, 1, KRV_FAST_SITE_REFUSED},
      {"a form longer than the code", 4, 4000, 4, KRV_FAST_SITE_REFUSED},
      {"a slot index outside the locals", 24, 3, 4, KRV_FAST_SITE_INTEGER},
      {"the largest slot index", 24, 0xFFFFFFFF, 4, KRV_FAST_SITE_INTEGER},
      {"a target local outside the locals", 8, 1 | uint64_t{3} << 32, 8, KRV_FAST_SITE_INTEGER},
      {"a slot-reference entry outside its table", 20, 20, 1, KRV_FAST_SITE_STEPS},
  };
  // x + 1 with x = 2 and the constant as step 1: 3 unpatched.
  const std::string text = fast_path_program("numeric_fast_path end_form 0 0 0 step 0 0 0 step 3 0 0 step 4 0 0 int 1");
  run(text);
  ASSERT_EQ(result().payload.int_value, 3);
  for (const patch& p : patches) {
    SCOPED_TRACE(p.what);
    assemble(text);
    std::vector<uint8_t> code = built->root->code;
    size_t header = 0;
    while (code[header] != KRV_OP_NUMERIC_FAST_PATH) header += krv_script_op_sizes[code[header]];
    std::memcpy(code.data() + header + p.offset, &p.value, p.width);
    // Sites are made from the code as it is installed.
    built->root->set_code(std::move(code));
    run_started(start());
    EXPECT_EQ(result().payload.int_value, 999);
    ASSERT_EQ(built->root->fast_path_sites.size(), 1u);
    EXPECT_EQ(built->root->fast_path_sites[0].form, p.form);
  }
}

// x = 2 (local 0), s = "text" (local 1), y = 5 (local 2), then `code`; A holds y's cell before it.
std::string sites_program(const std::string& code) {
  return "block B0 4 locals 3\n  const string \"text\"\n  load_local 0\n  push_none\n  load_int 2\n  assign\n"
         "  load_local 1\n  push_none\n  load_const 0\n  assign\n"
         "  load_local 2\n  push_none\n  load_int 5\n  assign\n" + code + "end\n";
}
// while x < limit: y = y + x; x = x + 1 (each generic part gives 999, which would end the loop early).
std::string sites_loop(int limit) {
  return "top:\n  numeric_fast_path c_end 0 0 0 step 0 0 0 step 3 0 0 step 14 0 0 int " + std::to_string(limit) +
         "\n  load_int 999\nc_end:\n  jump_false done\n"
         "  numeric_fast_path y_end 1 0 2 step 0 0 2 step 0 0 0 step 4 0 0\n  load_int 999\ny_end:\n"
         "  numeric_fast_path x_end 1 0 0 step 0 0 0 step 3 0 0 step 4 0 0 int 1\n  load_int 999\nx_end:\n"
         "  jump top\ndone:\n";
}

TEST_F(FastPath, RunsOfSitesLeaveWhatTheirInstructionsLeave) {
  const std::string x_plus_1 =
      "  numeric_fast_path x_end 1 0 0 step 0 0 0 step 3 0 0 step 4 0 0 int 1\n  load_int 999\nx_end:\n";
  const std::string y_plus_x = "  numeric_fast_path y_end 1 0 2 step 0 0 2 step 0 0 0 step 4 0 0\n  load_int 999\ny_end:\n";
  struct run_case {
    const char* what;
    std::string code;
    int64_t x, y, accumulator;
    int accumulator_local;  // the local whose cell A holds afterwards, -1 for none
  };
  const run_case cases[] = {
      {"a loop of sites, A keeping the failed test", sites_loop(10), 10, 5 + 44, 0, -1},
      {"two targets in a row, A a scratch cell before: A takes the last",
       "  load_int 1\n" + x_plus_1 + y_plus_x, 3, 8, 8, 2},
      {"a target and a jump over generic code, A holding y before: A takes the target",
       "  numeric_fast_path x_end 1 0 0 step 0 0 0 step 0 0 2 step 4 0 0\n  load_int 999\nx_end:\n  jump out\n"
       "  load_int 999\nout:\n",
       7, 5, 7, 0},
      {"a run stopped by a site that does not apply",
       x_plus_1 + "  numeric_fast_path s_end 0 0 0 step 0 0 1 step 3 0 0 step 4 0 0 int 1\n  load_int 999\ns_end:\n",
       3, 5, 999, -1},
  };
  for (const run_case& c : cases) {
    SCOPED_TRACE(c.what);
    run(sites_program(c.code));
    EXPECT_TRUE(errors().empty());
    const krv_vm_context& frame = *task->root_frame();
    EXPECT_EQ(frame.locals[0]->payload.int_value, c.x);
    EXPECT_EQ(frame.locals[2]->payload.int_value, c.y);
    ASSERT_EQ(result().type, KRVVAR_INT);
    EXPECT_EQ(result().payload.int_value, c.accumulator);
    for (int local = 0; local < 3; ++local)
      EXPECT_EQ(&result() == frame.locals[local].get(), local == c.accumulator_local) << "local " << local;
  }
  // A hundred times the iterations leave as many cells alive: the loop creates none.
  run(sites_program(sites_loop(10)));
  const uint64_t live = vm.state().var_pool.live;
  run(sites_program(sites_loop(1000)));
  EXPECT_EQ(vm.state().var_pool.live, live);
}

// Vec(3, 4) with the method sum; the 73 site uses cache entry 0, its generic member access entry 1.
constexpr std::string_view cached_call = R"(string "x"
string "y"
string "sum"
class K0 "Vec" default B1
member K0 "x" 0
member K0 "y" 1
member K0 "sum" 0 method
method K0 0 B2
block B0 4 locals 1 caches 2
  const class K0
  load_local 0
  push_none
  load_const 0
  call_prepare 2
  load_int 3
  call_arg 0
  load_int 4
  call_arg 1
  call
  assign
  load_local 0
  cached_method_call after 2 0 0 ARGC 0 1 null
  member 2 1 null 0
  call_prepare 0
after:
  call
end
block B1 1 child B0 params 2 locals 2 class K0
  new_instance
end
block B2 1 child B0
  load_context
  context_member 0 0
  push_none
  load_context
  context_member 1 0
  add
end
)";

TEST_F(FastPath, CachedMethodCallMatchesItsGenericCode) {
  struct call_case {
    const char* what;
    const char* argc;
    bool noexcept_method;
    uint32_t captured;
    bool fast;
  };
  const call_case cases[] = {
      {"a plain method", "0", false, 0, true},
      {"a noexcept method", "0", true, 0, false},
      {"a method with captured values", "0", false, 1, false},
      {"an argument count the method does not take", "1", false, 0, false},
  };
  for (const call_case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string text(cached_call);
    text.replace(text.find("ARGC"), 4, c.argc);
    assemble(text);
    krvvar& sum = *krv_class_of(*built->root->constants[0])->methods[0];
    krv_program_block& method = *static_cast<krvvar_function_record*>(sum.payload.record)->function.get();
    method.is_noexcept = c.noexcept_method ? 1 : 0;
    method.captured_count = c.captured;
    run_started(start());
    EXPECT_TRUE(errors().empty());
    ASSERT_EQ(result().type, KRVVAR_INT);
    EXPECT_EQ(result().payload.int_value, 7);
    // The generic member access fills its own cache entry only when it ran.
    EXPECT_EQ(built->root->member_cache[1].klass == nullptr, c.fast);
  }
}

}  // namespace
