// Interrupt lines, the dispatcher, polled lines and the interrupt counters.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "kernel_test_util.h"

namespace {

using kernel_test::Eventually;
using kernel_test::SmallMachine;

struct LineLog {
  static inline std::atomic<uint64_t> runs_a{0};
  static inline std::atomic<uint64_t> runs_b{0};
  static inline std::atomic<uintptr_t> context_a{0};
  static inline std::atomic<uintptr_t> context_b{0};
  static inline std::atomic<uint64_t> acknowledge_after{0};  // 0: never
  static inline std::atomic<bool> after_deallocation{false};
  static inline std::atomic<int> late_calls{0};

  static void Reset() {
    runs_a = runs_b = 0;
    context_a = context_b = 0;
    acknowledge_after = 0;
    after_deallocation = false;
    late_calls = 0;
  }
  static void HandlerA(uintptr_t context) {
    if (after_deallocation) late_calls.fetch_add(1);
    context_a = context;
    const uint64_t n = runs_a.fetch_add(1) + 1;
    if (acknowledge_after != 0 && n >= acknowledge_after) {
      sim::Machine::Current()->irq().Lower(5);
    }
  }
  static void HandlerB(uintptr_t context) {
    context_b = context;
    runs_b.fetch_add(1);
  }
};

TEST(InterruptDispatch, HandlersRunWhileTheLineStaysAsserted) {
  LineLog::Reset();
  sim::Machine machine(SmallMachine());
  machine.Boot();
  ASSERT_TRUE(machine.WaitStarted());
  KHandle a = 0;
  KHandle b = 0;
  ASSERT_EQ(KeAllocateInterrupt(5, &LineLog::HandlerA, 0x55, &a), 0u);
  ASSERT_EQ(KeAllocateInterrupt(5, &LineLog::HandlerB, 0x66, &b), 0u);
  EXPECT_NE(a, b);
  EXPECT_NE(KeAllocateInterrupt(256, &LineLog::HandlerA, 0, &a), 0u);
  EXPECT_NE(KeAllocateInterrupt(3, nullptr, 0, &a), 0u);

  // The source is acknowledged only at the fifth round: the dispatcher must
  // keep calling both handlers of the line until then.
  LineLog::acknowledge_after = 5;
  machine.irq().Raise(5);
  ASSERT_TRUE(Eventually([] { return LineLog::runs_a.load() >= 5; }));
  ASSERT_TRUE(Eventually([&] { return !machine.irq().Asserted(5); }));
  // Let any round in progress finish, then compare.
  KeDisableInterrupts();
  EXPECT_EQ(LineLog::runs_a.load(), 5u);
  EXPECT_EQ(LineLog::runs_b.load(), 5u);
  EXPECT_EQ(LineLog::context_a.load(), 0x55u);
  EXPECT_EQ(LineLog::context_b.load(), 0x66u);
  KeEnableInterrupts();
  EXPECT_GE(machine.InterruptRuns(), 5u);
  EXPECT_EQ(machine.InterruptStorms(), 0u);

  // Once deallocated, a handler is never called again.
  ASSERT_EQ(KeDeallocateInterrupt(a), 0u);
  LineLog::after_deallocation = true;
  const uint64_t b_before = LineLog::runs_b.load();
  machine.irq().Raise(5);
  ASSERT_TRUE(Eventually([&] { return LineLog::runs_b.load() > b_before + 3; }));
  machine.irq().Lower(5);
  EXPECT_EQ(LineLog::late_calls.load(), 0);
  EXPECT_NE(KeDeallocateInterrupt(a), 0u);

  // End of interrupt and the debug bits are counted.
  EXPECT_EQ(KeEndOfInterrupt(b), 0u);
  EXPECT_EQ(KeEndOfInterrupt(b), 0u);
  EXPECT_NE(KeEndOfInterrupt(a), 0u) << "a dead handle";
  EXPECT_EQ(machine.EndOfInterruptCount(), 2u);
  debug_assert_bit(6);
  debug_assert_bit(0);
  EXPECT_EQ(machine.DebugBits(), 0x41u);
  debug_deassert_bit(6);
  EXPECT_EQ(machine.DebugBits(), 0x01u);
  EXPECT_EQ(machine.DebugAssertCount(), 2u);
}

TEST(InterruptDispatch, UnacknowledgedLineBacksOffWithoutStarvingTheDriver) {
  LineLog::Reset();
  sim::Machine machine(SmallMachine());
  machine.Boot();
  ASSERT_TRUE(machine.WaitStarted());
  KHandle a = 0;
  ASSERT_EQ(KeAllocateInterrupt(5, &LineLog::HandlerA, 5, &a), 0u);
  machine.irq().Raise(5);  // nobody acknowledges it
  ASSERT_TRUE(Eventually([&] { return machine.InterruptStorms() >= 3; }));
  // Driver threads still get interrupt exclusion during the storm.
  for (int i = 0; i < 20; ++i) {
    KeDisableInterrupts();
    KeEnableInterrupts();
  }
  machine.irq().Lower(5);
  // Two polls: the second is served by a dispatcher pass that began after
  // the line fell, so that pass has seen it low.
  ASSERT_TRUE(machine.PollNow());
  ASSERT_TRUE(machine.PollNow());
  const uint64_t runs = LineLog::runs_a.load();
  const uint64_t storms = machine.InterruptStorms();
  // A fresh, acknowledged interrupt is served normally afterwards.
  LineLog::acknowledge_after = runs + 1;
  machine.irq().Raise(5);
  ASSERT_TRUE(Eventually([&] { return !machine.irq().Asserted(5); }));
  EXPECT_EQ(machine.InterruptStorms(), storms);
}

TEST(InterruptDispatch, PolledLinesAreCalledPeriodicallyAndOnDemand) {
  LineLog::Reset();
  sim::Machine machine(SmallMachine());
  EXPECT_FALSE(machine.PollNow()) << "no driver process yet";
  machine.SetLinePolled(7);
  machine.Boot();
  ASSERT_TRUE(machine.WaitStarted());
  KHandle polled = 0;
  KHandle live = 0;
  ASSERT_EQ(KeAllocateInterrupt(7, &LineLog::HandlerB, 7, &polled), 0u);
  ASSERT_EQ(KeAllocateInterrupt(5, &LineLog::HandlerA, 5, &live), 0u);

  uint32_t value = 99;
  ASSERT_EQ(KeGetIntInformation(polled, 1, &value), 0u);
  EXPECT_EQ(value, 0u) << "a polled line cannot interrupt";
  ASSERT_EQ(KeGetIntInformation(live, 1, &value), 0u);
  EXPECT_EQ(value, 1u);
  EXPECT_NE(KeGetIntInformation(live, 2, &value), 0u);
  EXPECT_NE(KeGetIntInformation(live, 1, nullptr), 0u);

  // On demand: one whole round has run when PollNow returns.
  const uint64_t before = LineLog::runs_b.load();
  ASSERT_TRUE(machine.PollNow());
  EXPECT_GT(LineLog::runs_b.load(), before);
  EXPECT_EQ(LineLog::context_b.load(), 7u);
  // Periodically, without asking.
  const uint64_t later = LineLog::runs_b.load();
  EXPECT_TRUE(Eventually([&] { return LineLog::runs_b.load() > later + 3; }));
  EXPECT_EQ(LineLog::runs_a.load(), 0u) << "the other line was never asserted";

  // Switching the line back to interrupting stops the polling.
  machine.SetLinePolled(7, false);
  ASSERT_EQ(KeGetIntInformation(polled, 1, &value), 0u);
  EXPECT_EQ(value, 1u);
  ASSERT_TRUE(machine.PollNow());
  KeDisableInterrupts();
  const uint64_t settled = LineLog::runs_b.load();
  KeEnableInterrupts();
  ASSERT_TRUE(machine.PollNow());
  EXPECT_EQ(LineLog::runs_b.load(), settled);
  machine.Stop();
  EXPECT_FALSE(machine.PollNow());
}

}  // namespace
