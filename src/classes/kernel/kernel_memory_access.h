// Typed scalar access to kernel memory, shared by std.buffer's read and write and the kernel struct
// accessors, so that scripts see exactly the bytes kernels see: little-endian, unaligned, range-checked
// without wrap-around, refused while a launch holds the bytes. The operations report failure through
// their answer and a message; their callers raise it.
#pragma once
#include <cstdint>
#include <string>

#include "runtime/base/krvvar_shared.h"
#include "runtime/storage/buffer_object.h"
#include "runtime/storage/kernel_memory.h"

// The std.buffer behind a string, buffer, container or object value, or null. An object value whose
// object is gone becomes None.
krv_std_buffer* krv_var_std_buffer(krvvar* value);

// The scalar of kernel type `code` (krvk_prim 2..11) at `bytes` as a new value; None for other codes.
krvvar_shared krv_kernel_read_scalar(const uint8_t* bytes, uint8_t code);

// Reads the scalar at byte `offset` into `out`; false with `message` when held for reading or out of range.
bool krv_kernel_memory_read(const krv_kernel_memory_view& view, uint64_t offset, uint8_t code, krvvar_shared& out,
                            std::string& message);
// Converts `value` (REF links followed) and stores it at byte `offset`; false with `message` when held,
// read only, out of range or not convertible. The bytes change only on success.
bool krv_kernel_memory_write(const krv_kernel_memory_view& view, uint64_t offset, uint8_t code,
                             const krvvar_shared& value, std::string& message);

// The view of a std.buffer (its bytes and holds) or of an object lending kernel memory (its interface's
// answers, write access asked first and read-only as the fallback), REF links followed. `view` arrives
// prepared by the caller (writable, the std.buffer in-use text); false when the value lends no memory.
bool krv_kernel_memory_of(krvvar* value, krv_kernel_memory_view& view);

// The view of a buffer's bytes as script methods see it.
krv_kernel_memory_view krv_buffer_memory_view(krv_std_buffer& buffer);
