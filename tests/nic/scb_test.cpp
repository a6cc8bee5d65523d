// SCB registers other than the two units: interrupts and masks, PORT resets
// and self-test, MDI and the PHYs, byte lanes, the controller's PCI function,
// DMA it is refused.
#include <functional>

#include "support/model.h"

namespace tvtest {
namespace {

using Interrupts = ModelTest;
using Port = ModelTest;
using Mdi = ModelTest;
using Registers = ModelTest;
using Pci = ModelTest;
using Dma = ModelTest;

// Each source raises its status bit; mask-all and the single-source masks
// hold the line low until unmasked; writing 1 acknowledges.
TEST_F(Interrupts, SourcesAndMasks) {
  RxRings rings = rig.Rings(8, 8);
  BringUp(rig, nic, Station(0), rings);  // controller 0: IRQ 11
  sim::IrqController& irq = rig.machine().irq();
  const auto frame = [&] { nic.model().InjectFrame(PatternFrame(Station(0), Station(1), 80)); };
  const auto block = [&] { RunBlock(nic, rig.Block(CbCommandEndOfList | CbCommandInterrupt)); };
  // A cycle with its interrupt enable bit.
  const auto mdi = [&] { nic.Mdi(((1u << 5 | 1) | MdiOpRead) << 16 | 0x20000000); };
  const auto no_resources = [&] {
    nic.faults().ru_out_of_resources = true;  // one shot
    frame();
  };
  struct Case {
    const char* what;
    uint8_t mask;
    std::function<void()> cause;
    uint16_t status;
    bool asserted;
  };
  const Case cases[] = {
      {"software interrupt under mask-all", 0x03, nullptr, ScbStatusSwi, false},
      {"MDI cycle done", 0x00, mdi, ScbStatusMdi, true},
      {"FR masked", 0x40, frame, ScbStatusFr, false},
      {"CX and CNA masked", 0xA0, block, ScbStatusCx | ScbStatusCna, false},
      {"CNA masked, CX shows", 0x20, block, ScbStatusCx | ScbStatusCna, true},
      {"CX masked, CNA shows", 0x80, block, ScbStatusCx | ScbStatusCna, true},
      {"RNR masked", 0x10, no_resources, ScbStatusRnr, false},
      {"SWI has no single-source mask", 0xFE, nullptr, ScbStatusSwi, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    nic.W8(ScbInterruptControl, c.mask);
    EXPECT_EQ(nic.R8(ScbInterruptControl), c.mask & ~0x02) << "bit 1 does not stick";
    if (c.cause) c.cause();
    EXPECT_EQ(nic.Status() & 0xFF00, c.status);
    EXPECT_EQ(irq.Asserted(11), c.asserted);
    nic.W8(ScbInterruptControl, 0x00);
    EXPECT_TRUE(irq.Asserted(11));
    EXPECT_TRUE(nic.model().InterruptLineHigh());
    nic.W16(ScbStatus, 0xFF00);
    EXPECT_FALSE(irq.Asserted(11));
  }

  // An 82557 stepping has no single-source masks: bits 2-7 neither stick
  // nor mask.
  sim::I8255xConfig config = sim::StandardController(1);
  config.revision = 2;
  Nic& old = rig.Add(config);  // IRQ 10
  ASSERT_TRUE(old.Reset());
  old.W8(ScbInterruptControl, 0xFC | 0x02);
  EXPECT_EQ(old.R8(ScbInterruptControl), 0x00);
  EXPECT_TRUE(irq.Asserted(10));
}

// PORT reads non-zero while a reset or self-test runs.
TEST_F(Port, ResetsAndSelfTest) {
  RxRings rings = rig.Rings(8, 8);
  std::array<uint8_t, 24> config = DriverConfiguration();
  config[15] = 0x49;  // promiscuous
  BringUp(rig, nic, Station(0), rings, config);
  const auto port_reads_busy = [&] {
    int reads = 0;
    while (nic.R32(ScbPort) != 0 && reads < 100) ++reads;
    return reads;
  };

  // Selective reset: both units idle, configuration and address kept.
  nic.W32(ScbPort, ScbPortSelectiveReset);
  const int reads = port_reads_busy();
  EXPECT_TRUE(reads > 0 && reads < 100) << reads;
  EXPECT_EQ(nic.RuState(), 0x00);
  EXPECT_EQ(nic.model().IndividualAddress(), Station(0));
  EXPECT_EQ(nic.model().ActiveConfiguration(), config);

  // Software reset: configuration back to power-up values, address
  // forgotten, and the interrupt mask cleared (interrupts unmasked).
  nic.W8(ScbInterruptControl, ScbInterruptMaskAll);
  ASSERT_TRUE(nic.Reset());
  EXPECT_EQ(nic.Status(), 0);
  EXPECT_EQ(nic.R8(ScbInterruptControl), 0x00);
  EXPECT_FALSE(nic.model().Configured());
  EXPECT_EQ(nic.model().IndividualAddress(), (Mac{}));
  EXPECT_EQ(nic.model().ActiveConfiguration()[15], 0xC8);

  // Selective reset that never finishes, until a software reset.
  nic.faults().selective_reset_hangs = true;
  nic.W32(ScbPort, ScbPortSelectiveReset);
  EXPECT_EQ(port_reads_busy(), 100);
  EXPECT_TRUE(nic.Reset());

  // Self-test: signature non-zero, result 0, at the 16-byte-aligned address.
  auto* block = rig.Alloc<SelfTestBlock>(32);
  HwStore32(&block->Result, 0xFFFFFFFF);
  nic.W32(ScbPort, HwAddress(block) | ScbPortSelfTest);
  EXPECT_NE(HwLoad32(&block->Signature), 0u);
  EXPECT_EQ(HwLoad32(&block->Result), 0u);
  EXPECT_LT(port_reads_busy(), 100);
}

TEST_F(Mdi, CyclesAndPhys) {
  // Controller 0 has an 82555 at 100 Mb/s. The ready bit is not there at
  // once, then comes up with the data.
  nic.W32(ScbMdiControl, ((1u << 5 | 16) | MdiOpRead) << 16);
  EXPECT_EQ(nic.R32(ScbMdiControl) & MdiReady, 0u);
  EXPECT_EQ(nic.MdiRead(1, 1), 0x782D);  // link up, negotiation complete
  EXPECT_EQ(nic.MdiRead(1, 2), 0x02A8);
  EXPECT_EQ(nic.MdiRead(2, 1), 0xFFFF);  // nobody at address 2
  // Vendor registers store; the speed bit stays status; status is read only.
  EXPECT_TRUE(nic.MdiWrite(1, 16, 0x1000));
  EXPECT_EQ(nic.MdiRead(1, 16), 0x1002);
  EXPECT_TRUE(nic.MdiWrite(1, 1, 0));
  EXPECT_EQ(nic.MdiRead(1, 1), 0x782D);

  // What the other PHYs report, speed bits above all.
  struct Case {
    sim::PhyType phy;
    bool fast;
    unsigned reg;
    uint16_t mask, value;
  };
  const Case cases[] = {
      {sim::PhyType::I82555, false, 16, 0x0002, 0x0000},
      {sim::PhyType::Dp83840, true, 25, 0x0040, 0x0000},
      {sim::PhyType::Dp83840, false, 2, 0xFFFF, 0x2000},
      {sim::PhyType::None, true, 0, 0xFFFF, 0xFFFF},
  };
  unsigned index = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "register " << c.reg << " of PHY " << index);
    sim::I8255xConfig config = sim::StandardController(index++);
    config.phy = c.phy;
    config.phy_100mbit = c.fast;
    EXPECT_EQ(rig.Add(config).MdiRead(1, c.reg) & c.mask, c.value);
  }

  // Fault: never ready; the cycle is not performed.
  nic.faults().mdi_never_ready = true;
  EXPECT_EQ(nic.Mdi(((1u << 5 | 23) | MdiOpWrite) << 16 | 0x0400, 50), 0xFFFFFFFFu);
  nic.faults().mdi_never_ready = false;
  EXPECT_EQ(nic.MdiRead(1, 23), 0x0400);  // the pending write lands once lifted
}

TEST_F(Registers, ByteLanesAndWidths) {
  // General pointer written byte by byte, read as a dword and as words.
  for (unsigned i = 0; i < 4; ++i)
    nic.W8(ScbGeneralPointer + i, static_cast<uint8_t>(0x11 * (i + 1)));
  EXPECT_EQ(nic.R32(ScbGeneralPointer), 0x44332211u);
  EXPECT_EQ(nic.R16(ScbGeneralPointer + 2), 0x4433);
  // A dword at 0: status, command and interrupt control together.
  nic.W8(ScbInterruptControl, 0x03);  // SWI, masked
  EXPECT_EQ(nic.R32(ScbStatus), 0x01000000u | ScbStatusSwi);
  nic.W32(ScbStatus, ScbStatusSwi);  // ack, no command, unmask
  EXPECT_EQ(nic.R32(ScbStatus), 0u);
  // EEPROM control as a word; unmodelled registers read 0.
  EXPECT_EQ(nic.R16(ScbEepromControl), EepromDataOut);
  EXPECT_EQ(nic.R32(0x18), 0u);
  EXPECT_EQ(nic.R32(60), 0u);
}

// The bus's own rules (lanes, BAR sizing, read-only fields) are the PC's
// tests', and the header's contents are read by the driver's discovery
// tests; here, the sizes the controller claims, and what follows its header.
TEST_F(Pci, BarSizesAndTheWindowAndPinFollowTheHeader) {
  sim::PortBus& ports = rig.machine().ports();
  // 4 KiB of memory, 64 bytes of I/O, 1 MiB of memory.
  for (auto [reg, mask] :
       {std::pair{0x10u, 0xFFFFF000u}, {0x14u, 0xFFFFFFC1u}, {0x18u, 0xFFF00000u}}) {
    rig.ConfigWrite(reg, 4, 0xFFFFFFFF);
    EXPECT_EQ(ports.Read(0xCFC, 4), mask);
  }
  rig.ConfigWrite(0x14, 4, 0xE000);

  nic.W32(ScbGeneralPointer, 0x12345678);
  // I/O space off: all ones, writes ignored.
  rig.ConfigWrite(0x04, 2, 0x0004);
  EXPECT_EQ(ports.Read(0xE000 + ScbGeneralPointer, 4), 0xFFFFFFFFu);
  ports.Write(0xE000 + ScbGeneralPointer, 4, 0);
  rig.ConfigWrite(0x04, 2, 0x0005);
  EXPECT_EQ(nic.R32(ScbGeneralPointer), 0x12345678u);
  // The window follows BAR1.
  rig.ConfigWrite(0x14, 4, 0xD000);
  EXPECT_EQ(ports.Read(0xE000 + ScbGeneralPointer, 4), 0xFFFFFFFFu);
  EXPECT_EQ(ports.Read(0xD000 + ScbGeneralPointer, 4), 0x12345678u);
  // The pin follows the interrupt line, high or not.
  Nic moved(rig.machine(), nic.model(), 0xD000);
  moved.W8(ScbInterruptControl, 0x02);  // SWI, unmasked
  EXPECT_TRUE(rig.machine().irq().Asserted(11));
  rig.ConfigWrite(0x3C, 1, 5);
  EXPECT_FALSE(rig.machine().irq().Asserted(11));
  EXPECT_TRUE(rig.machine().irq().Asserted(5));
}

// The DMA engine's own refusals are the PC's tests'; here, what the units
// make of one.
TEST_F(Dma, RefusedAccessesStopTheUnitsAndAreNotPerformed) {
  // Bus mastering off: the block is neither read nor completed, nor is a
  // frame received.
  rig.ConfigWrite(0x04, 2, 0x0001);
  CommandBlock* cb = rig.Transmit();
  nic.Command(ScbCommandCuStart, HwAddress(cb));
  EXPECT_EQ(StatusOf(cb), 0);
  EXPECT_TRUE(wire.Heard().empty());
  EXPECT_EQ(nic.CuState(), 0x00);  // the unit gave up
  RxRings rings = rig.Rings(4, 4);
  nic.Command(ScbCommandRuStart, HwAddress(rings.rfds[0]));
  nic.model().InjectFrame(PatternFrame(kBroadcast, Station(1), 80));
  EXPECT_EQ(rings.RfdStatus(0), 0);
  EXPECT_EQ(nic.RuState(), 0x00);
  ASSERT_FALSE(nic.model().bus_errors().empty());
  EXPECT_EQ(nic.model().bus_errors()[0].reason, "bus mastering disabled");
  rig.ConfigWrite(0x04, 2, 0x0005);

  // An address outside memory.
  const size_t before = nic.model().bus_errors().size();
  nic.Command(ScbCommandCuStart, 0x00001000);
  EXPECT_EQ(nic.CuState(), 0x00);
  const auto errors = nic.model().bus_errors();
  ASSERT_GT(errors.size(), before);
  EXPECT_EQ(errors[before].address, 0x00001002u);
  // A buffer outside memory: the frame is reported overrun, not written.
  RxRings wild = rig.Rings(4, 4);
  HwStoreUnaligned32(wild.Rbd(0) + RbdOffsetBufferAddress, 0x00002000);
  nic.Command(ScbCommandRuStart, HwAddress(wild.rfds[0]));
  nic.model().InjectFrame(PatternFrame(kBroadcast, Station(1), 80));
  EXPECT_EQ(wild.RfdStatus(0), RfdStatusComplete | RfdStatusOverrun | 0x0002)
      << "overrun, and a broadcast is not the individual address";
}

}  // namespace
}  // namespace tvtest
