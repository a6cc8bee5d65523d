#include "platform/pc/pit.h"

namespace sim {

uint64_t Pit::StepsAt(uint64_t ns) {
  // Split at whole milliseconds so that the product cannot overflow.
  constexpr uint64_t kNsPerMs = 1'000'000;
  return (ns / kNsPerMs) * kStepsPerMillisecond + (ns % kNsPerMs) * kStepsPerMillisecond / kNsPerMs;
}

// The state is updated with a load and a store, not a compare-exchange: a
// locked instruction per access would double the cost of the driver's busy
// waits. Channel 0's latch-and-read sequence belongs to one reader at a time
// (two CPUs interleaving it on a real PC read garbage too); overlapping
// accesses may both act on the same state, but every state they leave is a
// valid one, and there is no data race.
uint8_t Pit::ReadByte(uint32_t offset) {
  if (offset != 0) return 0xFF;  // channels 1 and 2 are not modelled; 0x43 is write-only
  const uint32_t state = state_.load(std::memory_order_relaxed);
  const bool high = (state & kHighNext) != 0;
  const uint16_t count = (state & kLatched) ? static_cast<uint16_t>(state) : Count();
  uint32_t next = state ^ kHighNext;
  if (high) next &= ~kLatched;  // both bytes of the latch have been read
  state_.store(next, std::memory_order_relaxed);
  return static_cast<uint8_t>(high ? count >> 8 : count);
}

void Pit::WriteByte(uint32_t offset, uint8_t value) {
  if (offset != 3 || (value & 0xF0) != 0) return;  // only channel 0's latch command acts
  // A latch still being read makes a new one void, as on the part.
  if (state_.load(std::memory_order_relaxed) & kLatched) return;
  state_.store(kLatched | Count(), std::memory_order_relaxed);
}

// Every timer read of a busy wait is a latch and two byte reads: a byte
// access goes straight to its port.
uint32_t Pit::PortRead(uint32_t offset, unsigned width) {
  if (width == 1) return ReadByte(offset);
  uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) value |= uint32_t{ReadByte(offset + i)} << (8 * i);
  return value;
}

void Pit::PortWrite(uint32_t offset, unsigned width, uint32_t value) {
  if (width == 1) return WriteByte(offset, static_cast<uint8_t>(value));
  for (unsigned i = 0; i < width; ++i)
    WriteByte(offset + i, static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace sim
