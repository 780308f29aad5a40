// The asynchronous launches that the stop of a run cuts short.
//
// A launch started by launch_async runs on helper threads while its script goes on (with no helpers, on
// the launching thread before launch_async returns). When the run is asked to stop (Ctrl-C, SIGTERM),
// nobody will use what such a launch computes, yet every lane it still has to run would hold the run's
// end: its helpers keep the workers busy, and a launching thread that runs lanes keeps its script from
// yielding. So these launches are listed here, and the run's stop stops each of them (krvk_launch::stop):
// no runner claims another chunk and every engine leaves at its next loop back edge; a wait on one then
// reports that it was cut short (krvk_launch::ran_every_chunk).
//
// The stop is for good, as the run's stop is: a launch listed after it is stopped at once. The list
// holds its launches weakly, never keeping one alive; entries of launches that are gone are dropped as
// new ones come, so it holds no more than the launches alive. Synchronous launches are not listed: the
// script waits for those in the call, as it waits for any other native call.
#pragma once
#include <memory>

#include "kernel/runtime/launch.h"

// Lists `launch` for the run's stop; stops it at once when that stop has come already.
void krvk_stop_with_run(const std::shared_ptr<krvk_launch>& launch);

// The run's stop: stops every listed launch, and from now on every launch listed. Any thread.
void krvk_stop_listed_launches();
