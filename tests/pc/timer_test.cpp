// The 8254 channel 0 as the driver reads it: latch, low byte, high byte.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/pc/clock.h"
#include "platform/pc/pit.h"
#include "platform/pc/port_bus.h"

namespace sim {
namespace {

struct TimerPc {
  Clock clock;
  PortBus bus{clock};
  Pit pit{clock};
  SystemControlPort control;
  TimerPc() {
    EXPECT_TRUE(bus.Map(0x40, 4, &pit));
    EXPECT_TRUE(bus.Map(0x61, 1, &control));
  }
};

TEST(Pit, LatchHoldsTheCountUntilBothBytesAreRead) {
  TimerPc pc;
  pc.clock.Advance(3'141'592);
  pc.bus.Write(0x43, 1, 0x00);
  const uint16_t latched = Pit::CountAt(pc.clock.NowNs());
  pc.clock.Advance(5'000'000);  // the live count moves on; the latch does not
  const uint32_t low = pc.bus.Read(0x40, 1);
  pc.clock.Advance(1'000'000);
  // A second latch while the first is half read is void, as on the part.
  pc.bus.Write(0x43, 1, 0x00);
  const uint32_t high = pc.bus.Read(0x40, 1);
  EXPECT_EQ(latched, high << 8 | low);
  EXPECT_NE(latched, pc.pit.Count());

  // Without a latch, reads give the live count's bytes alternately.
  const uint16_t live = Pit::CountAt(pc.clock.NowNs() + Clock::kPortAccessNs);
  EXPECT_EQ(live & 0xFF, pc.bus.Read(0x40, 1));
  const uint16_t live_next = Pit::CountAt(pc.clock.NowNs() + Clock::kPortAccessNs);
  EXPECT_EQ(live_next >> 8, pc.bus.Read(0x40, 1));

  // Mode commands and reload values are accepted and change nothing; a latch
  // resets the read order to the low byte.
  pc.bus.Read(0x40, 1);  // leaves the flip-flop at "high next"
  pc.bus.Write(0x43, 1, 0x34);
  pc.bus.Write(0x40, 1, 0x12);
  pc.bus.Write(0x43, 1, 0x0A);  // also a channel-0 latch (mode bits ignored)
  const uint16_t again = Pit::CountAt(pc.clock.NowNs());
  const uint32_t l2 = pc.bus.Read(0x40, 1);
  const uint32_t h2 = pc.bus.Read(0x40, 1);
  EXPECT_EQ(again, h2 << 8 | l2);

  // Channels 1 and 2 and reads of the command port are not modelled.
  for (uint32_t port : {0x41u, 0x42u, 0x43u}) EXPECT_EQ(0xFFu, pc.bus.Read(port, 1));

  // Port 0x61 reads back a byte.
  pc.bus.Write(0x61, 1, 0x1234);
  EXPECT_EQ(0x34u, pc.bus.Read(0x61, 1));
}

TEST(Pit, CountsDownAtTheDriversRateAndReloads) {
  EXPECT_EQ(0xFFFF, Pit::CountAt(0));
  // 65536 steps take 27455383.3 ns: the count passes 0 and reloads.
  EXPECT_EQ(0x0000, Pit::CountAt(27'455'383));
  EXPECT_EQ(0xFFFF, Pit::CountAt(27'455'384));
  // Exactly 2387 steps per millisecond from any starting point, no drift.
  for (uint64_t start : {uint64_t{0}, uint64_t{1}, uint64_t{418'937}, uint64_t{27'455'000},
                         uint64_t{86'400} * 1'000'000'000}) {
    const uint16_t before = Pit::CountAt(start);
    const uint16_t after = Pit::CountAt(start + 1'000'000);
    EXPECT_EQ(2387, static_cast<uint16_t>(before - after)) << start;
  }
  // Exact 64-bit arithmetic at the far end of machine time: (2^64 - 1) * 2387
  // / 10^6, worked out with arbitrary precision.
  const uint64_t far = ~uint64_t{0};
  EXPECT_EQ(uint64_t{44'032'378'103'944'699}, Pit::StepsAt(far));

  TimerPc pc;
  const uint16_t c0 = pc.pit.Count();
  pc.clock.Advance(1'000'000);
  EXPECT_EQ(2387, static_cast<uint16_t>(c0 - pc.pit.Count()));
}

TEST(Clock, VirtualTimeMovesOnlyWithWork) {
  Clock clock;
  EXPECT_EQ(ClockMode::Virtual, clock.mode());
  EXPECT_EQ(0u, clock.NowNs());
  clock.OnPortAccess();
  clock.Advance(500);
  EXPECT_EQ(Clock::kPortAccessNs + 500, clock.NowNs());

  // Each thread counts its own accesses at once and adds them to the
  // shared count in batches: another thread's view lags by less than a
  // batch, never goes back, and nothing is lost when a thread ends.
  Clock shared;
  std::thread([&] {
    for (uint64_t i = 0; i < Clock::kBatchAccesses + 3; ++i) {
      const uint64_t before = shared.NowNs();
      shared.OnPortAccess();
      EXPECT_EQ(before + Clock::kPortAccessNs, shared.NowNs());
    }
  }).join();
  EXPECT_EQ((Clock::kBatchAccesses + 3) * Clock::kPortAccessNs, shared.NowNs());
  std::atomic<bool> counted{false}, seen{false};
  std::thread worker([&] {
    for (uint64_t i = 0; i < Clock::kBatchAccesses - 1; ++i) shared.OnPortAccess();
    counted = true;
    while (!seen) std::this_thread::yield();
  });
  while (!counted) std::this_thread::yield();
  const uint64_t lagging = shared.NowNs();
  seen = true;
  worker.join();
  EXPECT_EQ((Clock::kBatchAccesses + 3) * Clock::kPortAccessNs, lagging);
  EXPECT_EQ((2 * Clock::kBatchAccesses + 2) * Clock::kPortAccessNs, shared.NowNs());

  // Leftover time goes to the clock it was counted on when the thread moves
  // to another clock, and is dropped quietly when that clock is gone.
  auto first = std::make_unique<Clock>();
  first->OnPortAccess();
  Clock second;
  EXPECT_EQ(0u, second.NowNs());
  second.OnPortAccess();
  EXPECT_EQ(Clock::kPortAccessNs, first->NowNs());
  EXPECT_EQ(Clock::kPortAccessNs, second.NowNs());
  first->OnPortAccess();
  first.reset();
  Clock third;
  third.OnPortAccess();
  EXPECT_EQ(Clock::kPortAccessNs, third.NowNs());
}

}  // namespace
}  // namespace sim
