// A seeded mutation fuzz of the binary value reader: truncations, byte flips and forged lengths near
// 2^64 applied to valid encodings. Every input must read as true, or as false with a logged reason;
// nothing may crash, and no allocation may grow past what the input could justify.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "allocation_counter.h"
#include "runtime/base/krvvar_shared.h"
#include "runtime/storage/json_object.h"
#include "runtime/values/binary_format.h"
#include "value_test_vm.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint64_t fuzz_seed = 0x6b727631315f7631;  // fixed: a failure must reproduce
constexpr int mutations_per_seed = 10000;
// Pool pages and container growth stay well under this for inputs of a few hundred bytes.
constexpr size_t largest_justified_allocation = 64 * 1024;

// Valid encodings that reach every payload kind, keys, and nested sections.
std::vector<bytes> seed_encodings() {
  krvvar_shared root = krvvar_shared::make_json();
  krv_std_json& top = *root->json_ptr(false);
  krvvar_shared items[] = {krvvar_shared::make_int(-300), krvvar_shared::make_float(2.5),
                           krvvar_shared::make_string(std::string("text\0with zero", 14)),
                           krvvar_shared::make_buffer(reinterpret_cast<const uint8_t*>("\x01\x02\x03"), 3),
                           krvvar_shared::make_none()};
  const char* keys[] = {"int", "", "string", "buffer", "n"};
  for (size_t i = 0; i < std::size(items); ++i) top.push_value(items[i], keys[i]);
  krvvar_shared nested = root;
  for (int level = 0; level < 6; ++level) {
    krvvar_shared outer = krvvar_shared::make_json();
    krvvar_shared number = krvvar_shared::make_int(level);
    outer->json_ptr(false)->push_value(number, "level");
    outer->json_ptr(false)->push_value(nested);
    nested = outer;
  }
  std::vector<bytes> seeds(3);
  nested->to_binary(seeds[0]);
  krvvar_shared::make_string("a longer string value")->to_binary(seeds[1]);
  root->to_binary(seeds[2]);
  return seeds;
}

// One mutation of `input`: cut it, flip bytes, or put a forged LEB128 length near 2^64 somewhere.
void mutate(bytes& input, std::mt19937_64& random) {
  auto position = [&] { return static_cast<size_t>(random() % input.size()); };
  switch (random() % 3) {
    case 0: input.resize(position()); break;
    case 1:
      for (int flips = 1 + static_cast<int>(random() % 4); flips > 0; --flips)
        input[position()] ^= static_cast<uint8_t>(1 + random() % 255);
      break;
    default: {
      bytes forged;
      write_varint(forged, UINT64_MAX - random() % 64);
      const size_t at = position();
      input.erase(input.begin() + static_cast<ptrdiff_t>(at));
      input.insert(input.begin() + static_cast<ptrdiff_t>(at), forged.begin(), forged.end());
      break;
    }
  }
}

using BinaryFormatFuzz = ValueTest;

TEST_F(BinaryFormatFuzz, MutatedEncodingsReadOrFailWithAReason) {
  std::mt19937_64 random(fuzz_seed);
  krvvar_shared cell = krvvar_shared::make_none();
  int refused = 0;
  for (const bytes& seed : seed_encodings()) {
    ASSERT_TRUE(cell->from_binary_bytes(seed.data(), seed.size()));
    for (int round = 0; round < mutations_per_seed; ++round) {
      bytes input = seed;
      for (int steps = 1 + static_cast<int>(random() % 3); steps > 0 && !input.empty(); --steps) mutate(input, random);
      log.clear();
      krv_take_thread_largest_allocation();
      const bool read = cell->from_binary_bytes(input.data(), input.size());
      ASSERT_LE(krv_take_thread_largest_allocation(), largest_justified_allocation) << "round " << round;
      if (!read) {
        ++refused;
        ASSERT_FALSE(log.lines().empty()) << "round " << round << " failed without a reason";
      }
    }
  }
  EXPECT_GT(refused, mutations_per_seed);  // the mutations do reach the refusals
}

}  // namespace
