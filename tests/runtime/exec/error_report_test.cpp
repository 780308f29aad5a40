// Runtime error and warning reports, byte for byte: framing, the source excerpt with its caret and
// include trace, the stack entries of deep stacks, catching, and the degraded forms.
#include "exec_fixture.h"
#include "runtime/exec/interp/runtime_error.h"
#include "runtime/exec/interp/source_excerpt.h"
#include "runtime/exec/task/scope.h"

namespace {

const std::string rule(60, '-');

TEST(ErrorText, IsFramedByStarsAsLongAsItsFirstLine) {
  EXPECT_EQ(krv_frame_error_text("bad\nmore detail"), "\n***\nbad\nmore detail\n***\n\n");
  EXPECT_EQ(krv_frame_error_text(""), "\n\n\n\n\n");
}

TEST(PathFileName, TakesThePartAfterTheLastSeparatorOfEitherKind) {
  struct row {
    std::string path, name, normalised;
  };
  const row table[] = {
      {"C:\\scripts\\lib\\main.krv", "main.krv", "C:/scripts/lib/main.krv"},
      {"/home/user/main.krv", "main.krv", "/home/user/main.krv"},
      {"name", "name", "name"},
      {"dir/", "", "dir/"},
      {"", "", ""},
  };
  for (row r : table) {
    EXPECT_EQ(path_file_name(r.path), r.name);
    EXPECT_EQ(r.path, r.normalised);  // backslashes are replaced in place
  }
}

TEST(SourceExcerpt, ShowsTheTrimmedLineWithACaretOnlyInsideIt) {
  struct row {
    std::string line_text;
    uint32_t index;
    std::string shown, caret;
  };
  const row table[] = {
      {"    let x = y;", 12, " 12 | let x = y;\n", "    |         ^~~~~\n"},
      // An index before the first non-blank character keeps the line as it is.
      {"    let x = y;", 2, " 12 |     let x = y;\n", "    |   ^~~~~\n"},
      // An index past the (trimmed) text: no caret.
      {"  f()", 7, " 12 | f()\n", ""},
      {"      ", 3, " 12 |       \n", "    |    ^~~~~\n"},
  };
  for (const row& r : table) {
    const std::string expected = "Runtime Error\n" + rule + "\n  --> main.krv:12:" + std::to_string(r.index) +
                                 "\n    |\n" + r.shown + r.caret + "    |\nMSG<trace>\n" + rule;
    EXPECT_EQ(krv_format_source_excerpt("Runtime Error", "main.krv", 12, r.index, r.line_text, "MSG", "<trace>"),
              expected)
        << r.line_text << " @" << r.index;
  }
}

class Reports : public ExecTest {
 protected:
  // A source record, kept by the program.
  krv_source_record& add_source(const std::string& path, krv_source_record* included_by = nullptr) {
    auto source = krvptr_strong<krv_source_record>::from_raw(new krv_source_record());
    source->path = path;
    if (included_by != nullptr) source->included_by = krvptr_weak<krv_source_record>::from_raw(included_by);
    program->sources.push_back(source);
    return *source;
  }
  // Places the instruction at `offset` of `block` at line and index of `source`.
  void place(krv_program_block& block, uint32_t offset, krv_source_record& source, uint32_t line, uint32_t index) {
    auto position = krvptr_strong<krv_source_position>::from_raw(new krv_source_position());
    position->line = line;
    position->index = index;
    position->source = krvptr_weak<krv_source_record>::from_raw(&source);
    program->positions.push_back(position);
    block.positions[offset] = krvptr_weak<krv_source_position>(position);
  }
  // Pushes a frame of `block` standing at `offset` onto `task`.
  // (The root block's frame is the task's own root frame.)
  krv_vm_context& push_frame(krv_task& task, krv_program_block& block, uint32_t offset) {
    krv_vm_context* frame = &block == task.block.get() ? task.root_frame() : nullptr;
    if (frame == nullptr) {
      frame = krv_vm_context::create(&task, &task, &block);
      task.frames.push_back(frame);
    }
    frame->saved_offset = offset;
    return *frame;
  }
  // A zeroed code stream, so instruction pointers can point into it.
  static void give_code(krv_program_block& block) { block.set_code(std::vector<uint8_t>(16, 0)); }
};

TEST_F(Reports, AnUncaughtErrorPrintsTheExcerptAndLeavesTheMessage) {
  krv_source_record& source = add_source("C:\\proj\\main.krv");
  source.lines[3] = "  value = other + 1;\nrest";
  krvptr_strong<krv_task> task = make_current_root();
  krv_program_block& block = *task->block;
  give_code(block);
  place(block, 0, source, 3, 10);
  task->root_frame()->ip = block.code_begin + 4;

  krv_raise_error("Cannot add '", "int", "' and '", "none", "'");
  const std::string message = "Cannot add 'int' and 'none'";
  const std::string expected = "Runtime Error\n" + rule +
                               "\n --> main.krv:3:10\n   |\n 3 | value = other + 1;\n   |         ^~~~~\n   |\n" +
                               framed(message) + "main.krv --> Line 3, Index 10\n\n>>> C:\\proj\\main.krv\n" + rule;
  EXPECT_EQ(errors(), (std::vector<std::string>{expected}));
  EXPECT_EQ(task->root_frame()->status, 128u);
  EXPECT_EQ(task->error_value->get_string(), message);
}

TEST_F(Reports, TheTraceListsTheIncludeChainRootFirst) {
  krv_source_record& root_file = add_source("/src/app.krv");
  krv_source_record& middle = add_source("/src/lib/util.krv", &root_file);
  krv_source_record& leaf = add_source("C:\\inc\\math.krv", &middle);
  leaf.lines[7] = "x";
  krvptr_strong<krv_source_position> position = krvptr_strong<krv_source_position>::from_raw(new krv_source_position());
  position->line = 7;
  position->index = 0;
  position->source = krvptr_weak<krv_source_record>::from_raw(&leaf);
  krv_print_call_stack_warning(*position, "W");
  const std::string trace =
      "app.krv\n   |-- util.krv\n      |-- math.krv\n         `--> Line 7, Index 0\n"
      "\n>>> /src/app.krv\n>>> /src/lib/util.krv\n>>> C:\\inc\\math.krv";
  EXPECT_EQ(warnings(), (std::vector<std::string>{"Runtime Warning\n" + rule + "\n --> math.krv:7:0\n   |\n 7 | x\n   | ^~~~~\n   |\nW" +
                                                  trace + "\n" + rule}));
}

TEST_F(Reports, ADeepStackPrintsItsFirstTenAndLastTwentyFrames) {
  krv_source_record& source = add_source("deep.krv");
  // Frames point at their blocks without counting: the blocks outlive the task here.
  std::vector<krvptr_strong<krv_program_block>> blocks;
  krvptr_strong<krv_task> task = make_current_root();
  for (uint32_t i = 0; i < 40; ++i) {
    source.lines[i + 1] = "f" + std::to_string(i);
    krvptr_strong<krv_program_block> block = i == 0 ? task->block : make_block(KRV_BLOCK_FUNCTION);
    // Callers resume after their call: their entry is the position before the resume offset.
    place(*block, 0, source, i + 1, 0);
    place(*block, 8, source, 100, 0);
    push_frame(*task, *block, i == 39 ? 0 : 8);
    blocks.push_back(block);
  }
  krv_raise_error("deep");
  const std::vector<std::string> lines = errors();
  ASSERT_EQ(lines.size(), 31u);
  auto entry_of = [&](uint32_t frame) {
    const std::string n = std::to_string(frame + 1);
    const std::string pad(n.size(), ' ');
    const std::string message = frame == 39 ? framed("deep") : "";
    return "Runtime Error\n" + rule + "\n" + pad + "--> deep.krv:" + n + ":0\n" + pad + "  |\n " + n + " | f" +
           std::to_string(frame) + "\n" + pad + "  | ^~~~~\n" + pad + "  |\n" + message + "deep.krv --> Line " + n +
           ", Index 0\n\n>>> deep.krv\n" + rule;
  };
  for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(lines[i], entry_of(i));
  EXPECT_EQ(lines[10], "... 10 more frames ...");
  for (uint32_t i = 20; i < 40; ++i) EXPECT_EQ(lines[i - 9], entry_of(i));
}

// Each caller's entry names the line of its call, whose frame resumes just after it: root line 5 calls
// f; f's line 2 prints and its line 3 (from offset 8) calls g, whose line 4 fails.
TEST_F(Reports, ACallersEntryNamesTheLineOfItsCall) {
  krv_source_record& source = add_source("calls.krv");
  for (uint32_t line = 2; line <= 5; ++line) source.lines[line] = "s";
  krvptr_strong<krv_program_block> f = make_block(KRV_BLOCK_FUNCTION), g = make_block(KRV_BLOCK_FUNCTION);
  place(*f, 0, source, 2, 0);
  place(*f, 8, source, 3, 0);
  place(*g, 0, source, 4, 0);
  const struct {
    uint32_t f_resumes_at;  // 12: more of the call's statement follows; 16: the call ends the block
    uint32_t depth;         // frames of f, each calling the next (a recursion), the last calling g
    std::string lines;      // the lines the entries name
  } cases[] = {{12, 1, "534"}, {16, 1, "534"}, {16, 3, "53334"}};
  std::vector<krvptr_strong<krv_task>> tasks;  // each row's, kept: the next one's parent is the current task
  for (const auto& c : cases) {
    log.clear();
    krv_task& task = *tasks.emplace_back(make_current_root());
    place(*task.block, 0, source, 5, 0);
    push_frame(task, *task.block, 8);
    for (uint32_t i = 0; i < c.depth; ++i) push_frame(task, *f, c.f_resumes_at);
    push_frame(task, *g, 0);
    krv_raise_error("g fails");
    std::string lines;
    for (const std::string& entry : errors()) lines += entry.substr(entry.find("calls.krv:") + 10, 1);
    EXPECT_EQ(lines, c.lines) << c.f_resumes_at << " x" << c.depth;
  }
}

TEST_F(Reports, OneEntryCanBePrintedByItsFrameIndex) {
  krv_source_record& source = add_source("one.krv");
  source.lines[5] = "call()";
  krvptr_strong<krv_program_block> inner = make_block(KRV_BLOCK_FUNCTION);
  krvptr_strong<krv_task> task = make_current_root();
  place(*task->block, 0, source, 5, 2);
  push_frame(*task, *inner, 0);
  krv_runtime_error_report(*task->top_frame(), "B", 0);
  EXPECT_EQ(errors(), (std::vector<std::string>{"Runtime Error\n" + rule +
                                                "\n --> one.krv:5:2\n   |\n 5 | call()\n   |   ^~~~~\n   |\none.krv --> Line 5, Index 2\n\n>>> one.krv\n" +
                                                rule}));
  EXPECT_EQ(task->error_value->get_string(), "B");
  log.clear();
  krv_runtime_error_report(*task->top_frame(), "B", 2);  // past the stack: nothing
  EXPECT_TRUE(errors().empty());
}

TEST_F(Reports, FramesWithoutPositionsDegradeToTheFramedText) {
  krvptr_strong<krv_program_block> inner = make_block(KRV_BLOCK_FUNCTION);
  krvptr_strong<krv_task> task = make_current_root();
  push_frame(*task, *inner, 0);
  krv_raise_error("plain");
  // The caller's entry, with no position, would only repeat the message: the error is printed once.
  EXPECT_EQ(errors(), (std::vector<std::string>{"Runtime Error\n" + rule + "\n" + framed("plain") + "\n" + rule}));
  // Past the thirty entries a deep stack prints, callers without a position still count for nothing: no
  // "... N more frames ..." line stands for entries that would not have printed.
  log.clear();
  krvptr_strong<krv_task> deep = make_current_root();
  for (int i = 0; i < 40; ++i) push_frame(*deep, *inner, 0);
  krv_raise_error("deep plain");
  EXPECT_EQ(errors(), (std::vector<std::string>{"Runtime Error\n" + rule + "\n" + framed("deep plain") + "\n" + rule}));
  krv_get_thread_local().current_task = task.get();

  // A position whose source has no text for its line.
  log.clear();
  krv_source_record& source = add_source("x.krv");
  place(*inner, 0, source, 9, 0);
  krv_raise_error("no text");
  EXPECT_EQ(errors().back(), "While handling an error, a token without AST was passed.\n" + framed("no text"));
}

TEST_F(Reports, ACatchBlockTakesTheErrorUnlessANoexceptFunctionComesFirst) {
  krvptr_strong<krv_program_block> middle = make_block(KRV_BLOCK_FUNCTION);
  krvptr_strong<krv_program_block> inner = make_block(KRV_BLOCK_FUNCTION);
  krvptr_strong<krv_task> task = make_current_root();
  task->block->has_catch = 1;
  push_frame(*task, *middle, 0);
  krv_vm_context& top = push_frame(*task, *inner, 0);

  krv_raise_error("oops");
  EXPECT_TRUE(errors().empty());
  EXPECT_EQ(infos().back(), "Caught runtime error: oops");
  EXPECT_EQ(task->error_value->get_string(), "oops");
  EXPECT_EQ(top.status, 128u);

  log.clear();
  top.status = 0;
  middle->is_noexcept = 1;
  krv_raise_error("stopped");
  EXPECT_EQ(errors().size(), 1u);  // no frame has a position: the innermost entry alone
  EXPECT_EQ(task->error_value->get_string(), "stopped");

  // The general member with the catchable flag clear reports and leaves the status alone.
  log.clear();
  top.status = 0;
  middle->is_noexcept = 0;
  krv_raise_error_text("fatal", false);
  EXPECT_EQ(errors().size(), 1u);  // no frame has a position: the innermost entry alone
  EXPECT_EQ(top.status, 0u);
}

TEST_F(Reports, WarningsAreUnframedAndChangeNothing) {
  // Without a task: the bare text at the warning level.
  krv_raise_warning("Division by zero!");
  EXPECT_EQ(warnings(), (std::vector<std::string>{"Division by zero!"}));

  log.clear();
  krvptr_strong<krv_task> task = make_current_root();
  krv_raise_warning("Modulo by zero!");
  EXPECT_EQ(warnings(), (std::vector<std::string>{"Runtime Warning\n" + rule + "\nModulo by zero!\n" + rule}));

  log.clear();
  krv_source_record& source = add_source("w.krv");
  source.lines[2] = " ab";
  give_code(*task->block);
  place(*task->block, 8, source, 2, 1);
  task->root_frame()->ip = task->block->code_begin + 9;
  krv_raise_warning("odd");
  EXPECT_EQ(warnings(), (std::vector<std::string>{"Runtime Warning\n" + rule + "\n --> w.krv:2:1\n   |\n 2 | ab\n   | ^~~~~\n   |\nodd" +
                                                  "w.krv --> Line 2, Index 1\n\n>>> w.krv\n" + rule}));
  // Without the line's text: the warning's own degraded form.
  log.clear();
  source.lines.clear();
  krv_raise_warning("odd");
  EXPECT_EQ(warnings(), (std::vector<std::string>{"odd\n"}));
  EXPECT_EQ(task->root_frame()->status, 0u);
  EXPECT_EQ(task->error_value->type, KRVVAR_NONE);
}

TEST_F(Reports, TheKernelFormHandsBackNoneAndHonoursTheCatchableFlag) {
  krvptr_strong<krv_task> task = make_current_root();
  krvvar_shared result = krvvar_shared::make_int(9);
  krv_raise_error(result, false, "'", "saxpy", "' failed at ", "k.krv", ":", 3, " (", "x", "): ", "trap");
  EXPECT_EQ(result->type, KRVVAR_NONE);
  EXPECT_EQ(task->root_frame()->status, 0u);
  EXPECT_EQ(task->error_value->get_string(), "'saxpy' failed at k.krv:3 (x): trap");
  krv_raise_error(result, true, "again");
  EXPECT_EQ(task->root_frame()->status, 128u);
}

TEST_F(Reports, ErrorsOnAWorkerThreadOnlyLog) {
  krvptr_strong<krv_task> task = make_current_root();
  lock.reset();
  krvvar_shared result = krv_raise_error("from a worker");
  lock.emplace();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->type, KRVVAR_NONE);
  EXPECT_EQ(result->refcount, 1);
  EXPECT_EQ(errors(), (std::vector<std::string>{framed("from a worker")}));
  EXPECT_EQ(task->root_frame()->status, 0u);
}

TEST_F(Reports, TheTokenNoteFollowsTheErrorBitOfTheLog) {
  krv_error_token_note(vm.log(), "text");
  vm.log().mask &= ~uint32_t{KRV_LOG_ERROR};
  krv_error_token_note(vm.log(), "hidden");
  vm.log().mask |= KRV_LOG_ERROR;
  EXPECT_EQ(errors(), (std::vector<std::string>{"While handling an error, a token without AST was passed.\ntext"}));
}

TEST_F(Reports, AMissingGlobalFrameIsDescribedInFourLines) {
  krvptr_strong<krv_task> task = make_current_root();
  krv_log_no_global_scope(*task->root_frame());
  const void* first = task->root_frame();
  EXPECT_EQ(errors(), (std::vector<std::string>{"No global scope: " + address_of(first) + " : 1",
                                                "Addr: " + address_of(task.get()), "Blocks: 1", "Name: main.krv"}));
  EXPECT_EQ(vm_global_frame(task.get()), task->root_frame());
  EXPECT_EQ(vm_global_frame(nullptr), nullptr);
}

}  // namespace
