// krvvector_shared<T>: a standard vector that is also a shared object, held through krvptr_strong.
//
// Script argument vectors are krvvector_shared<krvvar_shared>. Destroying the vector detaches its
// reference block and releases every element.
#pragma once
#include <vector>

#include "runtime/memory/handles.h"

template <class T>
class krvvector_shared : public std::vector<T>, public krvptr_base<krvvector_shared<T>> {
 public:
  // A new empty vector, held by the returned handle.
  static krvptr_strong<krvvector_shared> create() {
    return krvptr_strong<krvvector_shared>::from_raw(new krvvector_shared());
  }

 private:
  krvvector_shared() = default;
};
