#include "platform/library.h"

#include <dlfcn.h>

namespace krv_platform {

namespace {

// dlerror's text of the last failure; the loader keeps it per thread.
std::string last_loader_error() {
  const char* text = dlerror();
  return text == nullptr ? std::string("unknown loader error") : std::string(text);
}

}  // namespace

void* open_library(const std::string& path, std::string& error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) error = last_loader_error();
  return library;
}

void* library_symbol(void* library, const char* name, std::string& error) {
  dlerror();  // a null symbol is only an error when dlerror says so afterwards
  void* address = dlsym(library, name);
  if (address == nullptr) error = last_loader_error();
  return address;
}

}  // namespace krv_platform
