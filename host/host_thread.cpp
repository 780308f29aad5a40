#include "host/host_thread.h"

#include <stdexcept>

krv_host_thread::krv_host_thread(std::function<void()> body, size_t stack_bytes) : body_(std::move(body)) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, stack_bytes);
  const int failed = pthread_create(
      &thread_, &attributes,
      [](void* self) -> void* {
        static_cast<krv_host_thread*>(self)->body_();
        return nullptr;
      },
      this);
  pthread_attr_destroy(&attributes);
  if (failed != 0) throw std::runtime_error("cannot start a host thread");
  joinable_ = true;
}

krv_host_thread::~krv_host_thread() { join(); }

void krv_host_thread::join() {
  if (!joinable_) return;
  pthread_join(thread_, nullptr);
  joinable_ = false;
}
