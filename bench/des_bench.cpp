// Throughput of the DES block cipher: blocks per second through endes and
// dedes, and the cost of one key set-up.
#include <benchmark/benchmark.h>

#include "zu002int.h"

namespace {

void BM_endes(benchmark::State &state) {
  desinit("Hm3Tx#6q");
  char block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (auto _ : state) {
    endes(block, block);  // chained, so no call can be skipped
    benchmark::DoNotOptimize(block);
  }
  state.counters["blocks/s"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_endes);

void BM_dedes(benchmark::State &state) {
  desinit("Hm3Tx#6q");
  char block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (auto _ : state) {
    dedes(block, block);
    benchmark::DoNotOptimize(block);
  }
  state.counters["blocks/s"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_dedes);

void BM_desinit(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(desinit("borzeska"));
}
BENCHMARK(BM_desinit);

}  // namespace

BENCHMARK_MAIN();
