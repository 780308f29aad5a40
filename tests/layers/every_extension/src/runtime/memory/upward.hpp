// A .hpp file of the memory layer reaching up into the interpreter: the layer check must read it.
#include "runtime/exec/task/task.h"
