// The reader state of the binary value format: the bytes being read and how far reading has got.
// Every read advances `position` past what it consumed; one reader belongs to one call.
#pragma once
#include <cstdint>

struct krv_binary_reader {
  // The bytes not read yet. Reads compare their lengths with this, never add them to the position.
  uint64_t remaining() const noexcept { return position < size ? size - position : 0; }

  const uint8_t* data = nullptr;
  uint64_t size = 0;
  uint64_t position = 0;
};
