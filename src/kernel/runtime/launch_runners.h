// How many runners a launch's work is worth.
//
// Waking a helper costs the launching thread a push and the helper 5 to 20 us before it claims a chunk,
// more on a loaded machine; a launch of a few thousand work items of a short kernel is done on one thread
// in less. So a launch gets one runner for every krvk_work_per_runner units of work (work items times
// the kernel's instruction count), up to what is allowed: a small launch stays on the launching thread,
// and a large one still fans out. A kernel that jumps backwards (a loop) has no bound on its work per
// item, so it is given every runner allowed, as before. The count never changes a result: chunk bounds
// depend only on the domain size and reductions are combined in chunk order (launch.h).
#pragma once
#include <cstdint>

#include "kernel/compiler/program.h"

// Units of work (work items x instructions) that repay one more runner: about 60 us of the scalar
// interpreter, several wake-ups of a helper.
inline constexpr uint64_t krvk_work_per_runner = uint64_t{1} << 16;

// The helper jobs worth starting for `total` work items of `program`, between 0 and `allowed`.
int krvk_helpers_worth_starting(const krvk_program& program, uint64_t total, int allowed) noexcept;
