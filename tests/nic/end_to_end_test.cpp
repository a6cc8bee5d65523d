// A hand-written minimal driver on two controllers of one segment: PCI
// enable, reset, station address from the EEPROM, bases, configure, address
// setup, receive unit, one frame from the first controller to the second.
#include "nic_rig.h"

namespace nic_test {
namespace {

uint32_t ConfigAddress(unsigned device, unsigned reg) { return 0x80000000u | device << 11 | reg; }

struct MiniDriver {
  Rig& rig;
  Nic& nic;
  unsigned pci_device;
  Mac station{};
  RxRings rings;

  void EnablePci() {
    sim::Machine& m = rig.machine();
    m.ports().Write(0xCF8, 4, ConfigAddress(pci_device, 0x04));
    const uint32_t command = m.ports().Read(0xCFC, 2);
    m.ports().Write(0xCF8, 4, ConfigAddress(pci_device, 0x04));
    m.ports().Write(0xCFC, 4, command | 0x5);
  }

  void Reset() {
    nic.W8(ScbInterruptControl, ScbInterruptMaskAll);
    nic.W32(ScbPort, ScbPortSelectiveReset);
    int reads = 0;
    while (nic.R32(ScbPort) != 0) ASSERT_LT(++reads, 1000);
    nic.W32(ScbPort, ScbPortSoftwareReset);
    rig.machine().clock().Advance(1'000'000);  // settle
  }

  void ReadStation() {
    const unsigned words = ProbeSize(nic);
    ASSERT_EQ(words, 64u);
    for (unsigned i = 0; i < 3; ++i) {
      const uint16_t word = ReadWord(nic, i, Log2(words));
      station[2 * i] = static_cast<uint8_t>(word);
      station[2 * i + 1] = static_cast<uint8_t>(word >> 8);
    }
  }

  void WaitAccepted() {
    int reads = 0;
    while (nic.R8(ScbCommand) != 0) ASSERT_LT(++reads, 1000);
  }

  void Issue(CommandBlock* cb) {
    WaitAccepted();
    ASSERT_TRUE(nic.WaitCuNotActive());
    nic.Command(ScbCommandCuStart, HwAddress(cb));
  }

  void BringUp() {
    EnablePci();
    Reset();
    ReadStation();
    WaitAccepted();
    nic.Command(ScbCommandCuLoadBase, 0);
    WaitAccepted();
    nic.Command(ScbCommandRuLoadBase, 0);
    Issue(rig.Configure(DriverConfiguration(), CbCommandEndOfList | CbCommandSuspend));
    Issue(rig.AddressSetup(station));
    rings = rig.Rings(34, 32);
    WaitAccepted();
    nic.Command(ScbCommandRuStart, HwAddress(rings.rfds[0]));
    nic.W8(ScbInterruptControl, ScbInterruptUnmask);
  }
};

TEST(EndToEnd, OneFrameFromOneControllerToAnother) {
  Rig rig;
  sim::I8255xConfig ca = Rig::Config(0);
  ca.command = 0x0000;  // the driver enables I/O and bus mastering itself
  sim::I8255xConfig cb = Rig::Config(1);
  cb.command = 0x0000;
  Nic& a = rig.Add(ca);
  Nic& b = rig.Add(cb);
  sim::TestPort& wire = rig.AddTestPort();
  MiniDriver da{rig, a, 3, {}, {}};
  MiniDriver db{rig, b, 4, {}, {}};
  da.BringUp();
  db.BringUp();
  EXPECT_EQ(da.station, Station(0));
  EXPECT_EQ(db.station, Station(1));
  EXPECT_EQ(b.model().IndividualAddress(), Station(1));
  EXPECT_EQ(b.RuState(), 0x10);
  b.W16(ScbStatus, 0xFF00);
  EXPECT_FALSE(rig.machine().irq().Asserted(10));

  const std::vector<uint8_t> frame = MakeFrame(Station(1), Station(0), 342, 0x40);
  CommandBlock* tx = rig.Block(static_cast<uint16_t>(CbFirstWordTransmit >> 16));
  HwStore32(tx->Parameters, CbTbdArrayNone);
  HwStore32(tx->Parameters + 4, static_cast<uint32_t>(frame.size()) | CbTransmitCountFlags);
  std::memcpy(tx->Data, frame.data(), frame.size());
  da.Issue(tx);
  ASSERT_TRUE(a.WaitCuNotActive());
  EXPECT_EQ(HwLoad16(&tx->Status), CbStatusComplete | CbStatusOk);
  EXPECT_EQ(a.CuState(), 0x00);  // end of list wins over suspend: idle

  // The frame sits in the second controller's first buffer, and its
  // interrupt line (10) is up with FR.
  EXPECT_EQ(db.rings.RfdStatus(0), RfdStatusComplete | RfdStatusOk);
  EXPECT_EQ(db.rings.RbdCount(0), RbdCountEof | RbdCountValid | frame.size());
  EXPECT_EQ(0, std::memcmp(db.rings.buffers[0], frame.data(), frame.size()));
  EXPECT_EQ(db.rings.RfdStatus(1), 0);
  EXPECT_TRUE(rig.machine().irq().Asserted(10));
  EXPECT_EQ(b.Status() & 0xFF00, ScbStatusFr);
  // The first controller did not hear itself; the wire heard it as sent.
  EXPECT_EQ(da.rings.RfdStatus(0), 0);
  ASSERT_EQ(wire.Heard().size(), 1u);
  EXPECT_EQ(wire.Heard()[0].bytes, frame);
  EXPECT_TRUE(a.model().bus_errors().empty());
  EXPECT_TRUE(b.model().bus_errors().empty());
}

}  // namespace
}  // namespace nic_test
