#include "kernel/runtime/kernel_unit_cache.h"

#include <string_view>
#include <unordered_map>

#include "kernel/compiler/compile_driver.h"

std::mutex krv_kernel_unit_cache_mutex;

namespace {

// 64-bit FNV-1a over the key's bytes.
struct key_hash {
  size_t operator()(const std::string& key) const noexcept {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char byte : key) hash = (hash ^ byte) * 0x100000001b3ull;
    return static_cast<size_t>(hash);
  }
};

std::unordered_map<std::string, std::shared_ptr<krvk_compiled_unit>, key_hash>& cache() {
  static std::unordered_map<std::string, std::shared_ptr<krvk_compiled_unit>, key_hash> units;
  return units;
}

void append_source(std::string& key, std::string_view name, std::string_view text) {
  key += std::to_string(name.size());
  key += ':';
  key += name;
  key += std::to_string(text.size());
  key += ':';
  key += text;
}

std::string cache_key(const std::string& text, const std::string& name,
                      const std::vector<std::shared_ptr<krvk_compiled_unit>>& imports) {
  std::string key;
  for (const auto& unit : imports) {
    for (const krvk_source& source : unit->sources) append_source(key, source.name, source.text);
  }
  append_source(key, name, text);
  return key;
}

}  // namespace

std::shared_ptr<krvk_compiled_unit> krv_kernel_compile_unit(
    const std::string& text, const std::string& name, kerror& error,
    const std::vector<std::shared_ptr<krvk_compiled_unit>>& imports) {
  std::string key = cache_key(text, name, imports);
  {
    std::lock_guard<std::mutex> lock(krv_kernel_unit_cache_mutex);
    auto found = cache().find(key);
    if (found != cache().end()) return found->second;
  }
  std::shared_ptr<krvk_compiled_unit> unit = krvk_compile_source(text, name, error, imports);
  if (unit) {
    std::lock_guard<std::mutex> lock(krv_kernel_unit_cache_mutex);
    if (cache().size() >= krv_kernel_unit_cache_limit) cache().clear();
    cache()[std::move(key)] = unit;
  }
  return unit;
}

size_t krv_kernel_unit_cache_size() {
  std::lock_guard<std::mutex> lock(krv_kernel_unit_cache_mutex);
  return cache().size();
}
