// Native-code requests of launches, the build job, and the status word of a kernel.
//
// A launch asks for native code before it runs. Under the policy off nothing happens. Otherwise the
// ahead-of-time registry is consulted first; then the request that moves the slot from none to
// compiling owns the build: under sync it builds on the calling thread, under auto it hands a job to the
// build thread (krvk_jit_builder, never the host's workers) and the launch runs on an interpreter
// meanwhile. Requests that lose the race return at once (auto) or poll the slot every millisecond until
// it leaves compiling (sync): they never block on a lock.
//
// Whoever moves a slot to compiling makes sure it leaves that state: the job publishes ready or failed,
// or gives the slot back to none when it is refused, destroyed unrun (a stopped builder drops jobs),
// abandoned (the builder stopping while the compiler ran; a sync build watches the builder's flag too,
// so a process ending at once kills its compiler as well) or ended by an exception that is not a
// standard one. A slot therefore never stays compiling for ever, and a sync request never waits without
// end.
#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "kernel/compiler/program.h"
#include "kernel/native/jit_cache.h"

// The largest program handed to the C compiler. The run limit bounds a build's time, not its memory:
// gcc -O2 needs about 7 KiB per instruction of a long straight-line kernel (700 MiB at 100,000), and
// more than 2 GiB before 100 s at 1,000,000. Larger kernels are refused native code and run on the
// interpreters.
inline constexpr size_t krvk_jit_max_instructions = 131072;

// Where a background build goes: takes a job, false when it refuses it. May be empty (nowhere).
using krvk_enqueue_fn = std::function<bool(std::function<void()>)>;

// Hands a job to the kernel's build thread (krvk_jit_builder): where launches send background builds.
krvk_enqueue_fn krvk_jit_background();

// Asks for native code of `program`, owned by `unit` (which a queued job keeps alive).
void krvk_jit_request(const std::shared_ptr<const krvk_unit>& unit, const krvk_program* program,
                      const krvk_enqueue_fn& enqueue);

// Translates and builds the program's native code and publishes it (or the failure) in its slot, which
// the caller has moved to compiling. A result is dropped when a table published first. A background job
// (on the build thread, for the auto policy) runs the compiler at the lowest priority and is abandoned
// when the builder stops; an abandoned build gives the slot back instead of failing it.
void krvk_jit_job(const krvk_program& program, const krvk_build_options& options = {});

// "off", "none", "compiling", "aot", "ready" or "failed: " + the build's message.
std::string krvk_jit_status_text(const krvk_program* program);
