// Configuration mechanism 1 and a function's type-0 header, reached the way
// the driver reaches them: through ports 0xCF8 and 0xCFC-0xCFF.
#include "platform/pc/pci.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/pc/clock.h"
#include "platform/pc/port_bus.h"

namespace {

using namespace sim;

struct PciTest : testing::Test {
  Clock clock;
  PortBus ports{clock};
  PciBus pci;
  PciFunction nic{0x8086, 0x1229, 0x020000};
  void SetUp() override {
    ASSERT_TRUE(ports.Map(PciBus::kAddressPort, PciBus::kWindowLength, &pci));
    nic.SetBar(0, 0xFEB00000, 4096, false);
    nic.SetBar(1, 0xE000, 64, true);
    nic.SetBar(2, 0xFEA00000, 1 << 20, false);
    nic.SetInterruptLine(11);
    ASSERT_TRUE(pci.Attach(0, 3, 0, &nic));
  }
  static uint32_t Address(uint8_t devfn, uint8_t reg, uint8_t bus = 0) {
    return 0x80000000u | bus << 16 | devfn << 8 | (reg & 0xFC);
  }
  uint32_t Read(uint8_t reg, unsigned width, uint8_t devfn = 3 << 3, uint8_t bus = 0) {
    ports.Write(0xCF8, 4, Address(devfn, reg, bus));
    return ports.Read(0xCFC + (reg & 3), width);
  }
  void Write(uint8_t reg, unsigned width, uint32_t value) {
    ports.Write(0xCF8, 4, Address(3 << 3, reg));
    ports.Write(0xCFC + (reg & 3), width, value);
  }
};

// (Which lane and width each driver access uses, and what it reads from
// present and absent functions: see the driver's PCI tests.)
TEST_F(PciTest, MechanismOneReachesLanesAndOnlyPresentFunctions) {
  EXPECT_EQ(0x01u, Read(0x3D, 1));  // pin A, at 0xCFD
  EXPECT_EQ(Address(3 << 3, 0x3D), ports.Read(0xCF8, 4));

  // Other buses and a cleared enable bit read all ones.
  EXPECT_EQ(0xFFFFFFFFu, Read(0x00, 4, 3 << 3, 1));
  ports.Write(0xCF8, 4, 0x00001800);
  EXPECT_EQ(0xFFFFu, ports.Read(0xCFC, 2));
  ports.Write(0xCFC, 1, 0xAA);    // dropped
  ports.Write(0xCF8, 2, 0xFFFF);  // not a configuration address
  EXPECT_EQ(0x00001800u, pci.address());

  // A function other than 0 is visible once attached; a taken or impossible
  // place is refused.
  PciFunction second(0x8086, 0x1030, 0x020000);
  EXPECT_TRUE(pci.Attach(0, 3, 1, &second));
  EXPECT_FALSE(pci.Attach(0, 3, 1, &nic) || pci.Attach(0, 32, 0, &second));
  EXPECT_EQ(0x10308086u, Read(0x00, 4, 3 << 3 | 1));
  pci.Detach(&second);
  EXPECT_EQ(0xFFFFFFFFu, Read(0x00, 4, 3 << 3 | 1));
}

TEST_F(PciTest, HeaderWriteRulesBarSizingAndCommandGating) {
  // BAR sizing: all ones reads back the size mask, type bits kept.
  const uint32_t bars[][2] = {{0xFEB00000, 0xFFFFF000},
                              {0xE001, 0xFFFFFFC1},
                              {0xFEA00000, 0xFFF00000},
                              {0, 0},
                              {0, 0},
                              {0, 0}};
  for (uint8_t i = 0; i < 6; ++i) {
    const auto reg = static_cast<uint8_t>(0x10 + 4 * i);
    EXPECT_EQ(bars[i][0], Read(reg, 4)) << int{i};
    Write(reg, 4, 0xFFFFFFFF);
    EXPECT_EQ(bars[i][1], Read(reg, 4)) << int{i};
    Write(reg, 4, bars[i][0]);
  }
  // Writes as they read back: read-only fields ignore software, a BAR's low
  // bits are not writable (it aligns), byte lanes reach single bytes.
  const uint32_t fields[][4] = {{0x00, 4, 0, 0x12298086}, {0x08, 4, 0xFFFFFFFF, 0x02000000},
                                {0x0E, 1, 0x80, 0},       {0x3D, 1, 4, 1},
                                {0x0D, 1, 0x20, 0x20},    {0x14, 4, 0xD03F, 0xD001},
                                {0x15, 1, 0xE0, 0xE0}};
  for (auto [reg, width, value, want] : fields) {
    Write(static_cast<uint8_t>(reg), width, value);
    EXPECT_EQ(want, Read(static_cast<uint8_t>(reg), width)) << reg;
  }
  EXPECT_TRUE(nic.Bar(1) == 0xE001 && nic.BarAddress(1) == 0xE000);

  // Command bits drive the lock-free flags, on every write path (width 0:
  // SetCommand).
  EXPECT_FALSE(nic.IoEnabled());
  const uint32_t commands[][3] = {{4, 0xFFFF0005, 0x0005},
                                  {1, 0x01, 0x0001},
                                  {2, 0xFFFF, PciFunction::kCommandWritable},
                                  {0, 0, 0}};
  for (auto [width, value, want] : commands) {
    width != 0 ? Write(0x04, width, value) : nic.SetCommand(static_cast<uint16_t>(value));
    EXPECT_TRUE(Read(0x04, 2) == want && nic.Command() == want) << width;
    EXPECT_TRUE(nic.IoEnabled() == ((want & 1) != 0) &&
                nic.BusMasterEnabled() == ((want & 4) != 0) &&
                nic.bus_master().load() == nic.BusMasterEnabled())
        << width;
  }

  // Status errors clear by writing 1; a command write's zero upper half
  // leaves them.
  nic.SetStatus(0x8280);
  Write(0x04, 4, 0x00000005);
  EXPECT_EQ(0x8280u, nic.Status());
  Write(0x06, 2, 0x8000);
  EXPECT_EQ(0x0280u, Read(0x06, 2));
}

TEST_F(PciTest, ListenerHearsCommandBarAndLineChangesOutsideTheLock) {
  std::vector<uint32_t> heard;  // command | line << 16, read from inside the listener
  nic.SetChangeListener(
      [&] { heard.push_back(nic.Command() | uint32_t{nic.InterruptLine()} << 16); });
  Write(0x04, 4, 0x00000005);
  Write(0x04, 4, 0x00000005);  // no change, no call
  Write(0x0D, 1, 0x40);        // not watched
  Write(0x3C, 1, 10);
  nic.SetInterruptLine(9);
  Write(0x14, 4, 0xFFFFFFFF);
  nic.SetBar(1, 0xC000, 64, true);
  nic.SetRevision(8);
  EXPECT_EQ((std::vector<uint32_t>{0x0B0005, 0x0A0005, 0x090005, 0x090005, 0x090005}), heard);

  // A listener that moves the device's port window while the configuration
  // write that triggered it is still inside the port bus.
  struct Registers : PortDevice {
    uint32_t PortRead(uint32_t offset, unsigned) override { return 0x7700 + offset; }
    void PortWrite(uint32_t, unsigned, uint32_t) override {}
  } registers;
  nic.SetChangeListener([&] {
    if (!nic.IoEnabled()) return ports.Unmap(&registers);
    ports.Remap(&registers, nic.BarAddress(1), nic.BarSize(1));
  });
  Write(0x14, 4, 0xB000);
  EXPECT_EQ(0x7704u, ports.Read(0xB004, 2));
  Write(0x04, 2, 0x0004);
  EXPECT_EQ(0xFFFFu, ports.Read(0xB004, 2));
  nic.SetChangeListener(nullptr);
}

}  // namespace
