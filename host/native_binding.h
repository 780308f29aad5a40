// Binding a program's `native` lines to what they name, as `krvhost run` does (and the script_text fuzz
// target, so that fuzzed scripts reach the module's bodies the way users' scripts do).
//
// A name is one of the host's natives (host_natives.h), else "ns.fn": that function of the module's
// namespace (the later of two definitions with one name, as the namespace's value is). A `native` line
// also declares the argument counts its calls are checked against, and the module's bodies index their
// arguments up to the minimum they registered without testing them: a declaration of a module function
// must therefore lie within the counts the function registered, or it is refused. The host's natives
// test their arguments themselves and take any declaration.
#pragma once
#include <string>
#include <vector>

#include "host/host_natives.h"
#include "host/module_loader.h"
#include "runtime/objects/function_def.h"

// Gives `native` the callable its name names: "" when bound, else why not ("unknown native 'x.y'", or
// the declared and registered counts of a declaration outside them), and `native` is left unbound.
std::string krv_bind_native(krv_function_def& native, const std::vector<krv_host_native>& host_natives,
                            const krv_host_module& module);
