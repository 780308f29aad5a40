// The hand-off of a method's job (see worker_hand_off.h): for now the job runs on the calling thread.
#include "classes/std/worker_hand_off.h"

#include <exception>

#include "runtime/objects/log.h"

krvvar_shared krv_hand_off_to_worker(krv_vm_context&, krv_worker_job job) {
  try {
    return job();
  } catch (const std::exception& failure) {
    krv_log_line(*krv_log_base::instance(), KRV_LOG_ERROR, "return_thread callback threw an exception: ",
                 failure.what());
  } catch (...) {
    krv_log_base::instance()->error("return_thread callback threw an unknown exception");
  }
  return krvvar_shared::make_none();
}
