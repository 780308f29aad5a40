// std.buffer methods through their definitions, each beside the plain C++ it amounts to in the same run:
//   - append of a 1 MiB buffer into a cleared buffer (and of a buffer onto itself) vs memcpy of 1 MiB
//   - read("f32", i) vs a memcpy load of a float
#include <benchmark/benchmark.h>

#include <cstring>
#include <optional>
#include <vector>

#include "bench_vm.h"
#include "host/host_vm.h"
#include "module/vm_lock.h"
#include "runtime/storage/buffer_object.h"

namespace {

constexpr size_t mebibyte = 1 << 20;

krv_function_def& method(std::string_view name) {
  krv_std_buffer::script_register_internal();
  const int64_t index = krv_std_buffer::statics().names.find(name);
  return *krv_std_buffer::statics().members.at(static_cast<size_t>(index))->function_descriptor();
}

void BM_AppendBuffer1MiB(benchmark::State& state) {
  krv_bench_vm thread;
  krvptr_strong<krv_std_buffer> source = krv_std_buffer::create(), target = krv_std_buffer::create();
  source->bytes.assign(mebibyte, 7);
  target->bytes.reserve(mebibyte);
  krv_function_def& append = method("append");
  krv_vm_context frame;
  frame.native_self = target.get();
  for (auto _ : state) {
    target->bytes.clear();
    std::vector<krvvar_shared> args = {krvvar_shared::make_object(source)};
    benchmark::DoNotOptimize(append.callable(frame, args));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mebibyte));
}
BENCHMARK(BM_AppendBuffer1MiB);

void BM_AppendItself512KiBTo1MiB(benchmark::State& state) {
  krv_bench_vm thread;
  krvptr_strong<krv_std_buffer> buffer = krv_std_buffer::create();
  buffer->bytes.reserve(mebibyte);
  krv_function_def& append = method("append");
  krv_vm_context frame;
  frame.native_self = buffer.get();
  for (auto _ : state) {
    buffer->bytes.assign(mebibyte / 2, 7);
    std::vector<krvvar_shared> args = {krvvar_shared::make_object(buffer)};
    benchmark::DoNotOptimize(append.callable(frame, args));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mebibyte / 2));
}
BENCHMARK(BM_AppendItself512KiBTo1MiB);

void BM_Memcpy1MiB(benchmark::State& state) {
  std::vector<uint8_t> source(mebibyte, 7), target(mebibyte);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), mebibyte);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mebibyte));
}
BENCHMARK(BM_Memcpy1MiB);

void BM_ReadF32(benchmark::State& state) {
  krv_bench_vm thread;
  krvptr_strong<krv_std_buffer> buffer = krv_std_buffer::create();
  buffer->bytes.assign(4096, 0);
  krv_function_def& read = method("read");
  krv_vm_context frame;
  frame.native_self = buffer.get();
  std::vector<krvvar_shared> args = {krvvar_shared::make_string("f32"), krvvar_shared::make_int(17)};
  for (auto _ : state) benchmark::DoNotOptimize(read.callable(frame, args));
}
BENCHMARK(BM_ReadF32);

void BM_MemcpyLoadFloat(benchmark::State& state) {
  std::vector<uint8_t> bytes(4096, 0);
  size_t offset = 68;
  for (auto _ : state) {
    float value;
    benchmark::DoNotOptimize(offset);
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_MemcpyLoadFloat);

}  // namespace

BENCHMARK_MAIN();
