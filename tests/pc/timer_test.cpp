// The 8254 channel 0 as the driver reads it (latch, low byte, high byte),
// and the virtual clock it counts.
#include <gtest/gtest.h>

#include <memory>

#include "platform/pc/clock.h"
#include "platform/pc/pit.h"
#include "platform/pc/port_bus.h"

namespace {

using namespace sim;

TEST(Pit, LatchHoldsTheCountUntilBothBytesAreRead) {
  Clock clock;
  PortBus bus{clock};
  Pit pit{clock};
  SystemControlPort control;
  ASSERT_TRUE(bus.Map(0x40, 4, &pit) && bus.Map(0x61, 1, &control));
  clock.Advance(3'141'592);
  bus.Write(0x43, 1, 0x00);
  const uint16_t latched = Pit::CountAt(clock.NowNs());
  clock.Advance(5'000'000);  // the live count moves on; the latch does not
  const uint32_t low = bus.Read(0x40, 1);
  clock.Advance(1'000'000);
  // A second latch while the first is half read is void, as on the part.
  bus.Write(0x43, 1, 0x00);
  EXPECT_EQ(latched, bus.Read(0x40, 1) << 8 | low);
  EXPECT_NE(latched, pit.Count());

  // Without a latch, reads give the live count's bytes alternately.
  for (int shift : {0, 8}) {
    const uint16_t live = Pit::CountAt(clock.NowNs() + Clock::kPortAccessNs);
    EXPECT_EQ((live >> shift) & 0xFFu, bus.Read(0x40, 1)) << shift;
  }

  // Mode commands and reload values are accepted and change nothing; a latch
  // resets the read order to the low byte.
  bus.Read(0x40, 1);  // leaves the flip-flop at "high next"
  bus.Write(0x43, 1, 0x34);
  bus.Write(0x40, 1, 0x12);
  bus.Write(0x43, 1, 0x0A);  // also a channel-0 latch (mode bits ignored)
  const uint16_t again = Pit::CountAt(clock.NowNs());
  const uint32_t low2 = bus.Read(0x40, 1);
  EXPECT_EQ(again, bus.Read(0x40, 1) << 8 | low2);

  // Channels 1 and 2 and reads of the command port are not modelled.
  for (uint32_t port : {0x41u, 0x42u, 0x43u}) EXPECT_EQ(0xFFu, bus.Read(port, 1));
  // Port 0x61 reads back a byte.
  bus.Write(0x61, 1, 0x1234);
  EXPECT_EQ(0x34u, bus.Read(0x61, 1));
  // The count follows the machine's clock.
  const uint16_t before = pit.Count();
  clock.Advance(1'000'000);
  EXPECT_EQ(2387, static_cast<uint16_t>(before - pit.Count()));
}

TEST(Pit, CountsDownAtTheDriversRateAndReloads) {
  EXPECT_EQ(0xFFFF, Pit::CountAt(0));
  // 65536 steps take 27455383.3 ns: the count passes 0 and reloads.
  EXPECT_EQ(0x0000, Pit::CountAt(27'455'383));
  EXPECT_EQ(0xFFFF, Pit::CountAt(27'455'384));
  // Exactly 2387 steps per millisecond from any starting point, no drift.
  for (uint64_t start : {uint64_t{0}, uint64_t{1}, uint64_t{418'937}, uint64_t{27'455'000},
                         uint64_t{86'400} * 1'000'000'000}) {
    EXPECT_EQ(2387, static_cast<uint16_t>(Pit::CountAt(start) - Pit::CountAt(start + 1'000'000)))
        << start;
  }
  // Exact 64-bit arithmetic at the far end of machine time: (2^64 - 1) * 2387
  // / 10^6, worked out with arbitrary precision.
  EXPECT_EQ(uint64_t{44'032'378'103'944'699}, Pit::StepsAt(~uint64_t{0}));
}

TEST(Clock, VirtualTimeMovesOnlyWithWork) {
  Clock clock;
  EXPECT_TRUE(clock.mode() == ClockMode::Virtual && clock.NowNs() == 0);
  clock.OnPortAccess();
  clock.Advance(500);
  EXPECT_EQ(Clock::kPortAccessNs + 500, clock.NowNs());

  // Each thread counts its own accesses at once and adds them to the
  // shared count in batches: another thread's view lags by less than a
  // batch, never goes back, and nothing is lost when a thread ends.
  constexpr uint64_t kBatch = Clock::kBatchAccesses, kNs = Clock::kPortAccessNs;
  Clock shared;
  std::thread([&] {
    for (uint64_t i = 0; i < kBatch + 3; ++i) {
      const uint64_t before = shared.NowNs();
      shared.OnPortAccess();
      EXPECT_EQ(before + kNs, shared.NowNs());
    }
  }).join();
  EXPECT_EQ((kBatch + 3) * kNs, shared.NowNs());
  std::atomic<bool> counted{false}, seen{false};
  std::thread worker([&] {
    for (uint64_t i = 0; i < kBatch - 1; ++i) shared.OnPortAccess();
    counted = true;
    while (!seen) std::this_thread::yield();
  });
  while (!counted) std::this_thread::yield();
  const uint64_t lagging = shared.NowNs();
  seen = true;
  worker.join();
  EXPECT_EQ((kBatch + 3) * kNs, lagging);
  EXPECT_EQ((2 * kBatch + 2) * kNs, shared.NowNs());

  // Leftover time goes to the clock it was counted on when the thread moves
  // to another clock, and is dropped quietly when that clock is gone.
  auto first = std::make_unique<Clock>();
  first->OnPortAccess();
  Clock second;
  second.OnPortAccess();
  EXPECT_TRUE(first->NowNs() == kNs && second.NowNs() == kNs);
  first->OnPortAccess();
  first.reset();
  Clock third;
  third.OnPortAccess();
  EXPECT_EQ(kNs, third.NowNs());
}

}  // namespace
