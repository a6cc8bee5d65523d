// Level-triggered, shareable interrupt lines and the dispatcher's wait.
#include "platform/pc/irq.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace sim;

TEST(Irq, SharedLinesCountTheirPinsAndPinsMoveWithTheirLevel) {
  IrqController irq;
  IrqPin a(irq, 11), b(irq, 11);
  const uint64_t g0 = irq.generation();
  a.Set(true);
  a.Set(true);  // no change, no second contribution
  EXPECT_EQ(1u, irq.Level(11));
  EXPECT_NE(g0, irq.generation());
  b.Set(true);
  EXPECT_EQ(2u, irq.Level(11));
  a.Set(false);
  a.Set(false);
  EXPECT_TRUE(irq.Asserted(11) && irq.Level(11) == 1);  // b still holds it

  // A high pin takes its contribution to the new line; a low one takes none.
  b.MoveTo(5);
  EXPECT_TRUE(!irq.Asserted(11) && irq.Asserted(5) && b.line() == 5);
  a.MoveTo(9);
  EXPECT_FALSE(irq.Asserted(9));
  a.Set(true);
  EXPECT_TRUE(irq.AssertedLines().test(9) && irq.AssertedLines().count() == 2);
  {
    IrqPin c(irq, 5);
    c.Set(true);
    EXPECT_EQ(2u, irq.Level(5));
  }  // a pin that goes away lets go of its line
  EXPECT_EQ(1u, irq.Level(5));

  // Lines outside the controller are ignored; Lower never goes below zero.
  irq.Raise(300);
  irq.Lower(200);
  EXPECT_TRUE(!irq.Asserted(300) && irq.Level(200) == 0);
}

TEST(Irq, DispatcherWaitWakesOnRaiseAndKick) {
  IrqController irq;
  IrqPin pin(irq, 3);
  uint64_t seen = irq.generation();
  // Nothing happened: the wait times out with the same generation.
  EXPECT_EQ(seen, irq.WaitForChange(seen, 1000));
  // An asserted line keeps the wait from blocking (level-triggered), unless
  // the dispatcher does not watch it.
  pin.Set(true);
  seen = irq.WaitForChange(seen, -1);
  EXPECT_EQ(seen, irq.WaitForChange(seen, -1));
  IrqController::LineSet watched;
  watched.set(4);
  EXPECT_EQ(seen, irq.WaitForChange(seen, 1000, watched));
  pin.Set(false);

  // A blocked waiter (no timeout) is released by a Raise and by a Kick.
  for (bool kick : {false, true}) {
    seen = irq.generation();
    std::thread waker([&] { kick ? irq.Kick() : pin.Set(true); });
    EXPECT_NE(seen, irq.WaitForChange(seen, -1, watched));
    waker.join();
    pin.Set(false);
  }
}

}  // namespace
