// Adapter checks and availability events on a running machine: the PCI
// re-check, the reports to the kernel, suspend, resume and abort.
#include "availability/availability.h"

#include <atomic>

#include "support/client.h"
#include "support/driver.h"

namespace {

using namespace tvtest;

constexpr uint32_t Suspended = AdapterSuspended;
constexpr uint32_t Aborted = AdapterAborted;

uint32_t FlagsOf(NicAdapter* adapter) { return NicLoadFlags(adapter) & (Suspended | Aborted); }

// Every adapter gets the station address kStation from the registry (no
// EEPROM read) and the shortest configure delay, then the test's entries.
const Mac kStation = {0x02, 0x00, 0x5E, 0x00, 0x00, 0x01};
const Mac kOutsider = {0x02, 0, 0, 0, 0, 9};

// A running machine with `count` controllers.
struct Running {
  explicit Running(Entries entries = {}, unsigned count = 1,
                   sim::HaPolicy policy = sim::HaPolicy::None)
      : pc([&] {
          entries.insert(entries.begin(),
                         {{"MacAddress", "02:00:5E:00:00:01"}, {"ConfigDelay", "10"}});
          sim::MachineOptions options = PlainOptions(std::move(entries));
          options.ha_policy = policy;
          return options;
        }()) {
    pc.AddNics(count);
    pc.Boot();
    EXPECT_TRUE(pc.machine->SignalRaised(10000));
    adapters = Adapters();
    EXPECT_EQ(adapters.size(), count);
  }
  sim::Machine& machine() { return *pc.machine; }
  bool Deliver(uint32_t code, unsigned index = 0) {
    return pc.machine->DeliverHaEvent(DeviceName(index), code);
  }
  TestPc pc;
  std::vector<NicAdapter*> adapters;
};

std::vector<uint8_t> FrameFrom(unsigned index, uint32_t sequence) {
  return MakeFrame(kBroadcast, Station(index), 100, sequence);
}

TEST(AvailabilityCheck, WithoutHaDetectConfigurationSpaceIsNeverRead) {
  Running run;
  NicAdapter* adapter = run.adapters[0];
  PortLog log(run.machine());
  EXPECT_EQ(NicCheckAdapter(nullptr), 2u);
  EXPECT_EQ(NicRegisterAvailability(nullptr), 2u);
  EXPECT_EQ(NicCheckAdapter(adapter), 0u);
  run.pc.nics[0]->pci().SetBar(1, 0xD000, 64, true);  // would be a change
  EXPECT_EQ(NicCheckAdapter(adapter), 0u);
  ASSERT_TRUE(run.Deliver(HaEventSuspend));
  EXPECT_EQ(NicCheckAdapter(adapter), 19u);
  EXPECT_TRUE(PortsIn(log.Take(), 0xCF8, 0xCFF).empty());
  EXPECT_TRUE(run.machine().HaNotifications().empty());
}

TEST(AvailabilityCheck, HaDetectReadsTheFirstIoBarAndTheLineAndReportsChanges) {
  Running run(Entries{{"HaDetect", "1"}});
  NicAdapter* adapter = run.adapters[0];
  sim::PciFunction& pci = run.pc.nics[0]->pci();
  ASSERT_NE(adapter->HaObject, 0u);
  PortLog log(run.machine());
  size_t reported = run.machine().HaNotifications().size();
  // BAR0 is the memory window, BAR1 the first I/O one.
  const std::vector<uint32_t> firstIoBar = {0x10, 0x14, 0x3C};
  struct Case {
    const char* what;
    std::function<void()> change;
    std::vector<uint32_t> registers;  // read by the check, in order
  };
  const Case cases[] = {
      {"unchanged", [] {}, firstIoBar},
      {"I/O base moved", [&] { pci.SetBar(1, adapter->IoBase + 0x100, 64, true); }, firstIoBar},
      {"interrupt line moved",
       [&] { pci.SetInterruptLine(static_cast<uint8_t>(adapter->Irq + 1)); }, firstIoBar},
      {"no I/O BAR left",
       [&] { pci.SetBar(1, 0xFEA00000, 64, false); },
       {0x10, 0x14, 0x18, 0x1C, 0x20, 0x24}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    pci.SetBar(1, adapter->IoBase, 64, true);
    pci.SetInterruptLine(adapter->Irq);
    c.change();
    log.Clear();
    EXPECT_EQ(NicCheckAdapter(adapter), 0u) << "a report alone suspends nothing";
    std::vector<uint32_t> registers;
    for (const auto& a : DecodeConfig(log.TakeMine())) {
      EXPECT_FALSE(a.write);
      EXPECT_EQ(a.Bus(), adapter->Bus);
      EXPECT_EQ(a.DevFn(), adapter->DevFn);
      registers.push_back((a.address & 0xFC) | (a.port & 3));
    }
    EXPECT_EQ(registers, c.registers);
    const auto reports = run.machine().HaNotifications();
    const bool changed = &c != cases;
    ASSERT_EQ(reports.size(), reported + (changed ? 1 : 0));
    if (changed) {
      EXPECT_EQ(reports.back(), std::make_pair(adapter->HaObject, 104u));
    }
    EXPECT_EQ(FlagsOf(adapter), 0u);
    reported = reports.size();
  }
}

TEST(AvailabilityCheck, KernelPolicyDecidesWhetherAReportedChangeRefusesTheOperation) {
  for (sim::HaPolicy policy : {sim::HaPolicy::Suspend, sim::HaPolicy::Abort}) {
    const bool abort = policy == sim::HaPolicy::Abort;
    SCOPED_TRACE(abort ? "abort" : "suspend");
    Running run(Entries{{"HaDetect", "1"}, {"Quiet", "0"}}, 1, policy);
    NicAdapter* adapter = run.adapters[0];
    run.machine().ClearConsole();
    {
      // The interrupt service checks the adapter too; kept out, so that
      // this check is the one that finds the change and reports it once.
      KeDisableInterrupts();
      run.pc.nics[0]->pci().SetInterruptLine(3);
      EXPECT_EQ(NicCheckAdapter(adapter), 19u);
      KeEnableInterrupts();
    }
    EXPECT_EQ(FlagsOf(adapter), abort ? Suspended | Aborted : Suspended);
    EXPECT_EQ(run.machine().Console(), abort ? "TORVELIN: ABORT.\n" : "TORVELIN: SUSPEND.\n");
    // Suspended now: refused before any re-check.
    const size_t reports = run.machine().HaNotifications().size();
    EXPECT_EQ(NicCheckAdapter(adapter), 19u);
    EXPECT_EQ(run.machine().HaNotifications().size(), reports);
  }
}

// What a sequence of events leaves: the flags, the console, whether the
// controller was touched and whether a client may open the device. Events
// reach only their own adapter.
TEST(AvailabilityEvents, EventSequences) {
  struct Case {
    const char* what;
    std::vector<uint32_t> codes;
    uint32_t flags;
    bool touched;
    uint32_t open;
  };
  const Case cases[] = {
      {"suspend twice", {HaEventSuspend, HaEventSuspend}, Suspended, false, 19},
      {"two suspends, one resume", {HaEventSuspend, HaEventSuspend, HaEventResume}, 0, true, 0},
      {"resumes of an aborted adapter",
       {HaEventAbort, HaEventResume, HaEventSuspend, HaEventResume},
       Suspended | Aborted,
       false,
       19},
      {"unknown codes", {0, 99, 103, 104, 0xFFFFFFFF}, 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Each known event prints its line, whatever state it finds.
    std::string console;
    for (uint32_t code : c.codes) {
      if (code == HaEventSuspend) console += "TORVELIN: SUSPEND.\n";
      if (code == HaEventResume) console += "TORVELIN: RESUME.\n";
      if (code == HaEventAbort) console += "TORVELIN: ABORT.\n";
    }
    Running run(Entries{{"Quiet", "0"}}, 2);
    sim::I8255x& nic = *run.pc.nics[0];
    // What bring-up left pending is serviced before the events are judged.
    ASSERT_TRUE(WaitMachineQuiet(run.machine()));
    run.machine().ClearConsole();
    nic.EnableTrace(true);
    {
      PortLog log(run.machine());
      for (uint32_t code : c.codes) {
        // The kernel delivers only the codes the driver registered for;
        // any other goes to the handler directly.
        if (!run.Deliver(code)) NicAvailabilityEvent(code, 0, run.adapters[0]);
        NicAvailabilityEvent(code, 0, nullptr);  // ignored
      }
      EXPECT_EQ(!nic.Trace().empty(), c.touched);
      EXPECT_EQ(!PortsIn(log.Take(), 0xCF8, 0xCFF).empty(), c.touched);
    }
    nic.EnableTrace(false);
    EXPECT_EQ(FlagsOf(run.adapters[0]), c.flags);
    EXPECT_EQ(FlagsOf(run.adapters[1]), 0u);
    // A resume's bring-up prints its own lines after the events'.
    EXPECT_EQ(run.machine().Console().substr(0, console.size()), console);
    if (!c.touched) {
      EXPECT_EQ(run.machine().Console(), console);
    }
    sim::ClientProcess client(run.machine());
    uintptr_t open = 0;
    EXPECT_EQ(client.Open(DeviceName(0), &open), c.open);
  }
}

// The interrupt service refuses a suspended adapter through the same check:
// its pending interrupt stays pending, the other adapters are still served,
// and the adapter is served again after the resume.
TEST(AvailabilityEvents, SuspendedAdapterIsLeftAloneByTheInterruptService) {
  Running run(Entries{}, 2);
  sim::ClientProcess client(run.machine());
  uintptr_t reader0 = 0, writer1 = 0;
  ASSERT_TRUE(OpenEach(client, {{0, &reader0}, {1, &writer1}}));

  ASSERT_TRUE(run.Deliver(HaEventSuspend));
  const uint64_t storedBefore = run.pc.nics[0]->counters().frames_received.load();
  run.pc.wire->Inject(MakeFrame(kStation, kOutsider, 80, 1));
  EXPECT_EQ(run.pc.nics[0]->counters().frames_received.load(), storedBefore + 1);
  EXPECT_TRUE(run.pc.nics[0]->InterruptLineHigh()) << "left pending while suspended";

  // Adapter 1 (another line) keeps working meanwhile.
  run.pc.wire->ClearHeard();
  const auto frame = FrameFrom(1, 2);
  uint32_t transferred = 0;
  ASSERT_EQ(client.Write(writer1, frame.data(), static_cast<uint32_t>(frame.size()), &transferred),
            0u);
  // The write ends with a command-unit start the driver does not wait for.
  ASSERT_TRUE(WaitCommandTaken(run.machine(), *run.pc.nics[1]));
  run.pc.segment->Flush();
  ASSERT_EQ(run.pc.wire->Heard().size(), 1u);
  EXPECT_EQ(run.pc.wire->Heard()[0].bytes, frame);

  ASSERT_TRUE(run.Deliver(HaEventResume));
  EXPECT_EQ(FlagsOf(run.adapters[0]), 0u);
  // The resume ends with commands not waited for; a frame injected before
  // the controller takes them could be lost.
  ASSERT_TRUE(WaitCommandTaken(run.machine(), *run.pc.nics[0]));
  // A broadcast: received only if the resume restored the clients' filter.
  const auto after = MakeFrame(kBroadcast, kOutsider, 90, 3);
  run.pc.wire->Inject(after);
  std::vector<uint8_t> buffer(1536);
  uint32_t length = 0;
  ASSERT_EQ(client.Read(reader0, buffer.data(), 1536, &length), 0u);
  // The resume rebuilt the receive lists; what the controller stored while
  // suspended may be gone, but nothing arrives out of order or damaged.
  if (length != after.size()) {
    EXPECT_EQ(length, 80u);
    ASSERT_EQ(client.Read(reader0, buffer.data(), 1536, &length), 0u);
  }
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + length), after);
}

// A resume brings the controller back with the filter its clients asked
// for, not the bring-up's default, nor the filter of whichever adapter was
// configured last (the adapters share one configure block).
TEST(AvailabilityEvents, FailedResumeStaysSuspendedAndALaterResumeRetries) {
  Running run(Entries{}, 2);
  NicAdapter* adapter = run.adapters[0];
  sim::I8255x& nic = *run.pc.nics[0];
  sim::ClientProcess client(run.machine());
  uintptr_t open = 0, other = 0;
  ASSERT_TRUE(OpenEach(client, {{0, &open}, {1, &other}}));
  ASSERT_EQ(client.Control(open, MacControlSetFilter, FilterPromiscuous, 0), 0u);
  const auto configured = nic.ActiveConfiguration();
  ASSERT_NE(configured[ConfigByteFilter] & ConfigPromiscuous, 0);
  ASSERT_EQ(client.Control(other, MacControlSetFilter, FilterAllMulticast, 0), 0u);
  ASSERT_NE(run.pc.nics[1]->ActiveConfiguration(), configured);
  ASSERT_TRUE(run.Deliver(HaEventSuspend));
  nic.faults().cu_stuck_active = true;  // the base load cannot complete
  const uint64_t start = run.machine().clock().NowNs();
  ASSERT_TRUE(run.Deliver(HaEventResume));
  // Reset, then the base load's own short timeout: a few timeout units of
  // machine time, not a stale longer wait.
  EXPECT_LT(run.machine().clock().NowNs() - start, 16 * 32768.0 / 2387.0 * 1e6);
  EXPECT_EQ(FlagsOf(adapter), Suspended);
  EXPECT_EQ(NicCheckAdapter(adapter), 19u);
  // Printed even under Quiet: the bring-up's own report of the failure.
  EXPECT_EQ(run.machine().Console(), "TORVELIN: Configuration failure, loading base registers.\n");

  nic.faults().cu_stuck_active = false;
  ASSERT_TRUE(run.Deliver(HaEventResume));
  EXPECT_EQ(FlagsOf(adapter), 0u);
  EXPECT_EQ(NicCheckAdapter(adapter), 0u);
  EXPECT_TRUE(nic.Configured());
  EXPECT_EQ(nic.IndividualAddress(), kStation);
  EXPECT_EQ(nic.ActiveConfiguration(), configured);

  // A resume of an adapter that was never suspended, failing: it is left
  // suspended all the same, until a resume succeeds.
  nic.faults().cu_stuck_active = true;
  ASSERT_TRUE(run.Deliver(HaEventResume));
  EXPECT_EQ(FlagsOf(adapter), Suspended);
  nic.faults().cu_stuck_active = false;
  ASSERT_TRUE(run.Deliver(HaEventResume));
  EXPECT_EQ(FlagsOf(adapter), 0u);
}

TEST(AvailabilityEvents, ResumeOfAnActiveAdapterWhileTrafficFlowsIsSafe) {
  Running run(Entries{}, 2);
  sim::ClientProcess client(run.machine());
  uintptr_t writer = 0, reader = 0;
  ASSERT_TRUE(OpenEach(client, {{0, &writer}, {0, &reader}}));

  std::atomic<bool> done{false};
  std::atomic<uint32_t> written{0}, received{0}, failures{0};
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
      // Refused while resuming, or no block free in time under load: allowed.
      if (status == 0) {
        ++written;
      } else if (status != 19 && status != 2) {
        ++failures;
      }
    }
  });
  std::thread receiver([&] {
    std::vector<uint8_t> buffer(1536);
    for (;;) {
      uint32_t length = 0;
      const uint32_t status = client.Read(reader, buffer.data(), 1536, &length);
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
      run.pc.wire->Inject(MakeFrame(kStation, kOutsider, 80, sequence));
      std::this_thread::yield();
    }
  });

  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(run.Deliver(HaEventResume));
    EXPECT_EQ(FlagsOf(run.adapters[0]), 0u);
  }
  // The flood may have kept the receive ring out of resources the whole
  // time (its frames are discarded by design); once it stops, frames at a
  // pace the adapter keeps up with must reach the reader.
  injecting = false;
  injector.join();
  for (uint32_t sequence = 0; received.load() == 0 && sequence < 100000; ++sequence) {
    run.pc.wire->Inject(MakeFrame(kStation, kOutsider, 80, sequence));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  done = true;
  sender.join();
  // Wake the receiver with one more frame, or let Stop unwind it.
  run.pc.wire->Inject(MakeFrame(kStation, kOutsider, 80, 0));
  run.machine().Stop();
  receiver.join();

  EXPECT_EQ(failures.load(), 0u);
  EXPECT_GT(written.load(), 0u);
  EXPECT_GT(received.load(), 0u);
  EXPECT_TRUE(run.pc.nics[0]->bus_errors().empty());
  EXPECT_EQ(run.machine().RightsViolations(), 0u);
}

}  // namespace
