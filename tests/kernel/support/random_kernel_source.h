// Seeded random kernel sources with their arguments, for differential tests between engines and between
// compiler settings.
//
// `krvk_random_kernel_case(seed)` makes one complete case: a source with one entry kernel "fuzz", the
// arguments to bind in declaration order (buffers with their initial bytes, scalars in register form) and
// the domain. The same seed gives the same case on every platform (a private splitmix64 generator, no
// standard distributions).
//
// What a case promises, so that any engine that runs it must give the same result:
// * every work item writes only its own elements of the writable buffers (gid * K + c, c < K); other
//   buffers are read-only and may be read anywhere; the shared counter buffer is only changed by integer
//   atomic adds, whose sum does not depend on the order of work items;
// * loops have bounded trip counts (counters that the body never assigns), so every run ends;
// * floats stay finite in practice but need not: a NaN or infinity is converted to an integer only behind a
//   range test, unless the case may trap;
// * with special floats (`krvk_random_kernel_case(seed, true)`), a quarter of the float inputs are NaNs
//   (quiet and signalling, both signs, random payloads), infinities, zeros of both signs, huge, tiny and
//   hand-picked values, literals include -1.0f, 1.0f, -0.0f, NaN and infinity, and float expressions
//   include the math built-ins, conversions through f64, % and |x| * |x|: what a C compiler could fold
//   or rewrite. Such cases may make a NaN of two NaN operands, whose bits the engines need not share;
// * with `may_trap`, a few statements can trap (division by a value that may be zero or -1, a buffer or
//   array index past the end, an unguarded float-to-integer conversion); without it none can.
// The shapes cover arithmetic on parameters and gid, loads and stores through several pointers,
// if/else, for and while loops with reassigned locals, break and continue, early returns, local arrays,
// the conditional operator and reductions.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/support/splitmix64.h"

struct krvk_random_buffer {
  std::string element;  // element type name: "i32", "u8", "f32", ...
  size_t element_size = 0;
  bool writable = false;
  std::vector<uint8_t> bytes;  // initial contents, whole elements
};

struct krvk_random_scalar {
  std::string type;  // "i32", "u32", "i64" or "f32"
  uint64_t bits = 0;  // register form: signed integers sign-extended, f32 in the low 32 bits
};

struct krvk_random_kernel {
  std::string source;
  std::vector<krvk_random_buffer> buffers;  // pointer parameters in declaration order
  std::vector<krvk_random_scalar> scalars;  // scalar parameters in declaration order, after the pointers
  std::string result;  // "void" or the reduced type
  bool may_trap = false;
  uint64_t width = 0;  // domain
  uint64_t height = 1;
};

class krvk_random_kernel_maker {
 public:
  explicit krvk_random_kernel_maker(uint64_t seed, bool special_floats = false)
      : state_(seed * 0x9E3779B97F4A7C15ull + 0x1234567ull), special_(special_floats) {}

  krvk_random_kernel make() {
    kernel_.may_trap = chance(4);
    kernel_.width = 1 + below(40);
    kernel_.height = chance(5) ? 1 + below(4) : 1;
    items_ = kernel_.width * kernel_.height;
    per_item_ = 1 + below(3);
    make_parameters();
    std::string body;
    scopes_.emplace_back();
    const int statements = 3 + static_cast<int>(below(8));
    for (int i = 0; i < statements; ++i) body += statement(1, 0);
    for (size_t b = 0; b < kernel_.buffers.size(); ++b) {
      if (kernel_.buffers[b].writable && b != counter_buffer_) body += "  " + store(b) + "\n";
    }
    if (kernel_.result != "void") body += "  return " + expr(kernel_.result, 2) + ";\n";
    scopes_.pop_back();
    kernel_.source = signature() + " {\n" + body + "}\n";
    return kernel_;
  }

 private:
  static constexpr const char* kValueTypes[] = {"i32", "u32", "i64", "f32"};

  struct local {
    std::string name;
    std::string type;
    bool assignable;
  };

  // --- random numbers -----------------------------------------------------------------------------

  uint64_t next() { return krv_splitmix64_next(state_); }
  uint64_t below(uint64_t n) { return next() % n; }
  bool chance(uint64_t one_in) { return below(one_in) == 0; }
  std::string pick_type() { return kValueTypes[below(4)]; }

  // --- parameters and data ------------------------------------------------------------------------

  static size_t size_of(const std::string& type) {
    if (type == "u8") return 1;
    if (type == "i16") return 2;
    if (type == "i64" || type == "f64") return 8;
    return 4;
  }

  // The bits of a float a C compiler may treat otherwise than the processor: NaNs with payloads,
  // infinities, zeros, extremes, and inputs at which the C library and a compiler's own arithmetic part.
  uint64_t special_float(bool f64) {
    const uint64_t sign = chance(2) ? (f64 ? 0x8000000000000000ull : 0x80000000ull) : 0;
    const uint64_t exponent = f64 ? 0x7ff0000000000000ull : 0x7f800000ull;
    const uint64_t quiet = f64 ? 0x0008000000000000ull : 0x00400000ull;
    switch (below(8)) {
      case 0: return sign | exponent | (1 + below(quiet - 1));  // signalling NaN
      case 1: return sign | exponent | quiet | below(quiet);  // quiet NaN
      case 2: return sign | exponent;  // infinity
      case 3: return sign;  // zero
      case 4: return sign | (f64 ? 0x7fefffffffffffffull : 0x7f7fffffull);  // the largest finite
      case 5: return sign | (f64 ? 0x46293e5939a08ceaull : 0x7149f2caull);  // 1e30
      case 6: return sign | 1;  // the smallest subnormal
      default: return f64 ? 0x420785142d3f0a28ull : 0x3f69240cull;  // 12627117479.879959, 0.91070628f
    }
  }

  // A small value of the type in element bytes; now and then an extreme integer or a special float.
  void append_value(std::vector<uint8_t>& bytes, const std::string& type) {
    const int64_t small = static_cast<int64_t>(below(101)) - 50;
    uint64_t bits = static_cast<uint64_t>(small);
    if (special_ && (type == "f32" || type == "f64") && chance(4)) {
      bits = special_float(type == "f64");
    } else if (type == "f32") {
      const float f = static_cast<float>(small) / 4.0f;
      uint32_t b32 = 0;
      std::memcpy(&b32, &f, 4);
      bits = b32;
    } else if (type == "f64") {
      const double d = static_cast<double>(small) / 8.0;
      std::memcpy(&bits, &d, 8);
    } else if (chance(16)) {
      bits = type == "i64" ? 0x8000000000000000ull : type == "i32" ? 0xFFFFFFFF80000000ull : ~uint64_t{0};
    }
    for (size_t i = 0; i < size_of(type); ++i) bytes.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  }

  void add_buffer(const std::string& element, bool writable, size_t count) {
    krvk_random_buffer buffer{element, size_of(element), writable, {}};
    for (size_t i = 0; i < count; ++i) append_value(buffer.bytes, element);
    kernel_.buffers.push_back(std::move(buffer));
  }

  void make_parameters() {
    static const char* const kElements[] = {"i32", "u32", "i64", "f32", "u8", "i16", "f64"};
    const size_t outputs = 1 + below(2), inputs = 1 + below(3);
    for (size_t i = 0; i < outputs; ++i) add_buffer(kElements[below(7)], true, items_ * per_item_);
    // Inputs hold a few elements past the domain so that p[gid + k] stays inside for small k.
    for (size_t i = 0; i < inputs; ++i) add_buffer(kElements[below(7)], false, items_ + 4 + below(8));
    if (chance(3)) {
      counter_buffer_ = kernel_.buffers.size();
      add_buffer("u32", true, 4);
    }
    const size_t scalars = below(4);
    for (size_t i = 0; i < scalars; ++i) {
      krvk_random_scalar scalar{pick_type(), 0};
      std::vector<uint8_t> bytes;
      append_value(bytes, scalar.type);
      uint64_t bits = 0;
      std::memcpy(&bits, bytes.data(), bytes.size());
      if (scalar.type == "i32") bits = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(bits)));
      scalar.bits = bits;
      kernel_.scalars.push_back(scalar);
    }
    static const char* const kResults[] = {"void", "void", "i32", "u32", "i64", "f32"};
    kernel_.result = kResults[below(6)];
    // Integer reductions are exact in any order; floats reduce by min or max only, for the same reason.
    static const char* const kReduce[] = {"+", "^", "max", "min"};
    reduce_op_ = kernel_.result == "f32" ? kReduce[2 + below(2)] : kReduce[below(4)];
  }

  std::string buffer_name(size_t b) const { return "p" + std::to_string(b); }

  std::string signature() const {
    std::string text = "kernel " + kernel_.result + " fuzz(";
    for (size_t b = 0; b < kernel_.buffers.size(); ++b) {
      const krvk_random_buffer& buffer = kernel_.buffers[b];
      text += (b ? ", " : "") + std::string(buffer.writable ? "" : "const ") + buffer.element + "* " + buffer_name(b);
    }
    for (size_t s = 0; s < kernel_.scalars.size(); ++s) {
      text += (kernel_.buffers.empty() && s == 0 ? "" : ", ") + kernel_.scalars[s].type + " s" + std::to_string(s);
    }
    text += ")";
    return kernel_.result == "void" ? text : text + " reduce(" + reduce_op_ + ")";
  }

  // --- expressions --------------------------------------------------------------------------------

  std::string literal(const std::string& type) {
    if (type == "f32") {
      static const char* const kFloats[] = {"0.5f", "2.0f", "-1.25f", "3.0f", "0.0f", "10.0f", "-1.0f", "1.0f",
                                            "-0.0f", "1e30f", "(0.0f / 0.0f)", "(-1.0f / 0.0f)", "0.91070628f"};
      return kFloats[below(special_ ? 13 : 6)];
    }
    // Typed literals: an untyped one would take i32 in a conditional whose other arm is a literal too.
    if (type == "u32") return std::to_string(below(20)) + "u";
    const int64_t value = static_cast<int64_t>(below(20)) - 10;
    const std::string text = value < 0 ? "(" + std::to_string(value) + ")" : std::to_string(value);
    return type == "i64" ? "i64" + (value < 0 ? text : "(" + text + ")") : text;
  }

  std::string gid_term() {
    if (kernel_.height > 1 && chance(2)) return chance(2) ? "gid_x" : "gid_y";
    return chance(6) ? "gsize" : "gid";
  }

  // An index of one of this work item's own elements of a writable buffer.
  std::string own_index() {
    return per_item_ == 1 ? "gid" : "gid * " + std::to_string(per_item_) + " + " + std::to_string(below(per_item_));
  }

  std::string load(size_t b) {
    const krvk_random_buffer& buffer = kernel_.buffers[b];
    const size_t count = buffer.bytes.size() / buffer.element_size;
    std::string index;
    if (buffer.writable) {
      index = own_index();
    } else if (chance(3)) {
      index = "gid + " + std::to_string(below(4));
    } else {
      // A trapping case now and then reads a few elements past the end.
      const size_t bound = count + (kernel_.may_trap && chance(3) ? 3 : 0);
      index = "u32(" + expr("i32", 1) + ") % " + std::to_string(bound) + "u";
    }
    return buffer_name(b) + "[" + index + "]";
  }

  // A value of `from` converted to `to`; floats become integers only inside a range unless traps are allowed.
  std::string convert(const std::string& from_text, const std::string& from, const std::string& to) {
    if (from == to) return from_text;
    const bool float_to_int = (from == "f32" || from == "f64") && to != "f32" && to != "f64";
    if (!float_to_int) return to + "(" + from_text + ")";
    // An unguarded conversion mixes in gid, so that the checker cannot fold a constant that does not fit.
    if (kernel_.may_trap && chance(3)) return to + "(" + from_text + " + " + from + "(gid & 1))";
    // The checker converts constants when it compiles, even in the arm that the range test skips.
    const std::string v = "(" + from_text + " + " + from + "(gid & 0))";
    const std::string low = to[0] == 'u' ? "0.0" : "-1000.0";
    const std::string suffix = from == "f32" ? "f" : "";
    return "(" + v + " > " + low + suffix + " && " + v + " < 1000.0" + suffix + " ? " + to + "(" + v + ") : " + to + "(7))";
  }

  std::string leaf(const std::string& type) {
    std::vector<const local*> matching;
    for (const auto& scope : scopes_) {
      for (const local& l : scope) {
        if (l.type == type || chance(4)) matching.push_back(&l);
      }
    }
    switch (below(5)) {
      case 0: {
        if (matching.empty()) break;
        const local& l = *matching[below(matching.size())];
        return convert(l.name, l.type, type);
      }
      case 1: {
        if (kernel_.scalars.empty()) break;
        const size_t s = below(kernel_.scalars.size());
        return convert("s" + std::to_string(s), kernel_.scalars[s].type, type);
      }
      case 2: {
        const size_t b = below(kernel_.buffers.size());
        if (b == counter_buffer_) break;
        return convert(load(b), kernel_.buffers[b].element, type);
      }
      case 3: return type == "f32" ? "f32(" + gid_term() + ")" : type + "(" + gid_term() + ")";
      default: break;
    }
    return literal(type);
  }

  std::string condition(int depth) {
    if (depth > 0 && chance(4)) {
      return "(" + condition(depth - 1) + (chance(2) ? " && " : " || ") + condition(depth - 1) + ")";
    }
    if (chance(8)) return "!(" + condition(0) + ")";
    static const char* const kCompare[] = {" < ", " <= ", " == ", " != ", " > ", " >= "};
    const std::string type = pick_type();
    return "(" + expr(type, depth) + kCompare[below(6)] + expr(type, depth) + ")";
  }

  std::string int_binary(const std::string& type, int depth) {
    const std::string a = expr(type, depth - 1), b = expr(type, depth - 1);
    switch (below(9)) {
      case 0: return "(" + a + " + " + b + ")";
      case 1: return "(" + a + " - " + b + ")";
      case 2: return "(" + a + " * " + b + ")";
      case 3: return "(" + a + " & " + b + ")";
      case 4: return "(" + a + " | " + b + ")";
      case 5: return "(" + a + " ^ " + b + ")";
      case 6: return "(" + a + (chance(2) ? " << " : " >> ") + std::to_string(below(6)) + ")";
      case 7: return "min(" + a + ", " + b + ")";
      default: {
        const std::string op = chance(2) ? " / " : " % ";
        // The divisor mixes in gid, so that the checker cannot fold it to a constant zero.
        if (kernel_.may_trap && chance(2)) return "(" + a + op + "(" + b + " ^ " + type + "(gid & 3)))";
        // A divisor in 1..16, or a constant one.
        if (chance(3)) return "(" + a + op + std::to_string(1 + below(9)) + ")";
        return "(" + a + op + "((" + b + " & 15) + 1))";
      }
    }
  }

  // A math built-in of f32 or, through conversions, of f64.
  std::string math(const std::string& a, const std::string& b) {
    static const char* const kOne[] = {"floor", "ceil", "round", "trunc", "sin", "cos", "tan",
                                       "asin",  "acos", "atan",  "exp",   "log", "log2", "log10"};
    const bool f64 = chance(2);
    const std::string x = f64 ? "f64(" + a + ")" : a, y = f64 ? "f64(" + b + ")" : b;
    std::string call;
    switch (below(4)) {
      case 0: call = std::string(chance(2) ? "pow(" : "atan2(") + x + ", " + y + ")"; break;
      case 1: call = std::string(chance(2) ? "cos(atan(" : "sin(atan(") + x + "))"; break;
      default: call = std::string(kOne[below(14)]) + "(" + x + ")"; break;
    }
    return f64 ? "f32(" + call + ")" : call;
  }

  std::string float_binary(int depth) {
    const std::string a = expr("f32", depth - 1), b = expr("f32", depth - 1);
    switch (special_ ? below(12) : below(7)) {
      case 0: return "(" + a + " + " + b + ")";
      case 1: return "(" + a + " - " + b + ")";
      case 2: return "(" + a + " * " + b + ")";
      case 3: return "max(" + a + ", " + b + ")";
      case 4: return "sqrt(abs(" + a + "))";
      case 5: return "(" + a + " / " + b + ")";
      case 7: case 8: return math(a, b);
      case 9: return "f32(f64(" + a + "))";
      case 10: return "(" + a + " % " + b + ")";
      case 11: return "(abs(" + a + ") * abs(" + a + "))";
      default: return "(-(" + a + "))";
    }
  }

  std::string expr(const std::string& type, int depth) {
    if (depth <= 0 || chance(3)) return leaf(type);
    if (chance(8)) return "(" + condition(depth - 1) + " ? " + expr(type, depth - 1) + " : " + expr(type, depth - 1) + ")";
    if (chance(6)) {
      const std::string from = pick_type();
      return convert(expr(from, depth - 1), from, type);
    }
    return type == "f32" ? float_binary(depth) : int_binary(type, depth);
  }

  // --- statements ---------------------------------------------------------------------------------

  std::string fresh_name(const char* prefix) { return prefix + std::to_string(names_++); }

  std::string store(size_t b) {
    const krvk_random_buffer& buffer = kernel_.buffers[b];
    const std::string value_type = buffer.element == "u8" || buffer.element == "i16" ? "i32"
                                   : buffer.element == "f64"                        ? "f32"
                                                                                    : buffer.element;
    std::string value = expr(value_type, 2);
    if (value_type != buffer.element) value = buffer.element + "(" + value + ")";
    return buffer_name(b) + "[" + own_index() + "] = " + value + ";";
  }

  std::string assignable_local() {
    std::vector<const local*> candidates;
    for (const auto& scope : scopes_) {
      for (const local& l : scope) {
        if (l.assignable) candidates.push_back(&l);
      }
    }
    if (candidates.empty()) return "";
    const local& l = *candidates[below(candidates.size())];
    static const char* const kOps[] = {" = ", " += ", " -= ", " ^= "};
    const char* op = l.type == "f32" ? kOps[below(3)] : kOps[below(4)];
    return l.name + op + expr(l.type, 2) + ";";
  }

  std::string block(int depth, int loops) {
    scopes_.emplace_back();
    std::string text = "{\n";
    const int count = 1 + static_cast<int>(below(3));
    for (int i = 0; i < count; ++i) text += statement(depth + 1, loops);
    scopes_.pop_back();
    return text + std::string(2 * depth, ' ') + "}";
  }

  std::string loop_bound() {
    if (!kernel_.scalars.empty() && chance(3)) {
      const size_t s = below(kernel_.scalars.size());
      return "(" + convert("s" + std::to_string(s), kernel_.scalars[s].type, "i32") + " & 3)";
    }
    return std::to_string(1 + below(4));
  }

  std::string statement(int depth, int loops) {
    const std::string pad(2 * depth, ' ');
    const bool nest = depth < 4;
    switch (below(12)) {
      case 0:
      case 1: {
        const std::string type = pick_type(), name = fresh_name("v");
        const std::string text = pad + type + " " + name + " = " + expr(type, 2) + ";\n";
        scopes_.back().push_back({name, type, true});
        return text;
      }
      case 2:
      case 3: {
        const std::string text = assignable_local();
        if (!text.empty()) return pad + text + "\n";
        break;
      }
      case 4: {
        const size_t b = below(kernel_.buffers.size());
        if (!kernel_.buffers[b].writable) break;
        if (b == counter_buffer_) return pad + "atomic_add(" + buffer_name(b) + "[u32(" + expr("i32", 1) + ") % 4u], 1u);\n";
        return pad + store(b) + "\n";
      }
      case 5:
        if (!nest) break;
        return pad + "if (" + condition(1) + ") " + block(depth, loops) + (chance(2) ? " else " + block(depth, loops) : "") + "\n";
      case 6: {
        if (!nest || loops >= 2) break;
        const std::string counter = fresh_name("k");
        scopes_.emplace_back();
        scopes_.back().push_back({counter, "i32", false});
        const std::string text = pad + "for (i32 " + counter + " = 0; " + counter + " < " + loop_bound() + "; " + counter +
                                 "++) " + block(depth, loops + 1) + "\n";
        scopes_.pop_back();
        return text;
      }
      case 7: {
        if (!nest || loops >= 2) break;
        // The counter steps first, so that no break or continue in the body can skip it.
        const std::string counter = fresh_name("w"), bound = loop_bound();
        std::string text = pad + "i32 " + counter + " = 0;\n";
        scopes_.back().push_back({counter, "i32", false});
        text += pad + "while (" + counter + " < " + bound + ") {\n" + pad + "  " + counter + "++;\n";
        scopes_.emplace_back();
        text += statement(depth + 1, loops + 1);
        scopes_.pop_back();
        return text + pad + "}\n";
      }
      case 8: {
        if (loops == 0 || !chance(2)) break;
        return pad + "if (" + condition(0) + ")" + (chance(2) ? " break;\n" : " continue;\n");
      }
      case 9: {
        const std::string type = chance(2) ? "i32" : "f32", name = fresh_name("a");
        std::string text = pad + type + " " + name + "[4] = {";
        for (int i = 0; i < 4; ++i) text += (i ? ", " : "") + expr(type, 1);
        text += "};\n";
        const std::string index = kernel_.may_trap && chance(3) ? "(u32(" + expr("i32", 1) + ") + u32(gid)) % 6u"
                                                                : "u32(" + expr("i32", 1) + ") & 3u";
        text += pad + name + "[" + index + "] = " + expr(type, 1) + ";\n";
        const std::string sum = fresh_name("v");
        text += pad + type + " " + sum + " = " + name + "[0] + " + name + "[" + std::to_string(below(4)) + "];\n";
        scopes_.back().push_back({sum, type, true});
        return text;
      }
      case 10: {
        if (!chance(3)) break;
        const std::string value = kernel_.result == "void" ? "" : " " + expr(kernel_.result, 1);
        return pad + "if (" + condition(0) + ") return" + value + ";\n";
      }
      default: break;
    }
    const std::string type = pick_type(), name = fresh_name("v");
    const std::string text = pad + type + " " + name + " = " + expr(type, 1) + ";\n";
    scopes_.back().push_back({name, type, true});
    return text;
  }

  uint64_t state_;
  bool special_ = false;  // special floats, literals and math built-ins
  krvk_random_kernel kernel_;
  uint64_t items_ = 0;
  uint64_t per_item_ = 1;  // elements of each writable buffer that one work item owns
  size_t counter_buffer_ = SIZE_MAX;  // the u32 buffer changed only by atomic adds, when there is one
  std::string reduce_op_;
  int names_ = 0;
  std::vector<std::vector<local>> scopes_;
};

inline krvk_random_kernel krvk_random_kernel_case(uint64_t seed, bool special_floats = false) {
  return krvk_random_kernel_maker(seed, special_floats).make();
}
