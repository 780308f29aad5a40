#include "kernel/runtime/launch_stops.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

struct stop_list {
  std::mutex mutex;                              // guards both fields; never held while a launch runs
  std::vector<std::weak_ptr<krvk_launch>> listed;  // launches a stop must reach, some perhaps gone
  bool stopped = false;                          // the run's stop has come
};

stop_list& the_list() {
  static stop_list list;
  return list;
}

}  // namespace

void krvk_stop_with_run(const std::shared_ptr<krvk_launch>& launch) {
  stop_list& list = the_list();
  std::lock_guard<std::mutex> guard(list.mutex);
  if (list.stopped) {
    launch->stop();
    return;
  }
  std::erase_if(list.listed, [](const std::weak_ptr<krvk_launch>& entry) { return entry.expired(); });
  list.listed.push_back(launch);
}

void krvk_stop_listed_launches() {
  stop_list& list = the_list();
  std::lock_guard<std::mutex> guard(list.mutex);
  list.stopped = true;
  for (const std::weak_ptr<krvk_launch>& entry : list.listed)
    if (const std::shared_ptr<krvk_launch> launch = entry.lock()) launch->stop();
  list.listed.clear();
}
