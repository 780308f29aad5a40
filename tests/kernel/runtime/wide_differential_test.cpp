// The 64-lane engine against the scalar interpreter on seeded random programs: the same chunks run as
// batch chunks (groups of 64 lanes, divergence finished on the scalar interpreter) and as scalar ranges,
// from the same registers and memory. Without a trap, chunk accumulators and all memory must be
// bit-identical. With one, the chunk must be the same, the reported work item must lie in the same group
// of 64 as the scalar engine's first trap (lock step may meet another lane's trap first), and running
// that work item alone on the scalar interpreter must give the same trap record.
//
// KRV_RANDOM_BYTECODE=N runs N seeds from KRV_RANDOM_BYTECODE_FIRST instead of the fixed range.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "kernel/runtime/listing.h"
#include "kernel/support/random_bytecode_runs.h"

namespace {

struct seed_range {
  uint64_t first;
  uint64_t count;
};

seed_range seeds_to_run() {
  const char* count = std::getenv("KRV_RANDOM_BYTECODE");
  const char* first = std::getenv("KRV_RANDOM_BYTECODE_FIRST");
  if (count == nullptr) return {0, 400};
  return {first != nullptr ? std::strtoull(first, nullptr, 10) : 0, std::strtoull(count, nullptr, 10)};
}

TEST(WideDifferential, RandomProgramsMatchTheScalarEngine) {
  const seed_range range = seeds_to_run();
  uint64_t trapped = 0, diverged = 0, clean = 0;
  for (uint64_t seed = range.first; seed < range.first + range.count; ++seed) {
    const krvk_random_bytecode c = krvk_random_bytecode_case(seed);
    // Chunk lengths of a launch (items / 256 rounded up) and odd ones that end in short groups.
    const uint64_t chunk = seed % 3 == 0 ? (c.items() + 255) / 256 : 1 + seed % 150;
    SCOPED_TRACE("seed " + std::to_string(seed) + ", chunk " + std::to_string(chunk) + ", " +
                 std::to_string(c.width) + " x " + std::to_string(c.height) + "\n" + krvk_disasm(c.program()));
    const krvk_chunked_run scalar = krvk_run_ranges(c, chunk);
    const krvk_chunked_run batch = krvk_run_batch(c, chunk);
    diverged += batch.diverged > 0 ? 1 : 0;
    if (scalar.code == 0) {
      ++clean;
      ASSERT_EQ(batch.code, 0) << "trap " << int(batch.trap.code) << " at pc " << batch.trap.pc;
      EXPECT_EQ(scalar.chunk_values, batch.chunk_values);
      for (size_t s = 0; s < scalar.memory.size(); ++s) {
        const std::vector<uint64_t>& want = scalar.memory[s].words;
        const std::vector<uint64_t>& got = batch.memory[s].words;
        const size_t first = std::mismatch(want.begin(), want.end(), got.begin()).first - want.begin();
        ASSERT_EQ(first, want.size()) << "slot " << s << " word " << first << ": scalar " << std::hex << want[first]
                                      << ", batch " << got[first];
      }
      continue;
    }
    ++trapped;
    EXPECT_TRUE(c.may_trap);
    ASSERT_NE(batch.code, 0);
    ASSERT_EQ(scalar.trap_chunk, batch.trap_chunk);
    const uint64_t chunk_begin = scalar.trap_chunk * chunk;
    EXPECT_EQ((scalar.trap.gid - chunk_begin) / 64, (batch.trap.gid - chunk_begin) / 64);
    const auto [alone_code, alone_trap] = krvk_run_alone(c, batch.trap.gid);
    EXPECT_EQ(alone_code, batch.code);
    krvk_expect_same_trap(alone_trap, batch.trap);
    EXPECT_EQ(scalar.chunk_values, batch.chunk_values);  // the chunks before the trap
  }
  if (range.count >= 400) {  // the seeds must exercise every path they are meant to
    EXPECT_GT(trapped, 20u);
    EXPECT_GT(diverged, 50u);
    EXPECT_GT(clean, 150u);
  }
}

}  // namespace
