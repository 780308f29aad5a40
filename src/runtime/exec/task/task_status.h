// krv_task_status: the status word of a call frame, as the interpreter returns it and the task
// continuation acts on it. Non-zero stops the interpreter loop at its next instruction.
#pragma once
#include <cstdint>

enum krv_task_status : uint32_t {
  KRV_STATUS_RETURN = 2,
  KRV_STATUS_BREAK = 4,
  KRV_STATUS_CONTINUE = 8,
  KRV_STATUS_CALL = 16,
  KRV_STATUS_SUSPENDED = 32,
  KRV_STATUS_FINISHED = 64,
  KRV_STATUS_ERROR = 128,
};
