// Read by the layer check's own test as if it lay in runtime/memory: memory may not reach the tasks of
// the interpreter, so the check must fail on the include below. Never compiled.
#pragma once
#include "runtime/exec/task/task.h"
