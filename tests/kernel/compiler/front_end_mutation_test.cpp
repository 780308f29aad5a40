// Seeded mutation testing of the front end: kernel sources of every shape, cut, patched and sprinkled with
// the fragments most likely to confuse a lexer or parser. Every input must either parse or end with a
// kerror; any other exception, a crash or a sanitizer report fails the test. Runs in every CI build,
// including ASan+UBSan.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "kernel/compiler/compile_driver.h"
#include "kernel/compiler/lexer.h"
#include "kernel/compiler/parser.h"
#include "sample_kernels.h"

namespace {

const std::vector<std::string>& fragments() {
  static const std::vector<std::string> list = {
      "{", "}", "(", ")", "[", "]", ";", ",", "*", "**", "->", ".", "..", "?", ":", "=", "<<=", "++", "--",
      "\n", "\r\n", "#line 7 \"f.k\"\n", "#line 0\n", "#line 99999999999\n", "#pragma\n", "#", "/*", "*/", "//",
      "\"", std::string(1, '\0'), "\xff", "0x", "0b2", "1e", "1.5f", "18446744073709551616", ".5u", "struct ",
      "cstruct ", "kernel ", "inline ", "const ", "reduce(", "reduce(a: +, ", "sizeof(", "return {", "else ",
      "if (", "for (;;", "while (", "unchecked ", "f32x4 ", "u8* ", "(f32)", "gid_x", "{{{", ")))",
  };
  return list;
}

std::string mutate(std::string source, std::mt19937_64& rng) {
  auto pick = [&](size_t bound) { return bound == 0 ? size_t{0} : size_t(rng() % bound); };
  int edits = 1 + int(rng() % 4);
  for (int i = 0; i < edits; ++i) {
    size_t at = pick(source.size() + 1);
    switch (rng() % 5) {
      case 0:  // overwrite one byte with any byte
        if (at < source.size()) source[at] = char(rng() & 0xFF);
        break;
      case 1:  // delete a span
        source.erase(at, pick(24));
        break;
      case 2:  // insert a fragment
        source.insert(at, fragments()[pick(fragments().size())]);
        break;
      case 3: {  // duplicate a span elsewhere
        std::string span = source.substr(at, pick(40));
        source.insert(pick(source.size() + 1), span);
        break;
      }
      default:  // cut the source short
        source.resize(at);
        break;
    }
  }
  return source;
}

TEST(KernelFrontEndMutation, EveryMutatedSourceParsesOrGivesADiagnostic) {
  std::mt19937_64 rng(20261207);
  int parsed = 0;
  int diagnosed = 0;
  const auto& samples = krvk_sample_kernels();
  for (int round = 0; round < 20000; ++round) {
    std::string source = mutate(samples[round % samples.size()].source, rng);
    krvk_source_map map;
    std::vector<krvk_token> tokens;
    krvk_lexer lexer{&map, &tokens};
    try {
      krvk_lex(lexer, source, "main.k");
      krvk_parser parser(map, tokens, 0);
      parser.parse_unit();
      ++parsed;
    } catch (const kerror& error) {
      ++diagnosed;
      ASSERT_FALSE(error.message.empty()) << source;
      ASSERT_GE(error.line, 1u) << source;
      ASSERT_GE(error.column, 1u) << source;
    }
  }
  // Both outcomes occur, so the mutations neither break everything nor leave everything valid.
  EXPECT_GT(parsed, 100);
  EXPECT_GT(diagnosed, 1000);
}

// The same mutations through the whole compiler: the checker and back end must turn every source that
// parses into a unit or a diagnostic with a position, never a crash or another exception.
TEST(KernelFrontEndMutation, EveryMutatedSourceCompilesOrGivesADiagnostic) {
  std::mt19937_64 rng(20261208);
  int compiled = 0;
  int diagnosed = 0;
  const auto& samples = krvk_sample_kernels();
  for (int round = 0; round < 10000; ++round) {
    const std::string source = mutate(samples[round % samples.size()].source, rng);
    kerror err;
    if (krvk_compile_source(source, "main.k", err, {}) != nullptr) {
      ++compiled;
      continue;
    }
    ++diagnosed;
    ASSERT_FALSE(err.message.empty()) << source;
    ASSERT_GE(err.line, 1u) << source << "\n" << err.message;
  }
  EXPECT_GT(compiled, 100);
  EXPECT_GT(diagnosed, 1000);
}

}  // namespace
