/* A prepared native kernel for fake compilers to "build": its entry marks the first register, and it
   answers the loader's IEEE self-check (kernel/native/ieee_check.cpp) as IEEE arithmetic does, or, built
   with KRVK_TEST_WRONG_IEEE, with sqrt(2.0) * sqrt(2.0) as 2.0, as gcc's unsafe math gives it. */
#include <stdint.h>

__attribute__((visibility("default"))) int krvk_jit_entry(uint64_t* regs, const void* ptrs, uint64_t gid_begin,
                                                          uint64_t gid_end, const volatile unsigned char* abort,
                                                          void* trap) {
  (void)ptrs, (void)gid_begin, (void)gid_end, (void)abort, (void)trap;
  regs[0] = 0x6b726b76u;
  return 0;
}

#ifdef KRVK_TEST_WRONG_IEEE
#define SQRT2_SQUARED 0x4000000000000000u
#else
#define SQRT2_SQUARED 0x4000000000000001u
#endif

__attribute__((visibility("default"))) uint32_t krvk_ieee_answers(uint64_t* answers, uint32_t room) {
  static const uint64_t due[] = {0, 1, 0, 1, 0, 0, 0, 0x3f800000u, 0x3f800000u, SQRT2_SQUARED, 0x3fffffffu,
                                 0x404a62c2u, 0x3ea1e89bu, 0x4002aaaaaaaaaaabu, 0x3e6c4ec5u, 0, 0, 0, 0,
                                 0x0004000000000000u, 2};
  const uint32_t count = sizeof due / sizeof due[0];
  for (uint32_t i = 0; i < count && i < room; i++) answers[i] = due[i];
  return count;
}
