// Waits under the virtual clock: how much wall time the driver's busy waits
// cost when machine time only moves with port accesses.
#include <benchmark/benchmark.h>

#include "hw/hw.h"
#include "platform/machine.h"

namespace {

void BM_MillisecondDelay500(benchmark::State& state) {
  sim::Machine machine;
  for (auto _ : state) MillisecondDelay(500);
  state.SetLabel("500 ms of machine time per iteration");
}
BENCHMARK(BM_MillisecondDelay500)->Unit(benchmark::kMillisecond);

void BM_ReadTimerCount(benchmark::State& state) {
  sim::Machine machine;
  for (auto _ : state) benchmark::DoNotOptimize(ReadTimerCount());
}
BENCHMARK(BM_ReadTimerCount);

}  // namespace
