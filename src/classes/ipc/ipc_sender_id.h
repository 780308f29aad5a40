// A sender id: the id that a writing channel puts in each of its records, by which the reader keys the
// reassembly of its messages (ipc_reassembly.cpp). It names the writer's process too, so that a reader
// can tell that the writer of a message it holds unfinished is gone:
//
//   bits 0..21   the writing process's id (Linux caps process ids below 2^22)
//   bits 22..31  a channel number that no other channel of that process holds
//
// A channel claims a number at its first connect and gives it back when it is destroyed; it keeps the
// number across connects, so that its next message restarts one that a disconnect cut short (rather than
// leave it unfinished with the reader for as long as the process lives). Numbers are handed out in turn.
// Two channels of one process writing into one ring therefore never share an id, unless the process
// holds more than 1024 channels that have connected: then numbers are shared (and so is an id on a ring
// two of them write into).
#pragma once
#include <cstdint>

inline constexpr uint32_t krv_ipc_sender_process_bits = 22;
inline constexpr uint32_t krv_ipc_sender_process_mask = (uint32_t{1} << krv_ipc_sender_process_bits) - 1;

// The process that wrote a record under `sender_id`.
inline constexpr uint32_t krv_ipc_sender_process(uint32_t sender_id) noexcept {
  return sender_id & krv_ipc_sender_process_mask;
}
inline constexpr uint32_t krv_ipc_sender_number(uint32_t sender_id) noexcept {
  return sender_id >> krv_ipc_sender_process_bits;
}
// The sender id of channel `number` (below 1024) of process `process_id`.
inline constexpr uint32_t krv_ipc_make_sender_id(uint32_t process_id, uint32_t number) noexcept {
  return number << krv_ipc_sender_process_bits | (process_id & krv_ipc_sender_process_mask);
}

// A sender id of process `process_id` for a channel's first connect, with a number of its own.
uint32_t krv_ipc_claim_sender_id(uint32_t process_id) noexcept;
// Gives the number of `sender_id` back when its channel is destroyed.
void krv_ipc_release_sender_id(uint32_t sender_id) noexcept;
