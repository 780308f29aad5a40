// Sending and receiving: messages cut into ring records, records claimed by ticket, reassembly per
// sender.
//
// A message is chunks seq 1..n of up to 1024 payload bytes each, then an end marker (seq 0, len 0), all
// under the sender's id. The sender reuses one record for every chunk and allocates nothing per chunk;
// the receiver copies each chunk once, straight from its slot into the sender's partial message, and
// hands a finished partial's map entry and storage on to the next one.
//
// Every wait on a slot is bounded. A writer waits for its slot at most until its message deadline. A
// reader waits at most krv_ipc_read_wait_ms for the record of its ticket, then logs, skips the ticket
// and, when a writer may still fill that slot (state free or being written), marks it: the next record
// found full there is that writer's late one and is dropped unread. Nobody resets a state the other side
// set.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "classes/ipc/ipc_channel.h"
#include "classes/ipc/ipc_payload.h"
#include "platform/clock.h"

namespace {

// Spins before a slot wait starts sleeping. A pause costs 27 to 60 ns on the machines we measured, so
// this is some microseconds: many record copies of the other side. Spinning longer only takes the core
// from a peer that was preempted, which is when such a wait lasts.
constexpr uint32_t slot_spin_limit = 256;
constexpr auto slot_wait_pause = std::chrono::microseconds(50);
constexpr auto full_ring_pause = std::chrono::milliseconds(1);
// Spins of a writer facing a full ring before it sleeps (some tens of microseconds).
constexpr uint32_t full_ring_spin_limit = 1024;

void cpu_relax() noexcept { __builtin_ia32_pause(); }

void log_error(const std::string& text) { krv_log_base::instance()->error(text); }

// Moves `state` from `from` to `to` once it reads `from`; false when `deadline_ms` passed first.
bool claim_slot(std::atomic_ref<uint8_t> state, uint8_t from, uint8_t to, uint64_t deadline_ms) {
  for (uint32_t spins = 0;; ++spins) {
    uint8_t seen = from;
    if (state.load(std::memory_order_relaxed) == from &&
        state.compare_exchange_weak(seen, to, std::memory_order_acquire, std::memory_order_relaxed)) {
      return true;
    }
    if (spins < slot_spin_limit) {
      cpu_relax();
      continue;
    }
    if (krv_platform::monotonic_ms() >= deadline_ms) return false;
    std::this_thread::sleep_for(slot_wait_pause);
  }
}

}  // namespace

bool krv_ipc::send_value(krvvar_shared value) {
  if (!ready || ring == nullptr) return false;
  outgoing_.clear();
  if (!krv_ipc_write_payload(value, outgoing_)) return false;
  return send_payload(outgoing_.data(), outgoing_.size());
}

bool krv_ipc::send_payload(const uint8_t* data, size_t size) {
  if (!ready || ring == nullptr || size == 0) return false;
  // The receiver would drop it at the limit: refuse it before anything is published.
  if (size > krv_ipc_max_message) {
    log_error("IPC: message of " + std::to_string(size) + " bytes exceeds the limit of " +
              std::to_string(krv_ipc_max_message) + " bytes.");
    return false;
  }
  const uint64_t deadline_ms = krv_platform::monotonic_ms() + krv_ipc_send_timeout;
  krv_ipc_slot record;
  record.sender_id = sender_id;
  record.seq = 0;
  for (size_t offset = 0; offset < size; offset += record.len) {
    record.len = static_cast<uint32_t>(std::min<size_t>(size - offset, krv_ipc_chunk_size));
    std::memcpy(record.data, data + offset, record.len);
    ++record.seq;
    if (!publish_slot(deadline_ms, record)) return false;
  }
  record.seq = 0;
  record.len = 0;
  return publish_slot(deadline_ms, record);
}

bool krv_ipc::publish_slot(uint64_t deadline_ms, const krv_ipc_slot& record) {
  if (ring == nullptr) return false;
  std::atomic_ref<uint32_t> write_ticket = krv_ipc_write_ticket(*ring);
  std::atomic_ref<uint32_t> read_ticket = krv_ipc_read_ticket(*ring);
  uint32_t ticket = write_ticket.load();
  for (uint32_t spins = 0;; ++spins) {
    if (krv_ipc_ticket_distance(read_ticket.load(), ticket) < static_cast<int32_t>(krv_ipc_slot_count)) {
      if (write_ticket.compare_exchange_weak(ticket, ticket + 1)) break;
      continue;
    }
    // A reader that is draining frees the next slot within one record copy: spin about that long before
    // the full ring is waited out in 1 ms sleeps.
    if (spins < full_ring_spin_limit) {
      cpu_relax();
    } else {
      if (krv_platform::monotonic_ms() >= deadline_ms) {
        log_error("IPC: timeout.");
        return false;
      }
      drain_receiving_channels();
      std::this_thread::sleep_for(full_ring_pause);
    }
    ticket = write_ticket.load();
  }

  const uint32_t slot = ticket & krv_ipc_slot_mask;
  std::atomic_ref<uint8_t> state = krv_ipc_slot_state_of(*ring, slot);
  // The reader of the ticket 1,024 earlier may still be copying out; a dead one never frees the slot.
  if (!claim_slot(state, KRV_IPC_SLOT_FREE, KRV_IPC_SLOT_WRITING, deadline_ms)) {
    log_error("IPC: timeout.");
    return false;
  }
  const uint32_t len = std::min(record.len, krv_ipc_chunk_size);
  std::memcpy(&ring->slots[slot], &record, offsetof(krv_ipc_slot, data) + len);
  state.store(KRV_IPC_SLOT_FULL, std::memory_order_release);
  return true;
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
      // A creator that connects again zero-fills the tickets, so test the live write ticket as well.
      const int32_t waiting = krv_ipc_ticket_distance(ticket, write_ticket.load());
      if (waiting < 1 || krv_ipc_ticket_distance(ticket, end_ticket) < 1) return false;
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
  const uint32_t slot = ticket & krv_ipc_slot_mask;
  std::atomic_ref<uint8_t> state = krv_ipc_slot_state_of(*ring, slot);
  for (;;) {
    const uint64_t deadline_ms = krv_platform::monotonic_ms() + krv_ipc_read_wait_ms;
    if (!claim_slot(state, KRV_IPC_SLOT_FULL, KRV_IPC_SLOT_READING, deadline_ms)) {
      const uint8_t seen = state.load(std::memory_order_relaxed);
      log_error("IPC: no record for ticket " + std::to_string(ticket) + " in slot " + std::to_string(slot) + " on '" +
                name + "' (slot state " + std::to_string(seen) + "), skipping it.");
      if (seen == KRV_IPC_SLOT_FREE || seen == KRV_IPC_SLOT_WRITING) late_marks_[slot] = 1;
      return false;
    }
    if (late_marks_[slot] == 0) break;
    // The late record of a ticket skipped one lap ago: free the slot for this ticket's writer.
    late_marks_[slot] = 0;
    state.store(KRV_IPC_SLOT_FREE, std::memory_order_release);
  }
  complete = accept_record(ring->slots[slot]);
  state.store(KRV_IPC_SLOT_FREE, std::memory_order_release);
  return true;
}

krv_ipc_partial& krv_ipc::start_partial(uint32_t sender) {
  if (partials.size() >= krv_ipc_max_partials) {
    log_error("IPC: too many unfinished messages, dropping them.");
    partials.clear();
  }
  if (spare_partial_.empty()) return partials[sender];
  spare_partial_.key() = sender;
  return partials.insert(std::move(spare_partial_)).position->second;
}

bool krv_ipc::accept_record(const krv_ipc_slot& slot) {
  // The slot is shared with the other process: read each header field once.
  const uint32_t sender = slot.sender_id;
  const uint32_t seq = slot.seq;
  const uint32_t len = slot.len;
  if (len > krv_ipc_chunk_size) return false;
  auto found = partials.find(sender);

  if (seq != 0) {
    krv_ipc_partial* partial = found == partials.end() ? nullptr : &found->second;
    if (seq == 1) {
      if (partial == nullptr) partial = &start_partial(sender);
      partial->next_seq = 1;
      partial->broken = 0;
      partial->bytes.clear();
    }
    if (partial == nullptr || partial->broken) return false;
    if (seq == partial->next_seq && len <= krv_ipc_max_message - partial->bytes.size()) {
      partial->bytes.insert(partial->bytes.end(), slot.data, slot.data + len);
      ++partial->next_seq;
    } else {
      partial->broken = 1;
      partial->bytes.clear();
    }
    return false;
  }

  if (found == partials.end()) return false;
  krv_ipc_partial& partial = found->second;
  const bool message_complete = partial.broken == 0 && !partial.bytes.empty();
  if (message_complete) completed.swap(partial.bytes);
  // The entry and the storage left in it (the previous message's, when one completed) serve the next one.
  partial.bytes.clear();
  spare_partial_ = partials.extract(found);
  return message_complete;
}
