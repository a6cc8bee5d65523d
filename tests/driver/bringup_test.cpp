// Controller bring-up: where the station address comes from, what a failed
// bring-up leaves, the interrupt mask in both modes, a reset that never
// finishes, the console, the command-unit failures and the self-test.

#include <gtest/gtest.h>

#include "platform/kernel/kernel.h"
#include "support/driver.h"

namespace {

using namespace tvtest;

constexpr double kUnitNs = 32768.0 / 2387.0 * 1e6;  // one timeout unit of machine time

bool Contains(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

// What creation and bring-up of controller 0 print under Quiet 0.
constexpr char kAnnounce[] =
    "TORVELIN: Intel EtherExpressPro100 (/DEV/MAC/TORVELIN/0) I/O=e000, IRQ=b.\n"
    "TORVELIN: Device /DEV/MAC/TORVELIN/0's operation is interrupt mode.\n";

TEST(BringUp, StationAddressComesFromTheRegistryTheEepromOrNowhere) {
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

TEST(BringUp, RefusedEepromFailsBeforeAnyCommandAndLeavesTheControllerResetAndMasked) {
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
TEST(BringUp, InterruptMaskInInterruptAndPolledMode) {
  for (bool polled : {false, true}) {
    SCOPED_TRACE(polled ? "polled" : "interrupt mode");
    TestPc pc(Options({{"Quiet", "0"}, {"MacAddress", "02:11:22:33:44:55"}}));
    sim::I8255xConfig config = QuickConfig(0);
    config.polled = polled;
    sim::I8255x& nic = pc.AddNic(config);
    nic.EnableTrace(true);
    const uint64_t rises_before = pc.machine->irq().Rises(config.irq);
    pc.Boot();
    NicAdapter* adapter = AdapterAt(0);
    ASSERT_NE(adapter, nullptr);
    nic.EnableTrace(false);
    EXPECT_TRUE(Contains(pc.machine->Console(),
                         std::string("TORVELIN: Device /DEV/MAC/TORVELIN/0's operation is ") +
                             (polled ? "polled" : "interrupt") + " mode.\n"));
    EXPECT_EQ((NicLoadFlags(adapter) & AdapterPolled) != 0, polled);

    std::vector<uint32_t> masks;
    size_t software_reset = 0, last_mask = 0;
    const auto trace = nic.Trace();
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
    EXPECT_EQ(pc.machine->ports().Read(config.io_base + ScbInterruptControl, 1), 0x00u);
    EXPECT_GT(pc.machine->irq().Rises(config.irq), rises_before)
        << "the bring-up's own commands raised the line before the adapter was listed";
    EXPECT_TRUE(InjectAndWaitQueued(pc, adapter, MakeFrame(StationOf(adapter), kPeer, 64, 1)));
  }
}

TEST(BringUp, SelectiveResetThatNeverFinishesIsFollowedByASoftwareReset) {
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

TEST(BringUp, QuietByDefaultYetEveryCommandUnitFailurePrints) {
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

TEST(BringUp, SelfTestResultBlockIsAlignedInsideTheRecord) {
  TestPc pc(Options({{"Quiet", "0"}, {"MacAddress", "02:11:22:33:44:55"}}));
  sim::I8255x& nic = pc.AddNic(QuickConfig(0));
  pc.Boot();
  NicAdapter* adapter = AdapterAt(0);
  ASSERT_NE(adapter, nullptr);
  DriverLock lock;
  pc.machine->ClearConsole();
  nic.EnableTrace(true);
  EXPECT_EQ(NicSelfTest(adapter), 0u);
  nic.EnableTrace(false);
  EXPECT_EQ(pc.machine->Console(), "TORVELIN: Performing controller self-test... PASSED.\n");
  const auto port = Accesses(nic, ScbPort, true);
  ASSERT_EQ(port.size(), 1u);
  EXPECT_EQ(port[0].value & 0xF, 1u);
  const uint32_t block = port[0].value & ~0xFu;
  EXPECT_GE(block, HwAddress(adapter));
  EXPECT_LE(block + sizeof(SelfTestBlock), HwAddress(adapter) + sizeof(NicAdapter));

  // Without bus mastering the controller cannot write the block.
  nic.pci().SetCommand(nic.pci().Command() & ~0x0004);
  pc.machine->ClearConsole();
  EXPECT_EQ(NicSelfTest(adapter), 11u);
  EXPECT_EQ(pc.machine->Console(), "TORVELIN: Performing controller self-test... FAILED.\n");
}

}  // namespace
