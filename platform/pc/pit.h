// Channel 0 of the 8254 interval timer (ports 0x40 and 0x43) and the system
// control port 0x61. The count runs down through all 65536 values at the rate
// the driver assumes, 2387 steps per millisecond of machine time, and reloads.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/pc/clock.h"
#include "platform/pc/port_bus.h"

namespace sim {

class Pit : public PortDevice {
 public:
  static constexpr uint64_t kStepsPerMillisecond = 2387;

  explicit Pit(Clock& clock) : clock_(clock) {}

  // The live count at the current machine time.
  uint16_t Count() const;

  // Window 0x40-0x43 (offset 0 = port 0x40).
  uint32_t PortRead(uint32_t offset, unsigned width) override;
  void PortWrite(uint32_t offset, unsigned width, uint32_t value) override;

 private:
  Clock& clock_;
  std::mutex mutex_;
  uint16_t latched_ = 0;     // guarded by mutex_
  int latch_bytes_left_ = 0; // guarded by mutex_: 2 after a latch, then 1, then 0
  bool read_high_next_ = false;
};

// Port 0x61: reads back the last byte written; nothing the driver relies on.
class SystemControlPort : public PortDevice {
 public:
  uint32_t PortRead(uint32_t, unsigned) override { return value_; }
  void PortWrite(uint32_t, unsigned, uint32_t value) override { value_ = value & 0xFF; }

 private:
  std::atomic<uint32_t> value_{0};
};

}  // namespace sim
