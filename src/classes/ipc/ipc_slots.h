// The hand-over of one ring slot between the writer and the reader of a ticket, safe against a peer that
// dies or stalls in the middle of it.
//
// A slot is taken through its mark (ipc_ring.h): a process compare-exchanges the mark from "held by
// nobody" to "held by me" and only then changes the slot's state. Every state change therefore happens
// under the process id of its holder, and a process waiting for a slot whose holder is no longer running
// takes the slot back (within a few milliseconds of noticing):
//
//   state when the holder died   what it means                      what the waiter does
//   2 full, not dropped          a whole record stands              lets the record stand
//   3 being read                 the reader died with the record    logs the loss, frees the slot
//   0, 1 or dropped              the writer died before finishing   frees the slot, marks the ticket dropped
//
// A writer's release stamps the mark with its ticket, and a reader takes only the record stamped with its
// own ticket. Laps take a slot in turn: the writer of T takes it only from a mark "ticket T - 1024, held
// by nobody, not full" (that ticket read, or dropped), so with several writing processes one whose ticket
// comes a lap later waits for the earlier lap's record to be read rather than taking the slot from under
// the earlier writer. A cleared ring is stamped for this (krv_ipc_clear_ring). A full slot stamped with
// an earlier ticket is a record whose reader is gone (it died after taking its ticket, or the reader gave
// up on it): the next reader there drops it with a line and waits for its own. A reader that gives up
// on its ticket marks it dropped, so a late writer withdraws its record instead of leaving it for the
// next lap (and its send answers false); a reader that finds its ticket dropped by a waiter that freed a
// dead writer's slot logs the loss and moves on. Each loss is logged once, by the one process that knows
// of it, with its ticket and the slot.
//
// A waiter on ticket T trusts a mark only if it can belong to T's lap: its ticket selects T's slot, is
// not ahead of the write ticket (no writer was given it yet), and, while a process holds the slot, is
// at most a lap behind T (a holder the lap before T has been waited on, for its reader's second and
// its writer's deadline, by the tickets in between; such a mark counts only once it stayed unchanged
// for 100 ms, since honest processes hold an old ticket's mark for a few instructions while they put a
// slot right). Any other mark (a confused or hostile peer's, a writer's of a ring its creator cleared
// since, a process id reused by a process that runs on) is garbage: the first waiter to meet it takes
// the slot back with one line, drops what it held and leaves it as the lap before T leaves it in the
// usual case, so the slot costs nothing the next lap. A holder that finds its slot taken back when it
// lets go leaves it alone.
//
// All of it is lock-free: one compare-exchange to take a slot, stores to change its state and let go,
// nothing allocated. Liveness is looked up only while a wait lasts.
#pragma once
#include <cstdint>
#include <string>

#include "classes/ipc/ipc_ring.h"

// One process's side of a ring: what it writes into marks and names in its lines.
struct krv_ipc_slot_party {
  krv_ipc_ring& ring;
  uint32_t self;               // this process's id, the holder it writes into marks
  const std::string& channel;  // named in log lines
};

enum class krv_ipc_slot_wait {
  TAKEN,      // the caller holds the slot: a writer in state 1, a reader in state 3 over its record
  DROPPED,    // the ticket's record passes no more: its reader gave up (nothing to write) or its
              // writer died (nothing to read; logged)
  TIMED_OUT,  // the deadline (monotonic ms) passed first
};

// A creator's clearing of a ring nobody else writes yet: tickets 0, every slot free, and slot s marked
// "ticket s - 1024 read, held by nobody", as the lap before the first leaves it (older peers read it so
// too).
void krv_ipc_clear_ring(krv_ipc_ring& ring);

// A writer: takes the slot of `ticket` once the ticket a lap earlier is done with it. DROPPED when the
// ticket's reader gave up on it: its record would never be delivered.
krv_ipc_slot_wait krv_ipc_take_for_writing(const krv_ipc_slot_party& party, uint32_t ticket, uint64_t deadline_ms);
// A writer holding the slot of `ticket`, the record copied in: state 2 and the mark stamped with the
// ticket; true. False when the record will not be delivered: the ticket's reader gave up meanwhile (the
// record is withdrawn: state 0, ticket dropped), or the slot was taken back from this process as a
// stalled holder.
bool krv_ipc_publish(const krv_ipc_slot_party& party, uint32_t ticket);

// A reader: takes the slot of `ticket` once it holds the record stamped with that ticket.
krv_ipc_slot_wait krv_ipc_take_for_reading(const krv_ipc_slot_party& party, uint32_t ticket, uint64_t deadline_ms);
// A reader holding the slot of `ticket`, the record copied out: state 0, and nobody holds the slot.
void krv_ipc_release_read(const krv_ipc_slot_party& party, uint32_t ticket);
// A reader that waited for `ticket` in vain: marks the ticket dropped so that its writer, if it comes
// late, withdraws the record.
void krv_ipc_give_up(const krv_ipc_slot_party& party, uint32_t ticket);
