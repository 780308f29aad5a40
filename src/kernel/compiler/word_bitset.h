// A fixed-size set of small numbers stored as 64-bit words, for the back end's block and register sets.
//
// Sized once at construction; set operations work a word at a time, and `for_each` visits members in
// increasing order by scanning words, so sparse sets over many registers stay cheap to walk.
#pragma once
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

class krvk_bitset {
 public:
  krvk_bitset() = default;
  explicit krvk_bitset(size_t bits) : bits_(bits), words_((bits + 63) / 64, 0) {}

  size_t size() const { return bits_; }
  bool test(size_t i) const { return (words_[i >> 6] >> (i & 63)) & 1u; }
  void set(size_t i) { words_[i >> 6] |= uint64_t{1} << (i & 63); }
  void reset(size_t i) { words_[i >> 6] &= ~(uint64_t{1} << (i & 63)); }
  void clear() { std::fill(words_.begin(), words_.end(), 0); }

  // this |= other; both have the same size.
  void unite(const krvk_bitset& other) {
    for (size_t w = 0; w < words_.size(); ++w) words_[w] |= other.words_[w];
  }
  bool operator==(const krvk_bitset& other) const { return words_ == other.words_; }

  template <class Visit>
  void for_each(Visit visit) const {
    for (size_t w = 0; w < words_.size(); ++w) {
      for (uint64_t word = words_[w]; word != 0; word &= word - 1) visit(w * 64 + std::countr_zero(word));
    }
  }

  std::vector<uint64_t>& words() { return words_; }
  const std::vector<uint64_t>& words() const { return words_; }

 private:
  size_t bits_ = 0;
  std::vector<uint64_t> words_;
};
