// Interrupt lines, the dispatcher, polled lines and the interrupt counters.
#include "support/kernel.h"

namespace {

using namespace tvtest;
using Clock = std::chrono::steady_clock;

// Two handlers and what they saw. Handler 0 notes when each of its runs
// began, and acknowledges the source (lowers line 5) from its
// `acknowledge_after`th run on (0: never).
struct InterruptDispatch : testing::Test {
  static inline std::atomic<uint64_t> runs[2], contexts[2], acknowledge_after;
  static inline std::mutex times_mutex;
  static inline std::vector<Clock::time_point> times;  // guarded by times_mutex

  template <int kIndex>
  static void Handler(uintptr_t context) {
    contexts[kIndex] = context;
    if (kIndex == 1) return void(runs[1].fetch_add(1));
    std::lock_guard lock(times_mutex);
    times.push_back(Clock::now());
    if (++runs[0] >= acknowledge_after && acknowledge_after != 0) {
      sim::Machine::Current()->irq().Lower(5);
    }
  }
  InterruptDispatch() {
    runs[0] = runs[1] = contexts[0] = contexts[1] = acknowledge_after = 0;
    times.clear();
  }
  sim::Machine machine{SmallMachine()};
};

TEST_F(InterruptDispatch, HandlersRunWhileTheLineStaysAsserted) {
  ASSERT_TRUE(Started(machine));
  KHandle a = 0, b = 0;
  ASSERT_EQ(KeAllocateInterrupt(5, &Handler<0>, 0x55, &a), 0u);
  ASSERT_EQ(KeAllocateInterrupt(5, &Handler<1>, 0x66, &b), 0u);
  KHandle refused = 0;  // a line beyond the controller's, no handler
  EXPECT_TRUE(a != b && KeAllocateInterrupt(256, &Handler<0>, 0, &refused) &&
              KeAllocateInterrupt(3, nullptr, 0, &refused));

  // The source is acknowledged only at the fifth round: the dispatcher must
  // keep calling both handlers of the line until then.
  acknowledge_after = 5;
  machine.irq().Raise(5);
  ASSERT_TRUE(Eventually([&] { return runs[0] >= 5 && !machine.irq().Asserted(5); }));
  WithInterruptsOff([] {  // once any round in progress has finished
    EXPECT_TRUE(runs[0] == 5 && runs[1] == 5) << runs[0] << " " << runs[1];
    EXPECT_TRUE(contexts[0] == 0x55 && contexts[1] == 0x66);
  });
  EXPECT_TRUE(machine.InterruptRuns() >= 5 && machine.InterruptStorms() == 0);

  // Once deallocated, a handler is never called again.
  ASSERT_EQ(KeDeallocateInterrupt(a), 0u);
  const uint64_t b_before = runs[1];
  machine.irq().Raise(5);
  ASSERT_TRUE(Eventually([&] { return runs[1] > b_before + 3; }));
  machine.irq().Lower(5);
  EXPECT_EQ(runs[0], 5u);
  EXPECT_NE(KeDeallocateInterrupt(a), 0u);

  // End of interrupt and the debug bits are counted.
  for (int i = 0; i < 2; ++i) EXPECT_EQ(KeEndOfInterrupt(b), 0u);
  EXPECT_NE(KeEndOfInterrupt(a), 0u) << "a dead handle";
  EXPECT_EQ(machine.EndOfInterruptCount(), 2u);
  debug_assert_bit(6);
  debug_assert_bit(0);
  EXPECT_EQ(machine.DebugBits(), 0x41u);
  debug_deassert_bit(6);
  EXPECT_TRUE(machine.DebugBits() == 0x01 && machine.DebugAssertCount() == 2);
}

// A line nobody acknowledges (a suspended adapter's controller holds it
// high) is run in a burst, then masked and looked at after pauses that
// double: 0.5 ms, 1 ms, ... up to 64 ms, so an idle machine with such a line
// sleeps. Only lower bounds of the gaps are checked, which a slow machine
// cannot break. A new rise ends the back-off at once.
TEST_F(InterruptDispatch, UnacknowledgedLineBacksOffWithGrowingPauses) {
  ASSERT_TRUE(Started(machine));
  KHandle a = 0;
  ASSERT_EQ(KeAllocateInterrupt(5, &Handler<0>, 5, &a), 0u);
  machine.irq().Raise(5);  // nobody acknowledges it
  constexpr uint64_t kBurst = 256;
  constexpr unsigned kLooks = 9;
  ASSERT_TRUE(Eventually([&] { return runs[0] >= kBurst + kLooks; }));
  // Driver threads still get interrupt exclusion during the back-off.
  WithInterruptsOff([] {});
  EXPECT_EQ(machine.InterruptStorms(), 1u) << "one back-off, however many looks";
  {
    std::lock_guard lock(times_mutex);
    auto expected = std::chrono::microseconds(500);
    for (unsigned look = 0; look < kLooks; ++look) {
      EXPECT_GE(times[kBurst + look] - times[kBurst + look - 1], expected) << "look " << look;
      expected = std::min<std::chrono::microseconds>(expected * 2, std::chrono::milliseconds(64));
    }
  }

  // The source falls and rises again (a resumed controller's next
  // interrupt): served at once, with a fresh burst before any new back-off.
  machine.irq().Lower(5);
  machine.irq().Raise(5);
  ASSERT_TRUE(Eventually([&] { return machine.InterruptStorms() == 2; }));
  machine.irq().Lower(5);
  // Two polls: the second is served by a dispatcher pass that began after
  // the line fell, so that pass has seen it low.
  ASSERT_TRUE(machine.PollNow() && machine.PollNow());
  // A fresh, acknowledged interrupt is served normally afterwards.
  acknowledge_after = runs[0] + 1;
  machine.irq().Raise(5);
  ASSERT_TRUE(Eventually([&] { return !machine.irq().Asserted(5); }));
  EXPECT_EQ(machine.InterruptStorms(), 2u);
}

TEST_F(InterruptDispatch, PolledLinesAreCalledPeriodicallyAndOnDemand) {
  EXPECT_FALSE(machine.PollNow()) << "no driver process yet";
  machine.SetLinePolled(7);
  ASSERT_TRUE(Started(machine));
  KHandle polled = 0, live = 0;
  ASSERT_EQ(KeAllocateInterrupt(7, &Handler<1>, 7, &polled), 0u);
  ASSERT_EQ(KeAllocateInterrupt(5, &Handler<0>, 5, &live), 0u);

  // Information 1: whether the line can interrupt (99: the call failed).
  auto can_interrupt = [](KHandle h) {
    uint32_t value = 99;
    return KeGetIntInformation(h, 1, &value) == 0 ? value : 99u;
  };
  EXPECT_EQ(can_interrupt(polled), 0u) << "a polled line cannot interrupt";
  EXPECT_EQ(can_interrupt(live), 1u);
  uint32_t value = 0;
  EXPECT_TRUE(KeGetIntInformation(live, 2, &value) && KeGetIntInformation(live, 1, nullptr));

  // On demand: one whole round has run when PollNow returns.
  const uint64_t before = runs[1];
  ASSERT_TRUE(machine.PollNow());
  EXPECT_TRUE(runs[1] > before && contexts[1] == 7) << runs[1] << " " << contexts[1];
  // Periodically, without asking.
  const uint64_t later = runs[1];
  EXPECT_TRUE(Eventually([&] { return runs[1] > later + 3; }));
  EXPECT_EQ(runs[0], 0u) << "the other line was never asserted";

  // Switching the line back to interrupting stops the polling.
  machine.SetLinePolled(7, false);
  EXPECT_EQ(can_interrupt(polled), 1u);
  ASSERT_TRUE(machine.PollNow());
  const uint64_t settled = WithInterruptsOff([] { return runs[1].load(); });
  ASSERT_TRUE(machine.PollNow());
  EXPECT_EQ(runs[1], settled);
  machine.Stop();
  EXPECT_FALSE(machine.PollNow());
}

}  // namespace
