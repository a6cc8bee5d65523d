// Shared by the fuzz targets: a reader that decodes the fuzz input from the
// front (so seed files can be written by hand), and a cheap simulated PC.
//
// Every input runs on a machine booted for it alone and stopped after it, so
// that what an input finds depends on that input only: nothing an earlier
// input left behind (a fault still armed, a DMA still in flight, a queue half
// full) can decide the result. A finding replays from its file with one
// command: build/fuzz/fuzz/fuzz_<target> <file>.
//
// Boots are kept cheap: virtual clock, Quiet, a small arena, the shortest
// delays, and (where the EEPROM does not matter) UseEeprom 0, which skips the
// EEPROM's long waits. A harness's own helper threads (a client blocked in a
// read) are sim::HostThreads like the machine's: under the sanitizers a new
// host thread per input would cost about a tenth of an input.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/interface.h"
#include "platform/kernel/kernel.h"
#include "platform/machine.h"
#include "platform/net/segment.h"
#include "platform/nic/i8255x.h"
#include "platform/pc/host_thread.h"
#include "platform/standard_pc.h"

namespace fuzz {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  size_t remaining() const { return size_ - pos_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() {
    uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
  uint32_t U32() {
    uint32_t low = U16();
    return low | (uint32_t{U16()} << 16);
  }
  // `length` bytes (fewer at the end of the input).
  std::vector<uint8_t> Bytes(size_t length) {
    const size_t n = length < remaining() ? length : remaining();
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }
  std::string String(size_t length) {
    std::vector<uint8_t> bytes = Bytes(length);
    return std::string(bytes.begin(), bytes.end());
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// A finding the sanitizers cannot see (a hang of a call, a wrong length):
// printed, then the process aborts so that libFuzzer keeps the input.
[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "FUZZ INVARIANT BROKEN: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

inline sim::I8255xConfig NicConfig(unsigned index) { return sim::StandardController(index); }

struct Pc {
  std::unique_ptr<sim::Machine> machine;
  sim::Segment* segment = nullptr;
  std::vector<sim::I8255x*> nics;

  explicit Pc(sim::Registry registry) {
    sim::MachineOptions options;
    options.registry = std::move(registry);
    options.arena_bytes = 8u << 20;
    machine = std::make_unique<sim::Machine>(std::move(options));
    segment = &machine->Own(std::make_unique<sim::Segment>("segment0"));
  }
  sim::I8255x& AddNic(const sim::I8255xConfig& config) {
    auto& nic = machine->Own(std::make_unique<sim::I8255x>(*machine, config, segment));
    nics.push_back(&nic);
    return nic;
  }
  // A misuse of the kernel is a finding whatever else the input showed.
  ~Pc() {
    const std::vector<std::string> misuses = machine->Misuses();
    if (!misuses.empty()) Fail("the driver misused the kernel: " + misuses.front());
  }
  // Boots; a start-up that does not finish is a hang.
  void Boot() {
    machine->Boot();
    if (!machine->WaitStarted(20000)) Fail("start-up did not finish within 20 s");
  }
};

// The registry of a machine whose EEPROM does not matter.
inline sim::Registry CheapRegistry() {
  sim::Registry registry;
  registry.Add("TORVELIN", "Quiet", "1");
  registry.Add("TORVELIN", "UseEeprom", "0");
  // The shortest settings: the configure delay is spent on every configure
  // command, and the self-test bound only matters when the
  // controller fails them.
  registry.Add("TORVELIN", "ConfigDelay", "10");
  registry.Add("TORVELIN", "TestDelay", "10");
  return registry;
}

// A machine with the standard PC's first `controllers` controllers and the
// cheap registry, booted. A target makes it for one input and lets it go at
// the input's end, so that what an input allocates it also frees: libFuzzer's
// leak check then only runs (an input run again, the whole heap scanned) for
// an input that leaked.
struct StandardPc : Pc {
  explicit StandardPc(unsigned controllers) : Pc(CheapRegistry()) {
    for (unsigned i = 0; i < controllers; ++i) AddNic(NicConfig(i));
    Boot();
  }
};

inline std::string DeviceName(unsigned index) {
  return "/DEV/MAC/TORVELIN/" + std::to_string(index);
}

// Yields until `done` or `ready` holds; `what` is the finding when neither
// does within `seconds` of wall time (a bound on a hang, never a measurement).
template <class Ready>
void WaitOrFail(const std::atomic<bool>& done, Ready ready, const char* what, int seconds = 20) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done.load() && !ready()) {
    if (std::chrono::steady_clock::now() > until) Fail(what);
    std::this_thread::yield();
  }
}

// Waits until a read of `process` is registered and asleep in the driver, as
// the kernel shows it (a thread of the process blocked in a wait), or its
// caller is back (`done`). Only then may a harness close the record to end
// it: a close made earlier could release the record under a read still on
// its way into the driver. The harness makes no other call of the process
// meanwhile.
inline void WaitUntilReadPending(const sim::ClientProcess& process, const std::atomic<bool>& done) {
  WaitOrFail(
      done, [&] { return process.ThreadBlocked(); }, "a read never came back");
}

// At rest: no controller's line raised and no thread running driver code
// (the interrupt thread done with its handlers).
inline bool AtRest(const Pc& pc) {
  if (pc.machine->kernel().ThreadsRunning()) return false;
  for (sim::I8255x* nic : pc.nics) {
    if (nic->InterruptLineHigh()) return false;
  }
  return true;
}

// Waits until a read of `process` that was asleep in the driver is back
// (`done`), or is asleep again with the machine at rest. A frame injected
// meanwhile has then reached the read or been refused, however the host
// scheduled the threads: a read still asleep is one that the frame did not
// end.
inline void WaitUntilReadSettled(const Pc& pc, const sim::ClientProcess& process,
                                 const std::atomic<bool>& done) {
  WaitOrFail(
      done, [&] { return AtRest(pc) && process.ThreadBlocked(); },
      "the machine never came to rest after a frame");
}

// Gives the machine's other threads (the interrupt service, a reader) the
// CPU until the machine is at rest, or for 200 us of wall time at most: a
// controller left hostile may keep its line up for good.
inline void LetSettle(const Pc& pc) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
  while (!AtRest(pc) && std::chrono::steady_clock::now() < until) std::this_thread::yield();
}

// After every client closed, the arena holds what it held after boot.
inline void CheckArenaBack(const Pc& pc, size_t after_boot) {
  const size_t outstanding = pc.machine->arena().OutstandingBlocks();
  if (outstanding != after_boot) {
    Fail("after every close the arena holds " + std::to_string(outstanding) +
         " blocks, after boot it held " + std::to_string(after_boot));
  }
}

}  // namespace fuzz
