// The booted test PC: the standard PC's controllers on one segment with a
// test port, a registry, boot, and bounded waits for what other threads do.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "controller/adapter.h"
#include "platform/machine.h"
#include "platform/net/segment.h"
#include "platform/nic/i8255x.h"
#include "platform/standard_pc.h"
#include "startup/startup.h"
#include "support/frames.h"

namespace tvtest {

// True in builds instrumented by a sanitizer, where everything runs several
// times slower and the tests scale their rounds down.
constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

// Polls `condition` until it holds; false once `ms` of wall time passed. The
// bound only turns a hang (a lost frame, a lost wake-up) into a failure;
// nothing is ever measured with it.
inline bool Eventually(const std::function<bool()>& condition, int ms = 20000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}

// Waits until no thread moves the machine's clock any more: the interrupt
// service has handled what bring-up left pending and nothing else runs. The
// clock must stand still for longer than a device may take to act on host
// time (the 8255x looks for a command left waiting every millisecond and
// takes it after one), or what it then raises would come later.
inline bool WaitMachineQuiet(sim::Machine& machine) {
  return Eventually([&] {
    const uint64_t before = machine.clock().NowNs();
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    return machine.clock().NowNs() == before;
  });
}

using Entries = std::vector<std::pair<std::string, std::string>>;

// Exactly `entries` in the registry, for the tests of the settings
// themselves.
inline sim::MachineOptions PlainOptions(const Entries& entries) {
  sim::MachineOptions options;
  for (const auto& [key, value] : entries) options.registry.Add("TORVELIN", key, value);
  return options;
}

// Registry settings of a test machine: the shortest configure delay (every
// close reconfigures the controller, and tests open and close often) and no
// boot wait, then `entries` (later entries win; a Quiet 0 among them comes
// after these, so their confirmations are not printed).
inline sim::MachineOptions Options(Entries entries = {}) {
  entries.insert(entries.begin(), {{"ConfigDelay", "10"}, {"WaitBoot", "0"}});
  return PlainOptions(entries);
}

inline std::string DeviceName(unsigned index) {
  return "/DEV/MAC/TORVELIN/" + std::to_string(index);
}

// Keeps the interrupt service out while the test reads or changes what it
// owns (receive lists, cursors, QueueWrite, slots, client records).
struct InterruptsOff {
  InterruptsOff() { KeDisableInterrupts(); }
  ~InterruptsOff() { KeEnableInterrupts(); }
  InterruptsOff(const InterruptsOff&) = delete;
  InterruptsOff& operator=(const InterruptsOff&) = delete;
};

template <class F>
auto WithInterruptsOff(F&& body) {
  InterruptsOff off;
  return body();
}

// The adapter record behind device `index` (creation order on AdapterList is
// device order), or null.
inline NicAdapter* AdapterAt(unsigned index) {
  InterruptsOff off;
  auto* adapter = static_cast<NicAdapter*>(AdapterList.First);
  while (adapter != nullptr && index-- > 0) adapter = adapter->Next;
  return adapter;
}

// A machine with controllers of the standard PC (platform/standard_pc.h) on
// one segment, plus a test port on that segment.
struct TestPc {
  std::unique_ptr<sim::Machine> machine;
  sim::Segment* segment = nullptr;
  sim::TestPort* wire = nullptr;
  std::vector<sim::I8255x*> nics;

  explicit TestPc(sim::MachineOptions options = Options()) {
    machine = std::make_unique<sim::Machine>(std::move(options));
    segment = &machine->Own(std::make_unique<sim::Segment>("segment0"));
    wire = &machine->Own(std::make_unique<sim::TestPort>(*segment));
  }
  TestPc(unsigned controllers, sim::MachineOptions options = Options())
      : TestPc(std::move(options)) {
    AddNics(controllers);
  }
  // Whatever a test checked, a misuse of the kernel by the driver is a
  // fault.
  ~TestPc() { EXPECT_EQ(machine->Misuses(), std::vector<std::string>{}); }

  sim::I8255x& AddNic(const sim::I8255xConfig& config) {
    auto& nic = machine->Own(std::make_unique<sim::I8255x>(*machine, config, segment));
    nics.push_back(&nic);
    return nic;
  }
  void AddNics(unsigned count) {
    for (unsigned i = 0; i < count; ++i) AddNic(sim::StandardController(nics.size()));
  }
  sim::I8255x& nic(unsigned index) { return *nics.at(index); }

  // Boots and waits for start-up to finish (signal 10000 or DriverEntry's
  // return).
  void Boot() {
    machine->Boot();
    ASSERT_TRUE(machine->WaitStarted()) << "start-up did not finish";
  }
  // Boots, then waits until the memory service has made its mutex and
  // events, so that counts of live kernel objects taken afterwards are
  // stable. False when either failed (the failure is reported).
  [[nodiscard]] ::testing::AssertionResult BootReady() {
    machine->Boot();
    if (!machine->WaitStarted()) return ::testing::AssertionFailure() << "start-up did not finish";
    if (!Eventually([&] { return machine->LiveMutexes() >= 2 && machine->LiveEvents() >= 2; })) {
      return ::testing::AssertionFailure() << "the memory service never started";
    }
    return ::testing::AssertionSuccess();
  }

  // Position of the adapter's QueueWrite as a slot index.
  static uint32_t QueueIndex(const NicAdapter* a) {
    return WithInterruptsOff([a] { return static_cast<uint32_t>(a->QueueWrite - a->QueueStart); });
  }
  // Injects a frame from the test port and waits until adapter `a` (or the
  // adapter of device `index`) has queued it, and so handed it to any
  // blocked reader. False when the frame never arrived.
  bool InjectQueuedOn(NicAdapter* a, const std::vector<uint8_t>& frame,
                      sim::FrameErrors errors = {}) {
    const uint32_t before = QueueIndex(a);
    wire->Inject(frame, errors);
    return Eventually([&] { return QueueIndex(a) != before; });
  }
  bool InjectQueued(unsigned index, const std::vector<uint8_t>& frame,
                    sim::FrameErrors errors = {}) {
    return InjectQueuedOn(AdapterAt(index), frame, errors);
  }
};

}  // namespace tvtest
