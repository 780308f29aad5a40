// Sending and receiving: messages cut into ring records, records claimed by ticket (their reassembly
// per sender is ipc_reassembly.cpp).
//
// A message is chunks seq 1..n of up to 1024 payload bytes each, then an end marker (seq 0, len 0), all
// under the sender's id. The sender reuses one record for every chunk and allocates nothing per chunk.
//
// A script task whose send finds the ring full does not wait: its message goes onto the channel's queue
// of parked sends and the task is suspended; the update hook writes the queue as the ring gets room and
// wakes each task with its result, so the VM thread goes on running callbacks meanwhile. Messages enter
// the ring in the order of their sends: while the queue holds any, a new send parks behind them, and a
// caller that cannot park writes them out before its own.
//
// Each message may wait for room 5 s from the moment its turn comes; the hand-over of each slot, with
// its waits and the recovery from a peer that died in the middle of one, is ipc_slots.h.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "classes/ipc/ipc_channel.h"
#include "classes/ipc/ipc_payload.h"
#include "classes/ipc/ipc_slots.h"
#include "module/thread_record.h"
#include "platform/clock.h"
#include "runtime/objects/vm_context.h"

namespace {

constexpr auto full_ring_pause = std::chrono::milliseconds(1);
// Spins of a writer facing a full ring before it sleeps (some tens of microseconds).
constexpr uint32_t full_ring_spin_limit = 1024;

void cpu_relax() noexcept { __builtin_ia32_pause(); }

void log_error(const std::string& text) { krv_log_base::instance()->error(text); }

}  // namespace

bool krv_ipc::send_value(krvvar_shared value) {
  if (!ready || ring == nullptr) return false;
  outgoing_.clear();
  if (!krv_ipc_write_payload(value, outgoing_)) return false;
  return send_payload(outgoing_.data(), outgoing_.size());
}

namespace {

// The receiver would drop a message past the limit: it is refused before anything is published.
bool within_message_limit(size_t size) {
  if (size <= krv_ipc_max_message) return true;
  log_error("IPC: message of " + std::to_string(size) + " bytes exceeds the limit of " +
            std::to_string(krv_ipc_max_message) + " bytes.");
  return false;
}

uint64_t message_deadline() { return krv_platform::monotonic_ms() + krv_ipc_send_timeout; }

}  // namespace

bool krv_ipc::send_payload(const uint8_t* data, size_t size) {
  const uint64_t now_ms = krv_platform::monotonic_ms();
  if (!region_still_whole(now_ms) || size == 0 || !within_message_limit(size)) return false;
  // Messages of parked sends were sent first: they go into the ring first, and this one's 5 s start after.
  const bool parked_first = !parked_sends_.empty();
  advance_parked_sends(true);
  if (!ready || ring == nullptr) return false;
  const uint64_t deadline_ms = parked_first ? message_deadline() : now_ms + krv_ipc_send_timeout;
  krv_ipc_send_progress progress;
  return write_message(data, size, progress, deadline_ms, true) == write_outcome::DONE;
}

krvvar_shared krv_ipc::send_from_script(krv_vm_context& frame, krvvar_shared value) {
  const krv_thread_local& thread = krv_get_thread_local();
  // Only a task under the VM lock can be resumed by the update hook.
  if (frame.task == nullptr || !thread.owns_vm_lock()) return krvvar_shared::make_int(send_value(std::move(value)));
  if (!region_still_whole()) return krvvar_shared::make_int(0);
  outgoing_.clear();
  if (!krv_ipc_write_payload(value, outgoing_) || outgoing_.empty() || !within_message_limit(outgoing_.size()))
    return krvvar_shared::make_int(0);
  krv_ipc_parked_send parked;
  if (parked_sends_.empty()) {
    parked.deadline_ms = message_deadline();
    switch (write_message(outgoing_.data(), outgoing_.size(), parked.progress, parked.deadline_ms, false)) {
      case write_outcome::DONE:
        return krvvar_shared::make_int(1);
      case write_outcome::FAILED:
        return krvvar_shared::make_int(0);
      case write_outcome::NO_ROOM:
        break;
    }
  }
  parked.payload.swap(outgoing_);
  parked.task.reset(frame.task);
  parked.result = krvvar_shared::make_none();
  krvvar_shared placeholder = parked.result;
  parked_sends_.push_back(std::move(parked));
  krv_task::suspend(frame);
  return placeholder;
}

krv_ipc::write_outcome krv_ipc::write_message(const uint8_t* data, size_t size, krv_ipc_send_progress& progress,
                                              uint64_t deadline_ms, bool wait) {
  krv_ipc_slot record;
  record.sender_id = sender_id;
  while (!progress.finished) {
    // The chunks in order, then the end marker (seq 0, len 0).
    const bool chunk = progress.offset < size;
    record.seq = chunk ? progress.chunks + 1 : 0;
    record.len = chunk ? static_cast<uint32_t>(std::min<size_t>(size - progress.offset, krv_ipc_chunk_size)) : 0;
    std::memcpy(record.data, data + progress.offset, record.len);
    switch (publish_slot(deadline_ms, record, wait)) {
      case put_outcome::FAILED:
        return write_outcome::FAILED;
      case put_outcome::NO_ROOM:
        return write_outcome::NO_ROOM;
      case put_outcome::PUT:
        break;
    }
    progress.offset += record.len;
    progress.chunks += chunk ? 1 : 0;
    progress.finished = !chunk;
  }
  return write_outcome::DONE;
}

bool krv_ipc::advance_parked_sends(bool wait) {
  while (!parked_sends_.empty()) {
    krv_ipc_parked_send& head = parked_sends_.front();
    if (!ready || ring == nullptr) {
      finish_head_send(false);
      continue;
    }
    // Each message has its own 5 s from the moment its turn comes.
    if (head.deadline_ms == 0) head.deadline_ms = message_deadline();
    const write_outcome outcome =
        write_message(head.payload.data(), head.payload.size(), head.progress, head.deadline_ms, wait);
    if (outcome != write_outcome::NO_ROOM) {
      finish_head_send(outcome == write_outcome::DONE);
      continue;
    }
    if (krv_platform::monotonic_ms() < head.deadline_ms) {
      drain_receiving_channels(true);
      return false;
    }
    log_error("IPC: timeout.");
    finish_head_send(false);
  }
  return true;
}

void krv_ipc::finish_head_send(bool sent) {
  // Taken off first: waking the task may release the last reference to the placeholder.
  krv_ipc_parked_send done = std::move(parked_sends_.front());
  parked_sends_.pop_front();
  krvvar_shared value = krvvar_shared::make_int(sent ? 1 : 0);
  done.result->set(value);
  if (const krvptr_strong<krv_task> task = done.task.lock()) krv_task::wake(*task);
}

krv_ipc::put_outcome krv_ipc::publish_slot(uint64_t deadline_ms, const krv_ipc_slot& record, bool wait) {
  if (ring == nullptr) return put_outcome::FAILED;
  std::atomic_ref<uint32_t> write_ticket = krv_ipc_write_ticket(*ring);
  std::atomic_ref<uint32_t> read_ticket = krv_ipc_read_ticket(*ring);
  uint32_t ticket = write_ticket.load();
  for (uint32_t spins = 0;; ++spins) {
    if (krv_ipc_ticket_distance(read_ticket.load(), ticket) < static_cast<int32_t>(krv_ipc_slot_count)) {
      if (write_ticket.compare_exchange_weak(ticket, ticket + 1)) break;
      continue;
    }
    if (!wait) return put_outcome::NO_ROOM;
    // A reader that is draining frees the next slot within one record copy: spin about that long before
    // the full ring is waited out in 1 ms sleeps.
    if (spins < full_ring_spin_limit) {
      cpu_relax();
    } else {
      if (krv_platform::monotonic_ms() >= deadline_ms) {
        log_error("IPC: timeout.");
        return put_outcome::FAILED;
      }
      if (!region_still_whole()) return put_outcome::FAILED;
      drain_receiving_channels(false);
      std::this_thread::sleep_for(full_ring_pause);
    }
    ticket = write_ticket.load();
  }

  const krv_ipc_slot_party party{*ring, process_id_, name};
  switch (krv_ipc_take_for_writing(party, ticket, deadline_ms)) {
    case krv_ipc_slot_wait::TIMED_OUT:
      log_error("IPC: timeout.");
      return put_outcome::FAILED;
    case krv_ipc_slot_wait::DROPPED:
      return put_outcome::FAILED;  // its reader gave up on the ticket (or a later one) and said so in a line
    case krv_ipc_slot_wait::TAKEN:
      break;
  }
  // The slot stays this process's until it lets go (a slot is taken only from a holder that died), so the
  // copy lands in it however long this process is stopped on the way.
  const uint32_t len = std::min(record.len, krv_ipc_chunk_size);
  std::memcpy(&ring->slots[ticket & krv_ipc_slot_mask], &record, offsetof(krv_ipc_slot, data) + len);
  if (!krv_ipc_publish(party, ticket)) return put_outcome::FAILED;
  wrote_since_connect_ = true;
  own_end_ticket_ = ticket + 1;
  return put_outcome::PUT;
}

bool krv_ipc::receive() {
  if (!ready || ring == nullptr) return false;
  return receive_until(krv_ipc_write_ticket(*ring).load());
}

bool krv_ipc::receive_until(uint32_t end_ticket) {
  if (!ready || ring == nullptr) return false;
  std::atomic_ref<uint32_t> write_ticket = krv_ipc_write_ticket(*ring);
  std::atomic_ref<uint32_t> read_ticket = krv_ipc_read_ticket(*ring);
  for (;;) {
    uint32_t ticket = read_ticket.load();
    for (;;) {
      // A creator that connects again may clear the ring, so test the live write ticket as well.
      const int32_t waiting = krv_ipc_ticket_distance(ticket, write_ticket.load());
      if (waiting < 1 || krv_ipc_ticket_distance(ticket, end_ticket) < 1) {
        // A writer that died in the middle of the last message the ring held is named without waiting
        // for more traffic (no sender id is 0: it would name process 0).
        if (!partials.empty()) drop_partials_of_gone_writers(0);
        return false;
      }
      // Writers never run more than a ring ahead: tickets further apart were not set by a writer.
      if (waiting > static_cast<int32_t>(krv_ipc_slot_count)) {
        if (!corrupt_reported_) {
          log_error("IPC: the ring of '" + name + "' has " + std::to_string(waiting) +
                    " records waiting, more than it holds; not reading it.");
        }
        corrupt_reported_ = true;
        return false;
      }
      if (read_ticket.compare_exchange_weak(ticket, ticket + 1)) break;
    }
    bool complete = false;
    // A skipped ticket ends this call, so one call waits for at most one missing record.
    if (!drain_ticket(ticket, complete)) return false;
    if (complete) return true;
  }
}

bool krv_ipc::drain_ticket(uint32_t ticket, bool& complete) {
  const krv_ipc_slot_party party{*ring, process_id_, name};
  switch (krv_ipc_take_for_reading(party, ticket, krv_platform::monotonic_ms() + krv_ipc_read_wait_ms)) {
    case krv_ipc_slot_wait::TIMED_OUT: {
      const uint32_t slot = ticket & krv_ipc_slot_mask;
      log_error("IPC: no record for ticket " + std::to_string(ticket) + " in slot " + std::to_string(slot) + " on '" +
                name + "' (slot state " + std::to_string(krv_ipc_slot_state_of(*ring, slot).load()) + "), skipping it.");
      return false;
    }
    case krv_ipc_slot_wait::DROPPED:
      return true;
    case krv_ipc_slot_wait::TAKEN:
      break;
  }
  complete = accept_record(ring->slots[ticket & krv_ipc_slot_mask]);
  krv_ipc_release_read(party, ticket);
  return true;
}
