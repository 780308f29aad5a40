#include "host/resident_memory.h"

#include <unistd.h>

#include <cstdio>

uint64_t krv_host_resident_bytes() noexcept {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  // The first two fields: the whole mapped size and the resident part, both in pages.
  unsigned long long mapped_pages = 0, resident_pages = 0;
  const int read = std::fscanf(statm, "%llu %llu", &mapped_pages, &resident_pages);
  std::fclose(statm);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (read != 2 || page_size <= 0) return 0;
  return resident_pages * static_cast<uint64_t>(page_size);
}
