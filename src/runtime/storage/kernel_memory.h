// krv_kernel_memory: how a script object lends its bytes to kernel launches, and the view through which
// script-side code reads and writes such bytes as kernels see them.
//
// A std.buffer lends its bytes directly (its own hold counters). Any other object lends them by handing
// out this interface from query_interface, asked with krvptr_type_hash<krv_kernel_memory>(); it counts its
// holds itself. While a launch holds the bytes, script code must not move them (any hold) nor read them
// while a launch may be writing (write holds).
#pragma once
#include <cstdint>
#include <string>

class krvobject_base;

class krv_kernel_memory {
 public:
  virtual ~krv_kernel_memory() = default;
  // Fills base and size; false when the memory cannot be lent in this mode. Asked writable first.
  virtual bool get_memory(uint8_t** base, uint64_t* size, bool writable) = 0;
  // A launch takes (+1) or gives back (-1) a hold for reading or writing.
  virtual void hold(bool writable, int delta) = 0;
  // With false: a launch holds the memory for writing (reading must wait). With true: any launch holds
  // it (writing must wait).
  virtual bool in_use(bool writable) = 0;
};

// One access to kernel memory: a snapshot of where the bytes are and what the holds allow, taken on the
// VM thread.
struct krv_kernel_memory_view {
  uint8_t* base = nullptr;
  uint64_t size = 0;
  uint8_t held_for_reading = 0;  // reading refused: a launch writes the memory
  uint8_t held = 0;              // writing refused: a launch holds the memory in any mode
  uint8_t writable = 1;          // the owner lends the memory for writing
  std::string in_use_text;       // the refusal message of an access stopped by a hold
};

// The object's memory interface, or null when it lends no memory.
krv_kernel_memory* krv_kernel_memory_interface(krvobject_base& object);

// True while a running launch holds the object's bytes: a std.buffer with any hold, or an object whose
// memory interface answers in_use(true). Such an object must outlive a forced teardown.
bool krv_object_lent_to_launch(krvobject_base& object);
