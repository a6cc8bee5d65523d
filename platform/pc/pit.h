// Channel 0 of the 8254 interval timer (ports 0x40 and 0x43) and the system
// control port 0x61. The count runs down through all 65536 values at the rate
// the driver assumes, 2387 steps per millisecond of machine time, and reloads.
//
// What is modelled, and what is not:
// - A control word whose top four bits are 0 (0x00-0x0F) is the counter latch
//   command for channel 0: the count at that moment is held, and the next two
//   reads of 0x40 give its low byte, then its high byte. As on the real part,
//   a second latch command before both bytes of the first have been read is
//   ignored.
// - Every other control word (mode commands, latches of channels 1 and 2,
//   read-back) is accepted and ignored: the count always runs over the full
//   16-bit period at the fixed rate, whatever mode software asks for. Writes
//   to 0x40-0x42 (reload values) are ignored for the same reason.
// - Reads of 0x40 without a latch give the live count's low and high bytes
//   alternately (a read flip-flop, reset to "low" by each latch command), as
//   the part does in low-byte/high-byte access mode.
// - Channels 1 and 2 (0x41, 0x42) and reads of the write-only port 0x43 give
//   all ones.
// A wider access at 0x40 is served byte by byte from consecutive ports.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/pc/clock.h"
#include "platform/pc/port_bus.h"

namespace sim {

class Pit : public PortDevice {
 public:
  static constexpr uint64_t kStepsPerMillisecond = 2387;

  explicit Pit(Clock& clock) : clock_(clock) {}

  // Counter steps since machine time 0: ns * 2387 / 1,000,000, exact for any
  // 64-bit time (no rounding drift, no overflow).
  static uint64_t StepsAt(uint64_t ns);
  // The count at a machine time: 65535 - (steps mod 65536).
  static uint16_t CountAt(uint64_t ns) {
    return static_cast<uint16_t>(0xFFFF - (StepsAt(ns) & 0xFFFF));
  }
  // The live count at the current machine time.
  uint16_t Count() const { return CountAt(clock_.NowNs()); }

  // Window 0x40-0x43 (offset 0 = port 0x40).
  uint32_t PortRead(uint32_t offset, unsigned width) override;
  void PortWrite(uint32_t offset, unsigned width, uint32_t value) override;

 private:
  uint8_t ReadByte(uint32_t offset);
  void WriteByte(uint32_t offset, uint8_t value);

  // Read state of channel 0 in one word, so that the hot path (a latch and
  // two reads per timer read) is a plain load and store per access:
  // bits 0-15 the latched count, bit 16 a latch is held, bit 17 the next read
  // gives the high byte. Any thread may update it (see pit.cpp for what
  // overlapping accesses do).
  static constexpr uint32_t kLatched = 1u << 16;
  static constexpr uint32_t kHighNext = 1u << 17;
  Clock& clock_;
  std::atomic<uint32_t> state_{0};
};

// Port 0x61: reads back the last byte written; nothing the driver relies on.
class SystemControlPort : public PortDevice {
 public:
  uint32_t PortRead(uint32_t, unsigned) override { return value_.load(std::memory_order_relaxed); }
  void PortWrite(uint32_t, unsigned, uint32_t value) override {
    value_.store(value & 0xFF, std::memory_order_relaxed);
  }

 private:
  std::atomic<uint32_t> value_{0};  // any thread; a plain byte register
};

}  // namespace sim
