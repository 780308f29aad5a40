// Sending and receiving: messages cut into ring records, records claimed by ticket, reassembly per
// sender.
//
// A message is chunks seq 1..n of up to 1024 payload bytes each, then an end marker (seq 0, len 0), all
// under the sender's id. The sender reuses one record for every chunk and allocates nothing per chunk;
// the receiver copies each chunk once, straight from its slot into the sender's partial message, and
// hands a finished partial's map entry and storage on to the next one.
//
// The wait for room is bounded by the message's deadline; the hand-over of each slot, with its waits
// and the recovery from a peer that died in the middle of one, is ipc_slots.h.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "classes/ipc/ipc_channel.h"
#include "classes/ipc/ipc_payload.h"
#include "classes/ipc/ipc_slots.h"
#include "platform/clock.h"

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

  const krv_ipc_slot_party party{*ring, process_id_, name};
  switch (krv_ipc_take_for_writing(party, ticket, deadline_ms)) {
    case krv_ipc_slot_wait::TIMED_OUT:
      log_error("IPC: timeout.");
      return false;
    case krv_ipc_slot_wait::DROPPED:
      return true;  // its reader gave up on the ticket and said so in a line
    case krv_ipc_slot_wait::TAKEN:
      break;
  }
  const uint32_t len = std::min(record.len, krv_ipc_chunk_size);
  std::memcpy(&ring->slots[ticket & krv_ipc_slot_mask], &record, offsetof(krv_ipc_slot, data) + len);
  krv_ipc_publish(party, ticket);
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
  const krv_ipc_slot_party party{*ring, process_id_, name};
  switch (krv_ipc_take_for_reading(party, ticket, krv_platform::monotonic_ms() + krv_ipc_read_wait_ms)) {
    case krv_ipc_slot_wait::TIMED_OUT: {
      const uint32_t slot = ticket & krv_ipc_slot_mask;
      log_error("IPC: no record for ticket " + std::to_string(ticket) + " in slot " + std::to_string(slot) + " on '" +
                name + "' (slot state " + std::to_string(krv_ipc_slot_state_of(*ring, slot).load()) + "), skipping it.");
      krv_ipc_give_up(party, ticket);
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
