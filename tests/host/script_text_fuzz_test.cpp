// A seeded mutation fuzz of the text form. Lines and tokens of the sample texts are deleted, repeated,
// swapped, replaced by other tokens or by boundary numbers, and stray bytes are inserted. Whatever comes
// out, the text is either refused with "line N: ..." naming one of its own lines, or it assembles into
// a program that verifies and whose disassembly assembles again to the same code and the same listing.
//
// KRV_FUZZ_SEED and KRV_FUZZ_CASES change the run (a failure prints the seed and the text).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "assembler/instruction_decoder.h"
#include "assembler/program_blocks.h"
#include "assembler/script_disassembler.h"
#include "assembler/script_text.h"
#include "assembler/script_text_tokens.h"
#include "assembler/script_verifier.h"
#include "script_text_samples.h"

namespace {

uint64_t setting(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text ? std::strtoull(text, nullptr, 10) : fallback;
}

// Lines as the text form counts them: LF, CRLF and a lone CR each end one.
std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at <= text.size()) lines.emplace_back(krv_next_line(text, at));
  return lines;
}

std::string join_lines(const std::vector<std::string>& lines) {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) text += (i ? "\n" : "") + lines[i];
  return text;
}

class mutator {
 public:
  explicit mutator(uint64_t seed) : random_(seed) {
    for (const char* sample : {round_trip_text, hand_written_text})
      for (const std::string& line : split_lines(sample))
        for (const krv_text_token& token : krv_split_tokens(line)) tokens_.push_back(token.quoted ? krv_quote(token.text) : token.text);
  }

  std::string mutate(const std::string& text) {
    std::vector<std::string> lines = split_lines(text);
    const size_t rounds = 1 + pick(3);
    for (size_t round = 0; round < rounds && !lines.empty(); ++round) {
      const size_t at = pick(lines.size());
      switch (pick(7)) {
        case 0: lines.erase(lines.begin() + static_cast<ptrdiff_t>(at)); break;
        case 1: lines.insert(lines.begin() + static_cast<ptrdiff_t>(at), lines[pick(lines.size())]); break;
        case 2: std::swap(lines[at], lines[pick(lines.size())]); break;
        case 3: lines[at] = replace_token(lines[at], tokens_[pick(tokens_.size())]); break;
        case 4: lines[at] = replace_token(lines[at], boundary_numbers[pick(std::size(boundary_numbers))]); break;
        case 5: lines[at].insert(pick(lines[at].size() + 1), 1, stray_bytes[pick(std::size(stray_bytes) - 1)]); break;
        default: lines[at].resize(pick(lines[at].size() + 1)); break;
      }
    }
    return join_lines(lines);
  }

 private:
  static constexpr const char* boundary_numbers[] = {"0", "1", "2", "7", "8", "16", "17", "200", "255", "256", "1000",
                                                    "65536", "65537", "2147483648", "4294967295", "4294967296", "-1",
                                                    "-9223372036854775808", "nan", "inf", "1e308"};
  static constexpr char stray_bytes[] = "\r\n\"#\\\t :@$%\x01\x7f\xff";

  size_t pick(size_t bound) { return std::uniform_int_distribution<size_t>(0, bound - 1)(random_); }

  // The line with one whitespace-separated word replaced (strings count as words here: the split is
  // deliberately naive, so quotes get broken too).
  std::string replace_token(const std::string& line, const std::string& with) {
    std::vector<std::pair<size_t, size_t>> words;
    for (size_t at = 0; at < line.size();) {
      const size_t start = line.find_first_not_of(' ', at);
      if (start == std::string::npos) break;
      const size_t end = std::min(line.find(' ', start), line.size());
      words.emplace_back(start, end - start);
      at = end;
    }
    if (words.empty()) return with;
    const auto [start, length] = words[pick(words.size())];
    return line.substr(0, start) + with + line.substr(start + length);
  }

  std::mt19937_64 random_;
  std::vector<std::string> tokens_;
};

// A block's code with the host addresses blanked: those differ between two assemblies of one text.
std::vector<uint8_t> code_without_addresses(const krv_program_block& block) {
  std::vector<uint8_t> code = block.code;
  krv_for_each_instruction(block.code, [&code](const krv_decoded_instruction& instruction) {
    for (const krv_decoded_operand& operand : instruction.operands)
      if (operand.field.kind == krv_operand_kind::native || operand.field.kind == krv_operand_kind::cell ||
          operand.field.kind == krv_operand_kind::klass)
        std::fill_n(code.begin() + instruction.offset + operand.field.offset, 8, uint8_t{0});
  });
  return code;
}

// The oracle; returns what went wrong, empty when the text behaved. `accepted` tells which way it went.
std::string check(const std::string& text, bool& accepted) {
  accepted = false;
  krvptr_strong<krv_program> program;
  try {
    program = krv_assemble_text(text);
  } catch (const std::invalid_argument& refusal) {
    const std::string message = refusal.what();
    size_t digits = 0;
    unsigned long line = 0;
    if (message.starts_with("line ")) line = std::stoul(message.substr(5), &digits);
    if (digits == 0 || message.compare(5 + digits, 2, ": ") != 0) return "refusal without a line: " + message;
    if (line < 1 || line > split_lines(text).size()) return "refusal names a line outside the text: " + message;
    return {};
  }
  accepted = true;
  if (const std::vector<std::string> problems = krv_verify_program(*program); !problems.empty())
    return "accepted but does not verify: " + problems.front();
  const std::string listing = krv_disassemble(*program);
  krvptr_strong<krv_program> again;
  try {
    again = krv_assemble_text(listing);
  } catch (const std::invalid_argument& refusal) {
    return std::string("its disassembly is refused: ") + refusal.what() + "\n" + listing;
  }
  const std::vector<const krv_program_block*> first = krv_program_blocks(*program), second = krv_program_blocks(*again);
  if (first.size() != second.size()) return "block count changed\n" + listing;
  for (size_t i = 0; i < first.size(); ++i)
    if (code_without_addresses(*first[i]) != code_without_addresses(*second[i])) return "code of block " + std::to_string(i) + " changed\n" + listing;
  if (krv_disassemble(*again) != listing) return "the listing changed\n" + listing;
  return {};
}

TEST(ScriptTextFuzz, MutatedTextsAreRefusedOnOneOfTheirLinesOrRoundTrip) {
  const uint64_t seed = setting("KRV_FUZZ_SEED", 20261207);
  const uint64_t cases = setting("KRV_FUZZ_CASES", 4000);
  for (const char* sample : {round_trip_text, hand_written_text}) {
    bool sound = false;
    ASSERT_EQ(check(sample, sound), "");
    ASSERT_TRUE(sound) << "the unmutated sample must assemble:\n" << sample;
  }
  mutator mutate(seed);
  uint64_t accepted = 0;
  for (uint64_t n = 0; n < cases; ++n) {
    const std::string text = mutate.mutate(n % 2 ? round_trip_text : hand_written_text);
    bool was_accepted = false;
    const std::string fault = check(text, was_accepted);
    ASSERT_EQ(fault, "") << "seed " << seed << ", case " << n << ", text:\n" << text;
    accepted += was_accepted;
  }
  // Both outcomes are exercised: the mutations neither break every text nor leave them all sound.
  EXPECT_GT(accepted, cases / 20);
  EXPECT_LT(accepted, cases - cases / 20);
}

}  // namespace
