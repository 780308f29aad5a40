// The hand-over of one ring slot between the writer and the reader of a ticket, safe against a peer that
// dies or stalls in the middle of it.
//
// A slot is taken through its mark (ipc_ring.h): a process compare-exchanges the mark from "held by
// nobody" to "held by me" and only then changes the slot's state. Every state change therefore happens
// under the process id of its holder. A slot is taken from its holder only when the holder no longer
// runs: a process that is stopped (Ctrl-Z, SIGSTOP, a debugger, a machine swapping) cannot be told apart
// from a slow one, and it may still write into the slot, so it keeps the slot however long it holds it.
// A waiter for a slot whose holder died takes it back (within a few milliseconds of noticing):
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
// an earlier ticket is a record whose reader is gone (it died after taking its ticket): the next reader
// there drops it with a line and waits for its own.
//
// A reader that waited its bound for a ticket gives it up: it compare-exchanges the ticket, dropped,
// into the mark, whoever holds the slot (its writer, or the holder of an earlier ticket that is stopped
// and keeps the slot). Every holder that a give-up can meet lets go by compare-exchange from the mark
// it took, so it always finds a give-up that came meanwhile (the reader lets go of a slot it read with
// plain stores: only the draining side gives up, never on a slot it holds itself): a writer then withdraws its record and its send answers false,
// and any holder lets the slot go free with the given-up ticket dropped, which tells that ticket's
// writer, waiting or late, that its record would not be delivered (its send answers false too). A
// record published before the give-up is taken by it after all and delivered. So a record is delivered
// exactly when its writer's publish answered true, and a stopped holder costs the records of its own
// ticket and of the tickets of its slot that the reader gives up while it stays stopped, each with a
// send that answers false, never another record. Each loss is logged once, by the one process that
// knows of it, with its ticket and the slot.
//
// A waiter on ticket T trusts a mark only if it can belong to T's lap: its ticket selects T's slot and
// is not ahead of the write ticket (no writer was given it yet). Any other mark (a confused or hostile
// peer's, a writer's of a ring its creator cleared since) is garbage: the first waiter to meet it takes
// the slot back with one line, drops what it held and leaves it as the lap before T leaves it in the
// usual case, so the slot costs nothing the next lap. A mark of T's lap held by a process that runs is
// waited on, whatever its age (a process id reused by a process that runs on is taken for its holder:
// the slot's tickets are given up, each with a line, until that process ends).
//
// All of it is lock-free: one compare-exchange to take a slot, one for a writer to let go, nothing
// allocated.
// Liveness is looked up only while a wait lasts.
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
// ticket; true, and the record will be delivered. False when it will not: the reader gave up on the
// ticket, or on a later ticket of the slot, meanwhile (the record is withdrawn: state 0, the given-up
// ticket dropped), or the slot was taken from this process under a mark no ticket of its lap could have
// left.
bool krv_ipc_publish(const krv_ipc_slot_party& party, uint32_t ticket);

// A reader: takes the slot of `ticket` once it holds the record stamped with that ticket. DROPPED (with a
// line) when the ticket's writer died: its slot free under the ticket dropped, or already taken by a later
// lap. At the deadline it gives the ticket up (above) and answers TIMED_OUT, unless the record came at
// that moment.
krv_ipc_slot_wait krv_ipc_take_for_reading(const krv_ipc_slot_party& party, uint32_t ticket, uint64_t deadline_ms);
// A reader holding the slot of `ticket`, the record copied out: state 0, and nobody holds the slot.
void krv_ipc_release_read(const krv_ipc_slot_party& party, uint32_t ticket);
