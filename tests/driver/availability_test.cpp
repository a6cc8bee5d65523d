// Adapter checks and availability events on a running machine: the PCI
// re-check, the reports to the kernel, suspend, resume and abort.
#include "availability/availability.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "controller/controller.h"
#include "device/device.h"
#include "driver/command_wait.h"
#include "startup/startup.h"
#include "support/harness.h"
#include "support/startup_helpers.h"

namespace {

using startup_support::DecodeConfig;
using startup_support::PortLog;
using testing_support::DeviceName;
using testing_support::OptionsWithRegistry;
using testing_support::TestPc;

constexpr uint32_t Suspended = AdapterSuspended;
constexpr uint32_t Aborted = AdapterAborted;

uint32_t FlagsOf(NicAdapter* adapter) { return NicLoadFlags(adapter) & (Suspended | Aborted); }

// Registry entries that make a bring-up cheap (no EEPROM read, short
// configure delay), followed by the test's own. Every adapter then has the
// station address kStation.
const testing_support::Mac kStation = {0x02, 0x00, 0x5E, 0x00, 0x00, 0x01};
sim::MachineOptions Fast(std::vector<std::pair<std::string, std::string>> entries = {}) {
  entries.insert(entries.begin(), {{"MacAddress", "02:00:5E:00:00:01"}, {"ConfigDelay", "10"}});
  return OptionsWithRegistry(std::move(entries));
}

// A running machine with `count` controllers and the given registry.
struct Running {
  explicit Running(sim::MachineOptions options, unsigned count = 1) : pc(std::move(options)) {
    pc.AddNics(count);
    pc.Boot();
    EXPECT_TRUE(pc.machine->SignalRaised(10000));
    adapters = startup_support::Adapters();
    EXPECT_EQ(adapters.size(), count);
  }
  sim::Machine& machine() { return *pc.machine; }
  TestPc pc;
  std::vector<NicAdapter*> adapters;
};

std::vector<uint8_t> FrameFrom(unsigned index, uint32_t sequence) {
  return testing_support::MakeFrame(testing_support::kBroadcast, testing_support::StationFor(index),
                                    100, sequence);
}

TEST(AvailabilityCheck, WithoutHaDetectConfigurationSpaceIsNeverRead) {
  Running run(Fast());
  NicAdapter* adapter = run.adapters[0];
  PortLog log(run.machine());

  EXPECT_EQ(NicCheckAdapter(adapter), 0u);
  EXPECT_EQ(NicCheckAdapter(nullptr), 2u);
  sim::ClientProcess client(run.machine());
  uintptr_t open = 0;
  ASSERT_EQ(client.Open(DeviceName(0), &open), 0u);
  const auto frame = FrameFrom(0, 1);
  uint32_t transferred = 0;
  EXPECT_EQ(client.Write(open, frame.data(), static_cast<uint32_t>(frame.size()), &transferred),
            0u);
  EXPECT_EQ(client.Close(open), 0u);
  run.pc.nics[0]->pci().SetBar(1, 0xD000, 64, true);  // would be a change
  EXPECT_EQ(NicCheckAdapter(adapter), 0u);

  ASSERT_TRUE(run.machine().DeliverHaEvent(DeviceName(0), HaEventSuspend));
  EXPECT_EQ(NicCheckAdapter(adapter), 19u);
  EXPECT_TRUE(startup_support::PortsIn(log.Take(), 0xCF8, 0xCFF).empty());
  EXPECT_TRUE(run.machine().HaNotifications().empty());
}

TEST(AvailabilityCheck, HaDetectReadsTheFirstIoBarAndTheLineAndReportsChanges) {
  Running run(Fast({{"HaDetect", "1"}}));
  NicAdapter* adapter = run.adapters[0];
  sim::PciFunction& pci = run.pc.nics[0]->pci();
  PortLog log(run.machine());
  const auto notifications = [&] {
    size_t count = 0;
    for (auto [object, code] : run.machine().HaNotifications()) {
      EXPECT_EQ(object, adapter->HaObject);
      EXPECT_EQ(code, 104u);
      ++count;
    }
    return count;
  };
  const auto registersRead = [&] {
    std::vector<uint32_t> registers;
    for (const auto& a : DecodeConfig(log.TakeMine())) {
      EXPECT_FALSE(a.write);
      EXPECT_EQ(a.Bus(), adapter->Bus);
      EXPECT_EQ(a.DevFn(), adapter->DevFn);
      registers.push_back((a.address & 0xFC) | (a.port & 3));
    }
    return registers;
  };
  ASSERT_NE(adapter->HaObject, 0u);
  const size_t before = notifications();

  {
    SCOPED_TRACE("unchanged");
    log.Clear();
    EXPECT_EQ(NicCheckAdapter(adapter), 0u);
    // BAR0 is the memory window, BAR1 the first I/O one.
    EXPECT_EQ(registersRead(), (std::vector<uint32_t>{0x10, 0x14, 0x3C}));
    EXPECT_EQ(notifications(), before);
  }
  {
    SCOPED_TRACE("I/O base moved");
    pci.SetBar(1, adapter->IoBase + 0x100, 64, true);
    log.Clear();
    EXPECT_EQ(NicCheckAdapter(adapter), 0u);
    EXPECT_EQ(registersRead(), (std::vector<uint32_t>{0x10, 0x14, 0x3C}));
    EXPECT_EQ(notifications(), before + 1);
    pci.SetBar(1, adapter->IoBase, 64, true);
    EXPECT_EQ(NicCheckAdapter(adapter), 0u);
    EXPECT_EQ(notifications(), before + 1);
  }
  {
    SCOPED_TRACE("interrupt line moved");
    pci.SetInterruptLine(static_cast<uint8_t>(adapter->Irq + 1));
    EXPECT_EQ(NicCheckAdapter(adapter), 0u);
    EXPECT_EQ(notifications(), before + 2);
    pci.SetInterruptLine(adapter->Irq);
  }
  {
    SCOPED_TRACE("no I/O BAR left");
    pci.SetBar(1, 0xFEA00000, 64, false);
    log.Clear();
    EXPECT_EQ(NicCheckAdapter(adapter), 0u);
    EXPECT_EQ(registersRead(), (std::vector<uint32_t>{0x10, 0x14, 0x18, 0x1C, 0x20, 0x24}));
    EXPECT_EQ(notifications(), before + 3);
    EXPECT_EQ(FlagsOf(adapter), 0u) << "a report alone suspends nothing";
  }
}

TEST(AvailabilityCheck, KernelPolicyDecidesWhetherAReportedChangeRefusesTheOperation) {
  for (sim::HaPolicy policy : {sim::HaPolicy::Suspend, sim::HaPolicy::Abort}) {
    sim::MachineOptions options = Fast({{"HaDetect", "1"}, {"Quiet", "0"}});
    options.ha_policy = policy;
    Running run(std::move(options));
    NicAdapter* adapter = run.adapters[0];
    EXPECT_EQ(NicCheckAdapter(adapter), 0u);
    run.machine().ClearConsole();
    {
      // The interrupt service checks the adapter too; kept out, so that
      // this check is the one that finds the change and reports it once.
      KeDisableInterrupts();
      run.pc.nics[0]->pci().SetInterruptLine(3);
      EXPECT_EQ(NicCheckAdapter(adapter), 19u);
      KeEnableInterrupts();
    }
    if (policy == sim::HaPolicy::Suspend) {
      EXPECT_EQ(FlagsOf(adapter), Suspended);
      EXPECT_EQ(run.machine().Console(), "TORVELIN: SUSPEND.\n");
    } else {
      EXPECT_EQ(FlagsOf(adapter), Suspended | Aborted);
      EXPECT_EQ(run.machine().Console(), "TORVELIN: ABORT.\n");
    }
    // Suspended now: refused before any re-check.
    const size_t reports = run.machine().HaNotifications().size();
    EXPECT_EQ(NicCheckAdapter(adapter), 19u);
    EXPECT_EQ(run.machine().HaNotifications().size(), reports);
  }
}

TEST(AvailabilityEvents, SuspendRefusesOperationsAndResumeRestoresThem) {
  Running run(Fast({{"Quiet", "0"}}), 2);
  NicAdapter* adapter = run.adapters[0];
  sim::ClientProcess client(run.machine());
  run.machine().ClearConsole();

  ASSERT_TRUE(run.machine().DeliverHaEvent(DeviceName(0), HaEventSuspend));
  ASSERT_TRUE(run.machine().DeliverHaEvent(DeviceName(0), HaEventSuspend));
  EXPECT_EQ(FlagsOf(adapter), Suspended);
  EXPECT_EQ(FlagsOf(run.adapters[1]), 0u) << "events reach only their adapter";
  uintptr_t open = 0;
  EXPECT_EQ(client.Open(DeviceName(0), &open), 19u);

  ASSERT_TRUE(run.machine().DeliverHaEvent(DeviceName(0), HaEventResume));
  EXPECT_EQ(FlagsOf(adapter), 0u) << "two suspends, one resume: active";
  // Then the bring-up's own lines.
  const std::string events = "TORVELIN: SUSPEND.\nTORVELIN: SUSPEND.\nTORVELIN: RESUME.\n";
  EXPECT_EQ(run.machine().Console().substr(0, events.size()), events);

  // (That a resumed controller carries traffic again is the device stress
  // tests' business.)
  EXPECT_EQ(client.Open(DeviceName(0), &open), 0u);
}

// The interrupt service refuses a suspended adapter through the same check,
// yield included: its pending interrupt stays pending, the other adapters are
// still served, and the adapter is served again after the resume.
TEST(AvailabilityEvents, SuspendedAdapterIsLeftAloneByTheInterruptService) {
  Running run(Fast(), 2);
  sim::ClientProcess client(run.machine());
  uintptr_t reader0 = 0, writer1 = 0;
  ASSERT_EQ(client.Open(DeviceName(0), &reader0), 0u);
  ASSERT_EQ(client.Open(DeviceName(1), &writer1), 0u);
  const testing_support::Mac outsider = {0x02, 0, 0, 0, 0, 9};

  ASSERT_TRUE(run.machine().DeliverHaEvent(DeviceName(0), HaEventSuspend));
  const uint64_t storedBefore = run.pc.nics[0]->counters().frames_received.load();
  run.pc.wire->Inject(testing_support::MakeFrame(kStation, outsider, 80, 1));
  EXPECT_EQ(run.pc.nics[0]->counters().frames_received.load(), storedBefore + 1);
  EXPECT_TRUE(run.pc.nics[0]->InterruptLineHigh()) << "left pending while suspended";

  // Adapter 1 (another line) keeps working meanwhile.
  run.pc.wire->ClearHeard();
  const auto frame = FrameFrom(1, 2);
  uint32_t transferred = 0;
  ASSERT_EQ(client.Write(writer1, frame.data(), static_cast<uint32_t>(frame.size()), &transferred),
            0u);
  // The write ends with the transmit's command-unit start, which the driver
  // does not wait for: the frame goes out once the controller takes it.
  ASSERT_TRUE(command_wait::WaitCommandTaken(run.machine(), *run.pc.nics[1]));
  run.pc.segment->Flush();
  ASSERT_EQ(run.pc.wire->Heard().size(), 1u);
  EXPECT_EQ(run.pc.wire->Heard()[0].bytes, frame);

  ASSERT_TRUE(run.machine().DeliverHaEvent(DeviceName(0), HaEventResume));
  EXPECT_EQ(FlagsOf(run.adapters[0]), 0u);
  // The resume's bring-up and filter configure end with commands not waited
  // for; a frame injected before the controller takes them could be lost.
  ASSERT_TRUE(command_wait::WaitCommandTaken(run.machine(), *run.pc.nics[0]));
  const auto after = testing_support::MakeFrame(kStation, outsider, 90, 3);
  run.pc.wire->Inject(after);
  std::vector<uint8_t> buffer(1536);
  uint32_t length = 0;
  ASSERT_EQ(client.Read(reader0, buffer.data(), static_cast<uint32_t>(buffer.size()), &length), 0u);
  buffer.resize(length);
  // The resume rebuilt the receive lists; what the controller stored while
  // suspended may be gone, but nothing arrives out of order or damaged.
  if (buffer != after) {
    EXPECT_EQ(buffer.size(), 80u);
    ASSERT_EQ(client.Read(reader0, buffer.data(), 1536, &length), 0u);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + length), after);
  }
}

TEST(AvailabilityEvents, ResumeOfAnAbortedAdapterLeavesTheControllerAlone) {
  Running run(Fast({{"Quiet", "0"}}));
  NicAdapter* adapter = run.adapters[0];
  sim::I8255x& nic = *run.pc.nics[0];
  run.machine().ClearConsole();
  ASSERT_TRUE(run.machine().DeliverHaEvent(DeviceName(0), HaEventAbort));
  EXPECT_EQ(FlagsOf(adapter), Suspended | Aborted);

  nic.EnableTrace(true);
  PortLog log(run.machine());
  ASSERT_TRUE(run.machine().DeliverHaEvent(DeviceName(0), HaEventResume));
  ASSERT_TRUE(run.machine().DeliverHaEvent(DeviceName(0), HaEventSuspend));
  ASSERT_TRUE(run.machine().DeliverHaEvent(DeviceName(0), HaEventResume));
  EXPECT_TRUE(nic.Trace().empty()) << "controller touched";
  EXPECT_TRUE(startup_support::PortsIn(log.Take(), 0xCF8, 0xCFF).empty());
  EXPECT_EQ(FlagsOf(adapter), Suspended | Aborted);
  EXPECT_EQ(run.machine().Console(),
            "TORVELIN: ABORT.\nTORVELIN: RESUME.\nTORVELIN: SUSPEND.\nTORVELIN: RESUME.\n");
  sim::ClientProcess client(run.machine());
  uintptr_t open = 0;
  EXPECT_EQ(client.Open(DeviceName(0), &open), 19u);
}

TEST(AvailabilityEvents, FailedResumeStaysSuspendedAndALaterResumeRetries) {
  Running run(Fast());
  NicAdapter* adapter = run.adapters[0];
  sim::I8255x& nic = *run.pc.nics[0];

  ASSERT_TRUE(run.machine().DeliverHaEvent(DeviceName(0), HaEventSuspend));
  nic.faults().cu_stuck_active = true;  // the base load cannot complete
  ASSERT_TRUE(run.machine().DeliverHaEvent(DeviceName(0), HaEventResume));
  EXPECT_EQ(FlagsOf(adapter), Suspended);
  EXPECT_EQ(NicCheckAdapter(adapter), 19u);
  // Printed even under Quiet: the bring-up's own report of the failure.
  EXPECT_EQ(run.machine().Console(), "TORVELIN: Configuration failure, loading base registers.\n");

  nic.faults().cu_stuck_active = false;
  ASSERT_TRUE(run.machine().DeliverHaEvent(DeviceName(0), HaEventResume));
  EXPECT_EQ(FlagsOf(adapter), 0u);
  EXPECT_EQ(NicCheckAdapter(adapter), 0u);
  EXPECT_TRUE(nic.Configured());
  EXPECT_EQ(nic.IndividualAddress(), kStation);
}

TEST(AvailabilityEvents, UnknownCodesAndNullAdaptersDoNothing) {
  Running run(Fast({{"Quiet", "0"}}));
  NicAdapter* adapter = run.adapters[0];
  run.machine().ClearConsole();
  PortLog log(run.machine());
  for (uint32_t code : {0u, 99u, 103u, 104u, 0xFFFFFFFFu}) {
    NicAvailabilityEvent(code, 0, adapter);
    run.machine().DeliverHaEvent(DeviceName(0), code);
  }
  for (uint32_t code : {HaEventSuspend, HaEventResume, HaEventAbort}) {
    NicAvailabilityEvent(code, 0, nullptr);
  }
  EXPECT_EQ(FlagsOf(adapter), 0u);
  EXPECT_EQ(run.machine().Console(), "");
  EXPECT_TRUE(log.Take().empty());
  EXPECT_EQ(NicRegisterAvailability(nullptr), 2u);
}

TEST(AvailabilityEvents, ResumeOfAnActiveAdapterWhileTrafficFlowsIsSafe) {
  Running run(Fast(), 2);
  NicAdapter* adapter = run.adapters[0];
  sim::ClientProcess client(run.machine());
  uintptr_t writer = 0, reader = 0;
  ASSERT_EQ(client.Open(DeviceName(0), &writer), 0u);
  ASSERT_EQ(client.Open(DeviceName(0), &reader), 0u);

  std::atomic<bool> done{false};
  std::atomic<uint32_t> written{0}, refused{0}, received{0}, failures{0};
  std::thread sender([&] {
    // Goes on after `done` until one write has gone through: on a busy
    // machine this thread may not have run at all while the resumes did.
    uint32_t after_done = 0;
    for (uint32_t sequence = 0;; ++sequence) {
      if (done.load() && (written.load() > 0 || ++after_done > 100000)) break;
      const auto frame = FrameFrom(0, sequence);
      uint32_t transferred = 0;
      const uint32_t status =
          client.Write(writer, frame.data(), static_cast<uint32_t>(frame.size()), &transferred);
      if (status == 0) {
        ++written;
      } else if (status == 19) {
        ++refused;
      } else if (status != 2) {  // no block free in time under load is allowed
        ++failures;
      }
    }
  });
  std::thread receiver([&] {
    std::vector<uint8_t> buffer(1536);
    for (;;) {
      uint32_t length = 0;
      const uint32_t status =
          client.Read(reader, buffer.data(), static_cast<uint32_t>(buffer.size()), &length);
      if (status == sim::ClientProcess::kStopped || done.load()) return;
      if (status == 0) {
        ++received;
      } else if (status != 19) {
        ++failures;
      }
    }
  });
  std::atomic<bool> injecting{true};
  std::thread injector([&] {
    for (uint32_t sequence = 0; injecting.load(); ++sequence) {
      run.pc.wire->Inject(
          testing_support::MakeFrame(kStation, {0x02, 0, 0, 0, 0, 9}, 80, sequence));
      std::this_thread::yield();
    }
  });

  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(run.machine().DeliverHaEvent(DeviceName(0), HaEventResume));
    EXPECT_EQ(FlagsOf(adapter), 0u);
  }
  // The flood may have kept the receive ring out of resources the whole
  // time (its frames are discarded by design); once it stops, frames at a
  // pace the adapter keeps up with must reach the reader.
  injecting = false;
  injector.join();
  for (uint32_t sequence = 0; received.load() == 0 && sequence < 100000; ++sequence) {
    run.pc.wire->Inject(testing_support::MakeFrame(kStation, {0x02, 0, 0, 0, 0, 9}, 80, sequence));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  done = true;
  sender.join();
  // Wake the receiver with one more frame, or let Stop unwind it.
  run.pc.wire->Inject(testing_support::MakeFrame(kStation, {0x02, 0, 0, 0, 0, 9}, 80, 0));
  run.machine().Stop();
  receiver.join();

  EXPECT_EQ(failures.load(), 0u);
  EXPECT_GT(written.load(), 0u);
  EXPECT_GT(received.load(), 0u);
  EXPECT_TRUE(run.pc.nics[0]->bus_errors().empty());
  EXPECT_EQ(run.machine().RightsViolations(), 0u);
}

}  // namespace
