// The channel's life: connecting, closing, the callback, the update hook, the script methods.
#include "classes/ipc/ipc_channel.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "classes/ipc/ipc_payload.h"
#include "classes/ipc/ipc_sender_id.h"
#include "classes/ipc/ipc_slots.h"
#include "module/thread_record.h"
#include "platform/clock.h"
#include "platform/stop_request.h"
#include "runtime/base/krvvar.h"
#include "runtime/base/value_records.h"

namespace {

void log_error(const std::string& text) { krv_log_base::instance()->error(text); }

std::string hex_of(int code) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text;
  auto value = static_cast<unsigned>(code);
  do {
    text.insert(text.begin(), digits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return text;
}

krvvar_shared bool_value(bool value) { return krvvar_shared::make_int(value ? 1 : 0); }

std::string refused_region_text(const std::string& channel) {
  return "IPC: the shared memory of channel '" + channel +
         "' belongs to another user or is open to group or others; refusing it.";
}

// A region of another size than the ring: made for another layout (rings before slot marks were 1,062,016
// bytes), by a process that still holds it.
std::string foreign_layout_text(const std::string& channel) {
  return "IPC: the shared memory of channel '" + channel + "' is not a ring of " + std::to_string(sizeof(krv_ipc_ring)) +
         " bytes (another version's layout?); refusing it.";
}

// Another process holds an exclusive flock on the region: the connect waited for it as long as it may, or
// until a stop of the run.
bool is_lock_wait_error(int error) { return error == ETIMEDOUT || error == ECANCELED; }
std::string lock_wait_text(const std::string& channel, int error) {
  return "IPC: the shared memory of channel '" + channel + "' is locked by another process (an exclusive flock); " +
         (error == ECANCELED ? std::string("the run was stopped while the connect waited for it.")
                             : "gave up after waiting " + std::to_string(krv_platform::shared_memory_lock_wait_ms) +
                                   " ms for it.");
}

// How often a creator that waits for a reader looks whether one came.
constexpr auto reader_poll_pause = std::chrono::milliseconds(2);

}  // namespace

krv_ipc::~krv_ipc() {
  disconnect();
  if (sender_id != 0) krv_ipc_release_sender_id(sender_id);
}

void krv_ipc::detach() noexcept {
  leave_update_list();
  krvobject::detach();
}

krvptr_strong<krv_ipc> krv_ipc::strong_handle() noexcept {
  krvptr_ref_block* block = ref_block_;
  if (block == nullptr || block->alive != 1 || block->object == nullptr || block->strong < 1) return {};
  ++block->strong;
  return krvptr_strong<krv_ipc>::adopt(block);
}

void krv_ipc::close() {
  ready = false;
  // The messages of parked sends cannot be finished without the ring: their tasks resume with false.
  advance_parked_sends(false);
  if (view != nullptr) {
    krv_platform::unmap_shared_memory(view, view_size);
    view = nullptr;
  }
  krv_platform::close_shared_memory(mapping);
  ring = nullptr;
  view_size = 0;
}

void krv_ipc::disconnect() {
  // The side that drains its ring has nothing of its own in it; a writer's close may take the last hold
  // of the region with its records, so it waits for them to be read. A creator waits for every record,
  // also those it took over: its close drops them when nobody else holds the ring.
  if (ready && ring != nullptr && !callback.task && (is_process_a || wrote_since_connect_)) wait_until_read();
  close();
}

bool krv_ipc::unread_before(uint32_t end_ticket) {
  const uint32_t read = krv_ipc_read_ticket(*ring).load();
  const uint32_t write = krv_ipc_write_ticket(*ring).load();
  // A ticket past the write ticket, or more than a ring past the reader, is of a ring numbered afresh
  // since (a creator cleared it): nothing of it can be read any more.
  const int32_t unread = krv_ipc_ticket_distance(read, end_ticket);
  return unread > 0 && unread <= static_cast<int32_t>(krv_ipc_slot_count) &&
         krv_ipc_ticket_distance(end_ticket, write) >= 0;
}

krv_ipc::unread_count krv_ipc::count_unread(uint32_t end_ticket) {
  unread_count count;
  const uint32_t first = krv_ipc_read_ticket(*ring).load();
  for (uint32_t ticket = first; krv_ipc_ticket_distance(ticket, end_ticket) > 0; ++ticket) {
    const uint32_t slot = ticket & krv_ipc_slot_mask;
    // A reader that connects now may take the record meanwhile: the count is as good as a glance.
    const bool full = krv_ipc_slot_state_of(*ring, slot).load() == KRV_IPC_SLOT_FULL;
    krv_ipc_slot& record = ring->slots[slot];
    const uint32_t sender = std::atomic_ref<uint32_t>(record.sender_id).load(std::memory_order_relaxed);
    if (sender != sender_id) {
      ++count.other_records;
      continue;
    }
    ++count.own_records;
    if (full && std::atomic_ref<uint32_t>(record.seq).load(std::memory_order_relaxed) == 0) ++count.own_messages;
  }
  return count;
}

bool krv_ipc::region_still_whole(uint64_t now_ms) {
  if (!ready || ring == nullptr) return false;
  if (now_ms < next_region_check_ms_) return true;
  next_region_check_ms_ = now_ms + krv_ipc_region_check_ms;
  const size_t size = krv_platform::shared_memory_size(mapping);
  if (size >= view_size) return true;
  log_error("IPC: the shared memory of channel '" + name + "' was cut to " + std::to_string(size) +
            " bytes by another process; disconnecting (what the ring held is lost).");
  ready = false;
  count_a_loss();
  return false;
}

void krv_ipc::count_a_loss() {
  if (krv_vm_state* vm = krv_get_thread_local().vm; vm != nullptr) ++vm->ipc_losses;
}

void krv_ipc::wait_until_read() {
  // An opener's records end where its last one went; a creator waits for all the ring holds now, its own
  // and those of others (taken over, or of writers that ended).
  const uint32_t end_ticket = is_process_a ? krv_ipc_write_ticket(*ring).load() : own_end_ticket_;
  uint32_t read = krv_ipc_read_ticket(*ring).load();
  uint64_t deadline_ms = krv_platform::monotonic_ms() + unread_wait_ms;
  bool some_read = false;
  for (;;) {
    if (!region_still_whole() || !unread_before(end_ticket)) return;
    // Each record a reader takes gives the rest the whole bound again: a slow reader loses nothing.
    if (const uint32_t now_read = krv_ipc_read_ticket(*ring).load(); now_read != read) {
      read = now_read;
      some_read = true;
      deadline_ms = krv_platform::monotonic_ms() + unread_wait_ms;
    }
    const bool stopped = krv_platform::stop_requested();
    if (stopped || krv_platform::monotonic_ms() >= deadline_ms) {
      // Records left in a ring that others hold stay there for a reader that comes back.
      const std::string why =
          stopped ? std::string("the run was stopped while they waited for a reader.")
          : krv_platform::shared_memory_announced_by_others(mapping)
              ? "the processes connected to it read nothing for " + std::to_string(unread_wait_ms) +
                    " ms (they stay in the ring while those hold it)."
          : some_read ? "its reader went away and none came back within " + std::to_string(unread_wait_ms) + " ms."
                      : "no reader connected within " + std::to_string(unread_wait_ms) + " ms.";
      log_never_read(count_unread(end_ticket), why);
      count_a_loss();
      return;
    }
    // A reader may wait for this process to read what it sends first (two processes, each sending).
    drain_receiving_channels(false);
    std::this_thread::sleep_for(reader_poll_pause);
  }
}

void krv_ipc::log_never_read(const unread_count& count, const std::string& why) {
  const std::string others = std::to_string(count.other_records) + " records other processes had left in the ring";
  std::string text;
  if (count.own_records == 0) {
    text = others + " of '" + name + "' were never read";
  } else {
    text = std::to_string(count.own_messages) + " messages (" + std::to_string(count.own_records) +
           " records) sent on '" + name + "' were never read";
    if (count.other_records != 0) text += ", nor " + others;
  }
  log_error("IPC: " + text + ": " + why);
}

bool krv_ipc::open_mapping(const std::string& channel_name, bool create) {
  close();
  ++connection_count_;
  name = channel_name;
  is_process_a = create;
  clear_partials();
  waiting_messages_.clear();
  waiting_bytes_ = 0;
  process_id_ = static_cast<uint32_t>(krv_platform::current_process_id());
  corrupt_reported_ = false;
  wrote_since_connect_ = false;
  gone_writers_pending_ = false;
  mapping_size = sizeof(krv_ipc_ring);
  view_size = sizeof(krv_ipc_ring);
  const std::string region = krv_ipc_region_prefix + name;

  if (create) {
    if (const int error = krv_platform::create_shared_memory(region, mapping_size, mapping); error != 0) {
      log_error(error == EACCES             ? refused_region_text(name)
                : error == EPROTO            ? foreign_layout_text(name)
                : is_lock_wait_error(error) ? lock_wait_text(name, error)
                                             : "IPC: Failed to create shared memory for " + name);
      view_size = 0;
      return false;
    }
  } else {
    int error = 0;
    // A region of another layout may be replaced by a creator meanwhile; if none comes, it is what the
    // opener met, even when a later attempt found the name gone.
    bool met_other_layout = false;
    int attempts = 0;
    while (attempts < krv_ipc_open_attempts) {
      ++attempts;
      error = krv_platform::open_shared_memory(region, mapping_size, mapping);
      if (error == 0) break;
      if (error == EACCES || is_lock_wait_error(error)) {
        log_error(error == EACCES ? refused_region_text(name) : lock_wait_text(name, error));
        view_size = 0;
        return false;
      }
      met_other_layout = met_other_layout || error == EPROTO;
      // A stop of the process (Ctrl-C to the host) ends the wait for a creator: the connect fails now.
      if (krv_platform::stop_requested()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(krv_ipc_open_retry_ms));
    }
    if (error != 0 && met_other_layout) {
      log_error(foreign_layout_text(name));
      view_size = 0;
      return false;
    }
    if (error != 0) {
      // The tries it made: all of them, or fewer when a stop ended the wait.
      log_error("IPC: Failed to open shared memory for '" + name + "' after " + std::to_string(attempts) +
                (attempts == 1 ? " retry" : " retries") + ". GetLastError=" + std::to_string(error) + " (0x" +
                hex_of(error) + ")");
      view_size = 0;
      return false;
    }
  }

  int map_error = 0;
  view = krv_platform::map_shared_memory(mapping, view_size, map_error);
  if (view == nullptr) {
    log_error("IPC: Failed to map view for " + name + ": " + std::strerror(map_error));
    krv_platform::close_shared_memory(mapping);
    view_size = 0;
    return false;
  }
  if (create) start_ring(*static_cast<krv_ipc_ring*>(view));
  // Only now is the ring announced: an opener waits for an announcement, so it never writes a record
  // the creator clears, nor into a ring left behind by processes that are gone. A connected opener
  // announces too: the ring stays open to others while someone connected holds it, as before.
  if (const int error = krv_platform::announce_shared_memory(mapping); error != 0) {
    log_error("IPC: Failed to map view for " + name + ": " + std::strerror(error));
    close();
    return false;
  }
  ring = static_cast<krv_ipc_ring*>(view);
  // The channel keeps its number: a message that a disconnect cut short is restarted by its next one.
  sender_id = sender_id == 0 ? krv_ipc_claim_sender_id(process_id_)
                             : krv_ipc_make_sender_id(process_id_, krv_ipc_sender_number(sender_id));
  ready = true;
  return true;
}

void krv_ipc::start_ring(krv_ipc_ring& mapped) {
  const uint32_t read = krv_ipc_read_ticket(mapped).load();
  const uint32_t write = krv_ipc_write_ticket(mapped).load();
  const int32_t waiting = krv_ipc_ticket_distance(read, write);
  // Tickets no honest writer could have set (more records waiting than the ring holds) cannot be read.
  const bool sound = waiting >= 0 && waiting <= static_cast<int32_t>(krv_ipc_slot_count);
  const bool others_connected = krv_platform::shared_memory_announced_by_others(mapping);
  if (mapping.replaced_size != 0) {
    // A region of another layout that nobody held, resized for this one: its records are not this
    // layout's. Rings before slot marks kept their tickets where this one does, so their count is told.
    if (sound && waiting > 0)
      log_error("IPC: the shared memory of channel '" + name + "' was a region of " +
                std::to_string(mapping.replaced_size) + " bytes, not a ring of " + std::to_string(sizeof(krv_ipc_ring)) +
                " (another version's layout?); cleared it, dropping the " + std::to_string(waiting) +
                " records it held unread.");
    krv_ipc_clear_ring(mapped);
    return;
  }
  if (!sound) {
    log_error("IPC: the tickets of the ring of '" + name + "' (read " + std::to_string(read) + ", write " +
              std::to_string(write) + ") are none a writer could have set; clearing the ring " +
              (others_connected ? "under the processes connected to it." : "and whatever it held."));
    krv_ipc_clear_ring(mapped);
    return;
  }
  // A ring nobody else is connected to and that holds nothing unread starts afresh. One that holds
  // records is taken over as it stands, as an opener takes it: records whose sends answered true (their
  // writers may have ended since, or a receiver before this one was killed), and slots a writer may be
  // copying into; the slot marks take back what a dead process held, and reassembly drops, with its line,
  // a message whose writer died in the middle of it.
  if (waiting == 0 && !others_connected) {
    krv_ipc_clear_ring(mapped);
    return;
  }
  if (!others_connected)
    krv_log_base::instance()->warning("IPC: took over the ring of '" + name + "' with " + std::to_string(waiting) +
              " records left unread by processes that are gone; delivering them.");
}

void krv_ipc::set_callback(krvvar_shared& value) {
  callback.args.clear();
  krv_ipc_callback next;
  krvvar_shared resolved = value.deref_copy();
  if (resolved->type == KRVVAR_FUNCTION) {
    next.function->set(resolved);
    next.task = next.function->call_function();
  }
  // Swapping first keeps the old holder alive until the new one is in place: releasing the old task
  // may run arbitrary code, which must find the channel consistent.
  std::swap(callback, next);
}

void krv_ipc::update_pre() {
  // The callback (or a woken sender) may drop the last reference to this channel: hold one for the whole
  // pass. There is none once the last one went (the release then waits for the VM lock to take the
  // channel off the list).
  const krvptr_strong<krv_ipc> self = strong_handle();
  if (!self) return;
  // A region cut short fails the parked sends and takes nothing: this pass touches no ring. Only a pass
  // that would touch it looks, and not right after one that took records (a busy reader pays nothing).
  const bool touches_ring = !parked_sends_.empty() || callback.task;
  if (touches_ring && !took_records_last_pass_) region_still_whole();
  took_records_last_pass_ = false;
  if (!parked_sends_.empty()) resume_parked_sends();
  if (!ready || ring == nullptr || !callback.task) return;
  const uint32_t connection = connection_count_;
  const uint32_t read_before = krv_ipc_read_ticket(*ring).load();
  const bool delivered = deliver_messages(self);
  const bool took_records =
      ready && ring != nullptr && connection == connection_count_ && krv_ipc_read_ticket(*ring).load() != read_before;
  took_records_last_pass_ = took_records;
  if (delivered || took_records)
    if (krv_vm_state* vm = krv_get_thread_local().vm; vm != nullptr && vm->notify != nullptr) vm->notify->wake();
}

void krv_ipc::resume_parked_sends() {
  if (!ready || ring == nullptr) {
    advance_parked_sends(false);  // fails them all
    return;
  }
  const uint32_t write_before = krv_ipc_write_ticket(*ring).load();
  advance_parked_sends(false);
  // Records written mean the peer is reading: look again soon rather than after the idle pause.
  if (ready && ring != nullptr && krv_ipc_write_ticket(*ring).load() != write_before)
    if (krv_vm_state* vm = krv_get_thread_local().vm; vm != nullptr && vm->notify != nullptr) vm->notify->wake();
}

bool krv_ipc::deliver_messages(const krvptr_strong<krv_ipc>& self) {
  // A peer that keeps sending must not hold the VM thread: drain only what was written before now.
  const uint32_t end_ticket = krv_ipc_write_ticket(*ring).load();
  const uint32_t connection = connection_count_;
  std::vector<krvvar_shared> run_args;
  bool delivered = false;
  for (;;) {
    // The running task stays alive even if the callback replaces itself.
    const krvptr_strong<krv_task> task = callback.task;
    if (!task || task->active) return delivered;
    // A callback may have disconnected the channel, or reconnected it (a creator may have cleared the
    // ring, which numbers its tickets afresh, so end_ticket no longer bounds it), or dropped the last
    // reference but this pass's: a channel nobody holds takes no more messages, which stay in the ring
    // for a later opener.
    if (!ready || ring == nullptr || connection != connection_count_ || self.block()->strong < 2) return delivered;
    if (!next_message(end_ticket)) return delivered;
    krvvar_shared value = krvvar_shared::make_none();
    if (!krv_ipc_read_payload(completed.data(), completed.size(), value)) {
      log_error("IPC: invalid message received on '" + name + "'.");
      continue;
    }
    callback.args.assign(1, std::move(value));
    // The run reads a list of its own: a callback that sets a new callback replaces the holder's list.
    run_args.swap(callback.args);
    // Runs the callback now; one that suspends stays active and holds further delivery back until done.
    krv_task::run(*task, &run_args);
    run_args.clear();
    delivered = true;
  }
}

bool krv_ipc::next_message(uint32_t end_ticket) {
  if (waiting_messages_.empty()) return receive_until(end_ticket);
  completed = std::move(waiting_messages_.front());
  waiting_messages_.pop_front();
  waiting_bytes_ -= completed.size();
  return true;
}

void krv_ipc::drain_receiving_channels(bool only_busy_callbacks) {
  const krv_thread_local& record = krv_get_thread_local();
  if (!record.owns_vm_lock()) return;
  for (krvobject_update_pre* object : record.vm->update_list) {
    auto* channel = dynamic_cast<krv_ipc*>(object);
    if (channel == nullptr || channel == this || !channel->ready || channel->ring == nullptr || !channel->callback.task)
      continue;
    if (!only_busy_callbacks || channel->callback.task->active != 0) channel->take_records_while_sending();
  }
}

void krv_ipc::take_records_while_sending() {
  if (!region_still_whole()) return;
  while (waiting_bytes_ < krv_ipc_max_waiting_bytes && receive()) {
    waiting_bytes_ += completed.size();
    waiting_messages_.push_back(std::move(completed));
    completed.clear();
  }
}

krvvar_shared krv_ipc::constructor_function(krv_vm_context&, std::vector<krvvar_shared>&) {
  krvvar_shared result = krvvar_shared::make_typed(KRVVAR_OBJECT);
  static_cast<krvvar_object_record*>(result->payload.record)->object = statics().create_new();
  return result;
}

void krv_ipc::script_register() {
  statics().create_new = [] { return krvptr_strong<krv_ipc>::from_raw(new krv_ipc()); };
  add_function(
      "connect",
      [](krv_ipc* self, krv_vm_context&, std::vector<krvvar_shared>& args) {
        if (args.empty()) return krv_raise_error("connect expects at least one argument (name)");
        const bool create = args.size() < 2 || args[1]->get_bool();
        return bool_value(self->open_mapping(args[0]->get_string(), create));
      },
      1, 2, "Connect to an IPC channel");
  add_function(
      "disconnect",
      [](krv_ipc* self, krv_vm_context&, std::vector<krvvar_shared>&) {
        self->disconnect();
        return bool_value(true);
      },
      0, 0, "Disconnect from the IPC channel");
  add_function(
      "send",
      [](krv_ipc* self, krv_vm_context& frame, std::vector<krvvar_shared>& args) {
        if (args.empty()) return krv_raise_error("send expects data as argument");
        return self->send_from_script(frame, args[0]);
      },
      1, 1, "Send data to the remote process");
  add_function(
      "is_ready", [](krv_ipc* self, krv_vm_context&, std::vector<krvvar_shared>&) { return bool_value(self->ready); },
      0, 0, "Check if the IPC connection is ready");
  add_function(
      "is_process_a",
      [](krv_ipc* self, krv_vm_context&, std::vector<krvvar_shared>&) { return bool_value(self->is_process_a); }, 0, 0,
      "Check if this is process A (creator)");
  add_function(
      "get_name",
      [](krv_ipc* self, krv_vm_context&, std::vector<krvvar_shared>&) { return krvvar_shared::make_string(self->name); },
      0, 0, "Get the IPC channel name");
  add_function(
      "on_message",
      [](krv_ipc* self, krv_vm_context&, std::vector<krvvar_shared>& args) {
        if (args.empty()) return krv_raise_error("on_message expects a callback function");
        self->set_callback(args[0]);
        return krvvar_shared::make_none();
      },
      1, 1, "Set a callback for incoming messages");
}
