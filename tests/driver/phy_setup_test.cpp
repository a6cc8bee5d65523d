// PHY setup: which handler runs for which records, which PHY registers it
// touches, the link it records, the configure bytes it leaves, refusals, and
// an MDI that never finishes.

#include <gtest/gtest.h>

#include <cstring>

#include "support/controller_rig.h"

namespace {

using namespace controller_rig;

struct MdiAccess {
  bool write;
  uint32_t reg;
  uint16_t data;
  bool operator==(const MdiAccess&) const = default;
};

std::ostream& operator<<(std::ostream& out, const MdiAccess& a) {
  return out << (a.write ? "write " : "read ") << a.reg << " 0x" << std::hex << a.data;
}

// MDI cycles the driver started, decoded from the command words it wrote.
// Every one must address PHY 1.
std::vector<MdiAccess> MdiCycles(sim::I8255x& nic, size_t skip) {
  std::vector<MdiAccess> cycles;
  const auto writes = Accesses(nic, ScbMdiControl, true);
  for (size_t i = skip; i < writes.size(); ++i) {
    const auto& entry = writes[i];
    EXPECT_EQ((entry.value >> 21) & 0x1F, 1u) << "PHY address";
    const uint32_t opcode = (entry.value >> 26) & 3;
    EXPECT_TRUE(opcode == 1 || opcode == 2) << std::hex << entry.value;
    cycles.push_back({opcode == 1, (entry.value >> 16) & 0x1F,
                      static_cast<uint16_t>(opcode == 1 ? entry.value & 0xFFFF : 0)});
  }
  return cycles;
}

struct PhyRun {
  uint32_t status;
  std::vector<MdiAccess> cycles;
  std::vector<uint8_t> config;  // ConfigBlock afterwards
};

// Runs NicSetupPhy with the given records from the initial configure bytes.
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
  run.cycles = MdiCycles(nic, before);
  run.config.assign(ConfigBlock, ConfigBlock + 24);
  return run;
}

const std::vector<uint8_t> kUnchanged(kInitialConfig, kInitialConfig + 24);

std::vector<uint8_t> With(std::initializer_list<std::pair<int, uint8_t>> changes) {
  std::vector<uint8_t> bytes = kUnchanged;
  for (auto [index, value] : changes) bytes[index] = value;
  return bytes;
}

class PhySetup : public ::testing::Test {
 protected:
  void SetUp() override {
    pc_ = std::make_unique<TestPc>(Options());
    i82555_ = &pc_->AddNic(QuickConfig(0));  // 82555 reporting 100 Mbit/s, records 0x4701/0
    sim::I8255xConfig dp = QuickConfig(1);
    dp.phy = sim::PhyType::Dp83840;
    dp.phy_100mbit = false;
    dp.phy_primary = 0x0401;
    dp_ = &pc_->AddNic(dp);
    sim::I8255xConfig none = QuickConfig(2);
    none.phy = sim::PhyType::None;
    none.phy_primary = 0x0101;  // type 1: MII PHY without a handler of its own
    none_ = &pc_->AddNic(none);
    pc_->Boot();
    ASSERT_EQ(AdapterCount(), 3u);
  }

  std::unique_ptr<TestPc> pc_;
  sim::I8255x* i82555_ = nullptr;
  sim::I8255x* dp_ = nullptr;
  sim::I8255x* none_ = nullptr;
};

TEST_F(PhySetup, FirstBringUpsRecordTheLinkAndShapeTheConfigureBytes) {
  NicAdapter* a = AdapterAt(0);
  EXPECT_EQ(a->LinkSpeed, 100);
  EXPECT_EQ(a->LinkDuplex, 1);
  EXPECT_EQ(AdapterAt(1)->LinkSpeed, 10) << "DP83840 reporting 10 Mbit/s";
  EXPECT_EQ(AdapterAt(1)->LinkDuplex, 1);
  // Type 1 runs no handler: the fresh record's duplex stays 0, so full
  // duplex is forced in the configure bytes.
  EXPECT_EQ(AdapterAt(2)->LinkDuplex, 0);
  EXPECT_EQ(none_->ConfigureBytes()[19], 0xC0);
  EXPECT_EQ(none_->ConfigureBytes()[8], 0x01);
  EXPECT_EQ(i82555_->ConfigureBytes()[19], 0x00) << "configured before the third bring-up";
  EXPECT_EQ(i82555_->ConfigureBytes()[8], 0x01);
  EXPECT_EQ(i82555_->ConfigureBytes()[15] & 0x80, 0x00) << "carrier-sense filter off";
  for (int i = 0; i < 3; ++i) EXPECT_EQ(AdapterAt(i)->LinkForced, 0) << "never forced";
}

TEST_F(PhySetup, RecordsChooseHandlerRegistersAndRefusals) {
  NicAdapter* a = AdapterAt(0);
  const std::vector<MdiAccess> i82555 = {{false, 16, 0},
                                         {false, 23, 0}};  // then the write of 23, checked below

  // 82555 with a blank secondary record.
  PhyRun run = SetupPhy(*i82555_, a, 0x4701, 0xFFFF);
  EXPECT_EQ(run.status, 0u);
  EXPECT_EQ(a->EepromImage[7], 0u) << "blank secondary record cleared";
  ASSERT_EQ(run.cycles.size(), 3u);
  EXPECT_EQ(std::vector<MdiAccess>(run.cycles.begin(), run.cycles.begin() + 2), i82555);
  EXPECT_TRUE(run.cycles[2].write && run.cycles[2].reg == 23);
  EXPECT_EQ(run.cycles[2].data & 0x0020, 0x0020);
  EXPECT_EQ(run.cycles[2].data & 0x0400, 0) << "no forced full duplex";
  EXPECT_EQ(a->LinkSpeed, 100);
  EXPECT_EQ(a->LinkDuplex, 1);
  EXPECT_EQ(run.config, With({{8, 0x01}, {15, 0x48}}));

  // Bit 15 set: no MII PHY, yet the handler runs and probes the speed.
  run = SetupPhy(*i82555_, a, 0x8701, 0);
  EXPECT_EQ(run.status, 0u);
  EXPECT_EQ(run.cycles.size(), 3u);
  EXPECT_EQ(a->LinkSpeed, 100);
  EXPECT_EQ(a->LinkDuplex, 1);
  EXPECT_EQ(run.config, kUnchanged);

  // A refused secondary type: the handler has already run.
  run = SetupPhy(*i82555_, a, 0x4701, 0x0300);
  EXPECT_EQ(run.status, 11u);
  EXPECT_EQ(run.cycles.size(), 3u);
  EXPECT_EQ(run.config, kUnchanged);

  // Primary type 40 counts as 12 (refused), secondary 40 as 13 (accepted);
  // secondary 12 is refused.
  run = SetupPhy(*i82555_, a, 0x2801, 0);
  EXPECT_EQ(run.status, 11u);
  EXPECT_TRUE(run.cycles.empty());
  EXPECT_EQ(run.config, kUnchanged);
  EXPECT_EQ(SetupPhy(*i82555_, a, 0x4701, 0x2800).status, 0u);
  EXPECT_EQ(SetupPhy(*i82555_, a, 0x4701, 0x0C00).status, 11u);
  for (uint16_t refused : {0x0201, 0x0301, 0x0501, 0x0C01}) {
    EXPECT_EQ(SetupPhy(*i82555_, a, refused, 0).status, 11u) << std::hex << refused;
  }

  // No records at all: 10 Mbit/s half duplex, no MDI, nothing changed.
  run = SetupPhy(*i82555_, a, 0, 0);
  EXPECT_EQ(run.status, 0u);
  EXPECT_TRUE(run.cycles.empty());
  EXPECT_EQ(a->LinkSpeed, 10);
  EXPECT_EQ(a->LinkDuplex, 1);
  EXPECT_EQ(run.config, kUnchanged);

  // An MII PHY with no handler keeps the duplex it had.
  run = SetupPhy(*i82555_, a, 0x0101, 0, 2);
  EXPECT_TRUE(run.cycles.empty());
  EXPECT_EQ(a->LinkDuplex, 2);
  EXPECT_EQ(run.config, With({{8, 0x01}, {15, 0x48}, {19, 0xC0}}));

  // The secondary record alone can make the PHY an MII one.
  run = SetupPhy(*i82555_, a, 0, 0x0101);
  EXPECT_EQ(run.config, With({{8, 0x01}, {15, 0x48}}));

  // DP83840 (types 4 and 10): register 25, then 23.
  NicAdapter* d = AdapterAt(1);
  for (uint16_t record : {0x0401, 0x0A01}) {
    run = SetupPhy(*dp_, d, record, 0);
    EXPECT_EQ(run.status, 0u);
    ASSERT_EQ(run.cycles.size(), 3u);
    EXPECT_EQ(run.cycles[0], (MdiAccess{false, 25, 0}));
    EXPECT_EQ(run.cycles[1], (MdiAccess{false, 23, 0}));
    EXPECT_EQ(run.cycles[2].reg, 23u);
    EXPECT_EQ(d->LinkSpeed, 10);
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(AdapterAt(i)->LinkForced, 0);
}

TEST_F(PhySetup, MdiThatNeverFinishesTimesOutEveryAccess) {
  NicAdapter* a = AdapterAt(0);
  i82555_->faults().mdi_never_ready = true;
  {
    DriverLock lock;
    EXPECT_EQ(NicMdiRead(a, 1, 16), 0xFFFF);
    EXPECT_EQ(NicMdiWrite(a, 1, 23, 0x1234), 11u);
  }
  // The 82555 probe takes the all-ones read as 100 Mbit/s and writes it back.
  PhyRun run = SetupPhy(*i82555_, a, 0x4701, 0);
  EXPECT_EQ(run.status, 0u);
  EXPECT_EQ(a->LinkSpeed, 100);
  ASSERT_EQ(run.cycles.size(), 3u);
  EXPECT_EQ(run.cycles[2], (MdiAccess{true, 23, 0xFFFF}));
  // The DP83840 probe takes it as 10 Mbit/s.
  run = SetupPhy(*i82555_, a, 0x0401, 0);
  EXPECT_EQ(a->LinkSpeed, 10);
  i82555_->faults().mdi_never_ready = false;

  DriverLock lock;
  EXPECT_EQ(NicMdiWrite(a, 1, 23, 0x0020), 0u);
  EXPECT_EQ(NicMdiRead(a, 1, 23) & 0x0020, 0x0020) << "vendor register written and read back";
}

}  // namespace
