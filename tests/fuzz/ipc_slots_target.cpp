// Fuzz target ipc_slots: raw ring records as a hostile peer could leave them (tickets, sender ids,
// sequence numbers, lengths, a wrapped or impossible ticket distance) fed to the receive path of a
// channel whose ring lies in private memory. Nothing may crash, the drain must end, and no message
// handed over may pass the size limit.
//
// Input: u32 read ticket, one byte of flags (bit 0: a write ticket no writer could have set), then
// 13-byte records: u32 sender id, u32 seq, u32 len, one byte whose low six bits fill the data and whose
// top two bits say what a peer left in the slot's mark: 0 the record stamped with its own ticket; 1 the
// record full but held by a process that died; 2 the slot being written by a process that died; 3 the
// slot free with its ticket dropped (a dead writer's slot taken back). Each is met by a reader without
// waiting: slots that never fill cost the reader its one-second wait, which is bounded by design and
// tested elsewhere, and would only slow the fuzzing.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "classes/ipc/ipc_channel.h"
#include "fuzz_support.h"

namespace {

constexpr size_t record_bytes = 13;

uint32_t read_u32(const uint8_t* at) {
  uint32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// The id of a process that has ended: the holder a killed peer leaves in a mark.
uint32_t ended_process_id() {
  static const uint32_t id = [] {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return static_cast<uint32_t>(child);
  }();
  return id;
}

// What the top two bits of a record's last byte leave in its slot: the state and the mark.
void leave_slot(krv_ipc_ring& ring, uint32_t slot, uint32_t ticket, uint8_t kind) {
  static constexpr uint8_t states[] = {KRV_IPC_SLOT_FULL, KRV_IPC_SLOT_FULL, KRV_IPC_SLOT_WRITING, KRV_IPC_SLOT_FREE};
  const uint32_t holder = kind == 1 || kind == 2 ? ended_process_id() : 0;
  ring.header.slot_states[slot] = states[kind];
  static constexpr uint64_t flags[] = {krv_ipc_mark_full, 0, 0, krv_ipc_mark_dropped};
  ring.slot_marks[slot].word = krv_ipc_make_mark(ticket, holder, flags[kind]);
}

// The ring, in private memory; its slots are rewritten where an input puts records, the rest cleared.
krv_ipc_ring& private_ring(const uint8_t* data, size_t size) {
  static krv_ipc_ring* ring = new krv_ipc_ring();
  std::memset(&ring->header, 0, sizeof ring->header);
  std::memset(ring->slot_marks, 0, sizeof ring->slot_marks);
  const uint32_t first_ticket = read_u32(data);
  const size_t records = std::min<size_t>((size - 5) / record_bytes, krv_ipc_slot_count);
  for (size_t i = 0; i < records; ++i) {
    const uint8_t* at = data + 5 + i * record_bytes;
    const uint32_t ticket = first_ticket + static_cast<uint32_t>(i);
    const uint32_t slot = ticket & krv_ipc_slot_mask;
    krv_ipc_slot& record = ring->slots[slot];
    record.sender_id = read_u32(at);
    record.seq = read_u32(at + 4);
    record.len = read_u32(at + 8);
    std::memset(record.data, at[12] & 0x3F, sizeof record.data);
    leave_slot(*ring, slot, ticket, static_cast<uint8_t>(at[12] >> 6));
  }
  const bool impossible = (data[4] & 1) != 0;
  ring->header.read_ticket = first_ticket;
  ring->header.write_ticket = first_ticket + static_cast<uint32_t>(impossible ? krv_ipc_slot_count + 1 + data[4] : records);
  return *ring;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  krv_fuzz_vm::instance().clear_log();
  krv_ipc_ring& ring = private_ring(data, size);
  krvptr_strong<krv_ipc> reader = krvptr_strong<krv_ipc>::from_raw(new krv_ipc());
  reader->name = "fuzz";
  reader->ring = &ring;
  reader->ready = true;
  size_t rounds = 0;
  while (reader->receive()) {
    KRV_FUZZ_CHECK(reader->completed.size() <= krv_ipc_max_message);
    KRV_FUZZ_CHECK(++rounds <= krv_ipc_slot_count);
  }
  // The channel never owned the ring: it must not unmap it.
  reader->ring = nullptr;
  reader->ready = false;
  return 0;
}
