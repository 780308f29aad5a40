#include "runtime/objects/class_instance.h"

#include <utility>

#include "module/thread_record.h"
#include "runtime/base/raise.h"
#include "runtime/base/value_records.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/interp/program_records.h"
#include "runtime/exec/task/nesting_level.h"
#include "runtime/exec/task/scope.h"
#include "runtime/exec/task/task.h"
#include "runtime/objects/class_def.h"
#include "runtime/objects/log.h"
#include "runtime/objects/vm_context.h"
#include "runtime/storage/value_release.h"

namespace {

template <class... Pieces>
void log_line(krv_log_level level, const Pieces&... pieces) {
  krv_log_line(*krv_log_base::instance(), level, pieces...);
}

// A finaliser runs, and its task is released, on top of whatever released the instance: a finaliser
// whose result or task releases an instance with a finaliser nests one level deeper on the thread's
// stack, and an endless chain of them would overflow it. Past this many levels a finaliser is not
// called (the instance goes at once), which also ends the chain.
constexpr uint32_t max_nested_finalisers = 128;
thread_local uint32_t nested_finalisers = 0;

}  // namespace

krv_class::krv_class(krvptr_weak<krv_class_def> klass, std::vector<krvvar_shared>& initial) {
  members_.reserve(initial.size());
  for (size_t i = 0; i < initial.size(); ++i) members_.push_back(krvvar_shared::make_none());
  krv_class_def* definition = klass.get();
  if (definition != nullptr) global_scope_ = definition->global_scope.lock();
  krv_task* scope = krv_current_frame_scope();
  scope_ = krvptr_weak<krv_task>::from_raw(scope);
  scope_address_ = scope;
  log_line(KRV_LOG_INFO, "krv_class created. ", static_cast<const void*>(this));
  if (definition == nullptr) {
    krv_raise_error("Invalid class definition.");
    return;
  }
  klass_ = std::move(klass);
  for (size_t i = 0; i < initial.size(); ++i) std::swap(members_[i], initial[i]);
}

krv_class::~krv_class() {
  log_line(KRV_LOG_INFO, "krv_class destroyed. ", static_cast<const void*>(this));
  // Members may hold instances holding instances to any depth (a linked list): released without
  // recursing once per instance.
  const krv_thread_local& record = krv_get_thread_local();
  krv_release_scope scope;
  for (krvvar_shared& member : members_) scope.release(member, record);
}

krv_class_def* krv_class::class_def() const noexcept { return klass_.get(); }

krvvar_shared krv_class::bound_method(const krvvar_shared& method) {
  auto& source = *static_cast<krvvar_function_record*>(method->payload.record);
  krvvar_shared bound = krvvar_shared::make_none();
  bound->set_function(source.function.get(), scope_.get());
  auto& record = *static_cast<krvvar_function_record*>(bound->payload.record);
  // From the block itself: the instance is alive here, and its block is linked.
  record.context.acquire(krvptr_storage::get_ref_block(*this));
  return bound;
}

krvvar_shared krv_class::read_member(std::string_view name) {
  krv_class_def* klass = klass_.get();
  if (klass == nullptr) {
    krv_raise_error("invalid class def while trying to read member ", name);
    return krvvar_shared::make_none();
  }
  const krv_symbol* symbol = klass->symbols ? klass->symbols->find(name) : nullptr;
  if (symbol == nullptr) {
    krv_raise_error("class '", klass->name, "' does not have member ", name);
    return krvvar_shared::make_none();
  }
  if (symbol->is_method == 0) {
    if (symbol->member_index < members_.size()) return members_[symbol->member_index];
  } else if (symbol->member_index < klass->methods.size()) {
    const krvvar_shared& method = klass->methods[symbol->member_index];
    if (method && method->type == KRVVAR_FUNCTION) return bound_method(method);
    if (method) return method;
  }
  krv_raise_error("class '", klass->name, "' does not have member ", name);
  return krvvar_shared::make_none();
}

krvvar_shared krv_class::member_at(int64_t index, bool method) {
  krv_class_def* klass = klass_.get();
  if (method && klass == nullptr) {
    krv_raise_error("invalid class def while trying to read member ", index);
    return krvvar_shared::make_none();
  }
  const size_t count = method ? klass->methods.size() : members_.size();
  if (index < 0 || static_cast<uint64_t>(index) >= count) {
    krv_raise_error("out of range!");
    return krvvar_shared::make_none();
  }
  if (!method) return members_[index];
  const krvvar_shared& value = klass->methods[index];
  if (value && value->type == KRVVAR_FUNCTION) return bound_method(value);
  krvvar_shared source = value;
  krvvar_shared copy = krvvar_shared::make_none();
  if (source) copy->set(source);
  return copy;
}

void krv_class::destroy() {
  if (released_) return destroy_now();
  release();
}

void krv_class::release() {
  if (released_) return;
  released_ = true;
  log_line(KRV_LOG_INFO, "krv_class release. ", static_cast<const void*>(this));
  if (!start_finaliser()) destroy_now();
}

bool krv_class::start_finaliser() {
  krv_class_def* klass = klass_.get();
  if (klass == nullptr) return false;
  krvptr_strong<krv_program_block> deinit = klass->deinit.lock();
  if (!deinit) return false;
  if (nested_finalisers >= max_nested_finalisers) {
    log_line(KRV_LOG_WARNING, "__deinit__ of class '", klass->name, "' is not called, ", max_nested_finalisers,
             " finalisers already run on this thread.");
    return false;
  }
  // Declared before the task: the level lasts until the task's release is over.
  const krv_nesting_level level(nested_finalisers);
  krv_task* context = scope_.get();
  if (context == nullptr) {
    // The scope may be the very task whose stack is being cleared (its handle has already expired):
    // the finaliser still runs there when the global scopes agree.
    krv_task* clearing = krv_get_thread_local().clearing_task;
    if (clearing != nullptr && clearing == scope_address_ && clearing->global_scope.get() == global_scope_.get())
      context = clearing;
  }
  krvptr_strong<krv_task> task;
  if (context != nullptr) task = krv_task_create(deinit, context);
  if (!task || task->root_frame() == nullptr) {
    log_line(KRV_LOG_WARNING, "__deinit__ of class '", klass->name,
             "' is not called, its global scope no longer exists.");
    return false;
  }
  // Alive again under a handle the completion callback holds: `self` reaches the instance through the
  // frame's weak captured context while __deinit__ runs.
  krvptr_ref_block* own = krvptr_storage::get_ref_block(*this);
  own->alive = 1;
  ++own->strong;
  krvptr_strong<krv_class> keep = krvptr_strong<krv_class>::adopt(own);
  task->root_frame()->captured_context.acquire(own);
  // Giving the handle up destroys the instance unless __deinit__ stored a new strong reference; the
  // released flag then makes its next last release destroy it without a second __deinit__.
  task->on_finish = [keep = std::move(keep)](krvvar_shared&) mutable { keep.reset_empty(); };
  krv_task::run(*task, nullptr);
  return true;
}

void krv_class::destroy_now() noexcept {
  krvptr_ref_block* own = ref_block_;
  if (own != nullptr) {
    own->object = nullptr;
    own->alive = 0;
  }
  // The base destructor unlinks the block and frees it when no handle is left.
  delete this;
}

void krv_class_tear_down(krvptr_strong<krv_class>& handle) noexcept {
  krvptr_ref_block* block = handle.take_block();
  krv_class* instance = static_cast<krv_class*>(block->object);
  if (instance == nullptr || block->alive != 1 || block->immortal()) {
    krvptr_strong<krv_class>::adopt(block).release();
    return;
  }
  --block->strong;
  block->object = nullptr;
  block->alive = 0;
  instance->destroy();
}

krv_class* krv_instance_of(const krvvar& value) noexcept {
  if (value.type != KRVVAR_CLASS) return nullptr;
  return static_cast<krvvar_class_record*>(value.payload.record)->instance.get();
}
