// krv_json_visit_guard: the stop for every recursive walk of containers on one thread.
//
// Each thread keeps the stack of containers it is walking right now (innermost last). A walk pushes the
// container it enters through a guard on the C++ stack; the push is refused when the container is
// already on the stack (a cycle) or the stack already holds krv_json_max_depth containers. Printing,
// parsing, binary writing and reading and copying all go through it, so no walk recurses for ever or
// deeper than the limit. (Recursive clearing and key removal keep their own list of containers instead
// and reach every depth; releasing a container never recurses: value_release.h.)
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

class krv_std_json;

inline constexpr uint32_t krv_json_max_depth = 1024;

// The most bytes one print or one binary write of a container may produce. Containers are shared on
// assignment, so a container can hold the same part many times; a walk writes such a part once per path
// to it, and a structure that holds each level's part twice doubles its output with every level while
// memory holds one copy of each (64 levels: 2^64 leaves). The depth limit does not stop that; this does.
// 256 MiB is far above what any peer reads back (an IPC message is at most 1 MiB) and keeps the worst
// case under 500 MiB of memory.
inline constexpr uint64_t krv_json_max_output_bytes = 268435456;

// The most entries one copy of a container makes. A copy writes a shared part once per place, as the
// copies may then change apart, so it grows like a print; 2^24 entries is far above a copy of any text the
// parser reads in reasonable memory and a few GiB at worst. The warning gives the limit, not the budget.
inline constexpr uint64_t krv_json_max_copy_entries = uint64_t{1} << 24;

enum krv_json_visit_refusal : uint8_t {
  KRV_JSON_VISIT_OK = 0,
  KRV_JSON_VISIT_CYCLE = 1,
  KRV_JSON_VISIT_TOO_DEEP = 2,
};

// The walking state of the calling thread.
struct krv_json_visit_state {
  std::vector<const krv_std_json*> stack;  // containers being walked, innermost last
  uint8_t failed = 0;                      // 1 once a push was refused, until the stack is empty again
  uint64_t output_budget = krv_json_max_output_bytes;  // per print or binary write (tests lower it)
  uint64_t copy_entry_budget = krv_json_max_copy_entries;  // per copy (tests lower it)
  // Where the budget of the outermost binary write in progress ends in its output; SIZE_MAX when none is.
  size_t output_end = SIZE_MAX;
};
krv_json_visit_state& krv_json_visit_state_of_thread();

class krv_json_visit_guard {
 public:
  krv_json_visit_guard() = default;
  // Pops the container when this guard's push succeeded; clears the failure flag once the stack is empty.
  ~krv_json_visit_guard();
  krv_json_visit_guard(const krv_json_visit_guard&) = delete;
  krv_json_visit_guard& operator=(const krv_json_visit_guard&) = delete;

  // Enters `container`; false (with the refusal reason set) on a cycle or at the depth limit.
  bool push(const krv_std_json* container);
  krv_json_visit_refusal refusal() const noexcept { return refusal_; }

 private:
  bool pushed_ = false;
  krv_json_visit_refusal refusal_ = KRV_JSON_VISIT_OK;
};
