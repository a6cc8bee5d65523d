// Interrupt lines, the dispatcher, polled lines and the interrupt counters.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "support/kernel.h"

namespace {

using namespace tvtest;

struct LineLog {
  static inline std::atomic<uint64_t> runs_a{0}, runs_b{0};
  static inline std::atomic<uintptr_t> context_a{0}, context_b{0};
  static inline std::atomic<uint64_t> acknowledge_after{0};  // 0: never
  static inline std::atomic<bool> after_deallocation{false};
  static inline std::atomic<int> late_calls{0};
  static inline std::mutex times_mutex;
  static inline std::vector<std::chrono::steady_clock::time_point> times;  // of HandlerA's runs

  static void Reset() {
    runs_a = runs_b = 0;
    context_a = context_b = 0;
    acknowledge_after = 0;
    after_deallocation = false;
    late_calls = 0;
    std::lock_guard lock(times_mutex);
    times.clear();
  }
  static void HandlerA(uintptr_t context) {
    if (after_deallocation) late_calls.fetch_add(1);
    context_a = context;
    {
      std::lock_guard lock(times_mutex);
      times.push_back(std::chrono::steady_clock::now());
    }
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
  KHandle a = 0, b = 0;
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
  for (int i = 0; i < 2; ++i) EXPECT_EQ(KeEndOfInterrupt(b), 0u);
  EXPECT_NE(KeEndOfInterrupt(a), 0u) << "a dead handle";
  EXPECT_EQ(machine.EndOfInterruptCount(), 2u);
  debug_assert_bit(6);
  debug_assert_bit(0);
  EXPECT_EQ(machine.DebugBits(), 0x41u);
  debug_deassert_bit(6);
  EXPECT_EQ(machine.DebugBits(), 0x01u);
  EXPECT_EQ(machine.DebugAssertCount(), 2u);
}

// A line nobody acknowledges (a suspended adapter's controller holds it
// high) is run in a burst, then masked and looked at after pauses that
// double: 0.5 ms, 1 ms, ... up to 64 ms, so an idle machine with such a line
// sleeps. Only lower bounds of the gaps are checked, which a slow machine
// cannot break. A new rise ends the back-off at once.
TEST(InterruptDispatch, UnacknowledgedLineBacksOffWithGrowingPauses) {
  LineLog::Reset();
  sim::Machine machine(SmallMachine());
  machine.Boot();
  ASSERT_TRUE(machine.WaitStarted());
  KHandle a = 0;
  ASSERT_EQ(KeAllocateInterrupt(5, &LineLog::HandlerA, 5, &a), 0u);
  machine.irq().Raise(5);  // nobody acknowledges it
  constexpr uint64_t kBurst = 256;
  constexpr unsigned kLooks = 9;
  ASSERT_TRUE(Eventually([&] { return LineLog::runs_a.load() >= kBurst + kLooks; }));
  // Driver threads still get interrupt exclusion during the back-off.
  KeDisableInterrupts();
  KeEnableInterrupts();
  EXPECT_EQ(machine.InterruptStorms(), 1u) << "one back-off, however many looks";
  {
    std::lock_guard lock(LineLog::times_mutex);
    auto expected = std::chrono::microseconds(500);
    for (unsigned look = 0; look < kLooks; ++look) {
      const auto gap = LineLog::times[kBurst + look] - LineLog::times[kBurst + look - 1];
      EXPECT_GE(gap, expected) << "look " << look;
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
  ASSERT_TRUE(machine.PollNow());
  ASSERT_TRUE(machine.PollNow());
  const uint64_t runs = LineLog::runs_a.load();
  // A fresh, acknowledged interrupt is served normally afterwards.
  LineLog::acknowledge_after = runs + 1;
  machine.irq().Raise(5);
  ASSERT_TRUE(Eventually([&] { return !machine.irq().Asserted(5); }));
  EXPECT_EQ(machine.InterruptStorms(), 2u);
}

TEST(InterruptDispatch, PolledLinesAreCalledPeriodicallyAndOnDemand) {
  LineLog::Reset();
  sim::Machine machine(SmallMachine());
  EXPECT_FALSE(machine.PollNow()) << "no driver process yet";
  machine.SetLinePolled(7);
  machine.Boot();
  ASSERT_TRUE(machine.WaitStarted());
  KHandle polled = 0, live = 0;
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
