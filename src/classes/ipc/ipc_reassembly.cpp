// Reassembly: the records a reader takes, turned back into messages, one unfinished message (a partial)
// per sender id.
//
// A writer's chunks arrive in order under its sender id, and its end marker completes the message; the
// records of any number of writers interleave. A partial is kept for as long as its writer may still
// finish it, whatever other writers send meanwhile, and is dropped, with a line that names its writer's
// process and sender id, only when
//   - its writer's next message begins (seq 1 under the same id): the writer gave it up (its send answered
//     false);
//   - its writer's process is gone (the sender id names it, ipc_sender_id.h) and no record of it can
//     still be in the ring. A writer that ended right after a send that answered true may have left the
//     rest of its message, end marker included, behind the reader's ticket: the look that finds it gone
//     notes the write ticket, which every record of the writer took a ticket before, and a later look
//     drops the partial only once the reader has passed that ticket. The reader looks when a message
//     starts while others are unfinished and when it has drained the ring, once the map has grown to
//     twice what its last look left (at least 64) or a second has passed since, and again as soon as it
//     has passed the ticket a look noted: a dead writer's partial costs memory for a while, never the
//     message of a live one, nor the finished message of a gone one;
//   - the partials would hold more than `partial_bytes_limit` together (krv_ipc_max_partial_bytes) even
//     with those of gone writers dropped: then the message whose chunk would cross it. Memory is the
//     only bound on how many writers may be in the middle of a message at once.
// A chunk out of order or past the size limit breaks its message silently: it ends without delivery,
// its loss logged by whoever lost the record.
//
// Each chunk is copied once, straight from its slot into its partial, and a finished partial's map entry
// and storage serve the next message: receiving allocates nothing once a few messages have passed.
#include <algorithm>

#include "classes/ipc/ipc_channel.h"
#include "classes/ipc/ipc_sender_id.h"
#include "platform/clock.h"
#include "platform/process_alive.h"

bool krv_ipc::accept_record(const krv_ipc_slot& slot) {
  // The slot is shared with the other process: read each header field once.
  const uint32_t sender = slot.sender_id;
  const uint32_t seq = slot.seq;
  const uint32_t len = slot.len;
  if (len > krv_ipc_chunk_size) return false;
  const auto found = partials.find(sender);
  if (seq == 0) return end_message(found);

  krv_ipc_partial* partial = found == partials.end() ? nullptr : &found->second;
  if (seq == 1) {
    if (partial == nullptr) {
      partial = &start_partial(sender);
    } else {
      if (!partial->loss_named) log_dropped_partial(sender, "its next message began.");
      drop_partial_bytes(*partial);
    }
    partial->next_seq = 1;
    partial->broken = 0;
    partial->writer_gone = 0;
    partial->loss_named = 0;
  } else if (partial == nullptr) {
    // The rest of a message whose first records this reader never saw: a reader before it (killed, or
    // started again) took them. The message is lost; its line is written once, and the entry, broken,
    // takes the rest up to its end marker without another line.
    partial = &start_partial(sender);
    partial->broken = 1;
    partial->writer_gone = 0;
    partial->loss_named = 1;
    log_dropped_partial(sender, "its first records were taken by an earlier reader.");
  }
  if (partial->broken) return false;
  if (seq != partial->next_seq || len > krv_ipc_max_message - partial->bytes.size()) {
    partial->broken = 1;
    drop_partial_bytes(*partial);
  } else if (!partials_have_room(sender, len)) {
    log_dropped_partial(sender, "unfinished messages would hold more than " + std::to_string(partial_bytes_limit) +
                                    " bytes.");
    partial->broken = 1;
    drop_partial_bytes(*partial);
  } else {
    partial->bytes.insert(partial->bytes.end(), slot.data, slot.data + len);
    partial_bytes_ += len;
    ++partial->next_seq;
  }
  return false;
}

void krv_ipc::clear_partials() {
  partials.clear();
  partial_bytes_ = 0;
  partial_sweep_size_ = krv_ipc_partial_sweep_size;
  next_partial_sweep_ms_ = 0;
}

bool krv_ipc::end_message(std::unordered_map<uint32_t, krv_ipc_partial>::iterator found) {
  if (found == partials.end()) return false;
  krv_ipc_partial& partial = found->second;
  const bool message_complete = partial.broken == 0 && !partial.bytes.empty();
  partial_bytes_ -= partial.bytes.size();
  if (message_complete) completed.swap(partial.bytes);
  // The entry and the storage left in it (the previous message's, when one completed) serve the next one.
  partial.bytes.clear();
  spare_partial_ = partials.extract(found);
  return message_complete;
}

krv_ipc_partial& krv_ipc::start_partial(uint32_t sender) {
  if (!partials.empty()) drop_partials_of_gone_writers(sender);
  if (spare_partial_.empty()) return partials[sender];
  spare_partial_.key() = sender;
  return partials.insert(std::move(spare_partial_)).position->second;
}

bool krv_ipc::partials_have_room(uint32_t sender, size_t len) {
  if (partial_bytes_ + len <= partial_bytes_limit) return true;
  drop_partials_of_gone_writers(sender);
  return partial_bytes_ + len <= partial_bytes_limit;
}

void krv_ipc::drop_partials_of_gone_writers(uint32_t sender_in_hand) {
  const uint64_t now = krv_platform::monotonic_ms();
  // A writer found gone at the last look is dropped once the reader has passed what it could have left
  // in the ring, which is soon after that look: waiting for the next timed look would add a second.
  const bool gone_writer_passed =
      gone_writers_pending_ &&
      krv_ipc_ticket_distance(krv_ipc_read_ticket(*ring).load(), gone_writers_ticket_) <= 0;
  if (partials.size() < partial_sweep_size_ && now < next_partial_sweep_ms_ && !gone_writer_passed) return;
  gone_writers_pending_ = false;
  for (auto at = partials.begin(); at != partials.end();) {
    if (at->first == sender_in_hand || !nothing_more_can_come(at->second, at->first)) {
      gone_writers_pending_ = gone_writers_pending_ || at->second.writer_gone;
      ++at;
      continue;
    }
    if (!at->second.loss_named) log_dropped_partial(at->first, "its process is gone.");
    partial_bytes_ -= at->second.bytes.size();
    at = partials.erase(at);
  }
  // Every gone writer's noted ticket is at or before the write ticket now.
  gone_writers_ticket_ = krv_ipc_write_ticket(*ring).load();
  partial_sweep_size_ = std::max(krv_ipc_partial_sweep_size, 2 * partials.size());
  next_partial_sweep_ms_ = now + krv_ipc_partial_sweep_ms;
}

bool krv_ipc::nothing_more_can_come(krv_ipc_partial& partial, uint32_t sender) {
  if (!partial.writer_gone) {
    if (krv_platform::process_running(krv_ipc_sender_process(sender))) return false;
    // Read after the process was seen gone: no ticket of it lies at or past this one.
    partial.gone_ticket = krv_ipc_write_ticket(*ring).load();
    partial.writer_gone = 1;
  }
  // This side drains the ring, and the ticket in hand is `sender_in_hand`'s: every ticket before the read
  // ticket has been fed to reassembly. A noted ticket more than a ring ahead of the reader belongs to a
  // ring that was numbered afresh since (its creator connected again): nothing of it comes either.
  const int32_t ahead = krv_ipc_ticket_distance(krv_ipc_read_ticket(*ring).load(), partial.gone_ticket);
  return ahead <= 0 || ahead > static_cast<int32_t>(krv_ipc_slot_count);
}

void krv_ipc::drop_partial_bytes(krv_ipc_partial& partial) {
  partial_bytes_ -= partial.bytes.size();
  partial.bytes.clear();
}

void krv_ipc::log_dropped_partial(uint32_t sender, const std::string& reason) {
  krv_log_base::instance()->error("IPC: dropped the unfinished message of process " +
                                  std::to_string(krv_ipc_sender_process(sender)) + " (sender id " +
                                  std::to_string(sender) + ") on '" + name + "': " + reason);
}
