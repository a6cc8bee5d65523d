// Command acceptance takes machine time; what software does inside that
// window is recorded as a programming error; dump counters land in memory.
#include "tests/nic/nic_rig.h"

namespace nic_test {
namespace {

TEST(HonestTiming, CommandsWaitForAcceptanceAndOverwritesAreProgrammingErrors) {
  Rig rig;
  sim::I8255xConfig config = Rig::Config(0);
  config.command_latency_ns = 3000;
  Nic& nic = rig.Add(config);
  ASSERT_TRUE(nic.Reset());

  // Written, not yet taken: the byte reads back as written, then clears.
  nic.W8(ScbCommand, ScbCommandRuAbort);
  EXPECT_EQ(nic.R8(ScbCommand), ScbCommandRuAbort);
  int reads = 0;
  while (nic.R8(ScbCommand) != 0 && reads < 100) ++reads;
  EXPECT_LT(reads, 100);
  EXPECT_EQ(nic.model().counters().programming_errors.load(), 0u);

  // A second command before the first is taken replaces it.
  nic.W8(ScbCommand, ScbCommandRuAbort);
  nic.W8(ScbCommand, 0x06);  // load RU base
  const auto errors = nic.model().ProgrammingErrors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].what.find("not yet accepted"), std::string::npos) << errors[0].what;
}

TEST(HonestTiming, DumpCountersWritesTheBlockThenItsCompletionWord) {
  Rig rig;
  Nic& nic = rig.Add(Rig::Config(0));
  ASSERT_TRUE(nic.Reset());
  auto* dump = rig.Alloc<uint32_t>(17 * 4);
  for (unsigned i = 0; i < 17; ++i) dump[i] = 0xDEADBEEF;
  struct Case {
    uint8_t command;
    uint32_t completion;
  };
  for (const Case& c : {Case{0x50, 0xA005}, Case{0x70, 0xA007}}) {
    nic.Command(0x40, HwAddress(dump));  // load dump counters address
    nic.W8(ScbCommand, c.command);
    for (int i = 0; i < 100 && nic.R8(ScbCommand) != 0; ++i) {
    }
    EXPECT_EQ(HwLoad32(&dump[16]), c.completion);
    for (unsigned i = 0; i < 16; ++i) EXPECT_EQ(HwLoad32(&dump[i]), 0u) << i;
  }
}

}  // namespace
}  // namespace nic_test
