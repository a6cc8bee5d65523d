// The x86 I/O port space. Devices claim windows of ports; a read of a port
// nobody claims gives all ones, a write to it is dropped. Every access costs
// machine time (Clock::OnPortAccess).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "platform/pc/clock.h"

namespace sim {

// A device reached through port I/O. `offset` is relative to the window's
// base; `width` is 1, 2 or 4 bytes. Implementations do their own locking: the
// bus calls them from any thread.
class PortDevice {
 public:
  virtual ~PortDevice() = default;
  virtual uint32_t PortRead(uint32_t offset, unsigned width) = 0;
  virtual void PortWrite(uint32_t offset, unsigned width, uint32_t value) = 0;
};

class PortBus {
 public:
  explicit PortBus(Clock& clock) : clock_(clock) {}

  // Claims [base, base + length) for the device. Windows may not overlap;
  // returns false (and claims nothing) when they would.
  bool Map(uint32_t base, uint32_t length, PortDevice* device);
  // Drops every window of the device.
  void Unmap(PortDevice* device);

  uint32_t Read(uint32_t port, unsigned width);
  void Write(uint32_t port, unsigned width, uint32_t value);

  // Optional trace of every access (port, width, value, is_write).
  struct Access {
    uint32_t port;
    unsigned width;
    uint32_t value;
    bool write;
  };

 private:
  struct Window {
    uint32_t base;
    uint32_t length;
    PortDevice* device;
  };
  PortDevice* Find(uint32_t port, uint32_t& offset);

  Clock& clock_;
  // Windows change rarely (a BAR write) and are looked up on every access.
  mutable std::shared_mutex mutex_;
  std::vector<Window> windows_;  // guarded by mutex_
};

}  // namespace sim
