// The binary form of a script object, as the binary value format asks for it.
//
// Every script object carries this interface; classes with a binary form override the writer and the
// reader-view form of from_binary. The two other from_binary forms only adapt their arguments.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/objects/binary_reader.h"

class krv_serializable {
 public:
  // Appends the object's binary form to `out`; false when the class has none.
  virtual bool to_binary(std::vector<uint8_t>& out);
  virtual bool from_binary(const std::vector<uint8_t>& bytes);
  virtual bool from_binary(const uint8_t* data, size_t size);
  // Reads the object's binary form at the reader's position; false when the class has none.
  virtual bool from_binary(krv_binary_reader& reader);

 protected:
  // Objects are destroyed through their shared-object base, never through this interface: it keeps
  // exactly its four operations.
  ~krv_serializable() = default;
};
