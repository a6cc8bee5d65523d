// Serial EEPROM reader: the clocking of each bit, the size probe for every
// part size, the words stored, and the four verdicts with their exact texts.

#include <gtest/gtest.h>

#include "support/controller_rig.h"

namespace {

using namespace controller_rig;

struct Outcome {
  uint32_t status;
  uint32_t stored;
  std::string console;
  std::vector<uint8_t> buffer;  // 8 bytes, 0xEE where nothing was stored
};

// Reads the part through the driver with the given capacity, after marking
// every EepromImage word so that words the reader does not store show up.
Outcome ReadPart(TestPc& pc, NicAdapter* adapter, uint32_t capacity) {
  for (auto& word : adapter->EepromImage) word = 0x5A5A;
  pc.machine->ClearConsole();
  std::vector<uint8_t> buffer(8, 0xEE);
  Outcome outcome;
  outcome.stored = 0xDEAD;
  outcome.status =
      NicReadEeprom(adapter, reinterpret_cast<uint16_t*>(buffer.data()), capacity, &outcome.stored);
  outcome.console = pc.machine->Console();
  outcome.buffer = buffer;
  return outcome;
}

class EepromReader : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::I8255xConfig config = QuickConfig(0);
    config.station = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    pc_ = std::make_unique<TestPc>(Options({{"Quiet", "0"}}));
    nic_ = &pc_->AddNic(config);
    pc_->Boot();
    adapter_ = AdapterAt(0);
    ASSERT_NE(adapter_, nullptr);
  }

  // Loads `image`, reads it with a capacity of 6 and checks the words kept.
  Outcome Read(const std::vector<uint16_t>& image, uint32_t capacity = 6) {
    nic_->SetEepromImage(image);
    DriverLock lock;
    Outcome outcome = ReadPart(*pc_, adapter_, capacity);
    for (size_t i = 0; i < EepromImageWords; ++i) {
      const uint16_t expected = i < image.size() ? image[i] : 0x5A5A;
      if (adapter_->EepromImage[i] != expected) {
        ADD_FAILURE() << "EepromImage[" << i << "] of a " << image.size() << "-word part";
        break;
      }
    }
    return outcome;
  }

  std::unique_ptr<TestPc> pc_;
  sim::I8255x* nic_ = nullptr;
  NicAdapter* adapter_ = nullptr;
};

TEST_F(EepromReader, ClocksEachBitAndMasksInterruptsFirst) {
  nic_->SetEepromImage(Checksummed({0x1102, 0x3322, 0x5544, 1, 0, 0, 0, 0}));
  nic_->EnableTrace(true);
  uint32_t stored = 0;
  uint16_t buffer[3];
  {
    DriverLock lock;
    ASSERT_EQ(NicReadEeprom(adapter_, buffer, 6, &stored), 0u);
  }
  nic_->EnableTrace(false);
  const auto trace = nic_->Trace();
  ASSERT_FALSE(trace.empty());
  EXPECT_TRUE(trace.front().write && trace.front().offset == ScbInterruptControl &&
              trace.front().value == 0x01)
      << "interrupts masked before the part is touched";

  std::vector<uint32_t> writes;
  for (const auto& entry : trace) {
    if (entry.offset == ScbEepromControl && entry.write) writes.push_back(entry.value);
  }
  // Start bit and read opcode (1, 1, 0), then probe bits 0x0A until the
  // dummy zero (an 8-word part answers after 3 address bits), deselect.
  const std::vector<uint32_t> probe = {0x06, 0x07, 0x06, 0x06, 0x07, 0x06, 0x02, 0x03, 0x02, 0x0A,
                                       0x0B, 0x0A, 0x0A, 0x0B, 0x0A, 0x0A, 0x0B, 0x0A, 0x00};
  ASSERT_GE(writes.size(), probe.size());
  EXPECT_EQ(std::vector<uint32_t>(writes.begin(), writes.begin() + probe.size()), probe);
  // Word 5: start, opcode, address 101, then 16 reads (clock high, low), deselect.
  std::vector<uint32_t> word5 = {0x06, 0x07, 0x06, 0x06, 0x07, 0x06, 0x02, 0x03, 0x02,
                                 0x06, 0x07, 0x06, 0x02, 0x03, 0x02, 0x06, 0x07, 0x06};
  for (int i = 0; i < 16; ++i) {
    word5.push_back(0x03);
    word5.push_back(0x02);
  }
  word5.push_back(0x00);
  const size_t perWord = word5.size();
  const size_t start = probe.size() + 5 * perWord;
  ASSERT_GE(writes.size(), start + perWord);
  EXPECT_EQ(std::vector<uint32_t>(writes.begin() + start, writes.begin() + start + perWord), word5);
  EXPECT_EQ(writes.size(), probe.size() + 8 * perWord);
}

TEST_F(EepromReader, EveryPartSizeAndVerdict) {
  // Two words: the checksum is tested before the size.
  Outcome o = Read({0x1234, 0x5678});
  EXPECT_EQ(o.status, 11u);
  EXPECT_EQ(o.console, "TORVELIN: Reading EEPROM address... Bad EEPROM checksum.\n");
  EXPECT_EQ(o.stored, 4u);
  EXPECT_EQ(o.buffer, (std::vector<uint8_t>{0x34, 0x12, 0x78, 0x56, 0xEE, 0xEE, 0xEE, 0xEE}));

  o = Read({0x1111, 0xA9A9});
  EXPECT_EQ(o.status, 11u);
  EXPECT_EQ(o.console, "TORVELIN: Reading EEPROM address... Bad EEPROM size.\n");

  // Four words: the blank-check range is empty.
  o = Read(Checksummed({0x1102, 0x3322, 0x5544, 0}));
  EXPECT_EQ(o.status, 11u);
  EXPECT_EQ(o.console, "TORVELIN: Reading EEPROM address... FAILED.\n");
  EXPECT_EQ(o.stored, 6u);
  EXPECT_EQ(o.buffer, (std::vector<uint8_t>{0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0xEE, 0xEE}));

  // 8 words: word 3 alone decides.
  o = Read(Checksummed({1, 2, 3, 0xFFFF, 0, 0, 0, 0}));
  EXPECT_EQ(o.console, "TORVELIN: Reading EEPROM address... FAILED.\n");
  o = Read(Checksummed({1, 2, 3, 0xFFFE, 0xFFFF, 0xFFFF, 0xFFFF, 0}));
  EXPECT_EQ(o.status, 0u);
  EXPECT_EQ(o.console, "TORVELIN: Reading EEPROM address... PASSED.\n");

  // The blank check looks at words 3 to N/2 - 1 only: with 16 words, words
  // 3 to 7 all blank fail whatever words 8 to 15 hold.
  std::vector<uint16_t> blank(16, 0xFFFF);
  for (size_t i = 8; i < 16; ++i) blank[i] = 0x1234;
  o = Read(Checksummed(blank));
  EXPECT_EQ(o.status, 11u);
  EXPECT_EQ(o.console, "TORVELIN: Reading EEPROM address... FAILED.\n");
  EXPECT_EQ(o.stored, 6u);
  blank[7] = 0x0000;
  o = Read(Checksummed(blank));
  EXPECT_EQ(o.status, 0u);
  EXPECT_EQ(o.console, "TORVELIN: Reading EEPROM address... PASSED.\n");

  // A 64-word part is probed and read whole.
  std::vector<uint16_t> image(64);
  for (unsigned i = 0; i < 64; ++i) image[i] = static_cast<uint16_t>(0x0101 * i + 7);
  o = Read(Checksummed(image));
  EXPECT_EQ(o.status, 0u);
  EXPECT_EQ(o.stored, 6u);

  // A capacity of 7 still stores whole words only; 0 stores none.
  o = Read(Checksummed({0x1102, 0x3322, 0x5544, 0, 0, 0, 0, 0}), 7);
  EXPECT_EQ(o.stored, 6u);
  EXPECT_EQ(o.buffer[6], 0xEE);
  o = Read(Checksummed({0x1102, 0x3322, 0x5544, 0, 0, 0, 0, 0}), 0);
  EXPECT_EQ(o.stored, 0u);
  EXPECT_EQ(o.buffer, std::vector<uint8_t>(8, 0xEE));
}

TEST_F(EepromReader, TheLargestPartNeedsEightAddressBits) {
  // The probe stops after 7 bits; a 256-word part still answers 1 there.
  std::vector<uint16_t> image(256);
  for (unsigned i = 0; i < 256; ++i) image[i] = static_cast<uint16_t>(i * 0x0303);
  const Outcome o = Read(Checksummed(image));
  EXPECT_EQ(o.status, 0u);
  EXPECT_EQ(o.console, "TORVELIN: Reading EEPROM address... PASSED.\n");
}

}  // namespace
