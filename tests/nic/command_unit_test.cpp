// The command unit: block execution, status words, unit states, transmit
// and what reaches the wire, command acceptance in machine time and what
// software does wrong inside it, dump counters.
#include <vector>

#include "support/model.h"

namespace tvtest {
namespace {

TEST(CommandUnit, ListRunsWithStatusBitsAndStates) {
  Rig rig;
  Nic& nic = rig.Add(0);
  ASSERT_TRUE(nic.Reset());
  nic.Command(ScbCommandCuLoadBase, 0);
  EXPECT_EQ(nic.R8(ScbCommand), 0);  // accepted at once

  // configure -> address setup (I bit) -> no-op with suspend.
  CommandBlock* nop = rig.Block(CbCommandSuspend);
  CommandBlock* ia = rig.AddressSetup(RigStation(0), CbCommandInterrupt);
  HwStore32(&ia->Link, HwAddress(nop));
  std::array<uint8_t, 24> config = DriverConfiguration();
  CommandBlock* cfg = rig.Configure(config, 0);
  HwStore32(&cfg->Link, HwAddress(ia));

  nic.Command(ScbCommandCuStart, HwAddress(cfg));
  for (CommandBlock* cb : {cfg, ia, nop})
    EXPECT_EQ(HwLoad16(&cb->Status), CbStatusComplete | CbStatusOk);
  EXPECT_EQ(nic.model().IndividualAddress(), RigStation(0));
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
  nic.Issue(0x20);                                 // resume of an idle CU does nothing
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

TEST(CommandUnit, ShortFramesArePaddedAndTheSourceInsertedAsConfigured) {
  Rig rig;
  Nic& nic = rig.Add(0);
  sim::TestPort& port = rig.AddTestPort();
  ASSERT_TRUE(nic.Reset());
  RunBlock(nic, rig.Configure(DriverConfiguration()));  // no source insertion, padding
  RunBlock(nic, rig.AddressSetup(RigStation(0)));

  // A short frame is padded with zeros to 60; the source is left as written.
  const std::vector<uint8_t> small = PatternFrame(RigStation(1), RigStation(2), 42, 9);
  CommandBlock* cb = rig.Transmit(small);
  RunBlock(nic, cb);
  EXPECT_EQ(HwLoad16(&cb->Status), CbStatusComplete | CbStatusOk);
  std::vector<uint8_t> padded = small;
  padded.resize(60, 0);
  ASSERT_EQ(port.Heard().size(), 1u);
  EXPECT_EQ(port.Heard()[0].bytes, padded);
  EXPECT_EQ(nic.model().counters().frames_sent.load(), 1u);

  // Source insertion on, padding off: the station address replaces bytes
  // 6-11 and a short frame goes out short.
  std::array<uint8_t, 24> config = DriverConfiguration();
  config[10] &= ~0x08;
  config[18] &= ~0x02;
  RunBlock(nic, rig.Configure(config));
  RunBlock(nic, rig.Transmit(small));
  std::vector<uint8_t> inserted = small;
  const Mac me = RigStation(0);
  std::copy(me.begin(), me.end(), inserted.begin() + 6);
  EXPECT_EQ(port.Heard().back().bytes, inserted);
}

TEST(CommandUnit, RefusedTransmitsAndUnknownCommands) {
  Rig rig;
  Nic& nic = rig.Add(0);
  sim::TestPort& port = rig.AddTestPort();
  ASSERT_TRUE(nic.Reset());

  // A TBD array or the flexible mode bit: not modelled, completes without
  // OK and sends nothing.
  CommandBlock* tbd = rig.Transmit(PatternFrame(kBroadcast, RigStation(0), 60));
  HwStore32(tbd->Parameters, 0x1000);
  CommandBlock* flexible = rig.Transmit(PatternFrame(kBroadcast, RigStation(0), 60),
                                        CbCommandEndOfList | CbCommandFlexible);
  for (CommandBlock* cb : {tbd, flexible}) {
    RunBlock(nic, cb);
    EXPECT_EQ(HwLoad16(&cb->Status), CbStatusComplete);
  }
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
  CommandBlock* second = rig.Transmit(PatternFrame(kBroadcast, RigStation(0), 64, 2));
  CommandBlock* first = rig.Transmit(PatternFrame(kBroadcast, RigStation(0), 64, 1), 0);
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

TEST(CommandUnit, ListsRunInBoundedStepsAndTheUnitStaysActiveAWhile) {
  Rig rig;
  Nic& nic = rig.Add(0);
  ASSERT_TRUE(nic.Reset());
  // After a transmit the block is done but the unit reads active for a
  // couple of accesses.
  CommandBlock* cb = rig.Transmit(PatternFrame(kBroadcast, RigStation(0), 100));
  nic.Command(ScbCommandCuStart, HwAddress(cb));
  EXPECT_EQ(HwLoad16(&cb->Status), CbStatusComplete | CbStatusOk);
  int active_reads = 0;
  while (nic.CuState() == 0x80) ASSERT_LT(++active_reads, 100);
  EXPECT_GE(active_reads, 1);
  EXPECT_TRUE(nic.Status() & ScbStatusCna);

  constexpr int kBlocks = 150;
  std::vector<CommandBlock*> blocks(kBlocks);
  for (int i = kBlocks - 1; i >= 0; --i) {
    const bool last = i == kBlocks - 1;
    blocks[i] =
        rig.Block(last ? CbCommandEndOfList : 0, last ? CbLinkNone : HwAddress(blocks[i + 1]));
  }
  // The access that finds the start taken has run one or two rounds of 64
  // blocks (the acceptance's and its own), never the whole list.
  ASSERT_TRUE(nic.Command(ScbCommandCuStart, HwAddress(blocks[0])));
  EXPECT_EQ(HwLoad16(&blocks[63]->Status), CbStatusComplete | CbStatusOk);
  EXPECT_EQ(HwLoad16(&blocks[2 * 64]->Status), 0);
  EXPECT_EQ(nic.CuState(), 0x80);
  ASSERT_TRUE(nic.WaitCuNotActive());
  EXPECT_EQ(HwLoad16(&blocks[kBlocks - 1]->Status), CbStatusComplete | CbStatusOk);

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

// Acceptance is a moment of machine time, not an event of the controller's
// own registers: software that polls only memory and the PC timer (as the
// driver does while it waits for a block) still sees the command taken.
TEST(CommandUnit, AcceptanceTakesMachineTimeAndCommandsInsideItAreProgrammingErrors) {
  Rig rig;
  sim::I8255xConfig config = Rig::Config(0);
  config.command_latency_ns = 3000;
  Nic& nic = rig.Add(config);
  sim::TestPort& wire = rig.AddTestPort();
  ASSERT_TRUE(nic.Reset());

  // Written, not yet taken: the byte reads back as written, then clears.
  nic.W8(ScbCommand, ScbCommandRuAbort);
  EXPECT_EQ(nic.R8(ScbCommand), ScbCommandRuAbort);
  EXPECT_TRUE(nic.WaitAccepted(100));

  CommandBlock* cb = rig.Transmit(PatternFrame(kBroadcast, RigStation(0), 60));
  nic.W32(ScbGeneralPointer, HwAddress(cb));
  nic.W8(ScbCommand, ScbCommandCuStart);
  int reads = 0;
  while ((HwLoad16(&cb->Status) & CbStatusComplete) == 0 && reads < 100) {
    (void)rig.machine().ports().Read(0x40, 1);  // PIT channel 0
    ++reads;
  }
  EXPECT_LT(reads, 100);
  EXPECT_GE(reads, 2) << "taken before 3 us of machine time had passed";
  EXPECT_EQ(wire.Heard().size(), 1u);
  EXPECT_EQ(nic.model().counters().programming_errors.load(), 0u);
  ASSERT_TRUE(nic.WaitCuNotActive());

  // A second command before the first is taken replaces it.
  nic.W8(ScbCommand, ScbCommandRuAbort);
  nic.W8(ScbCommand, 0x06);  // load RU base
  auto errors = nic.model().ProgrammingErrors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].what.find("not yet accepted"), std::string::npos) << errors[0].what;
  ASSERT_TRUE(nic.WaitAccepted());

  // A CU start while the unit is active (on a list that never ends) is
  // dropped.
  CommandBlock* loop = rig.Block(0);
  HwStore32(&loop->Link, HwAddress(loop));
  CommandBlock* second = rig.Transmit(PatternFrame(kBroadcast, RigStation(0), 100));
  ASSERT_TRUE(nic.Command(ScbCommandCuStart, HwAddress(loop)));
  ASSERT_TRUE(nic.Command(ScbCommandCuStart, HwAddress(second)));
  errors = nic.model().ProgrammingErrors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[1].what.find("while the command unit is active"), std::string::npos)
      << errors[1].what;
  EXPECT_EQ(nic.model().counters().programming_errors.load(), 2u);
  EXPECT_EQ(HwLoad16(&second->Status), 0) << "the start was dropped";
}

TEST(CommandUnit, DumpCountersWritesTheBlockThenItsCompletionWord) {
  Rig rig;
  Nic& nic = rig.Add(0);
  ASSERT_TRUE(nic.Reset());
  auto* dump = rig.Alloc<uint32_t>(17 * 4);
  for (unsigned i = 0; i < 17; ++i) dump[i] = 0xDEADBEEF;
  for (auto [command, completion] : {std::pair{0x50, 0xA005u}, std::pair{0x70, 0xA007u}}) {
    nic.Command(0x40, HwAddress(dump));  // load dump counters address
    nic.Issue(static_cast<uint8_t>(command));
    EXPECT_EQ(HwLoad32(&dump[16]), completion);
    for (unsigned i = 0; i < 16; ++i) EXPECT_EQ(HwLoad32(&dump[i]), 0u) << i;
  }
}

// What the injected faults do beyond what the driver's tests of them see.
TEST(CommandUnit, Faults) {
  Rig rig;
  Nic& nic = rig.Add(0);
  sim::TestPort& port = rig.AddTestPort();
  ASSERT_TRUE(nic.Reset());
  sim::I8255xFaults& faults = nic.model().faults();

  // Command never accepted: the byte keeps reading back, nothing runs; the
  // command goes through once the fault is lifted.
  faults.command_never_accepted = true;
  CommandBlock* cb = rig.Transmit(PatternFrame(kBroadcast, RigStation(0), 60));
  EXPECT_FALSE(nic.Command(ScbCommandCuStart, HwAddress(cb)));
  EXPECT_EQ(HwLoad16(&cb->Status), 0);
  faults.command_never_accepted = false;
  EXPECT_EQ(nic.R8(ScbCommand), 0);
  EXPECT_EQ(HwLoad16(&cb->Status), CbStatusComplete | CbStatusOk);
  ASSERT_TRUE(nic.WaitCuNotActive());

  // Blocks never completed: the frame goes out, the status stays 0.
  faults.blocks_never_complete = true;
  CommandBlock* silent = rig.Transmit(PatternFrame(kBroadcast, RigStation(0), 60));
  RunBlock(nic, silent);
  EXPECT_EQ(HwLoad16(&silent->Status), 0);
  EXPECT_EQ(port.Heard().size(), 2u);
}

}  // namespace
}  // namespace tvtest
