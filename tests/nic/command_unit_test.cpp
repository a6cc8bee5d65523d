// The command unit: block execution, status words, unit states, transmit
// and what reaches the wire, command acceptance in machine time and what
// software does wrong inside it, dump counters.
#include <vector>

#include "support/model.h"

namespace tvtest {
namespace {

using CommandUnit = ModelTest;
constexpr uint16_t kDone = CbStatusComplete | CbStatusOk;

TEST_F(CommandUnit, ListRunsWithStatusBitsStatesAndTheConfigureByteCount) {
  nic.Command(ScbCommandCuLoadBase, 0);
  EXPECT_EQ(nic.R8(ScbCommand), 0);  // accepted at once

  // configure -> address setup (I bit) -> no-op with suspend. The configure
  // block's byte count says only bytes 0-7 apply.
  std::array<uint8_t, 24> config = DriverConfiguration();
  config[0] = 8;
  config[15] = 0x49;  // promiscuous: beyond the count
  config[6] = 0xBB;   // save bad frames: within it
  CommandBlock* nop = rig.Block(CbCommandSuspend);
  CommandBlock* ia = rig.AddressSetup(Station(0), CbCommandInterrupt);
  HwStore32(&ia->Link, HwAddress(nop));
  CommandBlock* cfg = rig.Configure(config, 0);
  HwStore32(&cfg->Link, HwAddress(ia));
  nic.Command(ScbCommandCuStart, HwAddress(cfg));
  for (CommandBlock* cb : {cfg, ia, nop}) EXPECT_EQ(StatusOf(cb), kDone);
  EXPECT_EQ(nic.model().IndividualAddress(), Station(0));
  EXPECT_EQ(nic.model().ConfigureBytes(), config);  // all 24 kept for observation
  EXPECT_EQ(nic.model().ActiveConfiguration()[6], 0xBB);
  EXPECT_EQ(nic.model().ActiveConfiguration()[15], 0xC8);  // power-up value stands
  EXPECT_EQ(nic.counters().commands_executed.load(), 3u);
  // CX for the I bit; the CU stays active a little, then suspends with CNA.
  EXPECT_TRUE(nic.Status() & ScbStatusCx);
  ASSERT_TRUE(nic.WaitCuNotActive());
  EXPECT_EQ(nic.Status() & (0xC0 | ScbStatusCna), 0x40 | ScbStatusCna);  // suspended

  // Resume continues along the suspended block's link.
  CommandBlock* tail = rig.Block(CbCommandEndOfList);
  HwStore32(&nop->Link, HwAddress(tail));
  nic.W16(ScbStatus, 0xFF00);
  nic.Issue(0x20);  // CU resume
  EXPECT_EQ(StatusOf(tail), kDone);
  ASSERT_TRUE(nic.WaitCuNotActive());
  EXPECT_EQ(nic.CuState(), 0x00);                  // end of list: idle
  EXPECT_EQ(nic.Status() & 0xFF00, ScbStatusCna);  // no CX: tail had no I bit
  nic.Issue(0x20);                                 // resume of an idle CU does nothing
  EXPECT_EQ(nic.CuState(), 0x00);
  // End of list wins over suspend: idle.
  RunBlock(nic, rig.Block(CbCommandEndOfList | CbCommandSuspend));
  EXPECT_EQ(nic.CuState(), 0x00);
}

TEST_F(CommandUnit, ShortFramesArePaddedAndTheSourceInsertedAsConfigured) {
  RunBlock(nic, rig.Configure(DriverConfiguration()));  // no source insertion, padding
  RunBlock(nic, rig.AddressSetup(Station(0)));
  // A short frame is padded with zeros to 60; the source is left as written.
  const std::vector<uint8_t> small = PatternFrame(Station(1), Station(2), 42, 9);
  CommandBlock* cb = rig.Transmit(small);
  RunBlock(nic, cb);
  EXPECT_EQ(StatusOf(cb), kDone);
  std::vector<uint8_t> padded = small;
  padded.resize(60, 0);
  ASSERT_EQ(wire.Heard().size(), 1u);
  EXPECT_EQ(wire.Heard()[0].bytes, padded);
  EXPECT_EQ(nic.counters().frames_sent.load(), 1u);

  // Source insertion on, padding off: the station address replaces bytes
  // 6-11 and a short frame goes out short.
  std::array<uint8_t, 24> config = DriverConfiguration();
  config[10] &= ~0x08;
  config[18] &= ~0x02;
  RunBlock(nic, rig.Configure(config));
  RunBlock(nic, rig.Transmit(small));
  EXPECT_EQ(wire.Heard().back().bytes, PatternFrame(Station(1), Station(0), 42, 9));
}

TEST_F(CommandUnit, RefusedTransmitsAndUnknownCommands) {
  // A TBD array or the flexible mode bit: not modelled, completes without
  // OK and sends nothing.
  CommandBlock* tbd = rig.Transmit();
  HwStore32(tbd->Parameters, 0x1000);
  for (CommandBlock* cb : {tbd, rig.Transmit(60, 0, CbCommandEndOfList | CbCommandFlexible)}) {
    RunBlock(nic, cb);
    EXPECT_EQ(StatusOf(cb), CbStatusComplete);
  }
  EXPECT_EQ(nic.counters().transmit_errors.load(), 2u);
  EXPECT_TRUE(wire.Heard().empty());

  // Diagnose (7) completes OK and is counted.
  CommandBlock* diagnose = rig.Block(CbCommandEndOfList | 7);
  RunBlock(nic, diagnose);
  EXPECT_EQ(StatusOf(diagnose), kDone);
  EXPECT_EQ(nic.counters().unknown_commands.load(), 1u);
}

TEST_F(CommandUnit, BasesAreAddedToEveryAddress) {
  CommandBlock* second = rig.Transmit(64, 2);
  CommandBlock* first = rig.Transmit(64, 1, 0);
  const uint32_t base = HwAddress(first) - 0x100;
  HwStore32(&first->Link, HwAddress(second) - base);
  nic.Command(ScbCommandCuLoadBase, base);
  nic.Command(ScbCommandCuStart, 0x100);
  ASSERT_TRUE(nic.WaitCuNotActive());
  EXPECT_EQ(StatusOf(second), kDone);
  ASSERT_EQ(wire.Heard().size(), 2u);
  EXPECT_EQ(wire.Heard()[0].bytes[14], 1 + 14);
  EXPECT_EQ(wire.Heard()[1].bytes[14], 2 + 14);
}

TEST_F(CommandUnit, ListsRunInBoundedStepsAndTheUnitStaysActiveAWhile) {
  // After a transmit the block is done but the unit reads active for a
  // couple of accesses.
  CommandBlock* cb = rig.Transmit(100);
  nic.Command(ScbCommandCuStart, HwAddress(cb));
  EXPECT_EQ(StatusOf(cb), kDone);
  int active_reads = 0;
  while (nic.CuState() == 0x80) ASSERT_LT(++active_reads, 100);
  EXPECT_GE(active_reads, 1);
  EXPECT_TRUE(nic.Status() & ScbStatusCna);

  constexpr int kBlocks = 150;
  std::vector<CommandBlock*> blocks(kBlocks);
  blocks[kBlocks - 1] = rig.Block(CbCommandEndOfList);
  for (int i = kBlocks - 2; i >= 0; --i) blocks[i] = rig.Block(0, HwAddress(blocks[i + 1]));
  // The access that finds the start taken has run one or two rounds of 64
  // blocks (the acceptance's and its own), never the whole list.
  ASSERT_TRUE(nic.Command(ScbCommandCuStart, HwAddress(blocks[0])));
  EXPECT_EQ(StatusOf(blocks[63]), kDone);
  EXPECT_EQ(StatusOf(blocks[2 * 64]), 0);
  EXPECT_EQ(nic.CuState(), 0x80);
  ASSERT_TRUE(nic.WaitCuNotActive());
  EXPECT_EQ(StatusOf(blocks[kBlocks - 1]), kDone);

  // A list that links to itself never ends, never hangs, and is recorded.
  nic.Command(ScbCommandCuStart, HwAddress(rig.Loop()));
  for (int i = 0; i < 70; ++i) EXPECT_EQ(nic.CuState(), 0x80);
  EXPECT_EQ(nic.model().Observations().size(), 1u);
  EXPECT_GE(nic.counters().commands_executed.load(), 4096u + kBlocks);
  ASSERT_TRUE(nic.Reset());  // a reset stops it
  EXPECT_EQ(nic.CuState(), 0x00);
}

// Acceptance is a moment of machine time, not an event of the controller's
// own registers: software that polls only memory and the PC timer (as the
// driver does while it waits for a block) still sees the command taken.
TEST_F(CommandUnit, AcceptanceTakesMachineTimeAndCommandsInsideItAreProgrammingErrors) {
  sim::I8255xConfig config = sim::StandardController(1);
  config.command_latency_ns = 3000;
  Nic& slow = rig.Add(config);
  ASSERT_TRUE(slow.Reset());

  // Written, not yet taken: the byte reads back as written, then clears.
  slow.W8(ScbCommand, ScbCommandRuAbort);
  EXPECT_EQ(slow.R8(ScbCommand), ScbCommandRuAbort);
  EXPECT_TRUE(slow.WaitAccepted(100));

  CommandBlock* cb = rig.Transmit();
  slow.W32(ScbGeneralPointer, HwAddress(cb));
  slow.W8(ScbCommand, ScbCommandCuStart);
  int reads = 0;
  while ((StatusOf(cb) & CbStatusComplete) == 0 && reads < 100) {
    (void)rig.machine().ports().Read(0x40, 1);  // PIT channel 0
    ++reads;
  }
  EXPECT_LT(reads, 100);
  EXPECT_GE(reads, 2) << "taken before 3 us of machine time had passed";
  EXPECT_EQ(wire.Heard().size(), 1u);
  EXPECT_EQ(slow.counters().programming_errors.load(), 0u);
  ASSERT_TRUE(slow.WaitCuNotActive());

  // A second command before the first is taken replaces it.
  slow.W8(ScbCommand, ScbCommandRuAbort);
  slow.W8(ScbCommand, 0x06);  // load RU base
  auto errors = slow.model().ProgrammingErrors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].what.find("not yet accepted"), std::string::npos) << errors[0].what;
  ASSERT_TRUE(slow.WaitAccepted());

  // A CU start while the unit is active (on a list that never ends) is
  // dropped.
  CommandBlock* second = rig.Transmit(100);
  ASSERT_TRUE(slow.Command(ScbCommandCuStart, HwAddress(rig.Loop())));
  ASSERT_TRUE(slow.Command(ScbCommandCuStart, HwAddress(second)));
  errors = slow.model().ProgrammingErrors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[1].what.find("while the command unit is active"), std::string::npos)
      << errors[1].what;
  EXPECT_EQ(slow.counters().programming_errors.load(), 2u);
  EXPECT_EQ(StatusOf(second), 0) << "the start was dropped";
}

TEST_F(CommandUnit, DumpCountersWritesTheBlockThenItsCompletionWord) {
  auto* dump = rig.Alloc<uint32_t>(17 * 4);
  for (auto [command, completion] : {std::pair{0x50, 0xA005u}, std::pair{0x70, 0xA007u}}) {
    for (unsigned i = 0; i < 17; ++i) dump[i] = 0xDEADBEEF;
    nic.Command(0x40, HwAddress(dump));  // load dump counters address
    nic.Issue(static_cast<uint8_t>(command));
    EXPECT_EQ(HwLoad32(&dump[16]), completion);
    for (unsigned i = 0; i < 16; ++i) EXPECT_EQ(HwLoad32(&dump[i]), 0u) << i;
  }
}

// What the injected faults do beyond what the driver's tests of them see.
TEST_F(CommandUnit, Faults) {
  // Command never accepted: the byte keeps reading back, nothing runs; the
  // command goes through once the fault is lifted.
  nic.faults().command_never_accepted = true;
  CommandBlock* cb = rig.Transmit();
  EXPECT_FALSE(nic.Command(ScbCommandCuStart, HwAddress(cb)));
  EXPECT_EQ(StatusOf(cb), 0);
  nic.faults().command_never_accepted = false;
  EXPECT_EQ(nic.R8(ScbCommand), 0);
  EXPECT_EQ(StatusOf(cb), kDone);
  ASSERT_TRUE(nic.WaitCuNotActive());

  // Blocks never completed: the frame goes out, the status stays 0.
  nic.faults().blocks_never_complete = true;
  CommandBlock* silent = rig.Transmit();
  RunBlock(nic, silent);
  EXPECT_EQ(StatusOf(silent), 0);
  EXPECT_EQ(wire.Heard().size(), 2u);
}

}  // namespace
}  // namespace tvtest
