// Command unit: configure bytes and their filter bits, command-block
// alternation and rewind, transmit framing, and a controller that stops
// taking commands.

#include <gtest/gtest.h>

#include <cstring>

#include "support/controller_rig.h"

namespace {

using namespace controller_rig;
using testing_support::MakeFrame;

// The bytes of the configure command in the block the adapter used last.
std::vector<uint8_t> LastBlockBytes(NicAdapter* adapter, uint32_t count) {
  const auto* block =
      reinterpret_cast<const uint8_t*>(adapter->CommandBlocks[adapter->CurrentCommandBlock]);
  return std::vector<uint8_t>(block, block + count);
}

uint32_t Word(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t value;
  std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

TEST(CommandUnit, ConfigureBlockCarriesFilterAndIsSharedByEveryAdapter) {
  TestPc pc(Options());
  pc.AddNic(QuickConfig(0));
  sim::I8255xConfig second = QuickConfig(1);
  second.phy_primary = 0;  // no PHY records: it inherits the first adapter's MII choice
  second.phy_secondary = 0;
  second.phy = sim::PhyType::None;
  pc.AddNic(second);
  pc.Boot();
  ASSERT_EQ(AdapterCount(), 2u);
  NicAdapter* first = AdapterAt(0);
  NicAdapter* other = AdapterAt(1);

  // Creation configured both with no filter bits.
  for (sim::I8255x* nic : pc.nics) {
    ASSERT_TRUE(nic->Configured());
    const auto bytes = nic->ConfigureBytes();
    EXPECT_EQ(bytes[6], 0xBB) << "bad frames saved";
    EXPECT_EQ(bytes[7], 0x02) << "short frames kept";
    EXPECT_EQ(bytes[15] & 0x03, 0x02) << "not promiscuous, broadcasts refused";
    EXPECT_EQ(bytes[21] & 0x08, 0x00) << "no multicast-all";
    EXPECT_EQ(bytes[20] & 0x40, 0x00);
    EXPECT_EQ(bytes[8], 0x01) << "MII chosen by the first adapter's PHY, kept for the second";
    EXPECT_EQ(bytes[15] & 0x80, 0x00);
  }

  DriverLock lock;
  // The configure command: first word, link, 24 bytes, the last two 0.
  {
    const auto block = LastBlockBytes(other, 32);
    EXPECT_EQ(Word(block, 0) & 0xFFFF0000u, 0xC0020000u);
    EXPECT_EQ(Word(block, 4), 0xFFFFFFFFu);
    EXPECT_EQ(std::vector<uint8_t>(block.begin() + 8, block.end()),
              std::vector<uint8_t>(ConfigBlock, ConfigBlock + 24));
    EXPECT_EQ(block[30], 0);
    EXPECT_EQ(block[31], 0);
  }

  ASSERT_EQ(NicConfigure(first, 0xF), 0u);
  {
    const auto bytes = pc.nics[0]->ConfigureBytes();
    EXPECT_EQ(bytes[15] & 0x03, 0x01) << "promiscuous, broadcasts accepted";
    EXPECT_EQ(bytes[21] & 0x08, 0x08) << "multicast-all";
  }
  // Filter bit 0x1 changes nothing; the shared block follows the last filter.
  ASSERT_EQ(NicConfigure(other, 0x1), 0u);
  {
    const auto bytes = pc.nics[1]->ConfigureBytes();
    EXPECT_EQ(bytes[15] & 0x03, 0x02);
    EXPECT_EQ(bytes[21] & 0x08, 0x00);
    EXPECT_EQ(bytes[6], 0xBB);
    EXPECT_EQ(bytes[7], 0x02);
  }
  ASSERT_EQ(NicConfigure(other, 0x4), 0u);
  EXPECT_EQ(pc.nics[1]->ConfigureBytes()[15] & 0x03, 0x00);
  EXPECT_EQ(ConfigBlock[22], 0);
  EXPECT_EQ(ConfigBlock[23], 0);

  // A fresh image puts every configure byte and the instance counter back.
  ControllerResetImage();
  EXPECT_EQ(std::vector<uint8_t>(ConfigBlock, ConfigBlock + 24),
            std::vector<uint8_t>(kInitialConfig, kInitialConfig + 24));
  EXPECT_EQ(InstanceCounter, 0u);
}

TEST(CommandUnit, TransmitAlternatesBlocksAndRewindsToABlockThatNeverCompletes) {
  TestPc pc(Options({{"MacAddress", "02:11:22:33:44:55"}}));
  pc.AddNic(QuickConfig(0));
  pc.Boot();
  NicAdapter* adapter = AdapterAt(0);
  ASSERT_NE(adapter, nullptr);
  sim::I8255x& nic = *pc.nics[0];
  const Mac station = StationOf(adapter);

  std::vector<std::vector<uint8_t>> sent;
  {
    DriverLock lock;
    std::vector<uint32_t> used;
    for (uint32_t i = 0; i < 3; ++i) {
      sent.push_back(MakeFrame(kPeer, station, 100 + i, i));
      ASSERT_EQ(NicTransmit(adapter, sent.back().data(), 100 + i), 0u);
      used.push_back(adapter->CurrentCommandBlock);
    }
    EXPECT_EQ(used[0] ^ used[1], 1u) << "blocks alternate";
    EXPECT_EQ(used[2], used[0]);

    // The largest frame goes out; one byte more touches no block.
    sent.push_back(MakeFrame(kPeer, station, 1536, 7));
    ASSERT_EQ(NicTransmit(adapter, sent.back().data(), 1536), 0u);
    const uint32_t next = adapter->NextCommandBlock;
    const uint32_t current = adapter->CurrentCommandBlock;
    const auto tooLong = MakeFrame(kPeer, station, 1537, 8);
    EXPECT_EQ(NicTransmit(adapter, tooLong.data(), 1537), 0x10000000u);
    EXPECT_EQ(adapter->NextCommandBlock, next);
    EXPECT_EQ(adapter->CurrentCommandBlock, current);

    // A short buffer goes out padded with zeros to the minimum length.
    const auto tiny = MakeFrame(kPeer, station, 20, 9);
    ASSERT_EQ(NicTransmit(adapter, tiny.data(), 20), 0u);
    auto padded = tiny;
    padded.resize(60, 0);
    sent.push_back(padded);
  }
  ASSERT_TRUE(WaitUntil([&] { return pc.wire->Heard().size() >= sent.size(); }));
  const auto heard = pc.wire->Heard();
  ASSERT_EQ(heard.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(heard[i].bytes, sent[i]) << "frame " << i;

  // Blocks that never complete: both blocks go out once, then every request
  // waits for the older one again.
  nic.faults().blocks_never_complete = true;
  DriverLock lock;
  const auto frame = MakeFrame(kPeer, station, 60, 20);
  const uint32_t first = adapter->NextCommandBlock;
  EXPECT_EQ(NicTransmit(adapter, frame.data(), 60), 0u);
  EXPECT_EQ(NicTransmit(adapter, frame.data(), 60), 0u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(NicTransmit(adapter, frame.data(), 60), 2u);
    EXPECT_EQ(adapter->CurrentCommandBlock, first);
    EXPECT_EQ(adapter->NextCommandBlock, first) << "rewound, not skipped";
  }
  nic.faults().blocks_never_complete = false;
  EXPECT_EQ(NicTransmit(adapter, frame.data(), 60), 2u) << "the stuck block stays stuck";
  NicInitCommandBlocks(adapter);
  EXPECT_EQ(NicTransmit(adapter, frame.data(), 60), 0u);
  EXPECT_EQ(adapter->CurrentCommandBlock, 0u);
  EXPECT_EQ(nic.bus_errors().size(), 0u);
}

// A booted single-controller machine, for the two stuck-controller cases.
struct StuckRig {
  StuckRig() : pc(Options({{"MacAddress", "02:11:22:33:44:55"}})) {
    nic = &pc.AddNic(QuickConfig(0));
    pc.Boot();
    adapter = AdapterAt(0);
    if (adapter != nullptr) frame = MakeFrame(kPeer, StationOf(adapter), 60, 1);
  }
  TestPc pc;
  sim::I8255x* nic = nullptr;
  NicAdapter* adapter = nullptr;
  std::vector<uint8_t> frame;
};

TEST(CommandUnit, CommandUnitStuckActiveGivesElevenUntilItMovesAgain) {
  StuckRig rig;
  ASSERT_NE(rig.adapter, nullptr);
  DriverLock lock;
  rig.nic->faults().cu_stuck_active = true;
  EXPECT_EQ(NicWaitCommandUnit(rig.adapter, 1), 11u);
  EXPECT_EQ(NicTransmit(rig.adapter, rig.frame.data(), 60), 11u);
  rig.nic->faults().cu_stuck_active = false;
  EXPECT_EQ(NicWaitCommandUnit(rig.adapter, 1), 0u);
  // The block filled for the failed issue was never started; a fresh
  // alternation gets going again.
  NicInitCommandBlocks(rig.adapter);
  EXPECT_EQ(NicTransmit(rig.adapter, rig.frame.data(), 60), 0u);
}

TEST(CommandUnit, CommandNeverAcceptedGivesElevenAndNeverHangs) {
  StuckRig rig;
  ASSERT_NE(rig.adapter, nullptr);
  NicAdapter* adapter = rig.adapter;
  DriverLock lock;
  rig.pc.machine->ClearConsole();
  // The command written first is never taken; the next issue gives up on
  // the command byte.
  rig.nic->faults().command_never_accepted = true;
  EXPECT_EQ(NicTransmit(adapter, rig.frame.data(), 60), 0u);
  EXPECT_EQ(NicTransmit(adapter, rig.frame.data(), 60), 11u);
  // Neither block is free now: a transmit gives 2, configure and address
  // setup give 11 with their lines, printed although Quiet is set.
  EXPECT_EQ(NicTransmit(adapter, rig.frame.data(), 60), 2u);
  EXPECT_EQ(NicConfigure(adapter, 0), 11u);
  EXPECT_EQ(NicSetAddress(adapter), 11u);
  EXPECT_EQ(rig.pc.machine->Console(),
            "TORVELIN: Insufficient resources to configure controller.\n"
            "TORVELIN: Insufficient resources to set MAC address.\n");
  // The base load waits for the same byte and gives up the same way.
  EXPECT_EQ(NicLoadBases(adapter), 11u);
}

}  // namespace
