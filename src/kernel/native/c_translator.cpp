// The frame of a translated kernel: head, register and pointer-slot locals, the loop over work items,
// labels, the end of a work item and the write-back of the accumulators. The single instructions are
// c_instructions.cpp.
#include "kernel/native/c_translator.h"

#include <array>
#include <cinttypes>
#include <cstdio>

#include "kernel/compiler/opcodes.h"
#include "kernel/native/c_foldable.h"
#include "kernel/native/c_prelude.h"
#include "kernel/native/ieee_check.h"

namespace {

// A name from script text written so that it stays inside a one-line block comment: "*/" becomes
// "* /", control bytes and DEL become \xHH. Other names keep their exact text.
std::string comment_safe(const std::string& text) {
  static const char* const digits = "0123456789ABCDEF";
  std::string safe;
  safe.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char ch = static_cast<unsigned char>(text[i]);
    if (ch < 0x20 || ch == 0x7F) {
      safe += "\\x";
      safe += digits[ch >> 4];
      safe += digits[ch & 15];
    } else if (ch == '*' && i + 1 < text.size() && text[i + 1] == '/') {
      safe += "* ";
    } else {
      safe += static_cast<char>(ch);
    }
  }
  return safe;
}

void write_slot_locals(std::string& out, uint32_t slot_count) {
  for (uint32_t i = 0; i < slot_count; ++i) {
    const std::string n = std::to_string(i);
    out += "\tuint8_t* const b" + n + " = ptrs[" + n + "].base; const uint64_t c" + n + " = ptrs[" + n +
           "].count; const uint64_t s" + n + " = ptrs[" + n + "].stride;\n";
  }
}

std::string translate_under(const krvk_program& program, std::string_view head) {
  krvk_c_translator translator(program);
  return krvk_c_translate_kernel(translator, head);
}

constexpr std::string_view kJitHead = "K_EXPORT int krvk_jit_entry";

}  // namespace

std::string krvk_c_reg_name(uint32_t reg) { return "r" + std::to_string(reg); }

std::string krvk_c_u64_literal(uint64_t value) {
  std::array<char, 24> text{};
  std::snprintf(text.data(), text.size(), "0x%" PRIx64 "ULL", value);
  return text.data();
}

std::string krvk_c_trap(uint32_t code, uint32_t pc, std::string_view value_text, std::string_view limit_text) {
  return "K_TRAP(" + std::to_string(code) + ", " + std::to_string(pc) + "u, " + std::string(value_text) + ", " +
         std::string(limit_text) + ");";
}

const krvk_c_elem* krvk_c_elem_type(std::string_view key) {
  struct entry {
    std::string_view key;
    krvk_c_elem elem;
  };
  static const std::array<entry, 10> table = {{
      {"I8", {"int8_t", 'i', 1}},
      {"U8", {"uint8_t", 'i', 1}},
      {"I16", {"int16_t", 'i', 2}},
      {"U16", {"uint16_t", 'i', 2}},
      {"I32", {"int32_t", 'i', 4}},
      {"U32", {"uint32_t", 'i', 4}},
      {"I64", {"int64_t", 'i', 8}},
      {"U64", {"uint64_t", 'u', 8}},
      {"F32", {"float", 'f', 4}},
      {"F64", {"double", 'd', 8}},
  }};
  for (const entry& e : table) {
    if (e.key == key) return &e.elem;
  }
  return nullptr;
}

std::string krvk_c_kernel_comment(const krvk_program& program) {
  return "\n/* kernel " + comment_safe(program.name) + " (" + comment_safe(program.source_file) + ":" +
         std::to_string(program.line) + ") */\n";
}

std::string krvk_c_translate_kernel(krvk_c_translator& translator, std::string_view head) {
  const krvk_program& program = translator.program;
  std::string& out = translator.out;
  out.clear();
  translator.jump_targets.clear();
  translator.registers = krvk_c_register_facts_of(program);
  for (const krvk_insn& insn : program.code) {
    if (std::string_view(krvk_opcode_signature(insn.op)).find('J') != std::string_view::npos) {
      translator.jump_targets.insert(insn.x);
    }
  }

  out += head;
  out += "(kreg* regs, const kptr* ptrs, uint64_t gid_begin, uint64_t gid_end, const volatile unsigned char* abort, "
         "ktrap* trap)\n{\n";
  out += "\tuint64_t gid = gid_begin;\n";
  for (uint32_t n = 0; n < program.register_count; ++n) {
    out += "\tkreg " + krvk_c_reg_name(n) + " = regs[" + std::to_string(n) + "];\n";
  }
  for (const krvk_const& constant : program.constants) {
    const std::string reg = krvk_c_reg_name(constant.reg);
    out += "\t" + reg + ".u = " + krvk_c_u64_literal(constant.bits) + ";";
    if (constant.reg < program.register_count && translator.registers.hidden_constant[constant.reg])
      out += " K_OPAQUE(" + reg + ".d);";
    out += "\n";
  }
  write_slot_locals(out, program.pointer_count + (program.frame_bytes != 0 ? 1 : 0));
  out += "\tuint32_t k_poll = 0;\n";
  out += "\t(void)abort; (void)ptrs; (void)k_poll;\n";
  const bool two_d = program.two_d != 0;
  if (two_d) {
    const std::string width = krvk_c_reg_name(program.gsize_x_reg);
    out += "\tuint64_t gw = " + width + ".u ? " + width + ".u : 1;\n";
    out += "\tuint64_t gx = gid_begin % gw, gy = gid_begin / gw;\n";
  }
  out += "\tfor (; gid < gid_end; gid++)\n\t{\n";
  out += "\t\t" + krvk_c_reg_name(program.gid_reg) + ".u = gid;\n";
  if (two_d) {
    out += "\t\t" + krvk_c_reg_name(program.gid_x_reg) + ".u = gx; " + krvk_c_reg_name(program.gid_y_reg) +
           ".u = gy;\n";
  }
  for (uint32_t pc = 0; pc < program.code.size(); ++pc) {
    if (translator.jump_targets.contains(pc)) out += "\tL" + std::to_string(pc) + ":;\n";
    out += "\t\t" + krvk_c_translate_insn(translator, program.code[pc], pc) + "\n";
  }
  out += "\tk_next:;\n";
  if (two_d) out += "\t\tif (++gx == gw) { gx = 0; gy++; }\n";
  out += "\t}\n";
  for (const krvk_acc& acc : program.accumulators) {
    out += "\tregs[" + std::to_string(acc.reg) + "] = " + krvk_c_reg_name(acc.reg) + ";\n";
  }
  out += "\treturn 0;\n}\n";
  return out;
}

std::string krvk_jit_source(const krvk_program& program) {
  return krvk_c_prelude + krvk_c_kernel_comment(program) + translate_under(program, kJitHead) + krvk_ieee_check_text;
}

std::string krvk_jit_hash_text(const krvk_program& program) {
  return std::string("krvk-jit-1\n") + krvk_c_prelude + translate_under(program, kJitHead);
}
