// Reading the script file of `krvhost run`.
//
// Only a regular file is read, and only up to krv_max_script_file_bytes (assembler/script_limits.h): a
// directory, a pipe or a device such as /dev/zero is refused before any byte is read, since a pipe
// without a writer would block the run for ever and a device may never end. The file is opened without
// blocking (a pipe's open waits for a writer otherwise) and checked with fstat on that descriptor, so
// what is read is what was checked. An empty file is refused too: it holds no program to run.
#pragma once
#include <string>

// Reads the file at `path` into `text`; false with the reason in `reason`: the system's error text
// (strerror) for a file that cannot be opened or read, else what makes it unfit.
bool krv_read_script_file(const std::string& path, std::string& text, std::string& reason);
