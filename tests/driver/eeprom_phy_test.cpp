// What the driver makes of a controller's EEPROM: the serial reader (the
// clocking of each bit, the size probe for every part size, the words stored,
// the verdicts with their exact texts), and the PHY setup its records choose
// (which handler runs, the MDI cycles it runs, the link it records, the
// configure bytes it leaves, refusals, and an MDI that never finishes).

#include <cstring>

#include "support/driver.h"

namespace {

using namespace tvtest;

using EepromReader = OneAdapter;

TEST_F(EepromReader, ClocksEachBitAndMasksInterruptsFirst) {
  Boot();
  nic->SetEepromImage(Checksummed({0x1102, 0x3322, 0x5544, 1, 0, 0, 0, 0}));
  nic->EnableTrace(true);
  uint16_t buffer[3];
  {
    DriverLock lock;
    ASSERT_EQ(NicReadEeprom(a, buffer, 6, nullptr), 0u);
  }
  nic->EnableTrace(false);
  const auto trace = nic->Trace();
  ASSERT_FALSE(trace.empty());
  EXPECT_TRUE(trace.front().write && trace.front().offset == ScbInterruptControl &&
              trace.front().value == 0x01)
      << "interrupts masked before the part is touched";

  std::vector<uint32_t> writes;
  for (const auto& entry : Accesses(*nic, ScbEepromControl, true)) writes.push_back(entry.value);
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
  Boot({{"Quiet", "0"}});
  std::vector<uint16_t> blank16(16, 0xFFFF);  // words 3 to 7 blank
  for (size_t i = 8; i < 16; ++i) blank16[i] = 0x1234;
  std::vector<uint16_t> word7set = blank16;
  word7set[7] = 0;
  const std::vector<uint16_t> station = Checksummed({0x1102, 0x3322, 0x5544, 0, 0, 0, 0, 0});
  struct Case {
    const char* what;
    std::vector<uint16_t> image;
    uint32_t capacity, status;
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
    nic->SetEepromImage(c.image);
    // Marks the words the reader does not store.
    for (auto& word : a->EepromImage) word = 0x5A5A;
    pc->machine->ClearConsole();
    std::vector<uint8_t> buffer(8, 0xEE);
    uint32_t stored = 0xDEAD;
    {
      DriverLock lock;
      EXPECT_EQ(NicReadEeprom(a, reinterpret_cast<uint16_t*>(buffer.data()), c.capacity, &stored),
                c.status);
    }
    EXPECT_EQ(pc->machine->Console(),
              std::string("TORVELIN: Reading EEPROM address... ") + c.verdict + "\n");
    EXPECT_EQ(stored, c.stored);
    std::vector<uint8_t> expected(8, 0xEE);
    for (uint32_t i = 0; i < c.stored; ++i)
      expected[i] = static_cast<uint8_t>(c.image[i / 2] >> (i % 2 * 8));
    EXPECT_EQ(buffer, expected);
    for (size_t i = 0; i < EepromImageWords; ++i) {
      const uint16_t word = i < c.image.size() ? c.image[i] : 0x5A5A;
      ASSERT_EQ(a->EepromImage[i], word) << "word " << i;
    }
  }
}

struct MdiAccess {
  bool write;
  uint32_t reg;
  uint16_t data;
  bool operator==(const MdiAccess&) const = default;
};

std::ostream& operator<<(std::ostream& out, const MdiAccess& a) {
  return out << (a.write ? "write " : "read ") << a.reg << " 0x" << std::hex << a.data;
}

struct PhyRun {
  uint32_t status;
  std::vector<MdiAccess> cycles;  // decoded from the command words written; all to PHY 1
  std::vector<uint8_t> config;    // ConfigBlock afterwards
};

// Runs NicSetupPhy with the given records from a fresh image's configure bytes.
PhyRun SetupPhy(sim::I8255x& nic, NicAdapter* adapter, uint16_t primary, uint16_t secondary,
                uint16_t duplexBefore = 1) {
  DriverLock lock;
  std::memcpy(ConfigBlock, kInitialConfig, sizeof kInitialConfig);
  adapter->EepromImage[6] = primary;
  adapter->EepromImage[7] = secondary;
  adapter->LinkSpeed = 0;
  adapter->LinkDuplex = duplexBefore;
  const size_t before = Accesses(nic, ScbMdiControl, true).size();
  nic.EnableTrace(true);
  PhyRun run;
  run.status = NicSetupPhy(adapter);
  nic.EnableTrace(false);
  const auto writes = Accesses(nic, ScbMdiControl, true);
  for (size_t i = before; i < writes.size(); ++i) {
    const uint32_t value = writes[i].value;
    EXPECT_EQ((value >> 21) & 0x1F, 1u) << "PHY address";
    const uint32_t opcode = (value >> 26) & 3;
    EXPECT_TRUE(opcode == 1 || opcode == 2) << std::hex << value;
    run.cycles.push_back({opcode == 1, (value >> 16) & 0x1F,
                          static_cast<uint16_t>(opcode == 1 ? value & 0xFFFF : 0)});
  }
  run.config.assign(ConfigBlock, ConfigBlock + 24);
  return run;
}

class PhySetup : public ::testing::Test {
 protected:
  void SetUp() override {
    pc_ = std::make_unique<TestPc>(Options());
    nics_[0] = &pc_->AddNic(QuickConfig(0));  // 82555 at 100 Mbit/s, records 0x4701/0
    sim::I8255xConfig dp = QuickConfig(1);
    dp.phy = sim::PhyType::Dp83840;
    dp.phy_100mbit = false;
    dp.phy_primary = 0x0401;
    nics_[1] = &pc_->AddNic(dp);
    pc_->Boot();
    ASSERT_EQ(Adapters().size(), 2u);
  }

  std::unique_ptr<TestPc> pc_;
  sim::I8255x* nics_[2] = {};
};

TEST_F(PhySetup, RecordsChooseHandlerRegistersLinkAndConfigureBytes) {
  EXPECT_EQ(AdapterAt(0)->LinkSpeed, 100) << "the bring-up's own setup";
  EXPECT_EQ(AdapterAt(1)->LinkSpeed, 10);
  using Bytes = std::vector<std::pair<int, uint8_t>>;
  const Bytes mii = {{8, 0x01}, {15, 0x48}};  // MII interface, carrier-sense filter off
  const Bytes forced = {{8, 0x01}, {15, 0x48}, {19, 0xC0}};  // and full duplex
  const std::vector<uint32_t> i82555 = {16, 23}, dp83840 = {25, 23}, none = {};
  struct Case {
    const char* what;
    int nic;  // 0: 82555 reporting 100 Mbit/s, 1: DP83840 reporting 10 Mbit/s
    uint16_t primary, secondary, duplexBefore;
    uint32_t status;
    std::vector<uint32_t> reads;  // registers read; a handler then writes 23
    uint16_t speed, duplex;
    Bytes config;  // configure bytes changed
  };
  const Case cases[] = {
      {"82555, blank secondary", 0, 0x4701, 0xFFFF, 1, 0, i82555, 100, 1, mii},
      {"82555, no MII (bit 15): the handler still runs", 0, 0x8701, 0, 1, 0, i82555, 100, 1, {}},
      {"DP83840 type 4", 1, 0x0401, 0, 1, 0, dp83840, 10, 1, mii},
      {"DP83840 type 10, bit 6 of 25 clear", 0, 0x0A01, 0, 1, 0, dp83840, 100, 1, mii},
      {"refused secondary, after the handler", 0, 0x4701, 0x0300, 1, 11, i82555, 100, 1, {}},
      {"secondary 40 counts as 13: accepted", 0, 0x4701, 0x2800, 1, 0, i82555, 100, 1, mii},
      {"secondary 12 refused", 0, 0x4701, 0x0C00, 1, 11, i82555, 100, 1, {}},
      {"primary 40 counts as 12: refused", 0, 0x2801, 0, 1, 11, none, 0, 1, {}},
      {"primary 2 refused", 0, 0x0201, 0, 1, 11, none, 0, 1, {}},
      {"primary 3 refused", 0, 0x0301, 0, 1, 11, none, 0, 1, {}},
      {"primary 5 refused", 0, 0x0501, 0, 1, 11, none, 0, 1, {}},
      {"primary 12 refused", 0, 0x0C01, 0, 1, 11, none, 0, 1, {}},
      {"no records: 10 Mbit/s half duplex", 0, 0, 0, 1, 0, none, 10, 1, {}},
      // Type 1 has no handler: the duplex it had stays, and anything but half
      // forces full duplex.
      {"MII without a handler, full duplex", 0, 0x0101, 0, 2, 0, none, 0, 2, forced},
      {"MII without a handler, fresh record", 0, 0x0101, 0, 0, 0, none, 0, 0, forced},
      {"the secondary alone makes it MII", 0, 0, 0x0101, 1, 0, none, 0, 1, mii},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NicAdapter* adapter = AdapterAt(c.nic);
    const PhyRun run = SetupPhy(*nics_[c.nic], adapter, c.primary, c.secondary, c.duplexBefore);
    EXPECT_EQ(run.status, c.status);
    std::vector<MdiAccess> cycles;
    for (uint32_t reg : c.reads) cycles.push_back({false, reg, 0});
    if (!c.reads.empty()) cycles.push_back({true, 23, 0x0020});  // never full duplex: not forced
    EXPECT_EQ(run.cycles, cycles);
    EXPECT_EQ(adapter->LinkSpeed, c.speed);
    EXPECT_EQ(adapter->LinkDuplex, c.duplex);
    EXPECT_EQ(adapter->LinkForced, 0);
    EXPECT_EQ(adapter->EepromImage[7], c.secondary == 0xFFFF ? 0 : c.secondary);
    std::vector<uint8_t> config(kInitialConfig, kInitialConfig + 24);
    for (auto [index, value] : c.config) config[index] = value;
    EXPECT_EQ(run.config, config);
  }
}

TEST_F(PhySetup, MdiThatNeverFinishesTimesOutEveryAccess) {
  NicAdapter* a = AdapterAt(0);
  nics_[0]->faults().mdi_never_ready = true;
  nics_[0]->EnableTrace(true);
  {
    DriverLock lock;
    EXPECT_EQ(NicMdiRead(a, 1, 16), 0xFFFF);
    EXPECT_EQ(NicMdiWrite(a, 1, 23, 0x1234), 11u);
  }
  nics_[0]->EnableTrace(false);
  // Given up only after polling for the whole timeout, not after a look or
  // two: a PHY may take longer than that to finish a cycle.
  EXPECT_GT(Accesses(*nics_[0], ScbMdiControl, false).size(), 2 * 8u);
  // The 82555 probe takes the all-ones read as 100 Mbit/s and writes it back.
  PhyRun run = SetupPhy(*nics_[0], a, 0x4701, 0);
  EXPECT_EQ(run.status, 0u);
  EXPECT_EQ(a->LinkSpeed, 100);
  ASSERT_EQ(run.cycles.size(), 3u);
  EXPECT_EQ(run.cycles[2], (MdiAccess{true, 23, 0xFFFF}));
  // The DP83840 probe takes it as 10 Mbit/s.
  run = SetupPhy(*nics_[0], a, 0x0401, 0);
  EXPECT_EQ(a->LinkSpeed, 10);
  nics_[0]->faults().mdi_never_ready = false;

  DriverLock lock;
  EXPECT_EQ(NicMdiWrite(a, 1, 23, 0x0420), 0u);
  EXPECT_EQ(NicMdiRead(a, 1, 23), 0x0420) << "vendor register written and read back";
}

}  // namespace
