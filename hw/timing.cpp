// Waits measured against channel 0 of the PC's interval timer: a counter read,
// a short I/O delay, millisecond busy-waits and the driver's one timeout.
//
// The timer's real step rate depends on how the platform programmed it; the
// driver assumes a full 16-bit period at TimerStepsPerMillisecond and checks
// neither.
#include "host/host.h"
#include "hw/hw.h"

// The one timeout of the whole driver. Every timed controller operation runs
// under DriverMutex (or on the start-up thread before any device exists, or
// in a resume that holds DriverMutex), so one wait runs at a time and these
// need no lock of their own. Reset by HwResetImage.
uint32_t TimeoutRemaining = 0;
uint32_t TimeoutAccumulator = 0;
uint32_t TimeoutLastCount = 0;

namespace {

constexpr uint32_t TimerDataPort = 0x40;
constexpr uint32_t TimerCommandPort = 0x43;
constexpr uint32_t SystemControlPort = 0x61;
constexpr uint8_t TimerLatchChannel0 = 0x00;
constexpr uint32_t TimeoutUnitSteps = 0x8000;

// Steps the down-counter moved from `last` to `now`; a reload in between is
// counted correctly as long as less than one period passed.
uint32_t StepsBetween(uint32_t last, uint32_t now) { return (last - now) & 0xFFFF; }

}  // namespace

uint16_t ReadTimerCount() {
  // Latch, then low and high byte. Nothing else in the driver reads channel 0
  // outside a timed operation (all under DriverMutex) and the interrupt service
  // only uses IoDelay, so no second reader interleaves with the sequence.
  outportb(TimerCommandPort, TimerLatchChannel0);
  const uint32_t low = inportb(TimerDataPort);
  const uint32_t high = inportb(TimerDataPort);
  return static_cast<uint16_t>(high * 256 + low);
}

void IoDelay() {
  for (int i = 0; i < 3; ++i) (void)inportb(SystemControlPort);
}

void MillisecondDelay(uint32_t milliseconds) {
  // Wraps past 4 GiB steps only for waits beyond 29 minutes; callers pass at
  // most 500.
  const uint32_t target = TimerStepsPerMillisecond * milliseconds;
  uint32_t last = ReadTimerCount();
  uint32_t total = 0;
  do {
    const uint32_t now = ReadTimerCount();
    total += StepsBetween(last, now);
    last = now;
  } while (total < target);
}

void TimeoutStart(uint32_t units) {
  TimeoutRemaining = (units & 0xFFFF) + 1;
  TimeoutAccumulator = 0;
  TimeoutLastCount = ReadTimerCount();
}

uint32_t TimeoutPoll() {
  const uint32_t now = ReadTimerCount();
  TimeoutAccumulator += StepsBetween(TimeoutLastCount, now);
  TimeoutLastCount = now;
  if (TimeoutAccumulator <= TimeoutUnitSteps) return 1;
  // The unit has ended; steps beyond it are dropped, not carried over.
  TimeoutAccumulator = 0;
  return --TimeoutRemaining;
}
