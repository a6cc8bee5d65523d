// Level-triggered interrupt lines. A device drives a pin on one line; the
// line is asserted while any pin on it is high. The kernel's interrupt
// dispatcher waits on Wait() and runs the handlers of asserted lines.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace sim {

class IrqController {
 public:
  static constexpr unsigned kLines = 256;

  // Changes one source's contribution to a line (counted: several devices
  // can share a line).
  void Raise(unsigned line);
  void Lower(unsigned line);
  bool Asserted(unsigned line) const;
  // Bitmask helpers for the dispatcher: blocks until some line is asserted,
  // `Kick()` is called, or the timeout passes. Returns the generation count
  // (changes at every Raise/Kick).
  uint64_t WaitForChange(uint64_t seen_generation, int timeout_us);
  void Kick();

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  uint32_t level_[kLines] = {};  // guarded by mutex_: number of high pins per line
  uint64_t generation_ = 0;      // guarded by mutex_
};

// One device's output pin: remembers its level and its line so that the line
// can be changed (the PCI interrupt-line register) while it is high.
class IrqPin {
 public:
  IrqPin(IrqController& controller, unsigned line) : controller_(controller), line_(line) {}
  ~IrqPin();
  void Set(bool high);
  void MoveTo(unsigned line);
  bool high() const;
  unsigned line() const;

 private:
  IrqController& controller_;
  mutable std::mutex mutex_;
  unsigned line_;      // guarded by mutex_
  bool high_ = false;  // guarded by mutex_
};

}  // namespace sim
