// krv_json_key: the text of a container entry's key, immutable once made and shared by count.
//
// Parsed documents repeat the same few key names in every record: one text per name, shared by all
// the entries that carry it, spares a heap allocation and its free per member. A key's text never
// changes after make(), so the entries sharing it need no coordination beyond the count; the count is
// atomic because containers (and with them their keys) move between threads and may be released on
// any of them. The text follows the 16-byte header in the same heap block; it is not zero-terminated.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

class krv_json_key {
 public:
  // A new key holding a copy of `text`, with one share.
  static krv_json_key* make(std::string_view text) {
    void* block = ::operator new(sizeof(krv_json_key) + text.size());
    auto* key = new (block) krv_json_key(text.size());
    if (!text.empty()) std::memcpy(key->bytes(), text.data(), text.size());
    return key;
  }

  // One more share of this key for another holder.
  krv_json_key* share() noexcept {
    shares_.fetch_add(1, std::memory_order_relaxed);
    return this;
  }
  // Gives back one share; the last one frees the key.
  void release() noexcept {
    if (shares_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      this->~krv_json_key();
      ::operator delete(this);
    }
  }

  std::string_view view() const noexcept { return {bytes(), size_}; }
  operator std::string_view() const noexcept { return view(); }
  bool empty() const noexcept { return size_ == 0; }
  size_t size() const noexcept { return size_; }

  krv_json_key(const krv_json_key&) = delete;
  krv_json_key& operator=(const krv_json_key&) = delete;

 private:
  explicit krv_json_key(size_t size) noexcept : size_(size) {}
  ~krv_json_key() = default;
  char* bytes() noexcept { return reinterpret_cast<char*>(this + 1); }
  const char* bytes() const noexcept { return reinterpret_cast<const char*>(this + 1); }

  std::atomic<uint64_t> shares_{1};  // holders of this key: entries, and a parse's table of names
  size_t size_;                      // bytes of text after the header
};

static_assert(sizeof(krv_json_key) == 16);
static_assert(alignof(krv_json_key) == 8);
