// The last step of every script launch, shared by std.kernel's launch() and std.kernel_job's wait():
// the holds go back first, then the launch's outcome becomes the script's result or runtime error.
#pragma once
#include "classes/kernel/kernel_binding.h"
#include "classes/kernel/kernel_classes.h"

// After the launch finished: releases the holds; raises the first trap as "kernel 'NAME' failed at
// FILE:LINE (gid G[, x X, y Y]): TEXT", "kernel 'NAME': out of memory" for a launch that could not set up
// a runner, or "kernel 'NAME' was stopped with the run before its end (D of C chunks ran)" for an
// asynchronous launch that the run's stop cut short, and returns None; otherwise the reduction result
// (None for a void kernel, a json object for a struct result). May run again on a released state and
// reports the same outcome.
krvvar_shared krv_kernel_launch_finish(krv_std_kernel& kernel, krv_kernel_launch_state& state);
