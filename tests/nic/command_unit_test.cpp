// The command unit: block execution, status words, unit states, transmit
// and what reaches the wire.
#include "nic_rig.h"

namespace nic_test {
namespace {

TEST(CommandUnit, ListRunsWithStatusBitsAndStates) {
  Rig rig;
  Nic& nic = rig.Add(0);
  ASSERT_TRUE(nic.Reset());
  nic.Command(ScbCommandCuLoadBase, 0);
  EXPECT_EQ(nic.R8(ScbCommand), 0);  // accepted at once

  // configure -> address setup (I bit) -> no-op with suspend.
  CommandBlock* nop = rig.Block(CbCommandSuspend);
  CommandBlock* ia = rig.AddressSetup(Station(0), CbCommandInterrupt);
  HwStore32(&ia->Link, HwAddress(nop));
  std::array<uint8_t, 24> config = DriverConfiguration();
  CommandBlock* cfg = rig.Configure(config, 0);
  HwStore32(&cfg->Link, HwAddress(ia));

  nic.Command(ScbCommandCuStart, HwAddress(cfg));
  EXPECT_EQ(HwLoad16(&cfg->Status), CbStatusComplete | CbStatusOk);
  EXPECT_EQ(HwLoad16(&ia->Status), CbStatusComplete | CbStatusOk);
  EXPECT_EQ(HwLoad16(&nop->Status), CbStatusComplete | CbStatusOk);
  EXPECT_EQ(nic.model().IndividualAddress(), Station(0));
  EXPECT_TRUE(nic.model().Configured());
  EXPECT_EQ(nic.model().ConfigureBytes(), config);
  EXPECT_EQ(nic.model().counters().commands_executed.load(), 3u);
  // CX for the I bit; the CU stays active a little, then suspends with CNA.
  EXPECT_TRUE(nic.Status() & ScbStatusCx);
  ASSERT_TRUE(nic.WaitCuNotActive());
  EXPECT_EQ(nic.CuState(), 0x40);  // suspended
  EXPECT_TRUE(nic.Status() & ScbStatusCna);

  // Resume continues along the suspended block's link.
  CommandBlock* tail = rig.Block(CbCommandEndOfList);
  HwStore32(&nop->Link, HwAddress(tail));
  nic.W16(ScbStatus, 0xFF00);
  nic.Issue(0x20);  // CU resume
  EXPECT_EQ(HwLoad16(&tail->Status), CbStatusComplete | CbStatusOk);
  ASSERT_TRUE(nic.WaitCuNotActive());
  EXPECT_EQ(nic.CuState(), 0x00);                  // end of list: idle
  EXPECT_EQ(nic.Status() & 0xFF00, ScbStatusCna);  // no CX: tail had no I bit
  // Resume of an idle CU does nothing.
  nic.Issue(0x20);
  EXPECT_EQ(nic.CuState(), 0x00);
  // End of list wins over suspend: idle.
  RunBlock(nic, rig.Block(CbCommandEndOfList | CbCommandSuspend));
  EXPECT_EQ(nic.CuState(), 0x00);
}

TEST(CommandUnit, ConfigureHonoursItsByteCount) {
  Rig rig;
  Nic& nic = rig.Add(0);
  ASSERT_TRUE(nic.Reset());
  std::array<uint8_t, 24> config = DriverConfiguration();
  config[0] = 8;      // only bytes 0-7 apply
  config[15] = 0x49;  // promiscuous: beyond the count
  config[6] = 0xBB;   // save bad frames: within it
  RunBlock(nic, rig.Configure(config));
  EXPECT_EQ(nic.model().ConfigureBytes(), config);  // all 24 kept for observation
  const std::array<uint8_t, 24> active = nic.model().ActiveConfiguration();
  EXPECT_EQ(active[6], 0xBB);
  EXPECT_EQ(active[15], 0xC8);  // power-up value stands
}

TEST(CommandUnit, TransmittedFramesReachOtherPortsAsWritten) {
  Rig rig;
  Nic& nic = rig.Add(0);
  sim::TestPort& a = rig.AddTestPort();
  sim::TestPort& b = rig.AddTestPort();
  ASSERT_TRUE(nic.Reset());
  RunBlock(nic, rig.Configure(DriverConfiguration()));  // no source insertion, padding
  RunBlock(nic, rig.AddressSetup(Station(0)));

  const Mac foreign = {0x02, 0x99, 0x99, 0x99, 0x99, 0x99};
  const std::vector<uint8_t> full = MakeFrame(Station(1), foreign, 1536, 3);
  CommandBlock* cb = rig.Transmit(full);
  RunBlock(nic, cb);
  EXPECT_EQ(HwLoad16(&cb->Status), CbStatusComplete | CbStatusOk);
  ASSERT_EQ(a.Heard().size(), 1u);
  EXPECT_EQ(a.Heard()[0].bytes, full);  // source left as written
  ASSERT_EQ(b.Heard().size(), 1u);
  EXPECT_EQ(b.Heard()[0].bytes, full);
  EXPECT_EQ(nic.model().counters().frames_sent.load(), 1u);

  // A short frame is padded with zeros to 60.
  const std::vector<uint8_t> small = MakeFrame(Station(1), foreign, 42, 9);
  RunBlock(nic, rig.Transmit(small));
  std::vector<uint8_t> padded = small;
  padded.resize(60, 0);
  EXPECT_EQ(a.Heard().back().bytes, padded);

  // Source insertion on, padding off: the station address replaces bytes
  // 6-11 and a short frame goes out short.
  std::array<uint8_t, 24> config = DriverConfiguration();
  config[10] &= ~0x08;
  config[18] &= ~0x02;
  RunBlock(nic, rig.Configure(config));
  RunBlock(nic, rig.Transmit(small));
  std::vector<uint8_t> inserted = small;
  const Mac me = Station(0);
  std::copy(me.begin(), me.end(), inserted.begin() + 6);
  EXPECT_EQ(a.Heard().back().bytes, inserted);
}

TEST(CommandUnit, RefusedTransmitsAndUnknownCommands) {
  Rig rig;
  Nic& nic = rig.Add(0);
  sim::TestPort& port = rig.AddTestPort();
  ASSERT_TRUE(nic.Reset());

  // A TBD array: not modelled, completes without OK and sends nothing.
  CommandBlock* tbd = rig.Transmit(MakeFrame(kBroadcast, Station(0), 60));
  HwStore32(tbd->Parameters, 0x1000);
  RunBlock(nic, tbd);
  EXPECT_EQ(HwLoad16(&tbd->Status), CbStatusComplete);
  // Flexible mode bit: same.
  CommandBlock* flexible =
      rig.Transmit(MakeFrame(kBroadcast, Station(0), 60), CbCommandEndOfList | CbCommandFlexible);
  RunBlock(nic, flexible);
  EXPECT_EQ(HwLoad16(&flexible->Status), CbStatusComplete);
  EXPECT_EQ(nic.model().counters().transmit_errors.load(), 2u);
  EXPECT_TRUE(port.Heard().empty());

  // Diagnose (7) completes OK and is counted.
  CommandBlock* diagnose = rig.Block(CbCommandEndOfList | 7);
  RunBlock(nic, diagnose);
  EXPECT_EQ(HwLoad16(&diagnose->Status), CbStatusComplete | CbStatusOk);
  EXPECT_EQ(nic.model().counters().unknown_commands.load(), 1u);
}

TEST(CommandUnit, BasesAreAddedToEveryAddress) {
  Rig rig;
  Nic& nic = rig.Add(0);
  sim::TestPort& port = rig.AddTestPort();
  ASSERT_TRUE(nic.Reset());
  CommandBlock* second = rig.Transmit(MakeFrame(kBroadcast, Station(0), 64, 2));
  CommandBlock* first = rig.Transmit(MakeFrame(kBroadcast, Station(0), 64, 1), 0);
  const uint32_t base = HwAddress(first) - 0x100;
  HwStore32(&first->Link, HwAddress(second) - base);
  nic.Command(ScbCommandCuLoadBase, base);
  nic.Command(ScbCommandCuStart, 0x100);
  ASSERT_TRUE(nic.WaitCuNotActive());
  EXPECT_EQ(HwLoad16(&second->Status), CbStatusComplete | CbStatusOk);
  ASSERT_EQ(port.Heard().size(), 2u);
  EXPECT_EQ(port.Heard()[0].bytes[14], 1 + 14);
  EXPECT_EQ(port.Heard()[1].bytes[14], 2 + 14);
}

TEST(CommandUnit, LongListsRunInBoundedSteps) {
  Rig rig;
  Nic& nic = rig.Add(0);
  ASSERT_TRUE(nic.Reset());
  constexpr int kBlocks = 150;
  std::vector<CommandBlock*> blocks(kBlocks);
  for (int i = kBlocks - 1; i >= 0; --i) {
    const bool last = i == kBlocks - 1;
    blocks[i] =
        rig.Block(last ? CbCommandEndOfList : 0, last ? CbLinkNone : HwAddress(blocks[i + 1]));
  }
  // The access that finds the start taken has run one or two rounds of 64
  // blocks (the acceptance's and its own), never the whole list: the CU is
  // still active with the rest to do.
  ASSERT_TRUE(nic.Command(ScbCommandCuStart, HwAddress(blocks[0])));
  EXPECT_EQ(HwLoad16(&blocks[63]->Status), CbStatusComplete | CbStatusOk);
  EXPECT_EQ(HwLoad16(&blocks[2 * 64]->Status), 0);
  EXPECT_EQ(nic.CuState(), 0x80);
  ASSERT_TRUE(nic.WaitCuNotActive());
  EXPECT_EQ(HwLoad16(&blocks[kBlocks - 1]->Status), CbStatusComplete | CbStatusOk);
  EXPECT_EQ(nic.CuState(), 0x00);

  // A list that links to itself never ends, never hangs, and is recorded.
  CommandBlock* loop = rig.Block(0);
  HwStore32(&loop->Link, HwAddress(loop));
  nic.Command(ScbCommandCuStart, HwAddress(loop));
  for (int i = 0; i < 70; ++i) EXPECT_EQ(nic.CuState(), 0x80);
  EXPECT_EQ(nic.model().Observations().size(), 1u);
  EXPECT_GE(nic.model().counters().commands_executed.load(), 4096u + kBlocks);
  ASSERT_TRUE(nic.Reset());  // a reset stops it
  EXPECT_EQ(nic.CuState(), 0x00);
}

TEST(CommandUnit, TransmitKeepsTheUnitActiveForAWhile) {
  Rig rig;
  Nic& nic = rig.Add(0);
  ASSERT_TRUE(nic.Reset());
  CommandBlock* cb = rig.Transmit(MakeFrame(kBroadcast, Station(0), 100));
  nic.Command(ScbCommandCuStart, HwAddress(cb));
  // The block is done but the unit reads active for a couple of accesses.
  EXPECT_EQ(HwLoad16(&cb->Status), CbStatusComplete | CbStatusOk);
  int active_reads = 0;
  while (nic.CuState() == 0x80) ASSERT_LT(++active_reads, 100);
  EXPECT_GE(active_reads, 1);
  EXPECT_TRUE(nic.Status() & ScbStatusCna);
}

TEST(CommandUnit, Faults) {
  Rig rig;
  Nic& nic = rig.Add(0);
  sim::TestPort& port = rig.AddTestPort();
  ASSERT_TRUE(nic.Reset());

  // Command never accepted: the byte keeps reading back, nothing runs; the
  // command goes through once the fault is lifted.
  nic.model().faults().command_never_accepted = true;
  CommandBlock* cb = rig.Transmit(MakeFrame(kBroadcast, Station(0), 60));
  EXPECT_FALSE(nic.Command(ScbCommandCuStart, HwAddress(cb)));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(nic.R8(ScbCommand), ScbCommandCuStart);
  EXPECT_EQ(HwLoad16(&cb->Status), 0);
  EXPECT_TRUE(port.Heard().empty());
  nic.model().faults().command_never_accepted = false;
  EXPECT_EQ(nic.R8(ScbCommand), 0);
  EXPECT_EQ(HwLoad16(&cb->Status), CbStatusComplete | CbStatusOk);
  EXPECT_EQ(port.Heard().size(), 1u);
  ASSERT_TRUE(nic.WaitCuNotActive());

  // CU stuck active: reads active however long one waits.
  nic.model().faults().cu_stuck_active = true;
  EXPECT_FALSE(nic.WaitCuNotActive(200));
  nic.model().faults().cu_stuck_active = false;
  EXPECT_TRUE(nic.WaitCuNotActive());

  // Blocks never completed: the frame goes out, the status stays 0.
  nic.model().faults().blocks_never_complete = true;
  CommandBlock* silent = rig.Transmit(MakeFrame(kBroadcast, Station(0), 60));
  RunBlock(nic, silent);
  EXPECT_EQ(HwLoad16(&silent->Status), 0);
  EXPECT_EQ(port.Heard().size(), 2u);
  nic.model().faults().blocks_never_complete = false;

  // All-ones registers.
  nic.model().faults().registers_all_ones = true;
  EXPECT_EQ(nic.R32(ScbGeneralPointer), 0xFFFFFFFFu);
  EXPECT_EQ(nic.R8(ScbCommand), 0xFF);
  nic.model().faults().registers_all_ones = false;
  EXPECT_EQ(nic.R8(ScbCommand), 0);
}

}  // namespace
}  // namespace nic_test
