// krv_json_release_entries: dropping a container's entries without recursing once per nesting level.
//
// A value's last release tears its object down, and a container torn down releases its entries, so a
// chain of containers each holding the next would be released by one nested call per level: a script
// builds a chain of 200,000 levels in a tenth of a second, and its release ran off the thread's stack.
// Instead, nested releases run as plain calls only to a fixed depth; the call at that depth drains:
// while it runs, a container torn down below it hands those of its values whose release would tear an
// object down to its pending list, and it releases them one by one, in the order the nested calls would
// have. The stack stays a bounded number of frames deep at any depth, and documents of ordinary depth
// never touch the list; the list holds at most the entries of the containers on the current path, which
// the containers held before.
#pragma once
#include <vector>

#include "runtime/storage/json_entry.h"

struct krv_thread_local;

// Releases every entry of `entries` (values and keys) and leaves the vector empty with its capacity.
void krv_json_release_entries(std::vector<krv_std_json_entry>& entries, const krv_thread_local& record) noexcept;
