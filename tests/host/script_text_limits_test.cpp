// The text form against hostile files: every one is refused with its line and exact message, in time
// and memory that follow from its size. Peak memory is measured by this binary's own operator new.
#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "host/assembler/program_blocks.h"
#include "host/assembler/script_builder.h"
#include "host/assembler/script_disassembler.h"
#include "host/assembler/script_text.h"
#include "host/assembler/script_verifier.h"

namespace {

size_t live_bytes = 0;  // held through operator new; the test runs on one thread
size_t peak_bytes = 0;

}  // namespace

[[gnu::noinline]] void* operator new(size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (p == nullptr) throw std::bad_alloc();
  live_bytes += malloc_usable_size(p);
  if (live_bytes > peak_bytes) peak_bytes = live_bytes;
  return p;
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
  if (p != nullptr) live_bytes -= malloc_usable_size(p);
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace {

// `levels` blocks each nested in the one before.
std::string nested_blocks(size_t levels) {
  std::string text = "block B0 4\nend\n";
  for (size_t i = 1; i <= levels; ++i)
    text += "block B" + std::to_string(i) + " 0 child B" + std::to_string(i - 1) + "\nend\n";
  return text;
}

TEST(ScriptTextLimits, HostileTextsAreRefusedOnTheirLineInBoundedTimeAndMemory) {
  struct row {
    std::string text;
    std::string message;
  };
  const std::string block = "block B0 4\n";
  const row table[] = {
      // Counts that would cost 4 GiB or 4 billion steps.
      {"block B0 4 caches 4294967295\nend", "line 1: caches 4294967295: more entries than the block's instructions that use a member cache (0)"},
      {"string \"m\"\nblock B0 4 caches 2\n  member 0 0 null 0\nend",
       "line 2: caches 2: more entries than the block's instructions that use a member cache (1)"},
      {"block B0 4 locals 4294967295\nend", "line 1: locals: 4294967295 is above the limit of 65536"},
      {block + "  args_open 4294967295\nend", "line 2: block B0 @0: args_open: more than 65536 arguments"},
      {"block B0 4 params 4294967295\nend", "line 1: block B0: parameters and captured values take 4294967295 locals, the block has 0"},
      {"block B0 4 locals 2 params 1 captured 4294967295\nend",
       "line 1: block B0: parameters and captured values take 4294967296 locals, the block has 2"},
      {"block B0 4 locals 2 first_default 4294967294\nend", "line 1: block B0: first defaulted parameter 4294967294 is not a local"},
      {"block B0 4 continue 4294967295\n  load_none\nend", "line 1: block B0: continue offset 4294967295 is not an instruction start"},
      {"class K0 \"A\"\nmethod K0 4294967295 B0\nblock B0 1\nend", "line 2: method 4294967295 of class K0: not below the number of methods given for the class (1)"},
      {"class K0 \"A\"\nmethod K0 0 B0\nmethod K0 0 B0\nblock B0 1\nend", "line 3: method 0 of class K0 is given twice"},
      // u8 fields.
      {"block B0 4 method_flags 256\nend", "line 1: method_flags: value 256 out of range"},
      {"block B0 4 locals 1\n  flag 0 256\nend", "line 2: flag: value 256 out of range"},
      {block + "  slotref 256 0 0 0\nend", "line 2: slotref kind: value 256 out of range"},
      {block + "  slotref 0 300 0 0\nend", "line 2: slotref depth: value 300 out of range"},
      {block + "  numeric_fast_path E 0 0 0 step 259 0 0\nE:\nend", "line 2: step kind: value 259 out of range"},
      {block + "  numeric_fast_path E 0 0 0 step 0 256 0\nE:\nend", "line 2: step depth: value 256 out of range"},
      // Lengths of the fast-path forms that point back.
      {block + "top:\n  numeric_fast_path top 0 0 0\nend",
       "line 3: numeric_fast_path: the length label must come after the instruction"},
      {"string \"f\"\nblock B0 4 caches 1\n  load_none\ntop:\n  cached_method_call top 0 0 0 0 0 1 null\nend",
       "line 5: cached_method_call: the length label must come after the instruction"},
      // Nesting: refused at the first level too deep, long before the text ends.
      {nested_blocks(1000001), "line 2003: block B1001 nests deeper than 1000 levels"},
      // Block rules the interpreter trusts.
      {"block B0 4 resume_at_end\n  load_none\nend",
       "line 1: block B0: resume_at_end needs an instruction starting 8 bytes before the end of the code"},
      {"block B0 4 resume_at_end\nend", "line 1: block B0: resume_at_end needs an instruction starting 8 bytes before the end of the code"},
      {"block loop 2 continue 4\n  pop\nend", "line 1: block loop: continue offset 4 is not an instruction start"},
      {"block B0 4 locals 1\n  load_none\n  numeric_fast_path E 0 0 0 step 0 0 1\nE:\nend",
       "line 3: block B0 @1: numeric_fast_path: step 0 names no local"},
      {block + "  numeric_fast_path E 0 0 0 step 3 0 6\nE:\nend", "line 2: block B0 @0: numeric_fast_path: step 0 names no constant"},
      {"string \"x\"\nblock B0 4\n  slotref 20 0 0 0\nend", "line 2: block B0: slot reference 0: base entry 0 is not an earlier entry"},
      {"native N0 \"f\" 3 1\nblock B0 4\nend", "line 1: native N0: takes at least 3 arguments but at most 1"},
      {"class K0 \"A\" base K0\nblock B0 4\nend", "line 1: class K0: inherits from itself"},
      // Values that would change on their way through.
      {"class K0 \"A\"\nmember K0 \"x\" 0\nmember K0 \"x\" 1", "line 3: member 'x' of class K0 is given twice"},
      {"source S0 \"a\"\nline S0 1 \"a\"\nline S0 1 \"b\"", "line 3: line 1 of source S0 is given twice"},
      // Tokens, line endings and positions.
      {block + "  " + std::string(1 << 20, 'a') + "\nend", "line 2: unknown instruction '" + std::string(64, 'a') + "...'"},
      {block + "  fr\x01o\x7f\nend", "line 2: unknown instruction 'fr\\x01o\\x7f'"},
      {"\xEF\xBB\xBF" + block + "  frob\nend", "line 2: unknown instruction 'frob'"},
      {"block B0 4\r  load_none\r  frob\rend", "line 3: unknown instruction 'frob'"},
      {"block B0 4\r\n\r\n  frob\r\nend", "line 3: unknown instruction 'frob'"},
      {"source S0 \"a\"\nblock B0 4\n  pos S0 1 1\n  load_none\n  pos S0 2 1\nend", "line 5: 'pos' without an instruction after it"},
      {"source S0 \"a\"\nblock B0 4\n  pos S0 1 1\nL:\n  pos S0 2 1\n  load_none\nend", "line 5: a second 'pos' before an instruction"},
  };
  for (const row& r : table) {
    const size_t before = live_bytes;
    peak_bytes = live_bytes;
    const auto start = std::chrono::steady_clock::now();
    try {
      krv_assemble_text(r.text);
      ADD_FAILURE() << "accepted: " << r.message;
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()), r.message);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Generous bounds, far below what the unbounded counts cost (gigabytes, minutes): a few times the
    // text plus what a thousand blocks take.
    EXPECT_LT(peak_bytes - before, 4 * r.text.size() + (4u << 20)) << r.message;
    EXPECT_LT(seconds, 5.0) << r.message;
  }
}

// A program nested far deeper than the text form allows, as code may build one: listing, verifying,
// disassembling and destroying it take no stack per level.
TEST(ScriptTextLimits, DeepNestingIsWalkedAndDestroyedWithoutRecursion) {
  constexpr size_t levels = 200000;
  // The builder goes first, so the program's handles are the last ones.
  krvptr_strong<krv_program> program = [] {
    krv_program_builder builder("deep");
    krv_block_builder* innermost = &builder.root();
    for (size_t i = 0; i < levels; ++i) innermost = i % 2 ? &innermost->add_body(0) : &innermost->add_child(0);
    return builder.finish();
  }();
  EXPECT_EQ(krv_program_blocks(*program).size(), levels + 1);
  EXPECT_EQ(krv_verify_program(*program), std::vector<std::string>{"block 1001: nested 1001 levels deep, the limit is 1000"});
  const std::string listing = krv_disassemble(*program);
  EXPECT_NE(listing.find("block B200000 0 body B199999\nend\n"), std::string::npos);
  program.reset_empty();  // the last handle: every level ends here
}

}  // namespace
