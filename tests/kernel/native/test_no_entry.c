/* A library that is not a kernel: it has no krvk_jit_entry and no krvk_aot_table. */
__attribute__((visibility("default"))) int krvk_something_else(void) { return 1; }
