// Timer reads, delays and the driver's timeout against the machine's 8254,
// measured in machine time (the virtual clock and the counts the timer gave).

#include "support/driver.h"

namespace {

using namespace tvtest;

struct TimerMachine {
  TimerMachine() : machine(ImageOptions(&IdleImage)) { BootAndWait(machine); }

  // Moves machine time on by `ns` while the CPU does something other than
  // read the timer (a write to the POST port, which nothing claims), so the
  // driver's next timer read costs one bus cycle again, not a busy wait's
  // longer step.
  void Advance(uint64_t ns) {
    outportb(0x80, 0);
    machine.clock().Advance(ns);
  }
  // Moves machine time on by `steps` timer steps (rounded up to whole ns).
  void AdvanceSteps(uint64_t steps) {
    Advance((steps * 1'000'000 + sim::Pit::kStepsPerMillisecond - 1) /
            sim::Pit::kStepsPerMillisecond);
  }
  // Moves time on until the live count is at most `count` (and near it).
  void AdvanceToCount(uint16_t count) {
    const uint16_t now = machine.pit().Count();
    AdvanceSteps(static_cast<uint16_t>(now - count));
  }

  sim::Machine machine;
};

// The counts the driver read, decoded from its port accesses: each latch
// command followed by a low and a high byte.
std::vector<uint32_t> CountsRead(const std::vector<sim::PortBus::Access>& accesses) {
  std::vector<uint32_t> counts;
  for (size_t i = 0; i < accesses.size(); ++i) {
    const auto& a = accesses[i];
    if (a.port == 0x43) {
      EXPECT_TRUE(a.write);
      EXPECT_EQ(a.value, 0u) << "channel 0 latch command";
      if (i + 2 >= accesses.size()) {
        ADD_FAILURE() << "latch without two data reads";
        break;
      }
      const auto& low = accesses[i + 1];
      const auto& high = accesses[i + 2];
      EXPECT_TRUE(low.port == 0x40 && !low.write && high.port == 0x40 && !high.write);
      counts.push_back(high.value * 256 + low.value);
      i += 2;
    }
  }
  return counts;
}

uint32_t Elapsed(uint32_t last, uint32_t now) { return (last - now) & 0xFFFF; }

TEST(Timing, ReadTimerCountLatchesThenReadsLowAndHighByte) {
  TimerMachine pc;
  PortLog log(pc.machine);
  const uint16_t count = ReadTimerCount();
  const auto accesses = log.Take();
  ASSERT_EQ(accesses.size(), 3u);
  EXPECT_EQ(CountsRead(accesses), std::vector<uint32_t>{count});

  IoDelay();
  const auto delay = log.Take();
  ASSERT_EQ(delay.size(), 3u);
  for (const auto& a : delay) EXPECT_TRUE(a.port == 0x61 && !a.write && a.width == 1);
}

// A timeout of n units answers 1 between boundaries and the remaining count
// at each of its n + 1 unit boundaries; only the low 16 bits of n count.
TEST(Timing, PollGivesOneBetweenBoundariesAndTheRemainingCountAtEach) {
  TimerMachine pc;
  for (uint32_t units : {0u, 1u, 3u, 0x10002u}) {
    SCOPED_TRACE(units);
    TimeoutStart(units);
    EXPECT_EQ(TimeoutAccumulator, 0u);
    ASSERT_EQ(TimeoutRemaining, (units & 0xFFFF) + 1);
    for (uint32_t left = units & 0xFFFF;; --left) {
      for (int i = 0; i < 4; ++i) {
        pc.AdvanceSteps(7000);
        EXPECT_EQ(TimeoutPoll(), 1u) << "inside the unit, " << left << " to come";
      }
      pc.AdvanceSteps(6000);  // 34000 steps with the polls' own time
      EXPECT_EQ(TimeoutPoll(), left);
      EXPECT_EQ(TimeoutAccumulator, 0u);
      if (left == 0) break;
    }
  }
}

TEST(Timing, UnitEndsOnlyAboveExactly32768StepsAndDropsTheSurplus) {
  TimerMachine pc;
  PortLog log(pc.machine);
  bool sawExact = false, sawOneMore = false;
  // Sweep the gap between start and poll across the boundary, step by step;
  // the counts the driver read decide what it must have answered.
  for (uint64_t nsGap = 13'712'000; nsGap < 13'736'000; nsGap += 211) {
    log.Clear();
    TimeoutStart(0);
    pc.Advance(nsGap);
    const uint32_t result = TimeoutPoll();
    const auto counts = CountsRead(log.Take());
    ASSERT_EQ(counts.size(), 2u);
    const uint32_t elapsed = Elapsed(counts[0], counts[1]);
    sawExact |= elapsed == 32768;
    sawOneMore |= elapsed == 32769;
    EXPECT_EQ(result, elapsed <= 32768 ? 1u : 0u) << "elapsed " << elapsed;
    EXPECT_EQ(TimeoutAccumulator, elapsed <= 32768 ? elapsed : 0u);
  }
  EXPECT_TRUE(sawExact && sawOneMore) << "sweep missed the boundary";

  // 60000 steps in one poll end one unit; the 27232 beyond it are dropped, so
  // 30000 more do not end the next one.
  TimeoutStart(1);
  pc.AdvanceSteps(60000);
  EXPECT_EQ(TimeoutPoll(), 1u);
  EXPECT_EQ(TimeoutAccumulator, 0u);
  pc.AdvanceSteps(30000);
  EXPECT_EQ(TimeoutPoll(), 1u);
  pc.AdvanceSteps(3000);
  EXPECT_EQ(TimeoutPoll(), 0u);
}

TEST(Timing, MillisecondDelayWaitsTheFullCountAcrossReloads) {
  TimerMachine pc;
  PortLog log(pc.machine);
  {
    SCOPED_TRACE("0 ms: two counter reads, the timeout left alone");
    TimeoutStart(7);
    pc.Advance(0);  // the delay starts fresh, not as part of a wait
    log.Clear();
    const uint64_t before = pc.machine.clock().NowNs();
    MillisecondDelay(0);
    EXPECT_EQ(pc.machine.clock().NowNs() - before, 6 * sim::Clock::kPortAccessNs);
    const auto accesses = log.Take();
    EXPECT_EQ(accesses.size(), 6u);
    EXPECT_EQ(CountsRead(accesses).size(), 2u);
    EXPECT_EQ(TimeoutRemaining, 8u);
  }
  {
    SCOPED_TRACE("1 ms straddling a reload");
    pc.AdvanceToCount(500);
    log.Clear();
    MillisecondDelay(1);
    const auto counts = CountsRead(log.Take());
    ASSERT_GE(counts.size(), 2u);
    uint32_t total = 0, beforeLast = 0;
    bool reloaded = false;
    for (size_t i = 1; i < counts.size(); ++i) {
      beforeLast = total;
      total += Elapsed(counts[i - 1], counts[i]);
      reloaded |= counts[i] > counts[i - 1];
    }
    EXPECT_TRUE(reloaded);
    EXPECT_GE(total, 2387u);
    EXPECT_LT(beforeLast, 2387u) << "returned at the first read past the target";
  }
  {
    SCOPED_TRACE("500 ms: about 18 counter periods");
    const uint64_t steps0 = sim::Pit::StepsAt(pc.machine.clock().NowNs());
    MillisecondDelay(500);
    const uint64_t steps = sim::Pit::StepsAt(pc.machine.clock().NowNs()) - steps0;
    EXPECT_GE(steps, 1193500u);
    // A long wait's reads cost more and more (see Clock::OnPortAccess): it
    // ends at the first read past its target, at most one poll later.
    const uint64_t poll =
        3 * sim::Clock::kIdleStepMaxNs * sim::Pit::kStepsPerMillisecond / 1'000'000;
    EXPECT_LT(steps, 1193500u + poll);
  }
}

}  // namespace
