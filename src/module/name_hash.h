// Hashing and equality for the name-keyed registries (namespaces, class factories, metadata, symbol tables).
//
// Names are hashed with XXH3-64 over their bytes. Both functors are transparent, so a map keyed by
// std::string_view can be searched with std::string or a literal without building a key.
#pragma once
// Inlined: names are short, and a call into the shared library costs as much as hashing them.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstddef>
#include <string_view>

struct krv_hasher {
  using is_transparent = void;
  size_t operator()(std::string_view name) const noexcept { return XXH3_64bits(name.data(), name.size()); }
};

struct krv_transparent_equal {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};
