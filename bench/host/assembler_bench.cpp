// The text form's scaling: assembling (which verifies) and disassembling generated programs of 10^4
// and 10^5 blocks, natives and cells. The target is linear time: the time per item at 10^5 at most
// 1.5 times that at 10^4, compared within one run.
//
// Each item is one block (nested up to 500 levels, three instructions and a label), one native and
// one cell; the root calls every native and loads every cell, so every name is looked up once.
#include <benchmark/benchmark.h>

#include <string>

#include "host/assembler/script_disassembler.h"
#include "host/assembler/script_text.h"

namespace {

std::string generated_text(size_t items) {
  std::string text = "program \"scale\"\n";
  for (size_t i = 0; i < items; ++i) {
    const std::string n = std::to_string(i);
    text += "native N" + n + " \"f" + n + "\" 0 1\ncell C" + n + " int " + n + "\n";
  }
  text += "block B0 4 locals 1\n";
  for (size_t i = 0; i < items; ++i) {
    const std::string n = std::to_string(i);
    text += "  args_open 0\n  call_native @N" + n + "\n  load_cell $C" + n + "\n";
  }
  text += "end\n";
  for (size_t i = 1; i < items; ++i) {
    const size_t parent = i % 500 == 0 ? 0 : i - 1;
    text += "block B" + std::to_string(i) + " 0 child B" + std::to_string(parent) +
            " locals 1\n  load_local 0\n  jump_false out\n  load_int 1\nout:\nend\n";
  }
  return text;
}

void BM_AssembleAndDisassemble(benchmark::State& state) {
  const size_t items = static_cast<size_t>(state.range(0));
  const std::string text = generated_text(items);
  for (auto _ : state) {
    krvptr_strong<krv_program> program = krv_assemble_text(text);
    const std::string listing = krv_disassemble(*program);
    benchmark::DoNotOptimize(listing.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * items));
  state.counters["text_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_AssembleAndDisassemble)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
