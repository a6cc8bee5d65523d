// Host threads taken from the pool run each body as a fresh thread would.
#include "platform/pc/host_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/pc/clock.h"
#include "platform/pc/port_bus.h"

namespace {

using namespace sim;

TEST(HostThread, APooledThreadStartsEveryBodyAfreshAndAJoinSeesAllItsMachineTime) {
  // A body on a thread of its own first, so that the next one finds it parked.
  HostThread([] {}).join();
  ASSERT_GE(HostThread::Parked(), 1u);

  Clock clock;
  PortBus bus{clock};  // nothing mapped: every read is one access of time
  std::thread::id first, second;
  uint64_t seen_inside = 1;
  HostThread([&] {
    first = std::this_thread::get_id();
    for (int i = 0; i < 5; ++i) bus.Read(0x300, 1);
  }).join();
  // Fewer accesses than a thread adds to the clock at once: the end of the
  // body added them, as the end of a thread does.
  EXPECT_EQ(clock.NowNs(), 5 * Clock::kPortAccessNs);

  HostThread([&] {
    second = std::this_thread::get_id();
    seen_inside = clock.NowNs();
  }).join();
  EXPECT_EQ(second, first) << "the parked thread was not reused";
  EXPECT_EQ(seen_inside, 5 * Clock::kPortAccessNs) << "the first body's time counted twice";

  // A HostThread let go without a join waits for its body, where a
  // std::thread would end the process.
  std::atomic<bool> ran{false};
  {
    HostThread late([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ran = true;
    });
  }
  EXPECT_TRUE(ran.load());
}

}  // namespace
