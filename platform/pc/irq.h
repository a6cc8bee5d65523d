// Level-triggered interrupt lines. A device drives a pin on one line; the
// line is asserted while any pin on it is high. The kernel's interrupt
// dispatcher waits in WaitForChange() and runs the handlers of asserted lines.
#pragma once

#include <atomic>
#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/pc/spin.h"

namespace sim {

class IrqController {
 public:
  static constexpr unsigned kLines = 256;
  using LineSet = std::bitset<kLines>;

  // Changes one source's contribution to a line (counted: several devices
  // can share a line). Lines outside 0..255 are ignored. A Lower without a
  // matching Raise leaves the line at zero (pins never do that).
  void Raise(unsigned line);
  void Lower(unsigned line);
  bool Asserted(unsigned line) const;
  // Number of sources holding the line high.
  unsigned Level(unsigned line) const;
  LineSet AssertedLines() const;
  uint64_t generation() const;
  // Times some source raised this line's level from low to high for it (a
  // pin going high), whether or not another pin already held the line.
  uint64_t Rises(unsigned line) const;

  // For the dispatcher: returns at once when the generation differs from
  // `seen_generation` or a line is asserted; otherwise blocks until some line
  // is raised, Kick() is called, or `timeout_us` passes (negative: no
  // timeout). Returns the generation count, which changes at every Raise and
  // every Kick (not at Lower: a falling line needs no service).
  uint64_t WaitForChange(uint64_t seen_generation, int timeout_us);
  // The same, but only lines in `watched` count as asserted (so that a
  // dispatcher does not spin on a line it has no handler for), and the
  // waiter yields for up to `spin` (within the timeout) before it sleeps.
  uint64_t WaitForChange(uint64_t seen_generation, int timeout_us, const LineSet& watched,
                         std::chrono::microseconds spin = kSpinBeforeSleep);
  // Wakes the dispatcher (new handler, machine stopping, ...).
  void Kick();

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;  // notified under no lock after Raise/Kick
  uint32_t level_[kLines] = {};      // guarded by mutex_: number of high pins per line
  LineSet asserted_;                 // guarded by mutex_: level_[line] != 0
  uint64_t rises_[kLines] = {};      // guarded by mutex_: Raise calls per line
  uint64_t generation_ = 0;          // guarded by mutex_
  // generation_ again, stored under mutex_ whenever it changes and read
  // without the lock by a WaitForChange that spins before it sleeps.
  std::atomic<uint64_t> published_generation_{0};
  // Threads inside WaitForChange; guarded by mutex_. Raise and Kick notify
  // only when there is one: a busy dispatcher then costs a raise no system
  // call. A waiter registers under the lock before it checks the state, so a
  // raise either finds it counted or changed the state it is about to check.
  unsigned waiters_ = 0;
};

// One device's output pin: remembers its level and its line so that the line
// can be changed (the PCI interrupt-line register) while it is high.
class IrqPin {
 public:
  IrqPin(IrqController& controller, unsigned line) : controller_(controller), line_(line) {}
  ~IrqPin();  // a high pin lets go of its line
  IrqPin(const IrqPin&) = delete;
  IrqPin& operator=(const IrqPin&) = delete;

  // Only a change of level reaches the controller; setting the level the pin
  // already has costs one atomic load.
  void Set(bool high);
  // A high pin's contribution moves with it to the new line.
  void MoveTo(unsigned line);
  bool high() const { return high_.load(std::memory_order_acquire); }
  unsigned line() const;

 private:
  IrqController& controller_;
  mutable std::mutex mutex_;  // serialises level and line changes
  unsigned line_;             // guarded by mutex_
  // Written under mutex_; read without it by high() and Set()'s fast path.
  std::atomic<bool> high_{false};
};

}  // namespace sim
