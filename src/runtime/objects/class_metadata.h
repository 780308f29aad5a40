// What the host learns about a native script class from the global instance's metadata map: its
// methods by name and the names of its member variables.
#pragma once
#include <string_view>
#include <vector>

#include "module/global_instance.h"

class krv_function_def;

struct krvobject_metadata {
  krv_name_map<krv_function_def*> methods;  // method name -> its function descriptor
  std::vector<std::string_view> variables;   // member variable names
  bool reserved = false;                     // the host's; always false here
};
