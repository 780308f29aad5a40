// One bytecode instruction as one line of C (the frame around the lines is c_translator.cpp).
//
// Each line does what the scalar interpreter does for the instruction, traps included: guards test
// the same conditions in the same order and `K_TRAP` records the same value and limit. Families are
// recognised by mnemonic (memory accesses by variant and element, compares by prefix, relation and
// operand kind); every other opcode has a template of its own. Every guard is wrapped in `K_UNLIKELY`,
// memory goes through `memcpy` of a constant size (no alignment needed; C compilers make it one move),
// and the abort byte is read only at every 1,024th loop back edge.
#include <array>
#include <stdexcept>
#include <string>
#include <string_view>

#include "kernel/compiler/opcodes.h"
#include "kernel/native/c_translator.h"

namespace {

// The pieces of C text one instruction's template is filled with.
class insn_text {
 public:
  insn_text(const krvk_insn& insn, uint32_t pc, const krvk_c_register_facts& registers)
      : insn_(insn), pc_(pc), registers_(registers) {}

  std::string ra() const { return krvk_c_reg_name(insn_.a); }
  std::string rb() const { return krvk_c_reg_name(insn_.b); }
  std::string rc() const { return krvk_c_reg_name(insn_.c); }
  // The register carried in the low 16 bits of the immediate (slot atomics).
  std::string rx() const { return krvk_c_reg_name(static_cast<uint16_t>(insn_.x)); }
  std::string imm() const { return "((int64_t)" + krvk_c_u64_literal(insn_.x) + ")"; }
  std::string m() const { return krvk_c_u64_literal(insn_.x); }
  std::string slot(char local) const { return local + std::to_string(insn_.b); }
  std::string label() const { return "L" + std::to_string(insn_.x); }
  std::string trap(uint32_t code, std::string_view value, std::string_view limit) const {
    return krvk_c_trap(code, pc_, value, limit);
  }
  // The index check of a slot access: the index against the slot's element count, unsigned, so a
  // negative index traps too.
  std::string slot_check(std::string_view index) const {
    return "if (K_UNLIKELY(" + std::string(index) + " >= " + slot('c') + ")) " + trap(1, index, slot('c'));
  }
  const krvk_insn& insn() const { return insn_; }
  // " K_OPAQUE(name);" when the instruction's result passes through K_OPAQUE (c_foldable.h); else "".
  std::string result_step(const std::string& name) const {
    const bool hide = pc_ < registers_.hidden_result.size() && registers_.hidden_result[pc_];
    return hide ? " K_OPAQUE(" + name + ");" : "";
  }

  // " K_OPAQUE(name);" when the register may hold a float the compiler can work out and the other
  // operand (`beside`, when there is one) is no visible constant (c_foldable.h); else "".
  std::string opaque_step(uint32_t reg, const char* name, int64_t beside = -1) const {
    const auto flag = [](const std::vector<bool>& flags, int64_t r) {
      return r >= 0 && static_cast<size_t>(r) < flags.size() && flags[static_cast<size_t>(r)];
    };
    if (!flag(registers_.foldable, reg) || flag(registers_.visible_constant, beside)) return "";
    return std::string(" K_OPAQUE(") + name + ");";
  }

 private:
  const krvk_insn& insn_;
  uint32_t pc_;
  const krvk_c_register_facts& registers_;
};

[[noreturn]] void no_translation(uint32_t op) {
  throw std::runtime_error(std::string("krvk_jit: no C translation for ") + krvk_opcode_name(op));
}

// ---- memory family ------------------------------------------------------------------------------------

enum class access_form { element, field, raw };

struct access_variant {
  std::string_view prefix;
  access_form form;
  bool checked;
  bool load;
};

constexpr std::array<access_variant, 10> kAccessVariants = {{
    {"LD", access_form::element, true, true},
    {"LDU", access_form::element, false, true},
    {"LDF", access_form::field, true, true},
    {"LDFU", access_form::field, false, true},
    {"LDR", access_form::raw, false, true},
    {"ST", access_form::element, true, false},
    {"STU", access_form::element, false, false},
    {"STF", access_form::field, true, false},
    {"STFU", access_form::field, false, false},
    {"STR", access_form::raw, false, false},
}};

const access_variant* find_access_variant(std::string_view prefix) {
  for (const access_variant& variant : kAccessVariants) {
    if (variant.prefix == prefix) return &variant;
  }
  return nullptr;
}

// { SETUP CHECK T v; memcpy(&v, ADDR, N); Ra.m = v; } for loads, { SETUP CHECK T v = (T)Ra.m;
// memcpy(ADDR, &v, N); } for stores; a blank follows every piece, also an empty one.
std::string memory_access(const insn_text& t, const access_variant& variant, const krvk_c_elem& elem) {
  const std::string size = std::to_string(elem.size);
  std::string setup;
  std::string address;
  switch (variant.form) {
    case access_form::element:
      setup = "uint64_t idx = " + t.rc() + ".u + (uint64_t)" + t.imm() + ";";
      address = t.slot('b') + " + idx * " + size;
      break;
    case access_form::field:
      setup = "uint64_t idx = " + t.rc() + ".u;";
      address = t.slot('b') + " + idx * " + t.slot('s') + " + " + t.imm();
      break;
    case access_form::raw:
      address = t.rb() + ".p + " + t.imm();
      break;
  }
  const std::string check = variant.checked ? t.slot_check("idx") : "";
  const std::string reg = t.ra() + "." + elem.member;
  std::string line = "{ " + setup + " " + check + " " + elem.type + " v";
  if (variant.load) {
    line += "; memcpy(&v, " + address + ", " + size + "); " + reg + " = v; }";
  } else {
    line += " = (" + std::string(elem.type) + ")" + reg + "; memcpy(" + address + ", &v, " + size + "); }";
  }
  return line;
}

// ---- compare family -----------------------------------------------------------------------------------

struct relation {
  std::string_view letters;
  std::string_view op;
};

const relation* find_relation(std::string_view letters) {
  static const std::array<relation, 6> relations = {{
      {"EQ", "=="}, {"NE", "!="}, {"LT", "<"}, {"LE", "<="}, {"GT", ">"}, {"GE", ">="},
  }};
  for (const relation& r : relations) {
    if (r.letters == letters) return &r;
  }
  return nullptr;
}

char compare_member(std::string_view kind) {
  if (kind == "S") return 'i';
  if (kind == "U" || kind == "X") return 'u';
  if (kind == "F32") return 'f';
  if (kind == "F64") return 'd';
  return 0;
}

// CMPrr_k, JTrr_k, JFrr_k; "" when the mnemonic is not of this family.
std::string compare(const insn_text& t, std::string_view name) {
  const size_t underscore = name.find('_');
  if (name.size() < 5 || underscore == std::string_view::npos) return "";
  const std::string_view head = name.substr(0, underscore);
  const size_t prefix_length = head.starts_with("CMP") ? 3 : (head.starts_with("JT") || head.starts_with("JF")) ? 2 : 0;
  if (prefix_length == 0) return "";
  const relation* rel = find_relation(head.substr(prefix_length));
  const char member = compare_member(name.substr(underscore + 1));
  if (rel == nullptr || member == 0) return "";
  const std::string op = " " + std::string(rel->op) + " ";
  // A float the compiler knows, compared for equality, would tell it the other operand's value.
  const bool is_float = (member == 'f' || member == 'd') && (rel->op == "==" || rel->op == "!=");
  const uint32_t left = prefix_length == 3 ? t.insn().b : t.insn().a;
  const uint32_t right = prefix_length == 3 ? t.insn().c : t.insn().b;
  const std::string steps =
      is_float ? t.opaque_step(left, "x", right) + t.opaque_step(right, "y", left) : std::string();
  if (!steps.empty()) {
    const std::string type = member == 'f' ? "float" : "double";
    const std::string head_text = "{ " + type + " x = " + krvk_c_reg_name(left) + "." + member + ", y = " +
                                  krvk_c_reg_name(right) + "." + member + ";" + steps + " ";
    if (prefix_length == 3) return head_text + t.ra() + ".i = x" + op + "y; }";
    return head_text + "if (" + std::string(head[1] == 'T' ? "" : "!") + "(x" + op + "y)) goto " + t.label() + "; }";
  }
  if (prefix_length == 3) return t.ra() + ".i = " + t.rb() + "." + member + op + t.rc() + "." + member + ";";
  const std::string test = t.ra() + "." + member + op + t.rb() + "." + member;
  if (head[1] == 'T') return "if (" + test + ") goto " + t.label() + ";";
  return "if (!(" + test + ")) goto " + t.label() + ";";
}

// ---- numbered templates -------------------------------------------------------------------------------

// Integer results of 32-bit forms are brought back to their canonical 64-bit form.
std::string wrap(std::string_view extend, const std::string& expr) {
  if (extend.empty()) return "(int64_t)(" + expr + ")";
  return std::string(extend) + "(" + expr + ")";
}

// Integer division and remainder. The zero test and the overflow test look at exactly the bits the
// division uses (the low 32 bits for the 32-bit forms), as the interpreter does, so no cell can reach a
// hardware division by zero or overflow; the zero trap's limit is the divisor, which is then 0.
std::string divide(const insn_text& t, bool wide, bool is_signed, const std::string& result) {
  std::string line = "{ const int64_t x = " + t.rb() + ".i, y = " + t.rc() + ".i; ";
  line += "if (K_UNLIKELY(" + std::string(wide ? "y" : "(uint32_t)y") + " == 0)) " + t.trap(2, "x", "0") + " ";
  if (is_signed) {
    line += wide ? "if (K_UNLIKELY(x == INT64_MIN && y == -1)) "
                 : "if (K_UNLIKELY((int32_t)x == INT32_MIN && (int32_t)y == -1)) ";
    line += t.trap(3, "x", "y") + " ";
  }
  return line + t.ra() + ".i = " + result + "; }";
}

// An operand the compiler may know passes through K_OPAQUE unless the other one is a visible constant
// (c_foldable.h): x * f32(k) stays a multiply when k is 1.
std::string float_binary(const insn_text& t, bool f32, const std::string& expr) {
  const char m = f32 ? 'f' : 'd';
  const char* type = f32 ? "float" : "double";
  const uint32_t b = t.insn().b, c = t.insn().c;
  const std::string result = t.ra() + "." + m;
  return "{ " + std::string(type) + " x = " + t.rb() + "." + m + ", y = " + t.rc() + "." + m + ";" +
         t.opaque_step(b, "x", c) + t.opaque_step(c, "y", b) + " " + result + " = " + expr + ";" +
         t.result_step(result) + " }";
}

// min and max give one operand unchanged: nothing to hide.
std::string float_select(const insn_text& t, bool f32, const char* fn) {
  const char m = f32 ? 'f' : 'd';
  return t.ra() + "." + m + " = " + fn + "(" + t.rb() + "." + m + ", " + t.rc() + "." + m + ");";
}

// `f(x)` of register b (a conversion, a square root, a rounding), x through K_OPAQUE when the compiler
// may know it: it would fold f32(f64(x)) of a known NaN, sqrt of a known negative value.
std::string float_unary(const insn_text& t, const char* from, const char* to, const std::string& expr) {
  const std::string type = *from == 'f' ? "float" : "double";
  return "{ " + type + " x = " + t.rb() + "." + from + ";" + t.opaque_step(t.insn().b, "x") + " " + t.ra() + "." + to +
         " = " + expr + "; }";
}

// `(T)x` or `f(x)` of register b, written to register a through K_OPAQUE: for the operations whose
// result a compiler would fold into the operation that reads it, or with the one that made its operand,
// and give a NaN another sign or leave it signalling (|x| * |x| into x * x, f32(f64(x)) into x).
std::string opaque_result(const insn_text& t, const char* from, const char* to, const std::string& expr) {
  const std::string type = *to == 'f' ? "float" : "double";
  const std::string from_type = *from == 'f' ? "float" : "double";
  const std::string step = t.opaque_step(t.insn().b, "x");
  const std::string operand = step.empty() ? t.rb() + "." + from : "x";
  const std::string head = step.empty() ? "{ " : "{ " + from_type + " x = " + t.rb() + "." + from + ";" + step + " ";
  return head + type + " v = " + expr + "(" + operand + "); K_OPAQUE(v); " + t.ra() + "." + to + " = v; }";
}

// A math selector is the operand's low 8 bits; one with no function gives 0, as in the interpreters.
// Functions of the C library are called through the prelude's pointers to them (k_sinf, k_pow, ...),
// so that the compiler computes no call of a constant and rewrites no call itself.
std::string math_call(const insn_text& t, bool f32, const char* fn, const std::string& args) {
  const std::string dst = t.ra() + (f32 ? ".f" : ".d");
  if (fn == nullptr) return dst + (f32 ? " = 0.0f;" : " = 0.0;");
  return dst + " = k_" + fn + (f32 ? "f(" : "(") + args + ");";
}

// floor, ceil and trunc of a NaN give it quieted (x + x), as the interpreters do: the C library hands a
// signalling NaN back unchanged. They are called directly: they are exact, and a compiler may inline them.
std::string math1(const insn_text& t, bool f32) {
  static const char* const names[] = {"floor", "ceil", "round", "trunc", "sin", "cos", "tan",
                                      "asin",  "acos", "atan",  "exp",   "log", "log2", "log10"};
  const uint32_t selector = static_cast<uint8_t>(t.insn().c);
  const std::string x = t.rb() + (f32 ? ".f" : ".d");
  const bool rounding = selector == KRVK_MATH_FLOOR || selector == KRVK_MATH_CEIL || selector == KRVK_MATH_TRUNC;
  if (!rounding) return math_call(t, f32, selector < std::size(names) ? names[selector] : nullptr, x);
  if (!t.opaque_step(t.insn().b, "x").empty()) {
    return float_unary(t, f32 ? "f" : "d", f32 ? "f" : "d", "x != x ? x + x : " + std::string(names[selector]) + (f32 ? "f(x)" : "(x)"));
  }
  const std::string call = t.ra() + (f32 ? ".f = " : ".d = ") + names[selector] + (f32 ? "f(" : "(") + x + ");";
  return "if (" + x + " != " + x + ") " + t.ra() + (f32 ? ".f" : ".d") + " = " + x + " + " + x + "; else " + call;
}

std::string math2(const insn_text& t, bool f32) {
  const uint32_t selector = static_cast<uint8_t>(t.insn().x);
  const char* fn = selector == KRVK_MATH_POW ? "pow" : selector == KRVK_MATH_ATAN2 ? "atan2" : nullptr;
  const char* m = f32 ? ".f" : ".d";
  return math_call(t, f32, fn, t.rb() + m + ", " + t.rc() + m);
}

// Float to integer with the range check; the target is the selector's low 8 bits.
std::string float_to_int(const insn_text& t, bool f32, uint32_t pc) {
  const std::string target = std::to_string(static_cast<uint8_t>(t.insn().c));
  const std::string source = f32 ? "(double)v" : "v";
  return "{ int64_t o; const " + std::string(f32 ? "float" : "double") + " v = " + t.rb() + (f32 ? ".f" : ".d") +
         "; if (K_UNLIKELY(!k_f2i(" + source + ", " + target + ", &o))) K_TRAPF(4, " + std::to_string(pc) +
         "u, v); " + t.ra() + ".i = o; }";
}

// Atomic fetch-and-add at an address that must be aligned to the width.
std::string atomic_add(const insn_text& t, const std::string& address_setup, const std::string& value, uint16_t op) {
  const bool wide = op == KOP_AADD_64 || op == KOP_AADDR_64;
  const std::string align = "if (K_UNLIKELY((uintptr_t)addr & " + std::string(wide ? "7" : "3") + ")) " +
                            t.trap(6, "(uintptr_t)addr", wide ? "8" : "4") + " ";
  std::string result;
  if (wide) {
    result = "(int64_t)k_aadd64(addr, " + value + ".u)";
  } else {
    const bool sign_extend = op == KOP_AADD_I32 || op == KOP_AADDR_I32;
    result = std::string(sign_extend ? "(int64_t)(int32_t)" : "(int64_t)") + "k_aadd32(addr, (uint32_t)" + value + ".u)";
  }
  return "{ " + address_setup + align + t.ra() + ".i = " + result + "; }";
}

std::string numbered(const insn_text& t, uint16_t op, uint32_t pc) {
  const std::string a = t.ra(), b = t.rb(), c = t.rc();
  const std::string imm = t.imm();
  switch (op) {
    case KOP_NOP: return ";";
    case KOP_END: return "goto k_next;";
    case KOP_MOV: return a + " = " + b + ";";
    case KOP_JMP: return "goto " + t.label() + ";";
    case KOP_LOOP:
      return "if (K_UNLIKELY(++k_poll >= 1024u)) { k_poll = 0; if (*abort) " + t.trap(7, "0", "0") + " } goto " +
             t.label() + ";";
    case KOP_JT: return "if (" + a + ".i != 0) goto " + t.label() + ";";
    case KOP_JF: return "if (" + a + ".i == 0) goto " + t.label() + ";";

    case KOP_ADD_I32: return a + ".i = " + wrap("k_i32", "(uint64_t)" + b + ".i + (uint64_t)" + c + ".i") + ";";
    case KOP_ADD_U32: return a + ".i = " + wrap("k_u32", "(uint64_t)" + b + ".i + (uint64_t)" + c + ".i") + ";";
    case KOP_ADD_X64: return a + ".i = " + wrap("", "(uint64_t)" + b + ".i + (uint64_t)" + c + ".i") + ";";
    case KOP_SUB_I32: return a + ".i = " + wrap("k_i32", "(uint64_t)" + b + ".i - (uint64_t)" + c + ".i") + ";";
    case KOP_SUB_U32: return a + ".i = " + wrap("k_u32", "(uint64_t)" + b + ".i - (uint64_t)" + c + ".i") + ";";
    case KOP_SUB_X64: return a + ".i = " + wrap("", "(uint64_t)" + b + ".i - (uint64_t)" + c + ".i") + ";";
    case KOP_ADDI_I32: return a + ".i = " + wrap("k_i32", "(uint64_t)" + b + ".i + (uint64_t)" + imm) + ";";
    case KOP_ADDI_U32: return a + ".i = " + wrap("k_u32", "(uint64_t)" + b + ".i + (uint64_t)" + imm) + ";";
    case KOP_ADDI_X64: return a + ".i = " + wrap("", "(uint64_t)" + b + ".i + (uint64_t)" + imm) + ";";
    case KOP_MUL_I32:
      return a + ".i = " + wrap("k_i32", "(uint64_t)(uint32_t)" + b + ".i * (uint64_t)(uint32_t)" + c + ".i") + ";";
    case KOP_MUL_U32:
      return a + ".i = " + wrap("k_u32", "(uint64_t)(uint32_t)" + b + ".i * (uint64_t)(uint32_t)" + c + ".i") + ";";
    case KOP_MUL_X64: return a + ".i = " + wrap("", "(uint64_t)" + b + ".i * (uint64_t)" + c + ".i") + ";";
    case KOP_NEG_I32: return a + ".i = " + wrap("k_i32", "0 - (uint64_t)" + b + ".i") + ";";
    case KOP_NEG_U32: return a + ".i = " + wrap("k_u32", "0 - (uint64_t)" + b + ".i") + ";";
    case KOP_NEG_X64: return a + ".i = " + wrap("", "0 - (uint64_t)" + b + ".i") + ";";
    case KOP_ABS_I32: return a + ".i = " + b + ".i < 0 ? " + wrap("k_i32", "0 - (uint64_t)" + b + ".i") + " : " + b + ".i;";
    case KOP_ABS_I64: return a + ".i = " + b + ".i < 0 ? " + wrap("", "0 - (uint64_t)" + b + ".i") + " : " + b + ".i;";

    case KOP_DIV_I32: return divide(t, false, true, "k_i32((uint64_t)(int64_t)((int32_t)x / (int32_t)y))");
    case KOP_DIV_U32: return divide(t, false, false, "k_u32((uint32_t)x / (uint32_t)y)");
    case KOP_DIV_I64: return divide(t, true, true, "x / y");
    case KOP_DIV_U64: return divide(t, true, false, "(int64_t)((uint64_t)x / (uint64_t)y)");
    case KOP_MOD_I32: return divide(t, false, true, "k_i32((uint64_t)(int64_t)((int32_t)x % (int32_t)y))");
    case KOP_MOD_U32: return divide(t, false, false, "k_u32((uint32_t)x % (uint32_t)y)");
    case KOP_MOD_I64: return divide(t, true, true, "x % y");
    case KOP_MOD_U64: return divide(t, true, false, "(int64_t)((uint64_t)x % (uint64_t)y)");
    case KOP_DIVC_U32: return a + ".i = k_divc_u32(" + b + ".i, " + t.m() + ");";
    case KOP_DIVC_I32: return a + ".i = k_divc_i32(" + b + ".i, " + t.m() + ");";
    case KOP_MODC_U32: return a + ".i = k_modc_u32(" + b + ".i, " + t.m() + ", " + std::to_string(t.insn().c) + "u);";
    case KOP_MODC_I32: return a + ".i = k_modc_i32(" + b + ".i, " + t.m() + ", " + std::to_string(t.insn().c) + "u);";

    case KOP_ADD_F32: return float_binary(t, true, "x + y");
    case KOP_ADD_F64: return float_binary(t, false, "x + y");
    case KOP_SUB_F32: return float_binary(t, true, "x - y");
    case KOP_SUB_F64: return float_binary(t, false, "x - y");
    case KOP_MUL_F32: return float_binary(t, true, "x * y");
    case KOP_MUL_F64: return float_binary(t, false, "x * y");
    case KOP_DIV_F32: return float_binary(t, true, "x / y");
    case KOP_DIV_F64: return float_binary(t, false, "x / y");
    case KOP_MOD_F32: return float_binary(t, true, "k_fmodf(x, y)");
    case KOP_MOD_F64: return float_binary(t, false, "k_fmod(x, y)");
    case KOP_MIN_F32: return float_select(t, true, "k_fmin");
    case KOP_MIN_F64: return float_select(t, false, "k_dmin");
    case KOP_MAX_F32: return float_select(t, true, "k_fmax");
    case KOP_MAX_F64: return float_select(t, false, "k_dmax");

    case KOP_AND_X: return a + ".u = " + b + ".u & " + c + ".u;";
    case KOP_OR_X: return a + ".u = " + b + ".u | " + c + ".u;";
    case KOP_XOR_X: return a + ".u = " + b + ".u ^ " + c + ".u;";
    case KOP_SHL_I32: return a + ".i = " + wrap("k_i32", "(uint64_t)(uint32_t)" + b + ".i << (" + c + ".i & 31)") + ";";
    case KOP_SHL_U32: return a + ".i = " + wrap("k_u32", "(uint64_t)(uint32_t)" + b + ".i << (" + c + ".i & 31)") + ";";
    case KOP_SHL_X64: return a + ".i = " + wrap("", "(uint64_t)" + b + ".i << (" + c + ".i & 63)") + ";";
    case KOP_SHR_I32: return a + ".i = (int64_t)((int32_t)" + b + ".i >> (" + c + ".i & 31));";
    case KOP_SHR_U32: return a + ".i = " + wrap("k_u32", "(uint32_t)" + b + ".i >> (" + c + ".i & 31)") + ";";
    case KOP_SHR_I64: return a + ".i = " + b + ".i >> (" + c + ".i & 63);";
    case KOP_SHR_U64: return a + ".i = " + wrap("", "(uint64_t)" + b + ".i >> (" + c + ".i & 63)") + ";";
    case KOP_NOT_X: return a + ".u = ~" + b + ".u;";
    case KOP_NOT_U32: return a + ".i = " + wrap("k_u32", "~(uint64_t)" + b + ".i") + ";";
    case KOP_LNOT: return a + ".i = " + b + ".i ? 0 : 1;";
    case KOP_MIN_S: return "{ const int64_t x = " + b + ".i, y = " + c + ".i; " + a + ".i = y < x ? y : x; }";
    case KOP_MIN_U: return "{ const uint64_t x = " + b + ".u, y = " + c + ".u; " + a + ".u = y < x ? y : x; }";
    case KOP_MAX_S: return "{ const int64_t x = " + b + ".i, y = " + c + ".i; " + a + ".i = x < y ? y : x; }";
    case KOP_MAX_U: return "{ const uint64_t x = " + b + ".u, y = " + c + ".u; " + a + ".u = x < y ? y : x; }";

    case KOP_NEG_F32: return a + ".f = k_negf(" + b + ".f);";
    case KOP_NEG_F64: return a + ".d = k_negd(" + b + ".d);";
    case KOP_ABS_F32: return opaque_result(t, "f", "f", "fabsf");
    case KOP_ABS_F64: return opaque_result(t, "d", "d", "fabs");
    case KOP_SQRT_F32: return float_unary(t, "f", "f", "sqrtf(x)");
    case KOP_SQRT_F64: return float_unary(t, "d", "d", "sqrt(x)");
    case KOP_MATH1_F32: return math1(t, true);
    case KOP_MATH1_F64: return math1(t, false);
    case KOP_MATH2_F32: return math2(t, true);
    case KOP_MATH2_F64: return math2(t, false);

    case KOP_TRUNC_I8: return a + ".i = (int64_t)(int8_t)(uint8_t)" + b + ".u;";
    case KOP_TRUNC_U8: return a + ".i = (int64_t)(uint8_t)" + b + ".u;";
    case KOP_TRUNC_I16: return a + ".i = (int64_t)(int16_t)(uint16_t)" + b + ".u;";
    case KOP_TRUNC_U16: return a + ".i = (int64_t)(uint16_t)" + b + ".u;";
    case KOP_TRUNC_I32: return a + ".i = k_i32(" + b + ".u);";
    case KOP_TRUNC_U32: return a + ".i = k_u32(" + b + ".u);";
    case KOP_CVT_S_F32: return a + ".f = (float)" + b + ".i;";
    case KOP_CVT_U_F32: return a + ".f = (float)" + b + ".u;";
    case KOP_CVT_S_F64: return a + ".d = (double)" + b + ".i;";
    case KOP_CVT_U_F64: return a + ".d = (double)" + b + ".u;";
    case KOP_CVT_F32_INT: return float_to_int(t, true, pc);
    case KOP_CVT_F64_INT: return float_to_int(t, false, pc);
    case KOP_CVT_F32_F64: return opaque_result(t, "f", "d", "(double)");
    case KOP_CVT_F64_F32: return opaque_result(t, "d", "f", "(float)");
    case KOP_BOOL_F32: return a + ".i = " + b + ".f != 0.0f;";
    case KOP_BOOL_F64: return a + ".i = " + b + ".d != 0.0;";

    case KOP_ADDR:
      return "{ const uint64_t idx = " + c + ".u; " + t.slot_check("idx") + " " + a + ".p = " + t.slot('b') +
             " + idx * " + t.slot('s') + "; }";
    case KOP_ADDRU: return a + ".p = " + t.slot('b') + " + " + c + ".u * " + t.slot('s') + ";";
    case KOP_COPY: return "memmove(" + a + ".p, " + b + ".p, (size_t)" + imm + ");";
    case KOP_ZERO: return "memset(" + a + ".p, 0, (size_t)" + imm + ");";
    case KOP_CHKIDX: return "if (K_UNLIKELY(" + a + ".u >= (uint64_t)" + imm + ")) " + t.trap(5, a + ".i", imm);

    case KOP_AADD_32:
    case KOP_AADD_I32:
    case KOP_AADD_64:
      return atomic_add(t,
                        "const uint64_t idx = " + c + ".u; " + t.slot_check("idx") + " uint8_t* addr = " + t.slot('b') +
                            " + idx * " + t.slot('s') + "; ",
                        t.rx(), op);
    case KOP_AADDR_32:
    case KOP_AADDR_I32:
    case KOP_AADDR_64:
      return atomic_add(t, "uint8_t* addr = " + b + ".p + " + imm + "; ", c, op);
    default: no_translation(op);
  }
}

}  // namespace

std::string krvk_c_translate_insn(const krvk_c_translator& translator, const krvk_insn& insn, uint32_t pc) {
  if (insn.op >= KRVK_OPCODE_COUNT) no_translation(insn.op);
  const insn_text t(insn, pc, translator.registers);
  const std::string_view name = krvk_opcode_name(insn.op);
  const size_t underscore = name.find('_');
  if (underscore != std::string_view::npos) {
    const access_variant* variant = find_access_variant(name.substr(0, underscore));
    const krvk_c_elem* elem = krvk_c_elem_type(name.substr(underscore + 1));
    if (variant != nullptr && elem != nullptr) return memory_access(t, *variant, *elem);
  }
  std::string line = compare(t, name);
  if (!line.empty()) return line;
  return numbered(t, insn.op, pc);
}
