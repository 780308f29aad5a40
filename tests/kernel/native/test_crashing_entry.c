/* A prepared library that crashes whoever loads it: its constructor writes to an unmapped page. */
#include <stdint.h>

__attribute__((constructor)) static void crash_on_load(void) { *(volatile int*)16 = 0; }

__attribute__((visibility("default"))) int krvk_jit_entry(uint64_t* regs, const void* ptrs, uint64_t gid_begin,
                                                          uint64_t gid_end, const volatile unsigned char* abort,
                                                          void* trap) {
  (void)regs, (void)ptrs, (void)gid_begin, (void)gid_end, (void)abort, (void)trap;
  return 0;
}
