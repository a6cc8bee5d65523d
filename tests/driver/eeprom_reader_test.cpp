// Serial EEPROM reader: the clocking of each bit, the size probe for every
// part size, the words stored, and the verdicts with their exact texts.

#include <gtest/gtest.h>

#include "support/driver.h"

namespace {

using namespace tvtest;

class EepromReader : public ::testing::Test {
 protected:
  void SetUp() override {
    pc_ = std::make_unique<TestPc>(Options({{"Quiet", "0"}}));
    nic_ = &pc_->AddNic(QuickConfig(0));
    pc_->Boot();
    adapter_ = AdapterAt(0);
    ASSERT_NE(adapter_, nullptr);
  }

  std::unique_ptr<TestPc> pc_;
  sim::I8255x* nic_ = nullptr;
  NicAdapter* adapter_ = nullptr;
};

TEST_F(EepromReader, ClocksEachBitAndMasksInterruptsFirst) {
  nic_->SetEepromImage(Checksummed({0x1102, 0x3322, 0x5544, 1, 0, 0, 0, 0}));
  nic_->EnableTrace(true);
  uint16_t buffer[3];
  {
    DriverLock lock;
    ASSERT_EQ(NicReadEeprom(adapter_, buffer, 6, nullptr), 0u);
  }
  nic_->EnableTrace(false);
  const auto trace = nic_->Trace();
  ASSERT_FALSE(trace.empty());
  EXPECT_TRUE(trace.front().write && trace.front().offset == ScbInterruptControl &&
              trace.front().value == 0x01)
      << "interrupts masked before the part is touched";

  std::vector<uint32_t> writes;
  for (const auto& entry : Accesses(*nic_, ScbEepromControl, true)) writes.push_back(entry.value);
  // Start bit and read opcode (1, 1, 0), each bit written, clocked high and
  // low; then probe bits 0x0A until the dummy zero (an 8-word part answers
  // after 3 address bits), deselect.
  const std::vector<uint32_t> start = {0x06, 0x07, 0x06, 0x06, 0x07, 0x06, 0x02, 0x03, 0x02};
  std::vector<uint32_t> probe = start;
  for (int i = 0; i < 3; ++i) probe.insert(probe.end(), {0x0A, 0x0B, 0x0A});
  probe.push_back(0x00);
  // Word 5: address 101, then 16 reads (clock high, low), deselect.
  std::vector<uint32_t> word5 = start;
  word5.insert(word5.end(), {0x06, 0x07, 0x06, 0x02, 0x03, 0x02, 0x06, 0x07, 0x06});
  for (int i = 0; i < 16; ++i) word5.insert(word5.end(), {0x03, 0x02});
  word5.push_back(0x00);
  ASSERT_EQ(writes.size(), probe.size() + 8 * word5.size());
  EXPECT_EQ(std::vector<uint32_t>(writes.begin(), writes.begin() + probe.size()), probe);
  const auto at = writes.begin() + static_cast<long>(probe.size() + 5 * word5.size());
  EXPECT_EQ(std::vector<uint32_t>(at, at + static_cast<long>(word5.size())), word5);
}

// A checksummed part of `words` words that passes the blank check.
std::vector<uint16_t> Part(unsigned words) {
  std::vector<uint16_t> image(words);
  for (unsigned i = 0; i < words; ++i) image[i] = static_cast<uint16_t>(0x0101 * i + 7);
  return Checksummed(image);
}

TEST_F(EepromReader, EveryPartSizeAndVerdict) {
  std::vector<uint16_t> blank16(16, 0xFFFF);  // words 3 to 7 blank
  for (size_t i = 8; i < 16; ++i) blank16[i] = 0x1234;
  std::vector<uint16_t> word7set = blank16;
  word7set[7] = 0;
  const std::vector<uint16_t> station = Checksummed({0x1102, 0x3322, 0x5544, 0, 0, 0, 0, 0});
  struct Case {
    const char* what;
    std::vector<uint16_t> image;
    uint32_t capacity;
    uint32_t status;
    const char* verdict;
    uint32_t stored;
  };
  const Case cases[] = {
      {"2 words: the checksum comes before the size",
       {0x1234, 0x5678},
       6,
       11,
       "Bad EEPROM checksum.",
       4},
      {"2 words, checksum right", {0x1111, 0xA9A9}, 6, 11, "Bad EEPROM size.", 4},
      {"4 words: the blank-check range is empty", Checksummed({0x1102, 0x3322, 0x5544, 0}), 6, 11,
       "FAILED.", 6},
      {"8 words, word 3 blank", Checksummed({1, 2, 3, 0xFFFF, 0, 0, 0, 0}), 6, 11, "FAILED.", 6},
      {"8 words, only word 3 set", Checksummed({1, 2, 3, 0xFFFE, 0xFFFF, 0xFFFF, 0xFFFF, 0}), 6, 0,
       "PASSED.", 6},
      // The blank check looks at words 3 to N/2 - 1 only.
      {"16 words, 3 to 7 blank", Checksummed(blank16), 6, 11, "FAILED.", 6},
      {"16 words, word 7 set", Checksummed(word7set), 6, 0, "PASSED.", 6},
      {"32 words", Part(32), 6, 0, "PASSED.", 6},
      {"64 words", Part(64), 6, 0, "PASSED.", 6},
      {"128 words", Part(128), 6, 0, "PASSED.", 6},
      // The probe stops after 7 bits; the largest part still answers 1 there.
      {"256 words", Part(256), 6, 0, "PASSED.", 6},
      {"capacity 7 stores whole words only", station, 7, 0, "PASSED.", 6},
      {"capacity 0 stores none", station, 0, 0, "PASSED.", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    nic_->SetEepromImage(c.image);
    // Marks the words the reader does not store.
    for (auto& word : adapter_->EepromImage) word = 0x5A5A;
    pc_->machine->ClearConsole();
    std::vector<uint8_t> buffer(8, 0xEE);
    uint32_t stored = 0xDEAD;
    {
      DriverLock lock;
      EXPECT_EQ(
          NicReadEeprom(adapter_, reinterpret_cast<uint16_t*>(buffer.data()), c.capacity, &stored),
          c.status);
    }
    EXPECT_EQ(pc_->machine->Console(),
              std::string("TORVELIN: Reading EEPROM address... ") + c.verdict + "\n");
    EXPECT_EQ(stored, c.stored);
    std::vector<uint8_t> expected(8, 0xEE);
    for (uint32_t i = 0; i < c.stored; ++i)
      expected[i] = static_cast<uint8_t>(c.image[i / 2] >> (i % 2 * 8));
    EXPECT_EQ(buffer, expected);
    for (size_t i = 0; i < EepromImageWords; ++i) {
      const uint16_t word = i < c.image.size() ? c.image[i] : 0x5A5A;
      ASSERT_EQ(adapter_->EepromImage[i], word) << "word " << i;
    }
  }
}

}  // namespace
