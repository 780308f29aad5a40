// krvhost: our host of the korvaglue module.
//
//   krvhost info                        loads the module and lists its descriptor, namespaces, classes
//                                       and functions
//   krvhost --version                   prints the module's descriptor (the first line of `info`)
//   krvhost --help, -h                  prints the usage on stdout (exit 0; a wrong command line prints
//                                       it on stderr, exit 2)
//   krvhost run [--workers N] FILE [ARGS...]
//                                       assembles and runs a script file (script_runner.h); N workers,
//                                       0 to 256, 2 by default; ARGS reach the script through the native
//                                       `script_args`
//
// Whatever the command, output that cannot be written (a full disk, stdout closed) is said once on
// stderr and the command exits 1 (standard_output.h).
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>
#include <vector>

#include "host/host_vm.h"
#include "host/module_loader.h"
#include "host/script_runner.h"
#include "host/standard_output.h"
#include "runtime/objects/class_metadata.h"
#include "runtime/objects/function_def.h"

namespace {

// At most this many workers: more would only contend for the queue.
constexpr uint32_t max_workers = 256;

// The usage on `stream`: stdout when asked for (--help), stderr after a wrong command line.
void print_usage_to(std::FILE* stream) {
  std::fprintf(stream, "usage: krvhost info\n       krvhost --version\n       krvhost --help\n"
                       "       krvhost run [--workers N] FILE [ARGS...]\n"
                       "  --workers N: 0 to %u worker threads (default 2; 0: the VM thread runs their jobs)\n"
                       "  host natives: print, script_args (ARGS as a list of strings), clock_ms (monotonic\n"
                       "  milliseconds, a float), type_name, size_of, buffer_value, fail, worker_sum (1..n on\n"
                       "  a worker, n at most 4294967295), rss_bytes (resident set in bytes), idle_ms (waits n\n"
                       "  ms, at most 60000, with the VM idle); \"ns.fn\" names a function of the module;\n"
                       "  a native line's MAX of 999 means any number of arguments\n",
               max_workers);
}

int print_usage() {
  print_usage_to(stderr);
  return 2;
}

// `run [--workers N] FILE [ARGS...]`: runs the script, else the exit status of a refused command line.
// Only the word right after `run` can be the option, so script arguments may look like options.
int run_command(int argc, char** argv) {
  krv_run_options options;
  int next = 2;
  if (argc >= 3 && std::string_view(argv[2]) == "--workers") {
    if (argc < 5) return print_usage();
    const std::string_view count = argv[3];
    const auto [end, failure] = std::from_chars(count.data(), count.data() + count.size(), options.workers);
    if (failure != std::errc() || end != count.data() + count.size() || options.workers > max_workers) {
      std::fprintf(stderr, "krvhost: --workers takes a whole number from 0 to %u, not '%.*s'\n", max_workers,
                   static_cast<int>(std::min<size_t>(count.size(), 64)), count.data());
      return 2;
    }
    next = 4;
  } else if (argc < 3) {
    return print_usage();
  }
  options.path = argv[next];
  options.script_args.assign(argv + next + 1, argv + argc);
  return krv_run_script_file(options);
}

void print_descriptor(const krv_module_descriptor& d) {
  std::printf("module: %s %llu.%llu.%llu\n", d.kind, static_cast<unsigned long long>(d.interface_version),
              static_cast<unsigned long long>(d.major), static_cast<unsigned long long>(d.minor));
}

// krvhost carries the module's objects, so this is the descriptor of the module built with it.
int print_version() {
  print_descriptor(*krv_linked_module().check());
  return 0;
}

void print_view(std::string_view text) { std::printf("%.*s", static_cast<int>(text.size()), text.data()); }

// One line per function: name, argument range ("any" past the open bound), help; then its parameters.
void print_function(const krv_function_def& function, const char* indent) {
  std::printf("%s", indent);
  print_view(function.name);
  if (function.max_args == krv_any_arg_count)
    std::printf(" (%u..any)", function.min_args);
  else
    std::printf(" (%u..%u)", function.min_args, function.max_args);
  if (!function.class_name.empty()) {
    std::printf(" makes ");
    print_view(function.class_name);
  }
  if (!function.help.empty()) {
    std::printf(": ");
    print_view(function.help);
  }
  std::printf("\n");
  for (std::string_view parameter : function.param_help) {
    std::printf("%s    ", indent);
    print_view(parameter);
    std::printf("\n");
  }
}

// Classes in name order, each with its methods (name order) and member variables.
void print_classes(const krv_global_instance& instance) {
  std::vector<std::string_view> names;
  for (const auto& entry : *instance.class_metadata) names.push_back(entry.first);
  std::sort(names.begin(), names.end());
  std::printf("classes: %zu\n", names.size());
  for (std::string_view name : names) {
    const krvobject_metadata& metadata = *instance.class_metadata->at(name);
    std::printf("  ");
    print_view(name);
    std::printf("\n");
    std::vector<const krv_function_def*> methods;
    for (const auto& entry : metadata.methods) methods.push_back(entry.second);
    std::sort(methods.begin(), methods.end(), [](auto* a, auto* b) { return a->name < b->name; });
    for (const krv_function_def* method : methods) print_function(*method, "    ");
    for (std::string_view variable : metadata.variables) {
      std::printf("    member ");
      print_view(variable);
      std::printf("\n");
    }
  }
}

int run_info() {
  krv_module_entry_points module = krv_linked_module();
  print_descriptor(*module.check());
  krv_host_vm vm("info");
  krv_host_module loaded(module);
  loaded.populate_namespaces(vm);

  std::printf("namespaces: %zu\n", loaded.namespaces().size());
  for (const auto& [name, ns] : loaded.namespaces()) {
    std::printf("  %.*s: %zu populating function(s), %zu function(s)\n", static_cast<int>(name.size()),
                name.data(), loaded.instance().namespace_initializers.at(name).size(), ns.functions.size());
    for (const auto& function : ns.functions) print_function(*function, "    ");
  }
  print_classes(loaded.instance());
  return 0;
}

// The command's exit status, before standard output is checked.
int run_command_line(int argc, char** argv) {
  if (argc < 2) return print_usage();
  try {
    const std::string_view command = argv[1];
    if (command == "info" && argc == 2) return run_info();
    if (command == "--version" && argc == 2) return print_version();
    if ((command == "--help" || command == "-h") && argc == 2) {
      print_usage_to(stdout);
      return 0;
    }
    if (command == "run") return run_command(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "krvhost: %s\n", e.what());
    return 1;
  }
  return print_usage();
}

}  // namespace

int main(int argc, char** argv) {
  krv_stdout_prepare();
  // What a command printed must have reached standard output for it to succeed (standard_output.h).
  return krv_run_exit_with_output_written(run_command_line(argc, argv));
}
