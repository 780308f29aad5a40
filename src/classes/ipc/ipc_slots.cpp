#include "classes/ipc/ipc_slots.h"

#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "platform/clock.h"
#include "platform/process_alive.h"
#include "runtime/objects/log.h"

namespace {

// Spins before a slot wait starts sleeping. A pause costs 27 to 60 ns on the machines we measured, so
// this is some microseconds: many record copies of the other side. Spinning longer only takes the core
// from a peer that was preempted, which is when such a wait lasts.
constexpr uint32_t slot_spin_limit = 256;
constexpr auto slot_wait_pause = std::chrono::microseconds(50);
// How often a sleeping wait asks whether the slot's holder still runs (a system call and a /proc read).
constexpr uint64_t liveness_check_ms = 5;
// Tries of a reader's give-up: the mark moves only while a record is handed over, a few steps each time.
constexpr int give_up_attempts = 64;

void cpu_relax() noexcept { __builtin_ia32_pause(); }

// Names a record's ticket and the slot where it was found (a mark left by a confused peer may name a
// ticket of another slot).
std::string slot_text(uint32_t ticket, uint32_t slot, const krv_ipc_slot_party& party) {
  return "ticket " + std::to_string(ticket) + " in slot " + std::to_string(slot) + " on '" + party.channel + "'";
}

void log_error(const std::string& text) { krv_log_base::instance()->error(text); }

struct slot_view {
  std::atomic_ref<uint64_t> mark;
  std::atomic_ref<uint8_t> state;
  uint32_t index;
};

slot_view view_of(const krv_ipc_slot_party& party, uint32_t slot) {
  return {krv_ipc_slot_mark_of(party.ring, slot), krv_ipc_slot_state_of(party.ring, slot), slot};
}

// Whether the mark `seen` can be one an honest process left, as far as the lap of `ticket` tells (table
// in the header): its ticket selects this slot and was given to a writer. The write ticket is read after
// the mark: it only grows, so a ticket given out when the mark was left still is.
bool belongs_to_lap(const krv_ipc_slot_party& party, uint32_t ticket, uint64_t seen) {
  if (seen == 0) return true;  // a ring as an older creator cleared it (or ticket 0 read)
  const uint32_t stamped = krv_ipc_mark_ticket(seen);
  if ((stamped & krv_ipc_slot_mask) != (ticket & krv_ipc_slot_mask)) return false;
  return krv_ipc_ticket_distance(ticket, stamped) <= 0 ||
         krv_ipc_ticket_distance(stamped, krv_ipc_write_ticket(party.ring).load(std::memory_order_acquire)) > 0;
}

// Lets go of the slot this process holds under the mark `held`: the state `state`, then the mark
// `released` (held by nobody); true. While it held the slot, a reader may have given up on a ticket of
// the slot and stamped that ticket, dropped, into the mark (give_up, below): then whatever the slot
// holds passes no more, and it is let go free with that ticket dropped; false. Compare-exchanges, never
// stores: a give-up that lands first is never overwritten. A slot taken from this process (only ever
// under a mark no honest process of its lap could have left) is left alone; false.
bool let_go(const krv_ipc_slot_party& party, slot_view slot, uint64_t held, uint8_t state, uint64_t released) {
  uint64_t seen = slot.mark.load(std::memory_order_relaxed);
  if (seen == held) {
    slot.state.store(state, std::memory_order_relaxed);
    if (slot.mark.compare_exchange_strong(seen, released, std::memory_order_release, std::memory_order_relaxed))
      return true;
  }
  while (krv_ipc_mark_holder(seen) == party.self) {
    slot.state.store(KRV_IPC_SLOT_FREE, std::memory_order_relaxed);
    const uint64_t dropped = krv_ipc_make_mark(krv_ipc_mark_ticket(seen), 0, krv_ipc_mark_dropped);
    if (slot.mark.compare_exchange_weak(seen, dropped, std::memory_order_release, std::memory_order_relaxed)) break;
  }
  return false;
}

// Takes the slot whose mark read `seen` for `ticket` and moves its state to `to`. The caller knows the
// state `seen` stands for: it read the state after the mark, or `seen` is a mark that only that state
// leaves (the full bit). A mark unchanged since vouches for it: whoever moves a state holds the slot
// meanwhile, and lets go with a mark that differs in ticket or full bit from one it found unless the
// state is as it was.
bool take(const krv_ipc_slot_party& party, slot_view slot, uint64_t seen, uint32_t ticket, uint8_t to) {
  if (!slot.mark.compare_exchange_strong(seen, krv_ipc_make_mark(ticket, party.self), std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
    return false;
  }
  slot.state.store(to, std::memory_order_relaxed);
  return true;
}

// Takes the slot of `ticket` back from the mark `seen` that cannot belong to its lap: whatever the slot
// held is dropped, and it is left as the lap before left it in the usual case (read and free), so the
// ticket's writer and reader go on as usual. Logged once, by whoever takes it back.
void take_back(const krv_ipc_slot_party& party, slot_view slot, uint32_t ticket, uint64_t seen) {
  const uint32_t before = ticket - krv_ipc_slot_count;
  const uint8_t state = slot.state.load(std::memory_order_relaxed);
  if (!take(party, slot, seen, before, KRV_IPC_SLOT_FREE)) return;
  let_go(party, slot, krv_ipc_make_mark(before, party.self), KRV_IPC_SLOT_FREE, krv_ipc_make_mark(before, 0));
  log_error("IPC: slot " + std::to_string(slot.index) + " on '" + party.channel + "' held a mark of ticket " +
            std::to_string(krv_ipc_mark_ticket(seen)) + " by process " + std::to_string(krv_ipc_mark_holder(seen)) +
            " that no ticket of its lap could have left (slot state " + std::to_string(state) +
            "); took the slot back.");
}

// Drops the unread record of the earlier ticket stamped in `seen` (held by nobody, full): its reader is
// gone (it died after taking its ticket). The slot is let go free under the mark `released`.
void drop_unread(const krv_ipc_slot_party& party, slot_view slot, uint64_t seen, uint64_t released) {
  const uint32_t stamped = krv_ipc_mark_ticket(seen);
  if (!take(party, slot, seen, stamped, KRV_IPC_SLOT_READING)) return;
  log_error("IPC: dropped the unread record of " + slot_text(stamped, slot.index, party) + ": its reader is gone.");
  let_go(party, slot, krv_ipc_make_mark(stamped, party.self), KRV_IPC_SLOT_FREE, released);
}

// When the holder in `seen` no longer runs, takes the slot from it and puts it right (table in the
// header); true when the mark changed, so the caller looks again. A process that runs keeps the slot,
// however long it holds it: it may still write into it.
bool reclaim_if_dead(const krv_ipc_slot_party& party, slot_view slot, uint64_t seen) {
  const uint32_t holder = krv_ipc_mark_holder(seen);
  if (holder == party.self || krv_platform::process_running(holder)) return false;
  const uint32_t ticket = krv_ipc_mark_ticket(seen);
  const bool dropped = krv_ipc_mark_is_dropped(seen);
  if (!slot.mark.compare_exchange_strong(seen, krv_ipc_make_mark(ticket, party.self), std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
    return true;
  }
  const uint64_t held = krv_ipc_make_mark(ticket, party.self);
  const uint8_t state = slot.state.load(std::memory_order_relaxed);
  if (state == KRV_IPC_SLOT_FULL && !dropped) {
    let_go(party, slot, held, KRV_IPC_SLOT_FULL, krv_ipc_make_mark(ticket, 0, krv_ipc_mark_full));
    return true;
  }
  const bool read_lost = state == KRV_IPC_SLOT_READING && !dropped;
  if (read_lost)
    log_error("IPC: the record of " + slot_text(ticket, slot.index, party) + " is lost: its reader died while reading it.");
  let_go(party, slot, held, KRV_IPC_SLOT_FREE, krv_ipc_make_mark(ticket, 0, read_lost ? 0 : krv_ipc_mark_dropped));
  return true;
}

// Takes the slot of `ticket` into state `to` at once when its mark is `usual` (the mark the other side
// leaves in the usual case, which vouches for the state); otherwise waits on it until `step`, given each
// mark that can belong to the ticket's lap, has an outcome (nullopt: wait on), taking the slot back from
// a holder that died. TIMED_OUT at `deadline_ms`.
template <class Step>
krv_ipc_slot_wait wait_on_slot(const krv_ipc_slot_party& party, uint32_t ticket, uint64_t deadline_ms, uint64_t usual,
                               uint8_t to, Step step) {
  const slot_view slot = view_of(party, ticket & krv_ipc_slot_mask);
  // Read before the compare-exchange: a slot not ready yet stays with the side still working in it.
  if (slot.mark.load(std::memory_order_relaxed) == usual && take(party, slot, usual, ticket, to))
    return krv_ipc_slot_wait::TAKEN;
  uint64_t next_liveness_check = 0;
  for (uint32_t spins = 0;; ++spins) {
    const uint64_t seen = slot.mark.load(std::memory_order_acquire);
    if (!belongs_to_lap(party, ticket, seen)) {
      take_back(party, slot, ticket, seen);
      continue;
    }
    if (const std::optional<krv_ipc_slot_wait> outcome = step(slot, seen)) return *outcome;
    if (spins < slot_spin_limit) {
      cpu_relax();
      continue;
    }
    const uint64_t now = krv_platform::monotonic_ms();
    if (krv_ipc_mark_holder(seen) != 0 && now >= next_liveness_check) {
      next_liveness_check = now + liveness_check_ms;
      if (reclaim_if_dead(party, slot, seen)) continue;
    }
    if (now >= deadline_ms) return krv_ipc_slot_wait::TIMED_OUT;
    std::this_thread::sleep_for(slot_wait_pause);
  }
}

void log_writer_died(uint32_t ticket, slot_view slot, const krv_ipc_slot_party& party) {
  log_error("IPC: the record of " + slot_text(ticket, slot.index, party) + " is lost: its writer died while writing it.");
}

// Whether the mark `seen`, held by nobody, says that the lap before `ticket` is done with the slot: the
// reader of ticket - 1024 freed it, or that ticket was dropped (its reader gave up on it, or its writer
// died). A ring an older creator left all zero has no such mark for the first lap: there the zero mark
// counts, for the first-lap ticket alone (for slot 0 it also reads "ticket 0 read", which its second-lap
// writer then cannot tell apart; rings cleared by krv_ipc_clear_ring have no such case).
bool lap_before_done(uint32_t ticket, uint64_t seen) {
  if (seen == 0 && ticket < krv_ipc_slot_count) return true;
  return (seen & ~krv_ipc_mark_dropped) == krv_ipc_make_mark(ticket - krv_ipc_slot_count, 0);
}

// A reader that waited for `ticket` in vain gives it up: the ticket goes into the slot's mark, dropped,
// so that its writer withdraws the record if it comes late (its send answers false). A process that
// holds the slot meanwhile (the ticket's writer, or one of an earlier ticket, stopped or slow) finds it
// there when it lets go, and lets go with the ticket dropped. True when the record came after all: the
// reader then holds it, as from krv_ipc_take_for_reading.
bool give_up(const krv_ipc_slot_party& party, uint32_t ticket) {
  const slot_view slot = view_of(party, ticket & krv_ipc_slot_mask);
  for (int attempt = 0; attempt < give_up_attempts; ++attempt) {
    uint64_t seen = slot.mark.load(std::memory_order_acquire);
    const int32_t behind = krv_ipc_ticket_distance(krv_ipc_mark_ticket(seen), ticket);
    if (behind < 0) return false;  // a later ticket passed through the slot
    const uint32_t holder = krv_ipc_mark_holder(seen);
    const bool full = (seen & krv_ipc_mark_full) != 0;
    if (holder == 0 && behind == 0) {
      // The record came after all (or the ticket is dropped already).
      if (!full) return false;
      if (take(party, slot, seen, ticket, KRV_IPC_SLOT_READING)) return true;
    } else if (holder == 0 && full) {
      drop_unread(party, slot, seen, krv_ipc_make_mark(ticket, 0, krv_ipc_mark_dropped));
    } else if (slot.mark.compare_exchange_strong(seen, krv_ipc_make_mark(ticket, holder, krv_ipc_mark_dropped),
                                                 std::memory_order_acq_rel, std::memory_order_relaxed)) {
      return false;
    }
  }
  return false;
}

}  // namespace

void krv_ipc_clear_ring(krv_ipc_ring& ring) {
  std::memset(&ring, 0, sizeof ring);
  for (uint32_t slot = 0; slot < krv_ipc_slot_count; ++slot)
    ring.slot_marks[slot].word = krv_ipc_make_mark(slot - krv_ipc_slot_count, 0);
}

krv_ipc_slot_wait krv_ipc_take_for_writing(const krv_ipc_slot_party& party, uint32_t ticket, uint64_t deadline_ms) {
  // Usually the slot is as the reader of the ticket a lap earlier left it.
  const uint64_t usual = krv_ipc_make_mark(ticket - krv_ipc_slot_count, 0);
  return wait_on_slot(party, ticket, deadline_ms, usual, KRV_IPC_SLOT_WRITING,
                      [&](slot_view slot, uint64_t seen) -> std::optional<krv_ipc_slot_wait> {
    const uint32_t stamped = krv_ipc_mark_ticket(seen);
    // The ticket's reader gave up on it, or on a later ticket of the slot (a later lap takes the slot only
    // once this ticket is dropped; an all-zero mark names no ticket), held or not: a reader gives up
    // into the mark of a holder that is still at work in the slot.
    if (stamped == ticket ? krv_ipc_mark_is_dropped(seen) : seen != 0 && krv_ipc_ticket_distance(ticket, stamped) > 0)
      return krv_ipc_slot_wait::DROPPED;
    // Any other mark is an earlier lap still at work in the slot (another writer's ticket a lap before
    // ours, which it has not filled or its reader not read yet): we wait our turn.
    if (krv_ipc_mark_holder(seen) == 0 && lap_before_done(ticket, seen) &&
        slot.state.load(std::memory_order_relaxed) == KRV_IPC_SLOT_FREE &&
        take(party, slot, seen, ticket, KRV_IPC_SLOT_WRITING)) {
      return krv_ipc_slot_wait::TAKEN;
    }
    return std::nullopt;
  });
}

bool krv_ipc_publish(const krv_ipc_slot_party& party, uint32_t ticket) {
  // The one compare-exchange decides against a reader giving up on the ticket meanwhile: either the
  // record stands under its ticket (and a give-up that comes later takes it) or it is withdrawn.
  return let_go(party, view_of(party, ticket & krv_ipc_slot_mask), krv_ipc_make_mark(ticket, party.self),
                KRV_IPC_SLOT_FULL, krv_ipc_make_mark(ticket, 0, krv_ipc_mark_full));
}

krv_ipc_slot_wait krv_ipc_take_for_reading(const krv_ipc_slot_party& party, uint32_t ticket, uint64_t deadline_ms) {
  // Usually the slot is as the ticket's writer left it.
  const uint64_t usual = krv_ipc_make_mark(ticket, 0, krv_ipc_mark_full);
  const krv_ipc_slot_wait outcome = wait_on_slot(party, ticket, deadline_ms, usual, KRV_IPC_SLOT_READING,
                                                 [&](slot_view slot, uint64_t seen) -> std::optional<krv_ipc_slot_wait> {
    const uint32_t stamped = krv_ipc_mark_ticket(seen);
    // A later lap in the slot: its writer took it only once our ticket was dropped, and while its reader
    // still waits, only a dead writer's reclaim drops a ticket. The reclaimer may have been that writer,
    // which then filled the slot before this reader looked again.
    if (krv_ipc_ticket_distance(ticket, stamped) > 0) {
      log_writer_died(ticket, slot, party);
      return krv_ipc_slot_wait::DROPPED;
    }
    if (krv_ipc_mark_holder(seen) != 0) return std::nullopt;
    const uint8_t state = slot.state.load(std::memory_order_acquire);
    if (state == KRV_IPC_SLOT_FULL && stamped == ticket) {
      if (take(party, slot, seen, ticket, KRV_IPC_SLOT_READING)) return krv_ipc_slot_wait::TAKEN;
    } else if (state == KRV_IPC_SLOT_FULL && krv_ipc_ticket_distance(stamped, ticket) > 0) {
      // An earlier ticket's record that its reader never took: dropped, and the slot is free for ours.
      drop_unread(party, slot, seen, krv_ipc_make_mark(stamped, 0));
    } else if (state == KRV_IPC_SLOT_FREE && stamped == ticket && krv_ipc_mark_is_dropped(seen)) {
      log_writer_died(ticket, slot, party);
      return krv_ipc_slot_wait::DROPPED;
    }
    return std::nullopt;
  });
  if (outcome != krv_ipc_slot_wait::TIMED_OUT) return outcome;
  return give_up(party, ticket) ? krv_ipc_slot_wait::TAKEN : krv_ipc_slot_wait::TIMED_OUT;
}

void krv_ipc_release_read(const krv_ipc_slot_party& party, uint32_t ticket) {
  const slot_view slot = view_of(party, ticket & krv_ipc_slot_mask);
  const uint64_t held = krv_ipc_make_mark(ticket, party.self);
  // Plain stores: only the draining side gives tickets up, and it never gives up one of a slot it holds,
  // so no give-up lands in this mark meanwhile. Any other mark goes the careful way.
  if (slot.mark.load(std::memory_order_relaxed) != held) {
    let_go(party, slot, held, KRV_IPC_SLOT_FREE, krv_ipc_make_mark(ticket, 0));
    return;
  }
  slot.state.store(KRV_IPC_SLOT_FREE, std::memory_order_relaxed);
  slot.mark.store(krv_ipc_make_mark(ticket, 0), std::memory_order_release);
}
