// Command unit: the configure bytes and their filter bits, address setup,
// command-block alternation and rewind, transmit framing, and a controller
// that stops taking commands.

#include <cstring>

#include "support/driver.h"

namespace {

using namespace tvtest;
using CommandUnit = OneAdapter;

std::vector<uint8_t> Bytes(const void* data, size_t count) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  return std::vector<uint8_t>(bytes, bytes + count);
}

TEST_F(CommandUnit, ConfigureFollowsTheFilterAndOneBlockServesEveryAdapter) {
  TestPc pc(Options());
  pc.AddNic(QuickConfig(0));
  sim::I8255xConfig second = QuickConfig(1);
  second.phy_primary = 0;  // no PHY records: it inherits the first adapter's MII choice
  second.phy_secondary = 0;
  second.phy = sim::PhyType::None;
  pc.AddNic(second);
  pc.Boot();
  ASSERT_EQ(Adapters().size(), 2u);

  for (unsigned i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(pc.nics[i]->Configured());
    EXPECT_EQ(pc.nics[i]->IndividualAddress(), StationOf(AdapterAt(i)));
    EXPECT_EQ(pc.nics[i]->ConfigureBytes()[8], 0x01) << "MII, chosen by the first adapter's PHY";
  }

  DriverLock lock;
  NicAdapter* other = AdapterAt(1);
  // The configure command: first word, no link, the 24 shared bytes.
  const auto block = Bytes(other->CommandBlocks[other->CurrentCommandBlock], 32);
  EXPECT_EQ(Bytes(block.data() + 2, 6), (std::vector<uint8_t>{0x02, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Bytes(block.data() + 8, 24), Bytes(ConfigBlock, 24));

  // Every filter keeps bad and short frames and one individual address; the
  // second adapter's bytes are the first one's, PHY choices included.
  struct Case {
    uint32_t filter;
    uint8_t byte15;  // promiscuous 0x01, broadcasts refused 0x02
    uint8_t byte21;  // multicast-all 0x08
  };
  for (const Case& c : {Case{0x0, 0x02, 0}, Case{0x1, 0x02, 0}, Case{0x2, 0x02, 0x08},
                        Case{0x4, 0x00, 0}, Case{0x8, 0x03, 0}, Case{0xF, 0x01, 0x08}}) {
    SCOPED_TRACE(testing::Message() << "filter " << c.filter);
    ASSERT_EQ(NicConfigure(other, c.filter), 0u);
    std::vector<uint8_t> expected = Bytes(kInitialConfig, 24);
    expected[6] = 0xBB;                                    // bad frames saved
    expected[7] = 0x02;                                    // short frames kept
    expected[8] = 0x01;                                    // MII
    expected[15] = static_cast<uint8_t>(0x48 | c.byte15);  // carrier-sense filter off
    expected[21] = static_cast<uint8_t>(0x05 | c.byte21);
    const auto bytes = pc.nics[1]->ConfigureBytes();
    EXPECT_EQ(Bytes(bytes.data(), 24), expected);
    EXPECT_EQ(Bytes(ConfigBlock, 24), expected) << "the shared block";
  }

  // A fresh image puts every configure byte and the instance counter back.
  ControllerResetImage();
  EXPECT_EQ(Bytes(ConfigBlock, 24), Bytes(kInitialConfig, 24));
  EXPECT_EQ(InstanceCounter, 0u);
}

TEST_F(CommandUnit, TransmitAlternatesBlocksAndRewindsToABlockThatNeverCompletes) {
  Boot();
  const Mac station = StationOf(a);

  std::vector<std::vector<uint8_t>> sent;
  {
    DriverLock lock;
    std::vector<uint32_t> used;
    // Up to the largest frame; a short one goes out padded with zeros.
    for (uint32_t length : {100u, 101u, 1536u, 20u}) {
      sent.push_back(MakeFrame(kPeer, station, length, length));
      ASSERT_EQ(NicTransmit(a, sent.back().data(), length), 0u);
      if (length < 60) sent.back().resize(60, 0);
      used.push_back(a->CurrentCommandBlock);
    }
    EXPECT_EQ(used, (std::vector<uint32_t>{used[0], used[0] ^ 1, used[0], used[0] ^ 1}));

    // One byte more than the largest touches no block.
    const auto tooLong = MakeFrame(kPeer, station, 1537, 8);
    EXPECT_EQ(NicTransmit(a, tooLong.data(), 1537), 0x10000000u);
    EXPECT_EQ(a->CurrentCommandBlock, used.back());
    EXPECT_EQ(a->NextCommandBlock, used[0]);
  }
  ASSERT_TRUE(Eventually([&] { return pc->wire->Heard().size() >= sent.size(); }));
  // The controller writes a block's status only after the frame has left, so
  // the wire can hear the last frame before its block counts as complete.
  ASSERT_TRUE(Eventually([&] {
    for (const CommandBlock& block : a->Blocks)
      if ((__atomic_load_n(&block.Status, __ATOMIC_ACQUIRE) & CbStatusComplete) == 0) return false;
    return true;
  }));
  const auto heard = pc->wire->Heard();
  ASSERT_EQ(heard.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(heard[i].bytes, sent[i]) << "frame " << i;

  // Blocks that never complete: both blocks go out once, then every request
  // waits for the older one again.
  nic->faults().blocks_never_complete = true;
  DriverLock lock;
  const auto frame = MakeFrame(kPeer, station, 60, 20);
  const uint32_t first = a->NextCommandBlock;
  EXPECT_EQ(NicTransmit(a, frame.data(), 60), 0u);
  EXPECT_EQ(NicTransmit(a, frame.data(), 60), 0u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(NicTransmit(a, frame.data(), 60), 2u);
    EXPECT_EQ(a->CurrentCommandBlock, first);
    EXPECT_EQ(a->NextCommandBlock, first) << "rewound, not skipped";
  }
  nic->faults().blocks_never_complete = false;
  EXPECT_EQ(NicTransmit(a, frame.data(), 60), 2u) << "the stuck block stays stuck";
  NicInitCommandBlocks(a);
  EXPECT_EQ(NicTransmit(a, frame.data(), 60), 0u);
  EXPECT_EQ(a->CurrentCommandBlock, 0u);
  EXPECT_EQ(nic->bus_errors().size(), 0u);
}

TEST_F(CommandUnit, AControllerThatStopsTakingCommandsGivesElevenAndNeverHangs) {
  Boot();
  const auto frame = MakeFrame(kPeer, StationOf(a), 60, 1);
  DriverLock lock;

  // A command unit stuck active, until it moves again. The block filled for
  // the failed issue was never started; a fresh alternation gets going.
  nic->faults().cu_stuck_active = true;
  EXPECT_EQ(NicWaitCommandUnit(a, 1), 11u);
  EXPECT_EQ(NicTransmit(a, frame.data(), 60), 11u);
  nic->faults().cu_stuck_active = false;
  EXPECT_EQ(NicWaitCommandUnit(a, 1), 0u);
  NicInitCommandBlocks(a);
  EXPECT_EQ(NicTransmit(a, frame.data(), 60), 0u);
  ASSERT_TRUE(WaitCommandTaken(*pc->machine, *nic));

  // The command written next is never taken; the issue after it gives up
  // on the command byte.
  pc->machine->ClearConsole();
  nic->faults().command_never_accepted = true;
  EXPECT_EQ(NicTransmit(a, frame.data(), 60), 0u);
  EXPECT_EQ(NicTransmit(a, frame.data(), 60), 11u);
  // Neither block is free now: a transmit gives 2, configure and address
  // setup give 11 with their lines, printed although Quiet is set.
  EXPECT_EQ(NicTransmit(a, frame.data(), 60), 2u);
  EXPECT_EQ(NicConfigure(a, 0), 11u);
  EXPECT_EQ(NicSetAddress(a), 11u);
  EXPECT_EQ(pc->machine->Console(),
            "TORVELIN: Insufficient resources to configure controller.\n"
            "TORVELIN: Insufficient resources to set MAC address.\n");
  // The base load waits for the same byte and gives up the same way.
  EXPECT_EQ(NicLoadBases(a), 11u);
}

}  // namespace
