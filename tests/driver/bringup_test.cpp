// Instance creation and controller bring-up: the PCI enable, the record and
// queue creation builds, instance numbers, every failure creation can meet
// and what it gives back; where the station address comes from, what a failed
// bring-up leaves, the interrupt mask in both modes, a reset that never
// finishes, the console, the command-unit failures, the self-test, and
// bring-up of a later controller while a client uses an earlier one.

#include <atomic>

#include "platform/kernel/kernel.h"
#include "support/driver.h"

namespace {

using namespace tvtest;
using BringUp = OneAdapter;
using Creation = OneAdapter;

constexpr double kUnitNs = 32768.0 / 2387.0 * 1e6;  // one timeout unit of machine time

// What creation and bring-up of controller 0 print under Quiet 0.
constexpr char kAnnounce[] =
    "TORVELIN: Intel EtherExpressPro100 (/DEV/MAC/TORVELIN/0) I/O=e000, IRQ=b.\n"
    "TORVELIN: Device /DEV/MAC/TORVELIN/0's operation is interrupt mode.\n";

TEST_F(BringUp, StationAddressComesFromTheRegistryTheEepromOrNowhere) {
  struct Case {
    const char* what;
    Entries entries;
    std::string console;
    Mac station;
    bool eeprom;  // read, and its PHY records used
  };
  const Case cases[] = {
      {"registry address",
       {{"MacAddress", "02:11:22:33:44:55"}},
       "TORVELIN: MAC address set to 02:11:22:33:44:55 in system registry.\n" +
           std::string(kAnnounce),
       {0x02, 0x11, 0x22, 0x33, 0x44, 0x55},
       false},
      {"no EEPROM",
       {{"UseEeprom", "0"}},
       "TORVELIN: Use EEPROM set to 0 in registry.\n" + std::string(kAnnounce) +
           "TORVELIN: No Eeprom configured; using address 00:00:00:00:00:00.\n",
       {},
       false},
      {"EEPROM",
       {},
       std::string(kAnnounce) + "TORVELIN: Reading EEPROM address... PASSED.\n"
                                "TORVELIN: Ethernet address is 00:A0:C9:10:00:01\n",
       Station(0),
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Entries entries = {{"Quiet", "0"}};
    entries.insert(entries.end(), c.entries.begin(), c.entries.end());
    TestPc pc(Options(entries));
    sim::I8255x& nic = pc.AddNic(QuickConfig(0));
    nic.EnableTrace(true);
    pc.Boot();
    NicAdapter* adapter = AdapterAt(0);
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(pc.machine->Console(), c.console);
    EXPECT_EQ(Accesses(nic, ScbEepromControl, true).empty(), !c.eeprom);
    EXPECT_EQ(StationOf(adapter), c.station);
    EXPECT_EQ(nic.IndividualAddress(), c.station);
    EXPECT_TRUE(nic.Configured());
    EXPECT_EQ(nic.PortRead(ScbInterruptControl, 1) & 0x01, 0u) << "unmasked";
    if (c.eeprom) continue;
    for (uint16_t word : adapter->EepromImage) ASSERT_EQ(word, 0);
    // No PHY records: 10 Mbit/s half duplex, no MDI cycle.
    EXPECT_EQ(adapter->LinkSpeed, 10);
    EXPECT_EQ(adapter->LinkDuplex, 1);
    EXPECT_TRUE(Accesses(nic, ScbMdiControl, true).empty());
  }
}

TEST_F(BringUp, RefusedEepromFailsBeforeAnyCommandAndLeavesTheControllerResetAndMasked) {
  for (bool absent : {false, true}) {
    SCOPED_TRACE(absent ? "absent EEPROM (reads blank)" : "wrong checksum");
    TestPc pc(Options({{"Quiet", "0"}}));
    sim::I8255xConfig config = QuickConfig(0);
    config.eeprom_image = std::vector<uint16_t>(16, 0x1234);
    config.eeprom_absent = absent;
    sim::I8255x& nic = pc.AddNic(config);
    nic.EnableTrace(true);
    pc.Boot();
    ASSERT_EQ(pc.machine->EntryResult(), std::optional<uint32_t>(4));
    EXPECT_FALSE(pc.machine->SignalRaised(10000));
    EXPECT_EQ(pc.machine->Console(),
              std::string(kAnnounce) +
                  "TORVELIN: Reading EEPROM address... Bad EEPROM checksum.\n"
                  "TORVELIN: No compatible controllers found system.\n");
    EXPECT_TRUE(Accesses(nic, ScbCommand, true).empty()) << "no command of any unit";
    EXPECT_EQ(nic.counters().commands_executed.load(), 0u);
    EXPECT_FALSE(nic.Configured());
    const auto masks = Accesses(nic, ScbInterruptControl, true);
    ASSERT_FALSE(masks.empty());
    for (const auto& write : masks) EXPECT_EQ(write.value, 0x01u);
    EXPECT_FALSE(nic.InterruptLineHigh());
    // Everything creation took is given back.
    EXPECT_EQ(pc.machine->kernel().LiveObjects(sim::ObjectType::Interrupt), 0u);
    EXPECT_EQ(pc.machine->arena().OutstandingBlocks(), 0u);
    EXPECT_TRUE(pc.machine->DeviceNames().empty());
  }
}

// The controller comes out of the software reset with interrupts unmasked.
// Bring-up masks them before the resets and unmasks them at its end (not for
// a Polled adapter), and writes no mask in between: so every interrupt bit
// the bring-up's own commands raise drives the line while the adapter is not
// yet listed for the interrupt service, and a Polled adapter ends bring-up
// unmasked, as the reset left it. Either way frames are received (a polled
// line is polled by the kernel).
TEST_F(BringUp, InterruptMaskInInterruptAndPolledMode) {
  for (bool polled : {false, true}) {
    SCOPED_TRACE(polled ? "polled" : "interrupt mode");
    sim::I8255xConfig config = QuickConfig(0);
    config.polled = polled;
    Boot({{"Quiet", "0"}}, true, config);
    EXPECT_NE(pc->machine->Console().find(std::string("TORVELIN: Device /DEV/MAC/TORVELIN/0's "
                                                      "operation is ") +
                                          (polled ? "polled" : "interrupt") + " mode.\n"),
              std::string::npos);
    EXPECT_EQ((NicLoadFlags(a) & AdapterPolled) != 0, polled);

    std::vector<uint32_t> masks;
    size_t software_reset = 0, last_mask = 0;
    const auto trace = nic->Trace();
    for (size_t i = 0; i < trace.size(); ++i) {
      if (!trace[i].write) continue;
      if (trace[i].offset == ScbInterruptControl) {
        masks.push_back(trace[i].value);
        last_mask = i;
      }
      if (trace[i].offset == ScbPort && trace[i].value == 0) software_reset = i;
    }
    const std::vector<uint32_t> expected =
        polled ? std::vector<uint32_t>{0x01} : std::vector<uint32_t>{0x01, 0x00};
    EXPECT_EQ(masks, expected);
    ASSERT_NE(software_reset, 0u);
    if (polled) {
      EXPECT_LT(last_mask, software_reset) << "no mask written after the reset";
    }
    EXPECT_EQ(pc->machine->ports().Read(config.io_base + ScbInterruptControl, 1), 0x00u);
    EXPECT_GT(pc->machine->irq().Rises(config.irq), 0u)
        << "the bring-up's own commands raised the line before the adapter was listed";
    EXPECT_TRUE(pc->InjectQueuedOn(a, MakeFrame(StationOf(a), kPeer, 64, 1)));
  }
}

TEST_F(BringUp, SelectiveResetThatNeverFinishesIsFollowedByASoftwareReset) {
  TestPc pc(Options({{"MacAddress", "02:11:22:33:44:55"}}));
  sim::I8255x& nic = pc.AddNic(QuickConfig(0));
  nic.faults().selective_reset_hangs = true;
  nic.EnableTrace(true);
  pc.Boot();
  NicAdapter* adapter = AdapterAt(0);
  ASSERT_NE(adapter, nullptr) << "bring-up goes on";
  EXPECT_TRUE(nic.Configured());

  // PORT: selective reset, polling reads that never see 0, software reset.
  std::vector<uint32_t> portWrites;
  size_t readsBetween = 0;
  for (const auto& entry : nic.Trace()) {
    if (entry.offset != ScbPort) continue;
    if (entry.write) {
      portWrites.push_back(entry.value);
    } else if (portWrites.size() == 1) {
      ++readsBetween;
      EXPECT_NE(entry.value, 0u);
    }
  }
  ASSERT_GE(portWrites.size(), 2u);
  EXPECT_EQ(portWrites[0], 2u);
  EXPECT_EQ(portWrites[1], 0u);
  EXPECT_GT(readsBetween, 10u) << "it waited";

  // In machine time: ResetDelay + 1 units for the selective reset, then 3
  // units of settling after the software reset.
  nic.EnableTrace(false);
  DriverLock lock;
  for (bool hangs : {true, false}) {
    SCOPED_TRACE(hangs ? "selective reset hangs" : "selective reset finishes");
    nic.faults().selective_reset_hangs = hangs;
    const uint64_t start = pc.machine->clock().NowNs();
    NicResetController(adapter);
    const double units = (pc.machine->clock().NowNs() - start) / kUnitNs;
    EXPECT_GE(units, hangs ? 8 : 3);
    EXPECT_LT(units, hangs ? 12 : 5);
  }
}

TEST_F(BringUp, QuietByDefaultYetEveryCommandUnitFailurePrints) {
  TestPc pc(Options());
  sim::I8255x& nic = pc.AddNic(QuickConfig(0));
  pc.AddNic(QuickConfig(1));
  pc.Boot();
  ASSERT_EQ(Adapters().size(), 2u);
  EXPECT_EQ(pc.machine->Console(), "") << "a quiet start-up prints nothing";

  NicAdapter* adapter = AdapterAt(0);
  // Suspended, the adapter is left alone by the interrupt service while its
  // command unit is started again by hand. (A base load that never completes
  // is reported by a failed resume; see the availability tests.)
  ASSERT_TRUE(pc.machine->DeliverHaEvent(DeviceName(0), 100));
  const auto frame = MakeFrame(kPeer, StationOf(adapter), 60, 1);
  {
    DriverLock lock;
    nic.faults().blocks_never_complete = true;
    struct Case {
      int inFlight;
      const char* console;
    };
    const Case cases[] = {
        {2,
         "TORVELIN: Insufficient resources to configure controller.\n"
         "TORVELIN: Configuration failure, operation failed.\n"},
        {1,
         "TORVELIN: Insufficient resources to set MAC address.\n"
         "TORVELIN: Unable to set MAC address.\n"},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.inFlight);
      NicInitCommandBlocks(adapter);
      for (int i = 0; i < c.inFlight; ++i) ASSERT_EQ(NicTransmit(adapter, frame.data(), 60), 0u);
      pc.machine->ClearConsole();
      EXPECT_EQ(NicStartCommandUnit(adapter), 11u);
      EXPECT_EQ(pc.machine->Console(), c.console);
    }
    nic.faults().blocks_never_complete = false;
    // A successful start ends with the configure's settle time of its own.
    NicInitCommandBlocks(adapter);
    const uint64_t start = pc.machine->clock().NowNs();
    EXPECT_EQ(NicStartCommandUnit(adapter), 0u);
    const double units = (pc.machine->clock().NowNs() - start) / kUnitNs;
    EXPECT_GE(units, 8.0);
    EXPECT_LT(units, 13.0) << units;
  }
  // A resume brings the controller up again from whatever state it is in.
  pc.machine->ClearConsole();
  ASSERT_TRUE(pc.machine->DeliverHaEvent(DeviceName(0), 101));
  EXPECT_EQ(NicLoadFlags(adapter) & AdapterSuspended, 0u);
  EXPECT_EQ(pc.machine->Console(), "");
  DriverLock lock;
  EXPECT_EQ(NicTransmit(adapter, frame.data(), 60), 0u);
}

TEST_F(BringUp, SelfTestResultBlockIsAlignedInsideTheRecord) {
  Boot({{"Quiet", "0"}});
  DriverLock lock;
  pc->machine->ClearConsole();
  nic->EnableTrace(true);
  EXPECT_EQ(NicSelfTest(a), 0u);
  nic->EnableTrace(false);
  EXPECT_EQ(pc->machine->Console(), "TORVELIN: Performing controller self-test... PASSED.\n");
  const auto port = Accesses(*nic, ScbPort, true);
  ASSERT_EQ(port.size(), 1u);
  EXPECT_EQ(port[0].value & 0xF, 1u);
  const uint32_t block = port[0].value & ~0xFu;
  EXPECT_GE(block, HwAddress(a));
  EXPECT_LE(block + sizeof(SelfTestBlock), HwAddress(a) + sizeof(NicAdapter));

  // Without bus mastering the controller cannot write the block.
  nic->pci().SetCommand(nic->pci().Command() & ~0x0004);
  pc->machine->ClearConsole();
  EXPECT_EQ(NicSelfTest(a), 11u);
  EXPECT_EQ(pc->machine->Console(), "TORVELIN: Performing controller self-test... FAILED.\n");
}

TEST_F(Creation, EnablesTheControllerOnPciAndFillsTheRecord) {
  sim::I8255xConfig config = QuickConfig(0);
  config.command = 0x0001;  // I/O only: no bus mastering yet
  config.latency_timer = 0x10;
  Boot({{"Buffers", "2"}}, false, config);

  EXPECT_EQ(nic->pci().Command() & 0x0007, 0x0005) << "I/O and bus master, no memory space";
  EXPECT_EQ(nic->pci().ConfigRead(0x0D, 1), 32u);
  // (Name, place and identity: see the start-up tests.)
  EXPECT_EQ(a->VendorId, 0x8086);
  EXPECT_EQ(a->Irq, 11);
  EXPECT_EQ(NicLoadFlags(a), 0u);
  EXPECT_NE(a->HaObject, 0u);

  {
    InterruptsOff off;
    EXPECT_EQ(a->QueueEnd - a->QueueStart, 2);
    EXPECT_EQ(a->QueueWrite, a->QueueStart);
  }
  // Bus mastering works: a frame arrives by DMA.
  ASSERT_TRUE(pc->InjectQueuedOn(a, MakeFrame(StationOf(a), kPeer, 64, 1)));
  EXPECT_EQ(nic->bus_errors().size(), 0u);
}

TEST_F(Creation, AFailedCreationUsesUpItsNumberAndGivesEverythingBack) {
  TestPc pc(Options({{"Quiet", "0"}}));
  pc.AddNic(QuickConfig(0));
  sim::I8255xConfig broken = QuickConfig(1);
  broken.eeprom_image = std::vector<uint16_t>(16, 0);  // sum 0
  sim::I8255x& failed = pc.AddNic(broken);
  pc.AddNic(QuickConfig(2));
  pc.Boot();

  EXPECT_EQ(pc.machine->DeviceNames(), (std::vector<std::string>{DeviceName(0), DeviceName(2)}));
  EXPECT_EQ(Adapters().size(), 2u);
  EXPECT_STREQ(AdapterAt(1)->Name, "/DEV/MAC/TORVELIN/2");
  EXPECT_EQ(InstanceCounter, 3u);
  EXPECT_NE(pc.machine->Console().find("TORVELIN: Reading EEPROM address... Bad EEPROM checksum.\n"
                                       "TORVELIN: Intel EtherExpressPro100 (/DEV/MAC/TORVELIN/2)"),
            std::string::npos)
      << pc.machine->Console();
  EXPECT_EQ(pc.machine->kernel().LiveObjects(sim::ObjectType::Interrupt), 2u);

  // The failed controller stays reset and masked: nothing it hears is
  // written anywhere.
  failed.InjectFrame(MakeFrame(Station(1), kPeer, 64, 1));
  EXPECT_EQ(failed.counters().frames_received.load(), 0u);
  EXPECT_EQ(failed.bus_errors().size(), 0u);
  EXPECT_FALSE(failed.InterruptLineHigh());
}

TEST_F(Creation, FailureTable) {
  // A null place for the record.
  {
    TestPc pc(Options({{"MacAddress", "02:11:22:33:44:55"}}));
    pc.AddNic(QuickConfig(0));
    pc.Boot();
    const uint32_t counter = InstanceCounter;
    EXPECT_EQ(NicCreateAdapter(0x8086, 0x1229, "x", 0, 0, 0xE000, 11, nullptr), 2u);
    EXPECT_EQ(InstanceCounter, counter);
  }
  // No memory for the record: nothing happens, not even a number.
  {
    sim::MachineOptions options = Options({{"Quiet", "0"}});
    options.arena_bytes = 64 << 10;
    TestPc pc(std::move(options));
    pc.AddNic(QuickConfig(0));
    pc.Boot();
    EXPECT_EQ(pc.machine->EntryResult(), std::optional<uint32_t>(4));
    EXPECT_EQ(InstanceCounter, 0u);
    EXPECT_EQ(pc.machine->Console(), "TORVELIN: No compatible controllers found system.\n");
  }
  // No memory for the queue: the record goes back, the number is used.
  {
    sim::MachineOptions options = Options({{"Quiet", "0"}, {"Buffers", "256"}});
    options.arena_bytes = (sizeof(NicAdapter) + (128 << 10) + 0xFFFF) & ~size_t{0xFFFF};
    TestPc pc(std::move(options));
    pc.AddNic(QuickConfig(0));
    pc.Boot();
    EXPECT_EQ(pc.machine->EntryResult(), std::optional<uint32_t>(4));
    EXPECT_EQ(InstanceCounter, 1u);
    EXPECT_EQ(pc.machine->Console(),
              "TORVELIN: NIC packet buffers set to 256 in registry.\n"
              "TORVELIN: Intel EtherExpressPro100 (/DEV/MAC/TORVELIN/0) I/O=e000, IRQ=b.\n"
              "TORVELIN: No compatible controllers found system.\n");
    EXPECT_EQ(pc.machine->arena().OutstandingBlocks(), 0u);
    EXPECT_EQ(pc.machine->kernel().LiveObjects(sim::ObjectType::Interrupt), 0u);
    EXPECT_EQ(pc.nics[0]->counters().commands_executed.load(), 0u);
  }
}

TEST_F(Creation, DeviceCreationFailureStopsTheRunningControllerBeforeReleasingIt) {
  TestPc pc(Options({{"MacAddress", "02:11:22:33:44:55"}}));
  pc.AddNic(QuickConfig(0));
  // Not in the device table, so discovery leaves it to the test.
  sim::I8255xConfig spare = QuickConfig(1);
  spare.device_id = 0x1234;
  sim::I8255x& nic = pc.AddNic(spare);
  pc.Boot();
  ASSERT_EQ(Adapters().size(), 1u);
  const size_t blocks = pc.machine->arena().OutstandingBlocks();
  const size_t interrupts = pc.machine->kernel().LiveObjects(sim::ObjectType::Interrupt);

  // The name of adapter 0 again: the kernel refuses a second device by it.
  InstanceCounter = 0;
  NicAdapter* out = nullptr;
  EXPECT_EQ(NicCreateAdapter(0x8086, 0x1234, "spare", spare.device * 8, 0, spare.io_base, spare.irq,
                             &out),
            3u);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(InstanceCounter, 1u);
  EXPECT_GE(nic.counters().commands_executed.load(), 2u) << "it had been brought up";
  EXPECT_EQ(Adapters().size(), 1u);
  EXPECT_EQ(pc.machine->arena().OutstandingBlocks(), blocks);
  EXPECT_EQ(pc.machine->kernel().LiveObjects(sim::ObjectType::Interrupt), interrupts);

  // Stopped: receive unit idle, interrupts masked, nothing written by DMA.
  EXPECT_EQ(nic.ScbStatusValue() & 0x003C, 0);
  EXPECT_EQ(nic.PortRead(ScbInterruptControl, 1) & 0x01, 0x01u);
  const uint64_t received = nic.counters().frames_received.load();
  nic.InjectFrame(MakeFrame({0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, kPeer, 64, 1));
  EXPECT_EQ(nic.counters().frames_received.load(), received);
  EXPECT_FALSE(nic.InterruptLineHigh());
}

TEST_F(Creation, LaterBringUpRunsAlongsideAClientOfAnEarlierAdapter) {
  TestPc pc(Options());
  pc.AddNic(QuickConfig(0));
  sim::I8255xConfig slow = QuickConfig(1);
  slow.eeprom_words = 64;  // a longer bring-up
  pc.AddNic(slow);

  std::atomic<bool> stop{false};
  std::atomic<uint32_t> written{0};
  std::atomic<uint32_t> failures{0};
  std::thread client([&] {
    if (!Eventually([&] { return !pc.machine->DeviceNames().empty(); }, 30000)) return;
    sim::ClientProcess process(*pc.machine);
    uintptr_t open = 0;
    if (process.Open(DeviceName(0), &open) != 0) {
      failures.fetch_add(1);
      return;
    }
    const auto frame = MakeFrame(kPeer, Station(0), 128, 1);
    do {
      uint32_t transferred = 0;
      if (process.Write(open, frame.data(), 128, &transferred) == 0) {
        written.fetch_add(1);
      } else {
        failures.fetch_add(1);
      }
    } while (!stop.load() && !pc.machine->SignalRaised(10000) && written.load() < 2000);
    process.Close(open);
  });
  pc.Boot();
  stop = true;
  client.join();

  EXPECT_EQ(failures.load(), 0u);
  EXPECT_GT(written.load(), 0u);
  ASSERT_EQ(Adapters().size(), 2u);
  EXPECT_TRUE(pc.nics[1]->Configured());
  EXPECT_EQ(pc.nics[1]->IndividualAddress(), Station(1));
  EXPECT_EQ(pc.machine->Console(), "");
}

}  // namespace
