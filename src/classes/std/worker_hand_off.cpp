// The hand-off of a method's job (see worker_hand_off.h): the calling frame's return_thread.
#include "classes/std/worker_hand_off.h"

#include "runtime/objects/vm_context.h"

krvvar_shared krv_hand_off_to_worker(krv_vm_context& frame, krv_worker_job job) {
  return frame.return_thread(std::move(job));
}
