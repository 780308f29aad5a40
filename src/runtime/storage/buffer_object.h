// krv_std_buffer: the script class "std.buffer", a growable array of bytes behind every KRVVAR_BUFFER
// value, which kernel launches also use as memory.
//
// A launch that binds the buffer holds it for reading or for writing while it runs (the hold counts,
// raised and lowered by the launch binding on the VM thread). While any hold is set, script operations
// that would move or change the bytes are refused; while a write hold is set, reading them is refused
// too, since a launch may be half-way through writing.
//
// Objects are pooled (krv_pooled_class); a released buffer rests in its pool empty, keeping up to
// krv_buffer_kept_capacity bytes of storage.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "module/vm_state.h"
#include "runtime/objects/class_template.h"
#include "runtime/objects/pooled_class.h"

inline constexpr size_t krv_buffer_kept_capacity = 1024;

// The refusal of an operation on a held buffer.
inline constexpr const char* krv_buffer_in_use_text =
    "std.buffer is in use by a running kernel launch (call wait() on the launch first)";

class krv_std_buffer : public krvobject<krv_std_buffer, CLASS_STRING<"std.buffer">>, public krv_pooled_class {
 public:
  static constexpr auto pool = &krv_vm_state::buffer_pool;

  // A new empty buffer (pooled when this thread may use the VM's pools).
  static krvptr_strong<krv_std_buffer> create();

  // Release: empties the bytes (giving large storage back) and recycles the object.
  void destroy() override;
  // The bytes up to the first zero byte, as text; a placeholder while a launch may be writing them.
  void to_string(std::string& out) override;
  // The byte at `index` (negative counts from the end) as an int 0..255; None out of range. Refused while
  // a launch may write the bytes.
  void get_index(krvvar_shared& out, int64_t index) override;
  // Sets the byte at `index` to the low 8 bits of the value's integer; out of range is an error. Refused
  // while any launch holds the bytes.
  void set_index(int64_t index, krvvar_shared& value) override;
  bool is_empty() override { return bytes.empty(); }
  uint32_t element_count() override { return static_cast<uint32_t>(bytes.size()); }

  bool held() const noexcept { return read_holds != 0 || write_holds != 0; }
  // Adds the script methods and create_new (classes/std, with what scripts call).
  static void script_register();
  // The refusal of an access stopped by a hold: raises the in-use error; None for the caller to return.
  static krvvar_shared refuse_in_use();

  std::vector<uint8_t> bytes;
  uint32_t read_holds = 0;   // running launches that read the bytes
  uint32_t write_holds = 0;  // running launches that write the bytes
};

template <>
struct krv_pool_traits<krv_std_buffer> : krv_pooled_class_traits<krv_std_buffer> {};
