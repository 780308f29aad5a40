// The payload of an IPC message: one script value in the binary value format ("v11").
//
// These two functions are the channel's only contact with the value encoding: the value format's own
// writer and reader, with a refused value taken back whole so no partial payload is ever sent.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/base/krvvar_shared.h"

// Appends the encoding of `value` to `out`; false (with `out` unchanged) when the value has none.
bool krv_ipc_write_payload(krvvar_shared& value, std::vector<uint8_t>& out);
// Reads one value from `size` bytes into `out`; false when the bytes do not read back as a value.
// Bytes after a complete value are ignored.
bool krv_ipc_read_payload(const uint8_t* data, size_t size, krvvar_shared& out);
