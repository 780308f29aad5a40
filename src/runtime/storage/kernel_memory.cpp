#include "runtime/storage/kernel_memory.h"

#include "runtime/storage/buffer_object.h"

krv_kernel_memory* krv_kernel_memory_interface(krvobject_base& object) {
  return static_cast<krv_kernel_memory*>(object.query_interface(krvptr_type_hash<krv_kernel_memory>()));
}

bool krv_object_lent_to_launch(krvobject_base& object) {
  if (krv_std_buffer* buffer = krvptr_cast<krv_std_buffer>(&object)) return buffer->held();
  krv_kernel_memory* memory = krv_kernel_memory_interface(object);
  return memory != nullptr && memory->in_use(true);
}
