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

#include "host/assembler/script_text_tokens.h"
#include "script_text_round_trip.h"
#include "script_text_samples.h"

namespace {

uint64_t setting(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text ? std::strtoull(text, nullptr, 10) : fallback;
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

TEST(ScriptTextFuzz, MutatedTextsAreRefusedOnOneOfTheirLinesOrRoundTrip) {
  const uint64_t seed = setting("KRV_FUZZ_SEED", 20261207);
  const uint64_t cases = setting("KRV_FUZZ_CASES", 4000);
  for (const char* sample : {round_trip_text, hand_written_text}) {
    bool sound = false;
    ASSERT_EQ(krv_script_text_fault(sample, sound), "");
    ASSERT_TRUE(sound) << "the unmutated sample must assemble:\n" << sample;
  }
  mutator mutate(seed);
  uint64_t accepted = 0;
  for (uint64_t n = 0; n < cases; ++n) {
    const std::string text = mutate.mutate(n % 2 ? round_trip_text : hand_written_text);
    bool was_accepted = false;
    const std::string fault = krv_script_text_fault(text, was_accepted);
    ASSERT_EQ(fault, "") << "seed " << seed << ", case " << n << ", text:\n" << text;
    accepted += was_accepted;
  }
  // Both outcomes are exercised: the mutations neither break every text nor leave them all sound.
  EXPECT_GT(accepted, cases / 20);
  EXPECT_LT(accepted, cases - cases / 20);
}

}  // namespace
