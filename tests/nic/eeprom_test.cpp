// The serial EEPROM as the driver's bit-banging sees it through the EEPROM
// control register, and the images the platform builds for it.
#include "platform/nic/eeprom.h"

#include "support/model.h"

namespace tvtest {
namespace {

TEST(Eeprom, EverySizeIsProbedReadAndBuiltWithStationRecordsAndChecksum) {
  Rig rig;
  Nic& nic = rig.Add(0);
  const Mac station = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  for (unsigned words = 2; words <= 256; words *= 2) {
    SCOPED_TRACE(words);
    nic.model().SetEepromImage(sim::BuildEepromImage(words, station, 0x4701, 0x0A02));
    const std::vector<uint16_t> image = nic.model().eeprom();
    ASSERT_EQ(image.size(), words);
    EXPECT_EQ(ProbeSize(nic), words);
    for (unsigned a = 0; a < words; ++a) {
      EXPECT_EQ(ReadWord(nic, a, Log2(words)), image[a]) << "word " << a;
    }
    EXPECT_EQ(sim::EepromChecksum(image), 0xBABA);
    if (words >= 4) {
      EXPECT_EQ(std::vector<uint16_t>(image.begin(), image.begin() + 3),
                (std::vector<uint16_t>{0x1102, 0x3322, 0x5544}));
    }
    if (words >= 8) {
      EXPECT_NE(image[3], 0xFFFF);  // passes the blank check
      EXPECT_EQ(image[6], 0x4701);
    }
    if (words >= 16) {
      EXPECT_EQ(image[7], 0x0A02);  // an 8-word part has its checksum there
    }
  }
  // An absent part answers 1 throughout: 256 words of 0xFFFF.
  nic.model().SetEepromAbsent(true);
  EXPECT_EQ(ProbeSize(nic), 256u);
  EXPECT_EQ(ReadWord(nic, 17, 8), 0xFFFF);
  nic.model().SetEepromAbsent(false);
  EXPECT_EQ(ProbeSize(nic), 256u);

  for (unsigned words : {0u, 48u, 512u}) {
    EXPECT_THROW(sim::BuildEepromImage(words, station, 0, 0), std::invalid_argument) << words;
  }
  // Odd images are rounded up to a part.
  sim::MicrowireEeprom part;
  part.Load({1, 2, 3});
  EXPECT_EQ(part.words(), (std::vector<uint16_t>{1, 2, 3, 0xFFFF}));
  EXPECT_EQ(part.address_bits(), 2u);
  part.Load({});
  EXPECT_EQ(part.address_bits(), 1u);
  part.Load(std::vector<uint16_t>(300, 7));
  EXPECT_EQ(part.words().size(), 256u);
  EXPECT_EQ(part.address_bits(), 8u);
}

TEST(Eeprom, DataOutIsOneOutsideTheReadAndDeselectEndsIt) {
  Rig rig;
  Nic& nic = rig.Add(0);
  nic.model().SetEepromImage(std::vector<uint16_t>(64, 0x0000));
  auto data_out = [&] { return (nic.R8(ScbEepromControl) & EepromDataOut) != 0; };
  EXPECT_TRUE(data_out());  // idle, deselected
  StartRead(nic);
  EXPECT_TRUE(data_out());  // selected, before the address is complete
  for (int i = 0; i < 5; ++i) WriteBit(nic, kSelectedZero);
  EXPECT_TRUE(data_out());
  WriteBit(nic, kSelectedZero);  // 6th address bit: dummy zero
  EXPECT_FALSE(data_out());
  // Words of 0 read as 16 zeros, then data out returns to 1.
  for (int i = 0; i < 16; ++i) EXPECT_FALSE(ReadBit(nic));
  EXPECT_TRUE(ReadBit(nic));
  // Without a deselect the part waits for one: a new start bit is ignored.
  StartRead(nic);
  for (int i = 0; i < 6; ++i) WriteBit(nic, kSelectedZero);
  EXPECT_TRUE(ReadBit(nic));
  // Dropping chip select in the middle of a read ends it.
  nic.W8(ScbEepromControl, 0);
  StartRead(nic);
  for (int i = 0; i < 6; ++i) WriteBit(nic, kSelectedZero);
  EXPECT_FALSE(ReadBit(nic));
  nic.W8(ScbEepromControl, 0);
  EXPECT_TRUE(data_out());
  // A fresh read after that works, and leading zeros before the start bit
  // are ignored.
  nic.model().SetEepromImage(sim::BuildEepromImage(64, RigStation(0), 0x4701, 0));
  WriteBit(nic, kSelectedZero);
  WriteBit(nic, kSelectedZero);
  EXPECT_EQ(ReadWord(nic, 6, 6), 0x4701);

  // Opcodes other than read (here write, 01, with address 0 and data) are
  // ignored: nothing changes, data out stays 1.
  nic.W8(ScbEepromControl, 0);
  const std::vector<uint16_t> before = nic.model().eeprom();
  for (uint8_t bit : {kSelectedOne, kSelectedZero, kSelectedOne}) WriteBit(nic, bit);
  for (int i = 0; i < 6; ++i) WriteBit(nic, kSelectedZero);
  EXPECT_TRUE(data_out());
  for (int i = 0; i < 16; ++i) WriteBit(nic, kSelectedZero);
  nic.W8(ScbEepromControl, 0);
  EXPECT_EQ(nic.model().eeprom(), before);
  EXPECT_EQ(ReadWord(nic, 0, 6), before[0]);
}

}  // namespace
}  // namespace tvtest
