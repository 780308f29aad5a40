#include "kernel/compiler/syntax_tree.h"

#include <algorithm>

void* krvk_node_arena::allocate(size_t size, size_t align) {
  size_t padding = (align - reinterpret_cast<uintptr_t>(next_) % align) % align;
  if (next_ == nullptr || padding + size > left_) {
    size_t bytes = std::max(block_size, size + align);
    blocks_.push_back(std::make_unique_for_overwrite<std::byte[]>(bytes));
    next_ = blocks_.back().get();
    left_ = bytes;
    padding = (align - reinterpret_cast<uintptr_t>(next_) % align) % align;
  }
  void* node = next_ + padding;
  next_ += padding + size;
  left_ -= padding + size;
  return node;
}
