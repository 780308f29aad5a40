// The interpreter loop and the value operators: leaving rules, instruction sizes, the accumulator rule,
// malformed code, and a table of operator results with their warnings and errors.
#include <cstring>
#include <limits>

#include "runtime/exec/interp/script_opcodes.h"
#include "runtime/exec/task/task_status.h"
#include "runtime/storage/json_object.h"
#include "script_fixture.h"

namespace {

using Interpreter = ScriptTest;

// The root frame of a started task, run once by the interpreter.
uint32_t execute_root(krv_task& task) { return vm_execute_block(*task.root_frame()->block, *task.root_frame()); }

TEST_F(Interpreter, LeavesByItsStatusRules) {
  // An empty block ends at once.
  assemble("block B0 4\nend\n");
  krv_task& empty = start();
  EXPECT_EQ(execute_root(empty), KRV_STATUS_FINISHED);
  EXPECT_EQ(empty.root_frame()->in_progress, 0);

  // A status set by a native before the code ends is returned as it is, the offset saved, even 64.
  assemble("native N0 \"park\" 0 0\nblock B0 4\n  args_open 0\n  call_native @N0\n  load_int 1\nend\n");
  bind("park", [](krv_vm_context& frame, std::vector<krvvar_shared>&) {
    frame.status = KRV_STATUS_FINISHED;
    return krvvar_shared::make_none();
  });
  krv_task& parked = start();
  EXPECT_EQ(execute_root(parked), KRV_STATUS_FINISHED);
  EXPECT_EQ(parked.root_frame()->in_progress, 1);
  EXPECT_EQ(parked.root_frame()->saved_offset, 24u);

  // Opcode 0 and opcodes past 73 are refused where they stand.
  for (int opcode : {0, 74, 255}) {
    assemble("block B0 4\nend\n");
    built->root->set_code({static_cast<uint8_t>(opcode)});
    krv_task& bad = start();
    EXPECT_EQ(execute_root(bad), KRV_STATUS_ERROR);
    EXPECT_EQ(bad.root_frame()->in_progress, 1) << opcode;  // not advanced: stopped before the code's end
    EXPECT_EQ(bad.root_frame()->saved_offset, 0u) << opcode;
    EXPECT_TRUE(reported("invalid instruction: " + std::to_string(opcode)));
  }
  // Without the VM lock the raise only logs, and the refused instruction still ends the run.
  assemble("block B0 4\nend\n");
  built->root->set_code({0, 0});
  krv_task& unlocked = start();
  lock.reset();
  EXPECT_EQ(execute_root(unlocked), KRV_STATUS_ERROR);
  lock.emplace();
  // A truncated instruction is refused without reading past the code.
  assemble("block B0 4\nend\n");
  built->root->set_code({KRV_OP_LOAD_INT, 0, 0});
  EXPECT_EQ(execute_root(start()), KRV_STATUS_ERROR);
  EXPECT_EQ(task->root_frame()->saved_offset, 0u);
  EXPECT_EQ(task->root_frame()->in_progress, 1);
}

// Every opcode built here, followed by a return: the return must be found right after it.
TEST_F(Interpreter, EachInstructionAdvancesByItsSize) {
  struct instruction_case {
    const char* setup;        // lines before the instruction
    const char* instruction;  // the instruction under test
    uint32_t status;          // 2 when the return runs, 16 for instructions that enter a frame
  };
  const char* const two = "load_int 6\npush_none\nload_int 3\n";  // operands of a binary operator
  const instruction_case cases[] = {
      {"", "load_local 0", 2},          {"", "load_local_flags 0", 2},   {"", "load_const 0", 2},
      {"", "load_frame_local 0 0", 2},  {"", "load_frame_const 0 0", 2}, {"", "load_global 0", 2},
      {"", "load_global_const 0", 2},   {"", "load_int -3", 2},          {"", "load_float 2.5", 2},
      {"", "load_string 0", 2},         {"", "load_function 0", 2},      {"", "load_native @N0", 2},
      {"", "load_cell $C0", 2},         {"", "load_none", 2},
      {"load_function 0\npush_none\n", "capture 0", 2},
      {"load_function 0\npush_none\n", "capture_ref", 2},
      {"", "push_none", 2},             {"", "dup", 2},                  {"push_none\n", "pop", 2},
      {"push_none\n", "assign", 2},     {"load_int 1\n", "negate", 2},               {"", "not", 2},
      {"", "make_ref", 2},              {"", "deref", 2},                {two, "add", 2},
      {two, "sub", 2},                  {two, "mul", 2},                 {two, "div", 2},
      {two, "and", 2},                  {two, "or", 2},                  {two, "xor", 2},
      {"", "inc 0", 2},                 {"", "dec 1", 2},                {two, "eq 1", 2},
      {two, "gt 0", 2},                 {two, "lt 1", 2},                {"", "to_bool", 2},
      {"", "args_open 2", 2},           {"args_open 1\n", "arg 0", 2},   {"args_open 1\n", "arg_copy 0", 2},
      {"args_open 1\n", "arg_cell 0", 2}, {"args_open 0\n", "call_native @N0", 2}, {"", "args_release", 2},
      {"load_native @N0\n", "call_prepare 0", 2},
      {"load_native @N0\ncall_prepare 0\n", "call", 2},
      {"load_function 0\ncall_prepare 1\n", "call_arg 0", 2},
      {"", "run_child 0", 16},          {"", "catch 0", 2},              {"", "run_body", 16},
      {"", "set_context", 2},           {"", "member_or_zero 0", 2},     {"push_none\n", "append", 2},
      {"", "new_json", 2},              {"", "release_contents", 2},     {two, "mod", 2},
      {"", "bit_not", 2},
  };
  for (const instruction_case& c : cases) {
    const std::string head =
        "string \"s\"\nnative N0 \"f\" 0 1\ncell C0 int 1\nblock B0 4 locals 1\n  const int 4\n";
    const std::string body = std::string(c.setup) + c.instruction + "\n";
    assemble(head + body + "end\nblock B1 1 child B0 params 1 locals 1\nend\nblock B2 0 body B0\nend\n");
    const uint32_t size = built->root->code_size();
    assemble(head + body + "return\nend\nblock B1 1 child B0 params 1 locals 1\nend\nblock B2 0 body B0\nend\n");
    bind("f", [](krv_vm_context&, std::vector<krvvar_shared>&) { return krvvar_shared::make_int(1); });
    krv_task& started = start();
    EXPECT_EQ(execute_root(started), c.status) << c.instruction;
    EXPECT_EQ(started.root_frame()->saved_offset, c.status == 2 ? size + 1 : size) << c.instruction;
    EXPECT_TRUE(errors().empty()) << c.instruction << ": " << (errors().empty() ? "" : errors().front());
    log.clear();
  }
}

TEST_F(Interpreter, IntegerLoadsReuseOnlyAnUnsharedAccumulator) {
  // Shared with local 0: a new cell, the local keeps its value.
  run("block B0 4 locals 1\n  load_int 5\n  push_none\n  load_local 0\n  push_none\n  load_int 5\n  assign\n"
      "  pop\n  load_local 0\n  load_int 7\nend\n");
  EXPECT_EQ(task->root_frame()->locals[0]->payload.int_value, 5);
  EXPECT_EQ(result().payload.int_value, 7);
  // Unshared: the same cell takes the integer, then the float.
  assemble("block B0 4\n  load_int 7\n  load_float 0.5\nend\n");
  krv_task& started = start();
  const krvvar* before = started.value_stack.back().get();
  execute_root(started);
  EXPECT_EQ(started.value_stack.back().get(), before);
  EXPECT_EQ(result().type, KRVVAR_FLOAT);
}

TEST_F(Interpreter, MalformedCodeRaisesAndWritesNothing) {
  struct malformed_case {
    const char* code;
    const char* message;
  };
  const malformed_case cases[] = {
      {"pop", "invalid variable."},
      {"load_local 3", "invalid variable."},
      {"load_const 1", "invalid variable."},
      {"load_frame_local 1 0", "invalid variable."},
      {"load_frame_const 0 9", "invalid variable."},
      {"load_string 4", "invalid variable."},
      {"load_function 2", "invalid variable."},
      {"capture 0", "invalid variable."},
      {"capture_ref", "invalid variable."},
      {"assign", "invalid variable."},
      {"arg 0", "index out of range!"},
      {"args_open 1\n  arg_cell 1", "index out of range!"},
      {"call_arg 0", "index out of range!"},
      {"call", "index out of range!"},
      {"default_arg 0", "invalid variable."},
      {"run_child 3", "invalid variable."},
      {"args_open 70000", "index out of range!"},
      {"member 5 0 null 0", "invalid variable."},
  };
  for (const malformed_case& c : cases) {
    run("string \"s\"\nblock B0 4 locals 1\n  const int 2\n  load_int 42\n  " + std::string(c.code) + "\nend\n", false);
    EXPECT_TRUE(reported(c.message)) << c.code;
    EXPECT_EQ(result().type, KRVVAR_INT) << c.code;
    EXPECT_EQ(result().payload.int_value, 42) << c.code;
    EXPECT_EQ(task->value_stack.size(), 1u) << c.code;
    log.clear();
  }
}

TEST_F(Interpreter, GlobalsNeedAGlobalFrame) {
  for (const char* load : {"load_global 0", "load_global_const 0"}) {
    assemble("block B0 4 locals 1\n  const int 1\n  load_int 3\n  " + std::string(load) + "\nend\n");
    krv_task& started = start();
    started.root_frame()->scope = nullptr;
    EXPECT_EQ(execute_root(started), KRV_STATUS_ERROR);
    EXPECT_TRUE(reported("No global scope!"));
    const std::vector<std::string> lines = errors();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
              (std::vector<std::string>{"No global scope: 0 : 0", "Addr: 0", "Blocks: 1", "Name: "}));
    EXPECT_EQ(result().payload.int_value, 3);
    log.clear();
  }
}

// Reports place an error at the instruction that raised it, also when the instructions before it
// (loads, integer arithmetic) leave the frame's instruction pointer alone on their fast paths.
TEST_F(Interpreter, ReportsNameTheFailingInstructionsLine) {
  for (const char* code : {"load_local 7", "push_none\n  load_string 0\n  sub"}) {
    run("string \"s\"\nsource S0 \"main.krv\"\nline S0 1 \"a = 1 + 2\"\nline S0 2 \"b = c\"\n"
        "block B0 4 locals 1\n  pos S0 1 0\n  new_json\n  load_int 1\n  push_none\n  load_int 2\n  add\n"
        "  pos S0 2 4\n  " + std::string(code) + "\nend\n", false);
    EXPECT_TRUE(reported("main.krv --> Line 2, Index 4")) << code;
    EXPECT_FALSE(reported("Line 1")) << code;
    log.clear();
  }
}

struct operator_case {
  const char* left;       // load lines of the left operand
  const char* op;         // the operator instruction
  const char* right;      // load lines of the right operand
  const char* result;     // result as type:text
  const char* diagnostic; // expected warning or error text; empty for none
};

// The integer elements of a container value.
std::vector<int64_t> elements(krvvar& value) {
  std::vector<int64_t> out;
  if (const krv_std_json* container = value.object_ptr<krv_std_json>())
    for (const krv_std_json_entry& entry : container->entries) out.push_back(entry.value->int_value());
  return out;
}

std::string type_and_text(krvvar& value) {
  return std::string(krvvar_type_name(value.type)) + ":" + value.get_string();
}

TEST_F(Interpreter, OperatorsFollowTheirTypeRules) {
  const operator_case cases[] = {
      {"load_int 7", "div", "load_int 0", "int:0", "Division by zero!"},
      {"load_float 7.0", "div", "load_int 0", "float:0.000000", "Division by zero!"},
      {"load_int 7", "mod", "load_int 0", "int:0", "Modulo by zero!"},
      {"load_float 7.5", "mod", "load_float 0.0", "float:0.000000", "Modulo by zero!"},
      {"load_float 1.0", "div", "load_float -0.0", "float:0.000000", "Division by zero!"},
      {"load_float 1.0", "div", "load_float nan", "float:nan", ""},
      {"load_int -9223372036854775808", "div", "load_int -1", "int:-9223372036854775808", ""},
      {"load_int -9223372036854775808", "mod", "load_int -1", "int:0", ""},
      {"load_int 9", "mod", "load_int -1", "int:0", ""},
      {"load_int -7", "mod", "load_int 3", "int:-1", ""},
      {"load_float -7.5", "mod", "load_int 2", "float:-1.500000", ""},
      {"load_int 9223372036854775807", "add", "load_int 1", "int:-9223372036854775808", ""},
      {"load_int 7", "div", "load_int 2", "int:3", ""},
      {"load_int 3", "mul", "load_float 0.5", "float:1.500000", ""},
      {"load_string 0", "add", "load_int 1", "string:a1", ""},
      {"load_int 1", "add", "load_string 0", "string:1a", ""},
      {"load_string 1", "sub", "load_int 1", "none:", "Sub invalid type: 5"},
      {"load_none", "add", "load_none", "none:", "Add invalid type: 1"},
      {"load_int 6", "and", "load_int 3", "int:2", ""},
      {"load_int 6", "xor", "load_int 3", "int:5", ""},
      {"load_int 2", "lt 1", "load_int 2", "int:1", ""},
      {"load_int 2", "gt 0", "load_float 1.5", "int:1", ""},
      {"load_string 0", "eq 1", "load_string 0", "int:0", ""},
      {"load_function 0", "negate", "", "none:", "Cannot negate type 12"},
      {"load_int -9223372036854775808", "negate", "", "int:-9223372036854775808", ""},
      {"load_int 5", "bit_not", "", "int:-6", ""},
  };
  for (const operator_case& c : cases) {
    std::string code = std::string(c.left) + "\n";
    if (*c.right != '\0') code += "push_none\n" + std::string(c.right) + "\n";
    code += std::string(c.op) + "\n";
    run("string \"a\"\nstring \"abc\"\nblock B0 4\n" + code + "end\nblock B1 1 child B0\nend\n");
    EXPECT_EQ(type_and_text(result()), c.result) << c.left << " " << c.op << " " << c.right;
    if (*c.diagnostic == '\0')
      EXPECT_TRUE(warnings().empty() && errors().empty()) << c.left << " " << c.op << " " << c.right;
    else
      EXPECT_TRUE(said(c.diagnostic)) << c.left << " " << c.op << " " << c.right;
    log.clear();
  }
}

TEST_F(Interpreter, AddingListsMakesANewContainerAndIncrementsKeepTheirForm) {
  // Two lists added: a new container, the operands unchanged.
  run("block B0 4 locals 3\n"
      "  load_local 0\n  push_none\n  load_int 1\n  append\n  push_none\n  load_int 2\n  append\n"
      "  load_local 1\n  push_none\n  load_int 3\n  append\n"
      "  load_local 0\n  push_none\n  load_local 1\n  add\nend\n");
  EXPECT_EQ(elements(result()), (std::vector<int64_t>{1, 2, 3}));
  EXPECT_EQ(elements(*task->root_frame()->locals[0]), (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(elements(*task->root_frame()->locals[1]), (std::vector<int64_t>{3}));
  // x++ leaves the old value and counts x up; ++x leaves x itself.
  run("block B0 4 locals 1\n  load_local 0\n  push_none\n  load_int 5\n  assign\n  inc 1\nend\n");
  EXPECT_EQ(result().payload.int_value, 5);
  EXPECT_EQ(task->root_frame()->locals[0]->payload.int_value, 6);
  EXPECT_NE(task->value_stack.back().get(), task->root_frame()->locals[0].get());
  run("block B0 4 locals 1\n  load_local 0\n  push_none\n  load_int 5\n  assign\n  inc 0\nend\n");
  EXPECT_EQ(task->value_stack.back().get(), task->root_frame()->locals[0].get());
  EXPECT_EQ(result().payload.int_value, 6);
}

// The pairs the loop runs in one dispatch (push_none and a load, an integer operator and assign, a
// comparison or a numeric fast path and jump_false) leave what their two instructions leave, and fall
// back where those would.
TEST_F(Interpreter, PairsInOneDispatchLeaveWhatTheirInstructionsLeave) {
  struct pair_case {
    const char* what;
    const char* code;
    const char* x;            // local 0 afterwards, type:text
    const char* accumulator;  // A afterwards, type:text
    bool bad_jump;            // the jump's offset patched to leave the code
  };
  const pair_case cases[] = {
      {"x = x + 1", "load_local 0\n  push_none\n  load_int 41\n  assign\n"
       "  load_local 0\n  push_none\n  load_local 0\n  push_none\n  load_int 1\n  add\n  assign",
       "int:42", "int:42", false},
      {"a text target takes the sum through assign's general path",
       "load_local 0\n  push_none\n  load_const 0\n  assign\n  load_local 0\n  push_none\n  load_int 1\n"
       "  push_none\n  load_int 2\n  mul\n  assign",
       "int:2", "int:2", false},
      {"a test that fails jumps, A keeping the result",
       "load_int 2\n  push_none\n  load_int 1\n  lt 0\n  jump_false skip\n  load_int 7\nskip:", "none:", "int:0", false},
      {"a test that holds falls through", "load_int 1\n  push_none\n  load_int 2\n  lt 0\n  jump_false skip\n  load_int 7\nskip:",
       "none:", "int:7", false},
      {"a fast-path test that fails jumps",
       "numeric_fast_path c_end 0 0 0 step 3 0 0 step 3 0 1 step 14 0 0 int 2 int 1\n  load_int 999\nc_end:\n"
       "  jump_false skip\n  load_int 7\nskip:",
       "none:", "int:0", false},
      {"a fast-path test's jump out of the code is refused where it stands",
       "numeric_fast_path c_end 0 0 0 step 3 0 0 step 3 0 1 step 14 0 0 int 2 int 1\n  load_int 999\nc_end:\n"
       "  jump_false skip\n  load_int 7\nskip:",
       "none:", "int:0", true},
      {"a jump out of the code is refused where it stands",
       "load_int 2\n  push_none\n  load_int 1\n  lt 0\n  jump_false skip\n  load_int 7\nskip:", "none:", "int:0", true},
  };
  for (const pair_case& c : cases) {
    SCOPED_TRACE(c.what);
    assemble("block B0 4 locals 1\n  const string \"s\"\n  " + std::string(c.code) + "\nend\n");
    krv_program_block& block = *built->root;
    size_t jump = 0;
    while (jump < block.code.size() && block.code[jump] != KRV_OP_JUMP_FALSE) jump += krv_script_op_sizes[block.code[jump]];
    if (c.bad_jump) {
      // Installed again: the fast-path sites are made from the code as it is installed.
      std::vector<uint8_t> code = block.code;
      const int32_t past_end = 1000;
      std::memcpy(code.data() + jump + 4, &past_end, sizeof past_end);
      block.set_code(std::move(code));
    }
    krv_task& started = start();
    EXPECT_EQ(execute_root(started), c.bad_jump ? KRV_STATUS_ERROR : KRV_STATUS_FINISHED);
    EXPECT_EQ(reported("invalid instruction: 56"), c.bad_jump);
    if (c.bad_jump) {
      EXPECT_EQ(started.root_frame()->saved_offset, jump);
    }
    EXPECT_EQ(type_and_text(*started.root_frame()->locals[0]), c.x);
    EXPECT_EQ(type_and_text(result()), c.accumulator);
    EXPECT_EQ(started.value_stack.size(), 1u);
    log.clear();
  }
}

}  // namespace
