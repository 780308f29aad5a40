// krv_std_string: the script class "std.string", the object behind every KRVVAR_STRING value.
//
// The object holds the text as bytes: lengths and indexes count bytes, any byte (a zero byte too) may
// occur. Strings have value semantics: assigning a string value copies the text, and handing out the
// object itself (strong_self) hands out a clone.
//
// Objects are pooled (krv_pooled_class). A released string rests in its pool emptied; its storage is
// kept for reuse up to krv_string_kept_capacity bytes and given back beyond that.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "module/vm_state.h"
#include "runtime/objects/class_template.h"
#include "runtime/objects/pooled_class.h"

// Capacity a released string keeps for its next use.
inline constexpr size_t krv_string_kept_capacity = 1024;
// The furthest an index write past the end may pad a text with spaces.
inline constexpr int64_t krv_string_max_pad_index = 1048576;

class krv_std_string final : public krvobject<krv_std_string, CLASS_STRING<"std.string">>, public krv_pooled_class {
 public:
  static constexpr auto pool = &krv_vm_state::string_pool;

  // A new string holding `text` (pooled when this thread may use the VM's pools); empty when no
  // reference can be handed out.
  static krvptr_strong<krv_std_string> create(std::string_view text = {});
  // The same with the calling thread's record at hand: object and block come with no further lookup.
  static krvptr_strong<krv_std_string> create(std::string_view text, const krv_thread_local& record);
  // Gives up one strong count on a string value's block, as a strong handle's release does; the last
  // one detaches and destroys the string with no further lookup of the thread's record.
  static void release_value_block(krvptr_ref_block* block, const krv_thread_local& record) noexcept;
  // A new string with a copy of this text.
  krvptr_strong<krv_std_string> clone() const;

  // Release: empties the text (giving large storage back) and recycles the object.
  void destroy() override;
  void to_string(std::string& out) override;
  void strong_self(krvptr_strong<krvobject_base>& out) override;
  // The byte at `index` (negative counts from the end) as a new one-byte string; "" out of range.
  void get_index(krvvar_shared& out, int64_t index) override;
  // Writes the value's text at `index`: overwrites, appends, or pads with spaces past the end.
  void set_index(int64_t index, krvvar_shared& value) override;
  // Replaces occurrences of `key` by the value's text (one by one by a container's entries).
  void set_named(std::string_view key, krvvar_shared& value) override;
  bool is_empty() override { return text.empty(); }
  uint32_t element_count() override { return static_cast<uint32_t>(text.size()); }

  static void script_register();
  // The body of the constructor function "string": the texts of all arguments, concatenated.
  static krvvar_shared constructor_function(krv_vm_context& frame, std::vector<krvvar_shared>& args);

  std::string text;

 private:
  // Empties the text for the object's next use, giving large storage back.
  void empty_for_reuse() noexcept;
};

template <>
struct krv_pool_traits<krv_std_string> : krv_pooled_class_traits<krv_std_string> {};
