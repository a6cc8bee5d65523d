// Machine time. Virtual by default: time moves only when the machine works
// (every port access costs a fixed amount), so busy waits end after a bounded
// number of accesses and never sleep. Real mode follows the host's monotonic
// clock, for people who want real pacing.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace sim {

enum class ClockMode { Virtual, Real };

class Clock {
 public:
  // Cost of one port access in virtual mode, like an ISA bus cycle.
  static constexpr uint64_t kPortAccessNs = 1000;

  explicit Clock(ClockMode mode = ClockMode::Virtual);

  ClockMode mode() const { return mode_; }
  // Nanoseconds of machine time since the machine was made.
  uint64_t NowNs() const;
  // Called by the port bus for every access; moves virtual time on.
  void OnPortAccess() {
    if (mode_ == ClockMode::Virtual)
      virtual_ns_.fetch_add(kPortAccessNs, std::memory_order_relaxed);
  }
  // Moves virtual time on by the given amount (no effect in real mode).
  void Advance(uint64_t ns) {
    if (mode_ == ClockMode::Virtual) virtual_ns_.fetch_add(ns, std::memory_order_relaxed);
  }

 private:
  const ClockMode mode_;
  // Virtual machine time; any thread adds to it. Relaxed: it orders nothing
  // else, it only has to be monotonic, which a single atomic counter is.
  std::atomic<uint64_t> virtual_ns_{0};
  const std::chrono::steady_clock::time_point start_;  // set once, read-only after
};

}  // namespace sim
