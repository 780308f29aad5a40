#include "classes/ipc/ipc_sender_id.h"

#include <atomic>

namespace {

constexpr uint32_t channel_numbers = uint32_t{1} << (32 - krv_ipc_sender_process_bits);
static_assert(channel_numbers == 1024);

// The numbers the process's channels hold, a bit each; lock-free, so a child forked while
// another thread claims one finds the set consistent.
std::atomic<uint64_t> claimed_numbers[channel_numbers / 64];
// Where the next claim starts looking.
std::atomic<uint32_t> next_number{0};

// True when `number` was free and is now claimed.
bool claim(uint32_t number) noexcept {
  const uint64_t bit = uint64_t{1} << (number % 64);
  return (claimed_numbers[number / 64].fetch_or(bit, std::memory_order_relaxed) & bit) == 0;
}

}  // namespace

uint32_t krv_ipc_claim_sender_id(uint32_t process_id) noexcept {
  uint32_t number = 0;
  // Past 1024 channels every number is taken: the last one looked at is shared.
  for (uint32_t looked = 0; looked < channel_numbers; ++looked) {
    number = next_number.fetch_add(1, std::memory_order_relaxed) % channel_numbers;
    if (claim(number)) break;
  }
  return krv_ipc_make_sender_id(process_id, number);
}

void krv_ipc_release_sender_id(uint32_t sender_id) noexcept {
  const uint32_t number = krv_ipc_sender_number(sender_id);
  claimed_numbers[number / 64].fetch_and(~(uint64_t{1} << (number % 64)), std::memory_order_relaxed);
}
