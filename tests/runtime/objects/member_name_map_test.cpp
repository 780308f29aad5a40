// The class name map: its hash is XXH3-64 of the name bytes for every length, names are told apart by
// every byte (the short-name compare reads words from both ends), and lookups keep working as the table
// grows, with entries in registration order.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/objects/member_name_map.h"

namespace {

// `length` bytes in a heap block of exactly that size, so that AddressSanitizer sees any read past it.
std::unique_ptr<char[]> exact_bytes(size_t length, char first) {
  auto bytes = std::make_unique<char[]>(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(first + i * 7);
  return bytes;
}

TEST(MemberNameHash, IsXxh3OfTheNameBytesForEveryLength) {
  for (size_t length = 0; length <= 40; ++length) {
    const auto bytes = exact_bytes(length, 'a');
    const std::string_view name(bytes.get(), length);
    EXPECT_EQ(krv_member_name_hash(name), XXH3_64bits(name.data(), name.size())) << length;
    EXPECT_EQ(krv_member_name_hash(name), krv_hasher{}(name)) << length;
  }
}

TEST(MemberNameBytes, ADifferenceAtAnyPositionIsSeen) {
  for (size_t length = 0; length <= 24; ++length) {
    const auto a = exact_bytes(length, 'k');
    const auto b = exact_bytes(length, 'k');
    EXPECT_TRUE(krv_same_name_bytes(a.get(), b.get(), length)) << length;
    for (size_t at = 0; at < length; ++at) {
      b[at] ^= 0x20;
      EXPECT_FALSE(krv_same_name_bytes(a.get(), b.get(), length)) << length << " at " << at;
      b[at] ^= 0x20;
    }
  }
}

TEST(MemberNameMap, FindsEveryNameAcrossGrowthAndMissesItsNeighbours) {
  std::vector<std::string> names;
  for (int i = 0; i < 200; ++i) names.push_back(std::string(1 + i % 23, 'm') + std::to_string(i));
  krv_member_name_map map;
  EXPECT_EQ(map.find("m0"), -1);
  for (size_t i = 0; i < names.size(); ++i) {
    map.assign(names[i], i * 3);
    // Everything registered so far is still found after each rebuild of the table.
    for (size_t k = 0; k <= i; k += 17) ASSERT_EQ(map.find(names[k]), static_cast<int64_t>(k * 3)) << names[k];
  }
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    EXPECT_EQ(map.find(name), static_cast<int64_t>(i * 3)) << name;
    EXPECT_EQ(map.find(name + "x"), -1) << name;
    EXPECT_EQ(map.find(std::string_view(name).substr(1)), -1) << name;
    std::string changed = name;
    changed.back() = '#';
    EXPECT_EQ(map.find(changed), -1) << name;
  }
  ASSERT_EQ(map.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(map.entries()[i].name, names[i]);
}

TEST(MemberNameMap, AssigningANameAgainRebindsItInPlace) {
  krv_member_name_map map;
  map.assign("size", 0);
  map.assign("clear", 1);
  map.assign("size", 7);
  EXPECT_EQ(map.find("size"), 7);
  EXPECT_EQ(map.find("clear"), 1);
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map.entries()[0].name, "size");
  EXPECT_EQ(map.entries()[0].index, 7u);
}

}  // namespace
