// The serial EEPROM as the driver's bit-banging sees it through the EEPROM
// control register, and the images the platform builds for it.
#include "platform/nic/eeprom.h"

#include "support/model.h"

namespace tvtest {
namespace {

// Chip select with data in 1 or 0, as the driver clocks bits in; the size
// probe's 0 also writes the data-out bit, as the driver does.
constexpr uint8_t kOne = EepromChipSelect | EepromDataIn;
constexpr uint8_t kZero = EepromChipSelect;
constexpr uint8_t kProbeZero = EepromChipSelect | EepromDataOut;

void WriteBit(Nic& nic, uint8_t value) {
  nic.W8(ScbEepromControl, value);
  nic.W8(ScbEepromControl, value | EepromClock);
  nic.W8(ScbEepromControl, value & ~EepromClock);
}
void WriteBits(Nic& nic, std::initializer_list<uint8_t> bits) {
  for (uint8_t bit : bits) WriteBit(nic, bit);
}
bool ReadBit(Nic& nic) {
  nic.W8(ScbEepromControl, EepromChipSelect | EepromClock);
  const uint8_t value = nic.R8(ScbEepromControl);
  nic.W8(ScbEepromControl, EepromChipSelect);
  return (value & EepromDataOut) != 0;
}
bool DataOut(Nic& nic) { return (nic.R8(ScbEepromControl) & EepromDataOut) != 0; }
// Start bit and the read opcode (1 10).
void StartRead(Nic& nic) { WriteBits(nic, {kOne, kOne, kZero}); }

// The driver's size probe: address bits of 0 until data out shows the dummy 0.
unsigned ProbeSize(Nic& nic) {
  StartRead(nic);
  unsigned words = 2;
  for (WriteBit(nic, kProbeZero); DataOut(nic) && words < 256; words *= 2)
    WriteBit(nic, kProbeZero);
  nic.W8(ScbEepromControl, 0);
  return words;
}

uint16_t ReadWord(Nic& nic, unsigned address, unsigned bits) {
  StartRead(nic);
  for (unsigned i = bits; i-- > 0;) WriteBit(nic, (address >> i) & 1 ? kOne : kZero);
  uint16_t word = 0;
  for (int i = 0; i < 16; ++i) word = static_cast<uint16_t>(word << 1 | (ReadBit(nic) ? 1 : 0));
  nic.W8(ScbEepromControl, 0);
  return word;
}

using Eeprom = ModelTest;

TEST_F(Eeprom, EverySizeIsProbedReadAndBuiltWithStationRecordsAndChecksum) {
  const Mac station = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  for (unsigned words = 2, bits = 1; words <= 256; words *= 2, ++bits) {
    SCOPED_TRACE(words);
    nic.model().SetEepromImage(sim::BuildEepromImage(words, station, 0x4701, 0x0A02));
    const std::vector<uint16_t> image = nic.model().eeprom();
    ASSERT_EQ(image.size(), words);
    EXPECT_EQ(ProbeSize(nic), words);
    for (unsigned a = 0; a < words; ++a) EXPECT_EQ(ReadWord(nic, a, bits), image[a]) << a;
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

TEST_F(Eeprom, DataOutIsOneOutsideTheReadAndDeselectEndsIt) {
  nic.model().SetEepromImage(std::vector<uint16_t>(64, 0x0000));
  EXPECT_TRUE(DataOut(nic));  // idle, deselected
  StartRead(nic);
  EXPECT_TRUE(DataOut(nic));  // selected, before the address is complete
  WriteBits(nic, {kZero, kZero, kZero, kZero, kZero});
  EXPECT_TRUE(DataOut(nic));
  WriteBit(nic, kZero);  // 6th address bit: dummy zero
  EXPECT_FALSE(DataOut(nic));
  // Words of 0 read as 16 zeros, then data out returns to 1.
  for (int i = 0; i < 16; ++i) EXPECT_FALSE(ReadBit(nic));
  EXPECT_TRUE(ReadBit(nic));
  // Without a deselect the part waits for one: a new start bit is ignored.
  const std::initializer_list<uint8_t> address0 = {kZero, kZero, kZero, kZero, kZero, kZero};
  StartRead(nic);
  WriteBits(nic, address0);
  EXPECT_TRUE(ReadBit(nic));
  // Dropping chip select in the middle of a read ends it.
  nic.W8(ScbEepromControl, 0);
  StartRead(nic);
  WriteBits(nic, address0);
  EXPECT_FALSE(ReadBit(nic));
  nic.W8(ScbEepromControl, 0);
  EXPECT_TRUE(DataOut(nic));
  // A fresh read after that works, and leading zeros before the start bit
  // are ignored.
  nic.model().SetEepromImage(sim::BuildEepromImage(64, Station(0), 0x4701, 0));
  WriteBits(nic, {kZero, kZero});
  EXPECT_EQ(ReadWord(nic, 6, 6), 0x4701);

  // Opcodes other than read (here write, 01, with address 0 and data) are
  // ignored: nothing changes, data out stays 1.
  nic.W8(ScbEepromControl, 0);
  const std::vector<uint16_t> before = nic.model().eeprom();
  WriteBits(nic, {kOne, kZero, kOne});
  WriteBits(nic, address0);
  EXPECT_TRUE(DataOut(nic));
  for (int i = 0; i < 16; ++i) WriteBit(nic, kZero);
  nic.W8(ScbEepromControl, 0);
  EXPECT_EQ(nic.model().eeprom(), before);
  EXPECT_EQ(ReadWord(nic, 0, 6), before[0]);
}

}  // namespace
}  // namespace tvtest
