// The C text of translated kernels: exact lines per instruction family, the frame of a function, the
// kernel comment and the texts the JIT and the hash are made of.
#include "kernel/native/c_translator.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "kernel/compiler/compile_driver.h"
#include "kernel/native/c_prelude.h"
#include "kernel/support/program_builder.h"

namespace {

struct insn_case {
  krvk_insn insn;
  uint32_t pc;
  std::string text;
};

TEST(CTranslator, InstructionLines) {
  const std::vector<insn_case> cases = {
      {{KOP_NOP}, 0, ";"},
      {{KOP_END}, 0, "goto k_next;"},
      {{KOP_LOOP, 0, 0, 0, 3}, 9,
       "if (K_UNLIKELY(++k_poll >= 1024u)) { k_poll = 0; if (*abort) K_TRAP(7, 9u, 0, 0); } goto L3;"},
      // Memory: checked element load, unchecked store (its empty check still leaves its blank), field
      // load, raw load with no setup and no check.
      {{KOP_LD_I32, 7, 0, 8, 2}, 4,
       "{ uint64_t idx = r8.u + (uint64_t)((int64_t)0x2ULL); if (K_UNLIKELY(idx >= c0)) K_TRAP(1, 4u, idx, c0); "
       "int32_t v; memcpy(&v, b0 + idx * 4, 4); r7.i = v; }"},
      {{KOP_STU_F64, 7, 1, 8, 0xFFFFFFFFFFFFFFFFull}, 4,
       "{ uint64_t idx = r8.u + (uint64_t)((int64_t)0xffffffffffffffffULL);  double v = (double)r7.d; "
       "memcpy(b1 + idx * 8, &v, 8); }"},
      {{KOP_LDF_F32, 9, 0, 8, 12}, 5,
       "{ uint64_t idx = r8.u; if (K_UNLIKELY(idx >= c0)) K_TRAP(1, 5u, idx, c0); float v; "
       "memcpy(&v, b0 + idx * s0 + ((int64_t)0xcULL), 4); r9.f = v; }"},
      {{KOP_LDR_U64, 7, 8, 0, 3}, 0, "{   uint64_t v; memcpy(&v, r8.p + ((int64_t)0x3ULL), 8); r7.u = v; }"},
      {{KOP_STR_I8, 7, 8, 0, 0}, 0, "{   int8_t v = (int8_t)r7.i; memcpy(r8.p + ((int64_t)0x0ULL), &v, 1); }"},
      // Compares by prefix, relation and kind.
      {{KOP_CMPGE_U, 7, 8, 9}, 0, "r7.i = r8.u >= r9.u;"},
      {{KOP_CMPEQ_X, 7, 8, 9}, 0, "r7.i = r8.u == r9.u;"},
      {{KOP_JTLT_S, 7, 8, 0, 2}, 0, "if (r7.i < r8.i) goto L2;"},
      {{KOP_JFLT_F64, 7, 8, 0, 2}, 0, "if (!(r7.d < r8.d)) goto L2;"},
      {{KOP_JFNE_F32, 7, 8, 0, 11}, 0, "if (!(r7.f != r8.f)) goto L11;"},
      // Division guards test the bits the division uses; the zero trap's limit is 0.
      {{KOP_DIV_I32, 7, 8, 9}, 6,
       "{ const int64_t x = r8.i, y = r9.i; if (K_UNLIKELY((uint32_t)y == 0)) K_TRAP(2, 6u, x, 0); "
       "if (K_UNLIKELY((int32_t)x == INT32_MIN && (int32_t)y == -1)) K_TRAP(3, 6u, x, y); "
       "r7.i = k_i32((uint64_t)(int64_t)((int32_t)x / (int32_t)y)); }"},
      {{KOP_MOD_U64, 7, 8, 9}, 6,
       "{ const int64_t x = r8.i, y = r9.i; if (K_UNLIKELY(y == 0)) K_TRAP(2, 6u, x, 0); "
       "r7.i = (int64_t)((uint64_t)x % (uint64_t)y); }"},
      {{KOP_MODC_I32, 7, 8, 7, 0x2492492492492493ull}, 0, "r7.i = k_modc_i32(r8.i, 0x2492492492492493ULL, 7u);"},
      {{KOP_ADD_I32, 7, 8, 9}, 0, "r7.i = k_i32((uint64_t)r8.i + (uint64_t)r9.i);"},
      {{KOP_ADDI_X64, 7, 8, 0, 0xFFFFFFFFFFFFFFFEull}, 0,
       "r7.i = (int64_t)((uint64_t)r8.i + (uint64_t)((int64_t)0xfffffffffffffffeULL));"},
      {{KOP_MIN_F32, 7, 8, 9}, 0, "r7.f = k_fmin(r8.f, r9.f);"},
      // Math selectors: the low 8 bits; one without a function gives 0.
      {{KOP_MATH1_F64, 7, 8, 13}, 0, "r7.d = k_log10(r8.d);"},
      {{KOP_MATH1_F64, 7, 8, 20}, 0, "r7.d = 0.0;"},
      {{KOP_MATH1_F32, 7, 8, 256 + 1}, 0, "if (r8.f != r8.f) r7.f = r8.f + r8.f; else r7.f = ceilf(r8.f);"},
      {{KOP_MATH2_F64, 7, 8, 9, 14}, 0, "r7.d = k_pow(r8.d, r9.d);"},
      {{KOP_MATH2_F32, 7, 8, 9, 15}, 0, "r7.f = k_atan2f(r8.f, r9.f);"},
      {{KOP_MATH2_F32, 7, 8, 9, 3}, 0, "r7.f = 0.0f;"},
      // Results a compiler would fold into the next operation, or with the one before: through K_OPAQUE.
      {{KOP_ABS_F64, 7, 8}, 0, "{ double v = fabs(r8.d); K_OPAQUE(v); r7.d = v; }"},
      {{KOP_CVT_F64_F32, 7, 8}, 0, "{ float v = (float)(r8.d); K_OPAQUE(v); r7.f = v; }"},
      {{KOP_CVT_F32_INT, 7, 8, 3}, 12,
       "{ int64_t o; const float v = r8.f; if (K_UNLIKELY(!k_f2i((double)v, 3, &o))) K_TRAPF(4, 12u, v); r7.i = o; }"},
      {{KOP_CHKIDX, 7, 0, 0, 10}, 2, "if (K_UNLIKELY(r7.u >= (uint64_t)((int64_t)0xaULL))) K_TRAP(5, 2u, r7.i, ((int64_t)0xaULL));"},
      {{KOP_AADD_64, 7, 1, 8, 0x10009}, 3,
       "{ const uint64_t idx = r8.u; if (K_UNLIKELY(idx >= c1)) K_TRAP(1, 3u, idx, c1); uint8_t* addr = b1 + idx * s1; "
       "if (K_UNLIKELY((uintptr_t)addr & 7)) K_TRAP(6, 3u, (uintptr_t)addr, 8); r7.i = (int64_t)k_aadd64(addr, r9.u); }"},
      {{KOP_AADDR_I32, 7, 8, 9, 4}, 3,
       "{ uint8_t* addr = r8.p + ((int64_t)0x4ULL); if (K_UNLIKELY((uintptr_t)addr & 3)) K_TRAP(6, 3u, (uintptr_t)addr, 4); "
       "r7.i = (int64_t)(int32_t)k_aadd32(addr, (uint32_t)r9.u); }"},
  };
  krvk_test_program builder;
  const krvk_c_translator translator(builder.program());
  for (const insn_case& c : cases) {
    SCOPED_TRACE(krvk_opcode_name(c.insn.op));
    EXPECT_EQ(krvk_c_translate_insn(translator, c.insn, c.pc), c.text);
  }
}

TEST(CTranslator, NumbersAndNames) {
  EXPECT_EQ(krvk_c_u64_literal(255), "0xffULL");
  EXPECT_EQ(krvk_c_u64_literal(0), "0x0ULL");
  EXPECT_EQ(krvk_c_u64_literal(~uint64_t{0}), "0xffffffffffffffffULL");
  EXPECT_EQ(krvk_c_reg_name(17), "r17");
  EXPECT_EQ(krvk_c_trap(1, 5, "idx", "c0"), "K_TRAP(1, 5u, idx, c0);");
  ASSERT_NE(krvk_c_elem_type("U16"), nullptr);
  EXPECT_STREQ(krvk_c_elem_type("U16")->type, "uint16_t");
  EXPECT_EQ(krvk_c_elem_type("U64")->member, 'u');
  EXPECT_EQ(krvk_c_elem_type("F64")->size, 8u);
  EXPECT_EQ(krvk_c_elem_type("X64"), nullptr);
}

TEST(CTranslator, EveryOpcodeTranslatesToOneLineAndOthersFail) {
  krvk_test_program builder;
  const krvk_c_translator translator(builder.program());
  for (uint16_t op = 0; op < KRVK_OPCODE_COUNT; ++op) {
    SCOPED_TRACE(krvk_opcode_name(op));
    const std::string line = krvk_c_translate_insn(translator, krvk_insn{op, 7, 0, 8, 0}, 1);
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.find('\n'), std::string::npos);
  }
  for (const uint16_t op : {uint16_t{270}, uint16_t{300}, uint16_t{0xFFFF}}) {
    try {
      krvk_c_translate_insn(translator, krvk_insn{op}, 0);
      ADD_FAILURE() << op << " translated";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "krvk_jit: no C translation for ?");
    }
  }
}

TEST(CTranslator, TwoDimensionalFrame) {
  krvk_test_program builder("grid");
  builder.two_d();
  const uint16_t out = builder.pointer_param("out", KRVK_U32);
  const uint16_t nan = builder.constant(KRVK_F32, 0x7FC00001u);
  builder.emit(KOP_ST_U32, builder.program().gid_x_reg, out, builder.program().gid_reg, 0);
  builder.emit(KOP_JMP, 0, 0, 0, 3);
  builder.emit(KOP_MOV, nan, nan);
  builder.emit(KOP_END);
  krvk_c_translator translator(builder.program());
  EXPECT_EQ(krvk_c_translate_kernel(translator, "K_EXPORT int f"),
            "K_EXPORT int f(kreg* regs, const kptr* ptrs, uint64_t gid_begin, uint64_t gid_end, "
            "const volatile unsigned char* abort, ktrap* trap)\n{\n"
            "\tuint64_t gid = gid_begin;\n"
            "\tkreg r0 = regs[0];\n\tkreg r1 = regs[1];\n\tkreg r2 = regs[2];\n\tkreg r3 = regs[3];\n"
            "\tkreg r4 = regs[4];\n\tkreg r5 = regs[5];\n\tkreg r6 = regs[6];\n\tkreg r7 = regs[7];\n"
            "\tr7.u = 0x7fc00001ULL; K_OPAQUE(r7.d);\n"
            "\tuint8_t* const b0 = ptrs[0].base; const uint64_t c0 = ptrs[0].count; const uint64_t s0 = ptrs[0].stride;\n"
            "\tuint32_t k_poll = 0;\n"
            "\t(void)abort; (void)ptrs; (void)k_poll;\n"
            "\tuint64_t gw = r5.u ? r5.u : 1;\n"
            "\tuint64_t gx = gid_begin % gw, gy = gid_begin / gw;\n"
            "\tfor (; gid < gid_end; gid++)\n\t{\n"
            "\t\tr0.u = gid;\n"
            "\t\tr3.u = gx; r4.u = gy;\n"
            "\t\t{ uint64_t idx = r0.u + (uint64_t)((int64_t)0x0ULL); if (K_UNLIKELY(idx >= c0)) K_TRAP(1, 0u, idx, c0); "
            "uint32_t v = (uint32_t)r3.i; memcpy(b0 + idx * 4, &v, 4); }\n"
            "\t\tgoto L3;\n"
            "\t\tr7 = r7;\n"
            "\tL3:;\n"
            "\t\tgoto k_next;\n"
            "\tk_next:;\n"
            "\t\tif (++gx == gw) { gx = 0; gy++; }\n"
            "\t}\n"
            "\treturn 0;\n}\n");
}

// Slot locals: one triple per pointer parameter, the frame's last; none without either. Accumulators
// alone are written back.
TEST(CTranslator, SlotsAndWriteBack) {
  const auto count = [](const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  krvk_test_program bare;
  bare.emit(KOP_END);
  const std::string bare_text = krvk_jit_source(bare.program());
  EXPECT_EQ(count(bare_text, ".base;"), 0u);
  EXPECT_EQ(count(bare_text, "\tregs["), 0u);

  krvk_test_program framed;
  framed.pointer_param("a", KRVK_F32);
  framed.pointer_param("b", KRVK_F32);
  framed.frame(24);
  framed.scalar_result(KRVK_F32, KRVK_REDUCE_ADD, "f32 reduce(+)");
  framed.emit(KOP_END);
  const std::string framed_text = krvk_jit_source(framed.program());
  EXPECT_EQ(count(framed_text, ".base;"), 3u);
  EXPECT_NE(framed_text.find("const uint64_t s2 = ptrs[2].stride;"), std::string::npos);
  EXPECT_EQ(count(framed_text, "\tregs["), 1u);
  EXPECT_NE(framed_text.find("\tregs[2] = r2;\n\treturn 0;"), std::string::npos);
}

TEST(CTranslator, SameCodeSameFunctionWhateverTheNameAndTheCommentCannotBeLeft) {
  const auto make = [](const std::string& name, const std::string& file, uint32_t line) {
    auto builder = std::make_unique<krvk_test_program>(name);
    const uint16_t p = builder->pointer_param("p", KRVK_I32);
    builder->emit(KOP_ST_I32, builder->program().gid_reg, p, builder->program().gid_reg, 0);
    builder->emit(KOP_END);
    builder->program().source_file = file;
    builder->program().line = line;
    return builder;
  };
  const auto first = make("fill", "a.k", 3);
  const auto renamed = make("other", "b.k", 40);
  const std::string source = krvk_jit_source(first->program());
  EXPECT_EQ(krvk_jit_source(first->program()), source);
  EXPECT_EQ(krvk_jit_hash_text(first->program()), krvk_jit_hash_text(renamed->program()));
  EXPECT_NE(source, krvk_jit_source(renamed->program()));
  EXPECT_EQ(source.rfind(krvk_c_prelude, 0), 0u);
  EXPECT_EQ(source.substr(std::string(krvk_c_prelude).size(), 28), "\n/* kernel fill (a.k:3) */\nK");
  EXPECT_EQ(krvk_jit_hash_text(first->program()).rfind(std::string("krvk-jit-1\n") + krvk_c_prelude + "K_EXPORT int krvk_jit_entry(", 0), 0u);

  // A file name from script text can neither close the comment nor start a new line.
  const auto hostile = make("k", "x*/ int evil; /*\n\x7f\x01**/", 2);
  EXPECT_EQ(krvk_c_kernel_comment(hostile->program()),
            "\n/* kernel k (x* / int evil; /*\\x0A\\x7F\\x01** /:2) */\n");
  EXPECT_EQ(krvk_jit_hash_text(hostile->program()), krvk_jit_hash_text(first->program()));
}

// File names from kernel_compile's argument and from #line reach the C text only inside the kernel's
// one-line comment: the text around it is that of a plain name, whatever the name holds.
TEST(CTranslator, FileNamesStayInTheirComment) {
  const std::string kernel = "kernel void k(u8* p) { p[gid] = u8(1); }\n";
  const struct {
    std::string file;  // the compile's file name
    std::string directive;  // a #line before the kernel, or ""
    std::string comment;  // the kernel comment's file and line
  } cases[] = {
      {"plain.k", "", "plain.k:1"},
      {"a*/b", "", "a* /b:1"},
      {"two\nlines\r\n", "", "two\\x0Alines\\x0D\\x0A:1"},
      {"dir\\sub\\", "", "dir\\sub\\:1"},
      {"*/\\\n*/", "", "* /\\\\x0A* /:1"},
      {"t.k", "#line 7 \"x*/y\\z\"\n", "x* /y\\z:7"},
      {"t.k", "#line 9 \"\\\"\n", "\\:9"},
      {"t.k", "#line 3 \"/*\"\n", "/*:3"},
  };
  std::string plain_rest;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file + c.directive);
    kerror error;
    const auto unit = krvk_compile_source(c.directive + kernel, c.file, error, {});
    ASSERT_NE(unit, nullptr) << error.message;
    const std::string source = krvk_jit_source(*unit->kernels[0]);
    const size_t start = std::string(krvk_c_prelude).size();
    const std::string comment = "\n/* kernel k (" + c.comment + ") */\n";
    ASSERT_EQ(source.substr(start, comment.size()), comment);
    const std::string rest = source.substr(start + comment.size());
    if (plain_rest.empty()) plain_rest = rest;
    EXPECT_EQ(rest, plain_rest);
  }
}

TEST(CTranslator, JumpTargetsGetLabelsAndBadInstructionsFailTheWholeKernel) {
  krvk_test_program builder;
  builder.emit(KOP_JTLT_S, 0, 1, 0, 2);
  builder.emit(KOP_NOP);
  builder.emit(KOP_END);
  const std::string text = krvk_jit_source(builder.program());
  EXPECT_NE(text.find("\tL2:;\n\t\tgoto k_next;"), std::string::npos);
  EXPECT_EQ(text.find("\tL0:;"), std::string::npos);
  EXPECT_EQ(text.find("\tL1:;"), std::string::npos);

  builder.emit(300);
  try {
    krvk_jit_source(builder.program());
    ADD_FAILURE() << "translated";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "krvk_jit: no C translation for ?");
  }
}

}  // namespace
