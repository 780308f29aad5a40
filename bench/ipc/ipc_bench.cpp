// The IPC channel's rate between two processes, beside references in the same run:
//   - a stream of the largest messages (a 1,048,566-byte string: payload exactly 1,048,576 bytes) sent
//     through the ring to a peer that drains it in a tight update loop and reads each back into a value,
//     against the same number of bytes written through a pipe to the same peer process
//   - memcpy of 1 MiB, the bound any copy of those bytes meets
//   - 100-byte messages through the ring (messages per second)
// The peer is the program of the two-process tests (tests/integration/ipc_peer.cpp), started once with
// posix_spawn and driven by commands on its standard input.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "classes/ipc/ipc_channel.h"
#include "host/host_vm.h"
#include "module/vm_lock.h"
#include "peer_process.h"

namespace {

constexpr size_t message_bytes = 1048576;
constexpr size_t largest_text = 1048566;
constexpr size_t small_text = 92;  // payload: 5 header + type + length + 92 + trailing zero = 100 bytes
constexpr uint64_t largest_batch = 64;
constexpr uint64_t small_batch = 20000;

// This process's side: a VM with its lock held and a creating channel, the peer connected as opener.
struct bench_session {
  bench_session() {
    vm.attach_current_thread();
    lock.emplace();
    krv_ipc::script_register_internal();
    channel = krvptr_strong<krv_ipc>::from_raw(new krv_ipc());
    channel->open_mapping(name, true);
    peer.emplace(std::vector<std::string>{KRV_IPC_PEER_PATH, "bench", name});
    ready = peer->read_line() == "ready";
  }
  ~bench_session() {
    peer->close_input();
    peer->wait_exit();
    peer.reset();
    channel.reset_empty();
    lock.reset();
    krv_host_vm::detach_current_thread();
  }
  bool command(const std::string& text) { return peer->write_input(text.data(), text.size()); }

  const std::string name = "bench_" + std::to_string(getpid());
  krv_host_vm vm{"ipc-bench"};
  std::optional<krv_vm_lock> lock;
  krvptr_strong<krv_ipc> channel;
  std::optional<krv_peer_process> peer;
  bool ready = false;
};

bench_session& session() {
  static bench_session instance;
  return instance;
}

void ring_stream(benchmark::State& state, size_t text_size, size_t payload_size, uint64_t batch) {
  bench_session& s = session();
  if (!s.ready) return state.SkipWithError("peer not ready");
  krvvar_shared message = krvvar_shared::make_string(std::string(text_size, 'm'));
  for (auto _ : state) {
    s.command("ring " + std::to_string(batch) + "\n");
    for (uint64_t i = 0; i < batch; ++i) {
      if (!s.channel->send_value(message)) return state.SkipWithError("send failed");
    }
    if (s.peer->read_line() != "done") return state.SkipWithError("peer failed");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * batch));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * batch * payload_size));
}

void BM_RingLargestMessages(benchmark::State& state) { ring_stream(state, largest_text, message_bytes, largest_batch); }
BENCHMARK(BM_RingLargestMessages)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PipeLargestMessages(benchmark::State& state) {
  bench_session& s = session();
  if (!s.ready) return state.SkipWithError("peer not ready");
  const std::vector<uint8_t> bytes(message_bytes, 'm');
  for (auto _ : state) {
    s.command("pipe " + std::to_string(largest_batch) + "\n");
    for (uint64_t i = 0; i < largest_batch; ++i) {
      if (!s.peer->write_input(bytes.data(), bytes.size())) return state.SkipWithError("pipe broke");
    }
    if (s.peer->read_line() != "done") return state.SkipWithError("peer failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * largest_batch * message_bytes));
}
BENCHMARK(BM_PipeLargestMessages)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Memcpy1MiB(benchmark::State& state) {
  const std::vector<uint8_t> source(message_bytes, 's');
  std::vector<uint8_t> destination(message_bytes);
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), message_bytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * message_bytes));
}
BENCHMARK(BM_Memcpy1MiB);

void BM_Ring100ByteMessages(benchmark::State& state) { ring_stream(state, small_text, 100, small_batch); }
BENCHMARK(BM_Ring100ByteMessages)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
