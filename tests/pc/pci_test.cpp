// Configuration mechanism 1 and a function's type-0 header, reached the way
// the driver reaches them: through ports 0xCF8 and 0xCFC-0xCFF.
#include "platform/pc/pci.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/pc/clock.h"
#include "platform/pc/port_bus.h"

namespace sim {
namespace {

struct PciPc {
  Clock clock;
  PortBus ports{clock};
  PciBus pci;
  PciFunction nic{0x8086, 0x1229, 0x020000};
  PciPc() {
    EXPECT_TRUE(ports.Map(PciBus::kAddressPort, PciBus::kWindowLength, &pci));
    nic.SetBar(0, 0xFEB00000, 4096, false);
    nic.SetBar(1, 0xE000, 64, true);
    nic.SetBar(2, 0xFEA00000, 1 << 20, false);
    nic.SetInterruptLine(11);
    EXPECT_TRUE(pci.Attach(0, 3, 0, &nic));
  }
  static uint32_t Address(uint8_t bus, uint8_t devfn, uint8_t reg) {
    return 0x80000000u | bus << 16 | devfn << 8 | (reg & 0xFC);
  }
  uint32_t Read(uint8_t reg, unsigned width, uint8_t devfn = 3 << 3, uint8_t bus = 0) {
    ports.Write(0xCF8, 4, Address(bus, devfn, reg));
    return ports.Read(0xCFC + (reg & 3), width);
  }
  void Write(uint8_t reg, unsigned width, uint32_t value, uint8_t devfn = 3 << 3) {
    ports.Write(0xCF8, 4, Address(0, devfn, reg));
    ports.Write(0xCFC + (reg & 3), width, value);
  }
};

// (Which lane and width each driver access uses, and what it reads from
// present and absent functions: see the driver's PCI tests.)
TEST(Pci, MechanismOneReachesLanesAndOnlyPresentFunctions) {
  PciPc pc;
  EXPECT_EQ(0x02000000u, pc.Read(0x08, 4) & 0xFFFFFF00);
  EXPECT_EQ(0x01u, pc.Read(0x3D, 1));  // pin A, at 0xCFD
  EXPECT_EQ(PciPc::Address(0, 3 << 3, 0x3D), pc.ports.Read(0xCF8, 4));

  // Other buses and a cleared enable bit read all ones.
  EXPECT_EQ(0xFFFFFFFFu, pc.Read(0x00, 4, 3 << 3, 1));
  pc.ports.Write(0xCF8, 4, 0x00001800);
  EXPECT_EQ(0xFFFFu, pc.ports.Read(0xCFC, 2));
  pc.ports.Write(0xCFC, 1, 0xAA);    // dropped
  pc.ports.Write(0xCF8, 2, 0xFFFF);  // not a configuration address
  EXPECT_EQ(0x00001800u, pc.pci.address());

  // A function other than 0 is visible once attached.
  PciFunction second(0x8086, 0x1030, 0x020000);
  EXPECT_TRUE(pc.pci.Attach(0, 3, 1, &second));
  EXPECT_FALSE(pc.pci.Attach(0, 3, 1, &pc.nic));
  EXPECT_FALSE(pc.pci.Attach(0, 32, 0, &second));
  EXPECT_EQ(0x10308086u, pc.Read(0x00, 4, 3 << 3 | 1));
  pc.pci.Detach(&second);
  EXPECT_EQ(0xFFFFFFFFu, pc.Read(0x00, 4, 3 << 3 | 1));
}

TEST(Pci, HeaderWriteRulesBarSizingAndCommandGating) {
  PciPc pc;
  // BAR sizing: all ones reads back the size mask, type bits kept.
  const uint32_t expected_masks[] = {0xFFFFF000, 0xFFFFFFC1, 0xFFF00000, 0, 0, 0};
  for (uint8_t i = 0; i < 6; ++i) {
    const uint8_t reg = static_cast<uint8_t>(0x10 + 4 * i);
    const uint32_t original = pc.Read(reg, 4);
    pc.Write(reg, 4, 0xFFFFFFFF);
    EXPECT_EQ(expected_masks[i], pc.Read(reg, 4)) << int{i};
    pc.Write(reg, 4, original);
    EXPECT_EQ(original, pc.Read(reg, 4));
  }
  EXPECT_EQ(0xE001u, pc.nic.Bar(1));
  pc.Write(0x14, 4, 0xD03F);  // low bits are not writable; the BAR aligns
  EXPECT_EQ(0xD001u, pc.nic.Bar(1));
  EXPECT_EQ(0xD000u, pc.nic.BarAddress(1));
  pc.Write(0x15, 1, 0xE0);  // byte lanes reach single BAR bytes
  EXPECT_EQ(0xE001u, pc.nic.Bar(1));

  // Read-only fields ignore software.
  pc.Write(0x00, 4, 0);
  pc.Write(0x08, 4, 0xFFFFFFFF);
  pc.Write(0x0E, 1, 0x80);
  pc.Write(0x3D, 1, 4);
  EXPECT_EQ(0x12298086u, pc.Read(0x00, 4));
  EXPECT_EQ(0x02000000u, pc.Read(0x08, 4));
  EXPECT_EQ(0u, pc.Read(0x0E, 1));
  EXPECT_EQ(1u, pc.Read(0x3D, 1));
  pc.Write(0x0D, 1, 0x20);
  EXPECT_EQ(0x20u, pc.Read(0x0D, 1));

  // Command bits drive the lock-free flags, on every write path.
  EXPECT_FALSE(pc.nic.IoEnabled());
  pc.Write(0x04, 4, 0xFFFF0005);
  EXPECT_TRUE(pc.nic.IoEnabled());
  EXPECT_TRUE(pc.nic.bus_master().load());
  EXPECT_EQ(0x0005u, pc.Read(0x04, 2));
  pc.Write(0x04, 1, 0x01);
  EXPECT_FALSE(pc.nic.BusMasterEnabled());
  pc.Write(0x04, 2, 0xFFFF);
  EXPECT_EQ(PciFunction::kCommandWritable, pc.nic.Command());
  pc.nic.SetCommand(0);
  EXPECT_FALSE(pc.nic.IoEnabled());

  // Status errors clear by writing 1; a command write's zero upper half
  // leaves them.
  pc.nic.SetStatus(0x8280);
  pc.Write(0x04, 4, 0x00000005);
  EXPECT_EQ(0x8280u, pc.nic.Status());
  pc.Write(0x06, 2, 0x8000);
  EXPECT_EQ(0x0280u, pc.Read(0x06, 2));
}

TEST(Pci, ListenerHearsCommandBarAndLineChangesOutsideTheLock) {
  PciPc pc;
  std::vector<uint32_t> heard;  // command | line << 16, read from inside the listener
  pc.nic.SetChangeListener(
      [&] { heard.push_back(pc.nic.Command() | uint32_t{pc.nic.InterruptLine()} << 16); });
  pc.Write(0x04, 4, 0x00000005);
  pc.Write(0x04, 4, 0x00000005);  // no change, no call
  pc.Write(0x0D, 1, 0x40);        // not watched
  pc.Write(0x3C, 1, 10);
  pc.nic.SetInterruptLine(9);
  pc.Write(0x14, 4, 0xFFFFFFFF);
  pc.nic.SetBar(1, 0xC000, 64, true);
  pc.nic.SetRevision(8);
  EXPECT_EQ((std::vector<uint32_t>{0x0B0005, 0x0A0005, 0x090005, 0x090005, 0x090005}), heard);

  // A listener that moves the device's port window while the configuration
  // write that triggered it is still inside the port bus.
  class Registers : public PortDevice {
   public:
    uint32_t PortRead(uint32_t offset, unsigned) override { return 0x7700 + offset; }
    void PortWrite(uint32_t, unsigned, uint32_t) override {}
  } registers;
  pc.nic.SetChangeListener([&] {
    if (pc.nic.IoEnabled()) {
      pc.ports.Remap(&registers, pc.nic.BarAddress(1), pc.nic.BarSize(1));
    } else {
      pc.ports.Unmap(&registers);
    }
  });
  pc.Write(0x14, 4, 0xB000);
  EXPECT_EQ(0x7704u, pc.ports.Read(0xB004, 2));
  pc.Write(0x04, 2, 0x0004);
  EXPECT_EQ(0xFFFFu, pc.ports.Read(0xB004, 2));
  pc.nic.SetChangeListener(nullptr);
}

}  // namespace
}  // namespace sim
