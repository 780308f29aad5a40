// The fast forms: the numeric fast path (72) against its generic code, and the cached method call (73)
// against member access plus call preparation.
#include <gtest/gtest.h>

#include <cstring>

#include "runtime/exec/class_def.h"
#include "runtime/exec/program_block.h"
#include "runtime/exec/script_opcodes.h"
#include "runtime/exec/vm_fast_paths.h"
#include "runtime/values/value_records.h"
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
      {"x = x + y written into x", "numeric_fast_path end_form 1 0 0 step 0 0 0 step 0 0 2 step 4 0 0", KRVVAR_INT, 7},
  };
  for (const fast_case& c : cases) {
    SCOPED_TRACE(c.what);
    run(fast_path_program(c.header));
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
  // Byte offsets in the header: step count at 16, step 0's kind at 20 and index at 24.
  struct patch {
    const char* what;
    size_t offset;
    uint32_t value;
    size_t width;
  };
  const patch patches[] = {
      {"a step count above 16", 16, 17, 2},
      {"a constant index above 5", 32, 6, 4},
      {"an operator with too few numbers", 20, 4, 1},
      {"a slot index outside the locals", 24, 3, 4},
      {"a slot-reference entry outside its table", 20, 20, 1},
  };
  for (const patch& p : patches) {
    SCOPED_TRACE(p.what);
    // The header is the first instruction: x + 1 with the constant as step 1.
    assemble("block B0 4 locals 1\n  numeric_fast_path end_form 0 0 0 step 0 0 0 step 3 0 0 step 4 0 0 int 1\n"
             "  load_int 999\nend_form:\nend\n");
    std::memcpy(built->root->code.data() + p.offset, &p.value, p.width);
    run_started(start());
    EXPECT_EQ(result().payload.int_value, 999);
  }
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
