// Microbenchmarks of the driver's frame paths on the simulated PC: the copy
// routine, a write down to the command unit, the interrupt service's drain
// and delivery, an immediate read, and a whole bring-up under the virtual
// clock.
//
// A white-box benchmark, not a client: it times the driver's own functions
// (NicWrite, NicInterrupt, NicRead) one by one, which no client can reach,
// so it includes the driver's headers and holds NicClient records. The
// clients of the driver (the tool, the fuzz targets) use device/interface.h
// and the platform only.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "controller/controller.h"
#include "device/device.h"
#include "platform/machine.h"
#include "platform/net/segment.h"
#include "platform/nic/i8255x.h"
#include "platform/standard_pc.h"
#include "startup/startup.h"

namespace {

void BM_MacCopyMemory(benchmark::State& state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  std::vector<uint8_t> from(n, 0x5A), to(n);
  for (auto _ : state) {
    MacCopyMemory(to.data(), from.data(), n);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}
BENCHMARK(BM_MacCopyMemory)->Arg(60)->Arg(1514);

void BM_Memcpy(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> from(n, 0x5A), to(n);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), n);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}
BENCHMARK(BM_Memcpy)->Arg(60)->Arg(1514);

// One controller alone on a segment, booted, with `clients` opens of its
// device. The harness thread acts for the driver process, so it may call the
// driver's functions directly.
struct OneNic {
  explicit OneNic(unsigned clients, unsigned buffers = 32) {
    sim::MachineOptions options;
    options.registry.Add("TORVELIN", "Buffers", std::to_string(buffers));
    machine = std::make_unique<sim::Machine>(std::move(options));
    auto& segment = machine->Own(std::make_unique<sim::Segment>("segment0"));
    nic = &machine->Own(std::make_unique<sim::I8255x>(*machine, config, &segment));
    machine->Boot();
    started = machine->WaitStarted();
    process = std::make_unique<sim::ClientProcess>(*machine);
    for (unsigned i = 0; started && i < clients; ++i) {
      uintptr_t open = 0;
      if (process->Open("/DEV/MAC/TORVELIN/0", &open) != 0) started = false;
      opens.push_back(reinterpret_cast<NicClient*>(open));
    }
    frame.assign(60, 0x5A);
    for (int i = 0; i < 6; ++i) {
      frame[i] = config.station[i];
      frame[6 + i] = static_cast<uint8_t>(0x10 + i);
    }
  }
  // A frame arrives and the interrupt service handles it, on this thread:
  // interrupts stay excluded from the arrival on, so the kernel's interrupt
  // thread never takes it first.
  void ReceiveOne() {
    KeDisableInterrupts();
    nic->InjectFrame(frame);
    NicInterrupt(config.irq);
    KeEnableInterrupts();
  }

  sim::I8255xConfig config;
  std::unique_ptr<sim::Machine> machine;
  sim::I8255x* nic = nullptr;
  std::unique_ptr<sim::ClientProcess> process;
  std::vector<NicClient*> opens;
  std::vector<uint8_t> frame;
  bool started = false;
};

// NicWrite down to the command unit: block, port writes, the block's
// execution in the model and the send on a segment nobody else listens to.
void BM_NicWrite(benchmark::State& state) {
  OneNic pc(1);
  if (!pc.started) return state.SkipWithError("no start");
  std::vector<uint8_t> frame(static_cast<size_t>(state.range(0)), 0x5A);
  for (auto _ : state) {
    uint32_t transferred = 0;
    benchmark::DoNotOptimize(
        NicWrite(pc.opens[0], frame.data(), static_cast<uint32_t>(frame.size()), &transferred));
  }
}
BENCHMARK(BM_NicWrite)->Arg(60)->Arg(1514);

// The model's receive of one frame alone (its DMA into the receive buffers),
// with the interrupt service recycling the descriptors outside the timing.
void BM_ModelReceive(benchmark::State& state) {
  OneNic pc(1);
  if (!pc.started) return state.SkipWithError("no start");
  unsigned since = 0;
  for (auto _ : state) {
    pc.nic->InjectFrame(pc.frame);
    if (++since == 16) {
      state.PauseTiming();
      KeDisableInterrupts();
      NicInterrupt(pc.config.irq);
      KeEnableInterrupts();
      uint8_t buffer[1536];
      uint32_t length;
      for (unsigned i = 0; i < since; ++i) NicRead(pc.opens[0], buffer, sizeof buffer, &length);
      since = 0;
      state.ResumeTiming();
    }
  }
}
BENCHMARK(BM_ModelReceive);

// The frame's arrival (model) and the interrupt service: acknowledge, drain
// into the receive queue, delivery to 1 or 4 clients. Nobody reads, so every
// client soon lags and drops its oldest frame: delivery's steady state.
void BM_DrainAndDeliver(benchmark::State& state) {
  OneNic pc(static_cast<unsigned>(state.range(0)));
  if (!pc.started) return state.SkipWithError("no start");
  for (auto _ : state) pc.ReceiveOne();
  state.SetLabel("includes BM_ModelReceive");
}
BENCHMARK(BM_DrainAndDeliver)->Arg(1)->Arg(4);

// An immediate read: a frame is waiting in the client's queue. The queue is
// refilled outside the timing.
void BM_NicReadImmediate(benchmark::State& state) {
  constexpr unsigned kBatch = 200;
  OneNic pc(1, 256);
  if (!pc.started) return state.SkipWithError("no start");
  uint8_t buffer[1536];
  unsigned left = 0;
  for (auto _ : state) {
    if (left == 0) {
      state.PauseTiming();
      for (unsigned i = 0; i < kBatch; ++i) pc.ReceiveOne();
      left = kBatch;
      state.ResumeTiming();
    }
    uint32_t length = 0;
    benchmark::DoNotOptimize(NicRead(pc.opens[0], buffer, sizeof buffer, &length));
    --left;
  }
}
BENCHMARK(BM_NicReadImmediate);

// A whole machine: bring-up of 1 or 4 controllers (about 2.3 s of machine
// time each under the virtual clock), then stop.
void BM_BringUp(benchmark::State& state) {
  const auto count = static_cast<unsigned>(state.range(0));
  for (auto _ : state) {
    sim::Machine machine;
    auto& segment = machine.Own(std::make_unique<sim::Segment>("segment0"));
    for (unsigned i = 0; i < count; ++i) {
      machine.Own(std::make_unique<sim::I8255x>(machine, sim::StandardController(i), &segment));
    }
    machine.Boot();
    if (!machine.WaitStarted() || machine.DeviceNames().size() != count) {
      return state.SkipWithError("bring-up failed");
    }
    machine.Stop();
  }
}
BENCHMARK(BM_BringUp)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

}  // namespace
