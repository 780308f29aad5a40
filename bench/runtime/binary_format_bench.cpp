// The binary value format's bulk paths against memcpy, in one binary: writing a 1 MiB string value and a
// 1 MiB buffer value into a reused byte vector, and reading each back into a reused cell. A payload is
// one length and one block copy each way, so the target is at least half of memcpy's bandwidth.
#include <benchmark/benchmark.h>

#include <cstring>
#include <optional>
#include <vector>

#include "host/host_vm.h"
#include "module/vm_lock.h"
#include "runtime/base/krvvar_shared.h"

namespace {

constexpr size_t payload_size = 1 << 20;

// The benchmark thread as the VM thread: values take the pooled paths the interpreter takes.
class bench_vm {
 public:
  bench_vm() {
    vm_.attach_current_thread();
    lock_.emplace();
  }
  ~bench_vm() {
    lock_.reset();
    krv_host_vm::detach_current_thread();
  }

 private:
  krv_host_vm vm_{"bench"};
  std::optional<krv_vm_lock> lock_;
};

std::vector<uint8_t> payload() {
  std::vector<uint8_t> bytes(payload_size);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>('a' + i % 26);
  return bytes;
}

krvvar_shared make_value(bool buffer) {
  const std::vector<uint8_t> bytes = payload();
  if (buffer) return krvvar_shared::make_buffer(bytes.data(), bytes.size());
  return krvvar_shared::make_string(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void BM_Memcpy1MiB(benchmark::State& state) {
  const std::vector<uint8_t> source = payload();
  std::vector<uint8_t> target(payload_size);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), payload_size);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload_size));
}
BENCHMARK(BM_Memcpy1MiB);

void BM_ToBinary1MiB(benchmark::State& state) {
  bench_vm vm;
  krvvar_shared value = make_value(state.range(0) != 0);
  std::vector<uint8_t> out;
  for (auto _ : state) {
    out.clear();
    value->to_binary(out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload_size));
}
BENCHMARK(BM_ToBinary1MiB)->ArgName("buffer")->Arg(0)->Arg(1);

void BM_FromBinaryBytes1MiB(benchmark::State& state) {
  bench_vm vm;
  std::vector<uint8_t> encoded;
  make_value(state.range(0) != 0)->to_binary(encoded);
  krvvar_shared cell = krvvar_shared::make_none();
  for (auto _ : state) {
    if (!cell->from_binary_bytes(encoded.data(), encoded.size())) state.SkipWithError("not read");
    benchmark::DoNotOptimize(cell.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload_size));
}
BENCHMARK(BM_FromBinaryBytes1MiB)->ArgName("buffer")->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
