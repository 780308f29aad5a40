// krv_ipc_ring: the shared-memory region that carries IPC messages between two processes.
//
// The region is an interface between processes, so its layout is fixed to the byte (little-endian):
//
//   0          u32 write ticket   (alone on its 64-byte line)
//   64         u32 read ticket    (alone on its 64-byte line)
//   128        1024 slot states   one byte per slot (krv_ipc_slot_state)
//   1152       1024 slots         1036 bytes each (krv_ipc_slot)
//   1,062,016  1024 slot marks    a u64 alone on a 64-byte line per slot (below); 1,127,552 bytes in all
//
// Ticket t selects slot t & 1023. Tickets are u32 and wrap; the distance between two tickets is their
// signed 32-bit difference, so the full test (write - read >= 1024) and the empty test (write - read < 1)
// hold across the wrap. A writer claims a ticket by compare-exchange on the write ticket, a reader on the
// read ticket. The slot state hands slot t & 1023 between them: the writer moves it 0 -> 1, copies the
// record in and stores 2; the reader moves it 2 -> 3, copies the record out and stores 0.
//
// The slot marks make a slot safe against a peer that dies or stalls. A mark says who holds the slot and
// which ticket's record it is about (ipc_slots.h has the protocol):
//
//   bits 0..31   ticket: the ticket of the record in the slot, or of the one its holder works on, or
//                of the one a reader gave up on while the slot was held (with the dropped bit)
//   bits 32..61  holder: the process id of the process that holds the slot, 0 when nobody does
//   bit 62       dropped: that ticket's record will never be delivered (its reader gave up on it, or its
//                writer died); the other side learns it from here. A reader that gives up on a ticket while
//                a process holds the slot writes that ticket, with this bit, under the holder's id
//   bit 63       full: set by the writer's release, cleared by the reader's. A mark held by nobody then
//                tells the state by itself (full with the full bit, free without), so each side takes
//                the slot in the usual case with one compare-exchange from the mark it expects
//
// A process takes a slot by compare-exchanging the mark from "held by nobody" to "held by me", and only
// then changes the slot's state; it lets go by storing a mark held by nobody (a writer by compare-exchange,
// so that a reader's give-up landing meanwhile is never overwritten). So every
// state change happens under a holder's process id, a waiter can tell that the holder died and take the
// slot back (never from a holder that runs), a reader that gives up on a ticket can say so into the mark
// of whoever holds the slot (ticket and dropped bit: the holder lets go with that ticket dropped), and a
// writer's release leaves the mark stamped with its ticket: a reader accepts only the record stamped
// with its own ticket, never a stale one. A writer takes the slot of ticket T only once the mark reads
// "ticket T - 1024, held by nobody, not full" (read, or dropped): a cleared ring is tickets 0, every slot
// free, the mark of slot s "ticket s - 1024" (a ring that an older creator left all zero counts as that
// for the first lap).
//
// The protocol has no addressing: one ring has one draining side and any number of writing processes,
// whose records interleave and are told apart by the sender id. Two-way traffic uses two channels.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

inline constexpr uint32_t krv_ipc_slot_count = 1024;
inline constexpr uint32_t krv_ipc_slot_mask = krv_ipc_slot_count - 1;
inline constexpr uint32_t krv_ipc_chunk_size = 1024;         // payload bytes per slot
inline constexpr size_t krv_ipc_max_message = 0x100000;      // bytes of one reassembled message
// Bytes of finished messages a receiver keeps while its own process's send waits for room (they go to
// the callback at the next update pass).
inline constexpr size_t krv_ipc_max_waiting_bytes = 64 * krv_ipc_max_message;
inline constexpr uint64_t krv_ipc_send_timeout = 5000;       // ms: deadline of one whole message
inline constexpr uint64_t krv_ipc_read_wait_ms = 1000;       // a reader's wait for one slot

enum krv_ipc_slot_state : uint8_t {
  KRV_IPC_SLOT_FREE = 0,
  KRV_IPC_SLOT_WRITING = 1,
  KRV_IPC_SLOT_FULL = 2,
  KRV_IPC_SLOT_READING = 3,
};

// One chunk of a message: seq 1, 2, ... for the chunks, 0 for the end marker (len 0).
struct krv_ipc_slot {
  uint32_t sender_id;  // the sending channel's id, its process's id in the low bits (ipc_sender_id.h)
  uint32_t seq;
  uint32_t len;        // valid bytes in data, at most 1024 from an honest writer
  uint8_t data[krv_ipc_chunk_size];
};

struct krv_ipc_ring_header {
  uint32_t write_ticket;
  uint8_t write_line_rest[60];
  uint32_t read_ticket;
  uint8_t read_line_rest[60];
  uint8_t slot_states[krv_ipc_slot_count];
};

// A slot's mark, alone on its 64-byte line: the writer and the reader of neighbouring slots, which work
// side by side when the reader keeps up, do not take the line from each other.
struct alignas(64) krv_ipc_slot_mark {
  uint64_t word;
};

struct krv_ipc_ring {
  krv_ipc_ring_header header;
  krv_ipc_slot slots[krv_ipc_slot_count];
  krv_ipc_slot_mark slot_marks[krv_ipc_slot_count];  // after the slots (layout above)
};

// The size of rings made before the slots had marks: such a region is refused, never misread.
inline constexpr size_t krv_ipc_unmarked_ring_size = 1062016;

inline constexpr uint64_t krv_ipc_mark_ticket_mask = 0xFFFFFFFFu;
inline constexpr uint32_t krv_ipc_mark_holder_mask = 0x3FFFFFFFu;  // process ids fit: Linux caps them at 2^22
inline constexpr uint64_t krv_ipc_mark_dropped = uint64_t{1} << 62;
inline constexpr uint64_t krv_ipc_mark_full = uint64_t{1} << 63;

inline constexpr uint64_t krv_ipc_make_mark(uint32_t ticket, uint32_t holder, uint64_t flags = 0) noexcept {
  return ticket | (uint64_t{holder & krv_ipc_mark_holder_mask} << 32) | flags;
}
inline constexpr uint32_t krv_ipc_mark_ticket(uint64_t mark) noexcept {
  return static_cast<uint32_t>(mark & krv_ipc_mark_ticket_mask);
}
inline constexpr uint32_t krv_ipc_mark_holder(uint64_t mark) noexcept {
  return static_cast<uint32_t>(mark >> 32) & krv_ipc_mark_holder_mask;
}
inline constexpr bool krv_ipc_mark_is_dropped(uint64_t mark) noexcept { return (mark & krv_ipc_mark_dropped) != 0; }

static_assert(sizeof(krv_ipc_slot) == 1036);
static_assert(offsetof(krv_ipc_slot, sender_id) == 0);
static_assert(offsetof(krv_ipc_slot, seq) == 4);
static_assert(offsetof(krv_ipc_slot, len) == 8);
static_assert(offsetof(krv_ipc_slot, data) == 12);
static_assert(alignof(krv_ipc_slot) == 4);
static_assert(sizeof(krv_ipc_ring_header) == 1152);
static_assert(offsetof(krv_ipc_ring_header, write_ticket) == 0);
static_assert(offsetof(krv_ipc_ring_header, read_ticket) == 64);
static_assert(offsetof(krv_ipc_ring_header, slot_states) == 128);
static_assert(offsetof(krv_ipc_ring, slots) == 1152);
static_assert(offsetof(krv_ipc_ring, slot_marks) == krv_ipc_unmarked_ring_size);
static_assert(sizeof(krv_ipc_slot_mark) == 64);
static_assert(sizeof(krv_ipc_ring) == 1127552);
static_assert(krv_ipc_make_mark(0xFFFFFFFFu, krv_ipc_mark_holder_mask, krv_ipc_mark_dropped | krv_ipc_mark_full) ==
              0xFFFFFFFFFFFFFFFFu);
static_assert(std::atomic_ref<uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint8_t>::is_always_lock_free);

// The shared fields, only ever reached through these atomic views.
inline std::atomic_ref<uint32_t> krv_ipc_write_ticket(krv_ipc_ring& ring) noexcept {
  return std::atomic_ref<uint32_t>(ring.header.write_ticket);
}
inline std::atomic_ref<uint32_t> krv_ipc_read_ticket(krv_ipc_ring& ring) noexcept {
  return std::atomic_ref<uint32_t>(ring.header.read_ticket);
}
inline std::atomic_ref<uint8_t> krv_ipc_slot_state_of(krv_ipc_ring& ring, uint32_t slot) noexcept {
  return std::atomic_ref<uint8_t>(ring.header.slot_states[slot]);
}
inline std::atomic_ref<uint64_t> krv_ipc_slot_mark_of(krv_ipc_ring& ring, uint32_t slot) noexcept {
  return std::atomic_ref<uint64_t>(ring.slot_marks[slot].word);
}
// The signed distance from ticket `from` to ticket `to`.
inline int32_t krv_ipc_ticket_distance(uint32_t from, uint32_t to) noexcept {
  return static_cast<int32_t>(to - from);
}
