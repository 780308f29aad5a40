#include "module/global_instance.h"

#include "module/module_descriptor.h"
#include "module/thread_record.h"

krv_global_instance::krv_global_instance()
    : class_factories(std::make_shared<krv_name_map<krv_class_factory>>()),
      class_metadata(std::make_shared<krv_name_map<std::shared_ptr<krvobject_metadata>>>()),
      thread_local_hook(krv_default_thread_local_hook()) {
  krv_default_hook.remember(thread_local_hook);
}

extern "C" krv_global_instance* korvaglue_entry() { return &krv_global(); }
