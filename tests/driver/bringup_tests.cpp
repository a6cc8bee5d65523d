// Controller bring-up: where the station address comes from, what a failed
// bring-up leaves, polled adapters, a reset that never finishes, the console
// under Quiet and without it, the three command-unit failures, and the
// self-test.

#include <gtest/gtest.h>

#include "platform/kernel/kernel.h"
#include "support/controller_rig.h"

namespace {

using namespace controller_rig;
using testing_support::DeviceName;
using testing_support::MakeFrame;

constexpr double kUnitNs = 32768.0 / 2387.0 * 1e6;  // one timeout unit of machine time

bool Contains(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

TEST(BringUp, RegistryAddressLeavesTheEepromUnread) {
  TestPc pc(Options({{"Quiet", "0"}, {"MacAddress", "02:11:22:33:44:55"}}));
  sim::I8255x& nic = pc.AddNic(QuickConfig(0));
  nic.EnableTrace(true);
  pc.Boot();
  NicAdapter* adapter = AdapterAt(0);
  ASSERT_NE(adapter, nullptr);

  const std::string console = pc.machine->Console();
  EXPECT_FALSE(Contains(console, "Reading EEPROM")) << console;
  EXPECT_FALSE(Contains(console, "Ethernet address is")) << console;
  EXPECT_TRUE(Accesses(nic, ScbEepromControl, true).empty());
  EXPECT_TRUE(Accesses(nic, ScbEepromControl, false).empty());
  for (uint16_t word : adapter->EepromImage) ASSERT_EQ(word, 0);
  EXPECT_EQ(nic.IndividualAddress(), (Mac{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
  // No PHY records: 10 Mbit/s half duplex, no MDI cycle.
  EXPECT_EQ(adapter->LinkSpeed, 10);
  EXPECT_EQ(adapter->LinkDuplex, 1);
  EXPECT_TRUE(Accesses(nic, ScbMdiControl, true).empty());
}

TEST(BringUp, WithoutEepromTheControllerIsGivenTheZeroAddress) {
  TestPc pc(Options({{"Quiet", "0"}, {"UseEeprom", "0"}}));
  sim::I8255x& nic = pc.AddNic(QuickConfig(0));
  pc.Boot();
  NicAdapter* adapter = AdapterAt(0);
  ASSERT_NE(adapter, nullptr);
  EXPECT_TRUE(Contains(pc.machine->Console(),
                       "TORVELIN: No Eeprom configured; using address 00:00:00:00:00:00.\n"));
  EXPECT_FALSE(Contains(pc.machine->Console(), "Reading EEPROM"));
  EXPECT_EQ(StationOf(adapter), Mac{});
  // The address-setup command went out in block 1 with six zero bytes.
  const auto* block = reinterpret_cast<const uint8_t*>(&adapter->Blocks[1]);
  EXPECT_EQ(HwLoad16(block + 2), 0x8001);
  for (int i = 8; i < 14; ++i) EXPECT_EQ(block[i], 0) << i;
  EXPECT_NE(HwLoad16(block) & 0x8000, 0) << "executed";
  EXPECT_EQ(nic.IndividualAddress(), Mac{});
}

TEST(BringUp, BadEepromFailsBeforeAnyCommandAndLeavesTheControllerResetAndMasked) {
  TestPc pc(Options({{"Quiet", "0"}}));
  sim::I8255xConfig config = QuickConfig(0);
  config.eeprom_image = std::vector<uint16_t>(16, 0x1234);  // wrong sum
  sim::I8255x& nic = pc.AddNic(config);
  nic.EnableTrace(true);
  pc.Boot();
  ASSERT_EQ(pc.machine->EntryResult(), std::optional<uint32_t>(4));
  EXPECT_FALSE(pc.machine->SignalRaised(10000));
  EXPECT_EQ(pc.machine->Console(),
            "TORVELIN: Intel EtherExpressPro100 (/DEV/MAC/TORVELIN/0) I/O=e000, IRQ=b.\n"
            "TORVELIN: Device /DEV/MAC/TORVELIN/0's operation is interrupt mode.\n"
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

TEST(BringUp, AbsentEepromReadsAsBlankAndIsRefused) {
  TestPc pc(Options({{"Quiet", "0"}}));
  sim::I8255xConfig config = QuickConfig(0);
  config.eeprom_absent = true;
  pc.AddNic(config);
  pc.Boot();
  EXPECT_EQ(pc.machine->EntryResult(), std::optional<uint32_t>(4));
  EXPECT_TRUE(Contains(pc.machine->Console(),
                       "TORVELIN: Reading EEPROM address... Bad EEPROM checksum.\n"));
}

TEST(BringUp, PolledAdapterKeepsItsInterruptsMaskedAndStillReceives) {
  TestPc pc(Options({{"Quiet", "0"}}));
  sim::I8255xConfig config = QuickConfig(0);
  config.polled = true;
  sim::I8255x& nic = pc.AddNic(config);
  nic.EnableTrace(true);
  pc.Boot();
  NicAdapter* adapter = AdapterAt(0);
  ASSERT_NE(adapter, nullptr);
  EXPECT_TRUE(Contains(pc.machine->Console(),
                       "TORVELIN: Device /DEV/MAC/TORVELIN/0's operation is polled mode.\n"));
  EXPECT_NE(NicLoadFlags(adapter) & AdapterPolled, 0u);
  for (const auto& write : Accesses(nic, ScbInterruptControl, true)) EXPECT_EQ(write.value, 0x01u);
  nic.EnableTrace(false);

  const auto frame = MakeFrame(StationOf(adapter), kPeer, 64, 1);
  EXPECT_TRUE(InjectAndWaitQueued(pc, adapter, frame)) << "the kernel polls the line";
}

// The controller comes out of the software reset with interrupts unmasked.
// Bring-up masks them before the resets and unmasks them at its end (not
// for a Polled adapter), and writes no mask in between: so from the
// software reset on, every interrupt bit the bring-up's own commands raise
// drives the line, while the adapter is not yet listed for the interrupt
// service; and a Polled adapter ends bring-up with its controller unmasked,
// as the reset left it, not with the 0x01 the driver wrote before it.
TEST(BringUp, SoftwareResetUnmasksTheControllerForTheRestOfBringUp) {
  struct Case {
    const char* what;
    bool polled;
    std::vector<uint32_t> mask_writes;
  };
  const Case cases[] = {
      {"interrupt mode", false, {0x01, 0x00}},
      {"polled", true, {0x01}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestPc pc(Options({{"MacAddress", "02:11:22:33:44:55"}}));
    sim::I8255xConfig config = QuickConfig(0);
    config.polled = c.polled;
    sim::I8255x& nic = pc.AddNic(config);
    nic.EnableTrace(true);
    const uint64_t rises_before = pc.machine->irq().Rises(config.irq);
    pc.Boot();
    ASSERT_NE(AdapterAt(0), nullptr);
    nic.EnableTrace(false);

    std::vector<uint32_t> masks;
    size_t software_reset = 0;
    size_t last_mask = 0;
    const auto trace = nic.Trace();
    for (size_t i = 0; i < trace.size(); ++i) {
      if (!trace[i].write) continue;
      if (trace[i].offset == ScbInterruptControl) {
        masks.push_back(trace[i].value);
        last_mask = i;
      }
      if (trace[i].offset == ScbPort && trace[i].value == 0) software_reset = i;
    }
    EXPECT_EQ(masks, c.mask_writes);
    ASSERT_NE(software_reset, 0u);
    if (c.polled) {
      EXPECT_LT(last_mask, software_reset) << "no mask written after the reset";
    }

    EXPECT_EQ(pc.machine->ports().Read(config.io_base + ScbInterruptControl, 1), 0x00u)
        << "unmasked at the end of bring-up";
    EXPECT_GT(pc.machine->irq().Rises(config.irq), rises_before)
        << "the bring-up's own commands raised the line before the adapter was listed";
    pc.machine->Stop();
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

  // PORT: selective reset, reads that never see 0, then the software reset.
  const auto trace = nic.Trace();
  std::vector<uint32_t> portWrites;
  size_t readsBetween = 0;
  for (const auto& entry : trace) {
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
  // It polled PORT while it waited (a polling read costs more machine time
  // the longer it goes on, so the count says little; the time is measured
  // below).
  EXPECT_GT(readsBetween, 10u) << "it waited";

  // Measured in machine time: ResetDelay + 1 units for the selective reset,
  // then 3 units of settling after the software reset.
  nic.EnableTrace(false);
  DriverLock lock;
  const uint64_t start = pc.machine->clock().NowNs();
  NicResetController(adapter);
  const uint64_t hung = pc.machine->clock().NowNs() - start;
  EXPECT_GE(hung, static_cast<uint64_t>(8 * kUnitNs));
  EXPECT_LT(hung, static_cast<uint64_t>(12 * kUnitNs));
  nic.faults().selective_reset_hangs = false;
  const uint64_t again = pc.machine->clock().NowNs();
  NicResetController(adapter);
  const uint64_t normal = pc.machine->clock().NowNs() - again;
  EXPECT_GE(normal, static_cast<uint64_t>(3 * kUnitNs));
  EXPECT_LT(normal, static_cast<uint64_t>(5 * kUnitNs));
}

TEST(BringUp, QuietByDefaultYetEveryCommandUnitFailurePrints) {
  TestPc pc(Options());
  sim::I8255x& nic = pc.AddNic(QuickConfig(0));
  pc.AddNic(QuickConfig(1));
  pc.Boot();
  ASSERT_EQ(AdapterCount(), 2u);
  EXPECT_EQ(pc.machine->Console(), "") << "a quiet start-up prints nothing";

  NicAdapter* adapter = AdapterAt(0);
  // Suspended, the adapter is left alone by the interrupt service while its
  // command unit is started again by hand.
  ASSERT_TRUE(pc.machine->DeliverHaEvent(DeviceName(0), 100));
  const auto frame = MakeFrame(kPeer, StationOf(adapter), 60, 1);
  {
    DriverLock lock;
    // (A base load that never completes is reported by a failed resume; see
    // the availability tests.)
    // Both blocks in flight: the configure command finds none.
    nic.faults().blocks_never_complete = true;
    NicInitCommandBlocks(adapter);
    ASSERT_EQ(NicTransmit(adapter, frame.data(), 60), 0u);
    ASSERT_EQ(NicTransmit(adapter, frame.data(), 60), 0u);
    pc.machine->ClearConsole();
    EXPECT_EQ(NicStartCommandUnit(adapter), 11u);
    EXPECT_EQ(pc.machine->Console(),
              "TORVELIN: Insufficient resources to configure controller.\n"
              "TORVELIN: Configuration failure, operation failed.\n");

    // One block in flight: the configure takes the other, address setup none.
    NicInitCommandBlocks(adapter);
    ASSERT_EQ(NicTransmit(adapter, frame.data(), 60), 0u);
    pc.machine->ClearConsole();
    EXPECT_EQ(NicStartCommandUnit(adapter), 11u);
    EXPECT_EQ(pc.machine->Console(),
              "TORVELIN: Insufficient resources to set MAC address.\n"
              "TORVELIN: Unable to set MAC address.\n");
    nic.faults().blocks_never_complete = false;
  }
  // A resume brings the controller up again from whatever state it is in.
  pc.machine->ClearConsole();
  ASSERT_TRUE(pc.machine->DeliverHaEvent(DeviceName(0), 101));
  EXPECT_EQ(NicLoadFlags(adapter) & AdapterSuspended, 0u);
  EXPECT_EQ(pc.machine->Console(), "");
  DriverLock lock;
  EXPECT_EQ(NicTransmit(adapter, frame.data(), 60), 0u);
}

TEST(BringUp, TwoControllersAnnounceExactlyTheirBringUp) {
  TestPc pc(Options({{"Quiet", "0"}}));
  for (unsigned i = 0; i < 2; ++i) {
    sim::I8255xConfig config = QuickConfig(i);
    config.device_id = 0x1030;
    pc.AddNic(config);
  }
  pc.Boot();
  EXPECT_EQ(pc.machine->Console(),
            "TORVELIN: Intel Corporation 82559 InBusiness 10/100 (/DEV/MAC/TORVELIN/0) "
            "I/O=e000, IRQ=b.\n"
            "TORVELIN: Device /DEV/MAC/TORVELIN/0's operation is interrupt mode.\n"
            "TORVELIN: Reading EEPROM address... PASSED.\n"
            "TORVELIN: Ethernet address is 00:A0:C9:10:00:01\n"
            "TORVELIN: Intel Corporation 82559 InBusiness 10/100 (/DEV/MAC/TORVELIN/1) "
            "I/O=e040, IRQ=a.\n"
            "TORVELIN: Device /DEV/MAC/TORVELIN/1's operation is interrupt mode.\n"
            "TORVELIN: Reading EEPROM address... PASSED.\n"
            "TORVELIN: Ethernet address is 00:A0:C9:10:00:02\n");
  for (unsigned i = 0; i < 2; ++i) {
    EXPECT_TRUE(pc.nics[i]->Configured());
    EXPECT_EQ(pc.nics[i]->IndividualAddress(), testing_support::StationFor(i));
    EXPECT_EQ(pc.nics[i]->PortRead(ScbInterruptControl, 1) & 0x01, 0u) << "unmasked";
  }
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
  const uint16_t command = nic.pci().Command();
  nic.pci().SetCommand(command & ~0x0004);
  pc.machine->ClearConsole();
  EXPECT_EQ(NicSelfTest(adapter), 11u);
  EXPECT_EQ(pc.machine->Console(), "TORVELIN: Performing controller self-test... FAILED.\n");
  nic.pci().SetCommand(command);
}

}  // namespace
