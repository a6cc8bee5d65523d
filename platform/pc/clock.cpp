#include "platform/pc/clock.h"

namespace sim {

Clock::Clock(ClockMode mode) : mode_(mode), start_(std::chrono::steady_clock::now()) {}

uint64_t Clock::NowNs() const {
  if (mode_ == ClockMode::Virtual) return virtual_ns_.load(std::memory_order_relaxed);
  const auto elapsed = std::chrono::steady_clock::now() - start_;
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
}

}  // namespace sim
