// The x86 I/O port space. Devices claim windows of ports; a read of a port
// nobody claims gives all ones, a write to it is dropped. Every access costs
// machine time (Clock::OnPortAccess).
//
// Port I/O is the hottest path of the whole simulation (the driver's busy
// waits read the timer three accesses at a time, a bring-up makes about 1.6
// million accesses), while the map changes only when a controller's BAR or
// command register is written. So the windows live in an immutable table that
// Map/Unmap/Remap replace as a whole and publish with one atomic store; an
// access costs one acquire load, two indexes (a page of 256 ports, then the
// port in it) and the device call. Nobody takes a lock on the access path, and
// Map/Unmap never wait for accesses in flight: they may be called from inside
// a port access (a BAR write through 0xCFC moves a window) and while the
// caller holds locks that device port handlers take.
//
// A replaced table stays allocated until the bus is destroyed, since an
// access may still be reading it and tracking that would cost every access.
// Map changes are rare (a few per machine, a few hundred bytes each).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/pc/clock.h"

namespace sim {

// A device reached through port I/O. `offset` is relative to the window's
// base; `width` is 1, 2 or 4 bytes, and the access lies wholly inside the
// window. Implementations do their own locking: the bus calls them from any
// thread, and may call them again from the same thread while a handler runs
// (a handler that does port I/O itself).
class PortDevice {
 public:
  virtual ~PortDevice() = default;
  virtual uint32_t PortRead(uint32_t offset, unsigned width) = 0;
  virtual void PortWrite(uint32_t offset, unsigned width, uint32_t value) = 0;
};

class PortBus {
 public:
  // The x86 port space is 64 KiB; nothing can be mapped above it.
  static constexpr uint32_t kPortSpace = 0x10000;

  explicit PortBus(Clock& clock);
  ~PortBus();
  PortBus(const PortBus&) = delete;
  PortBus& operator=(const PortBus&) = delete;

  // Claims [base, base + length) for the device. Windows may not overlap and
  // must lie inside the port space; returns false (and claims nothing) when
  // they would not. A device may hold several windows.
  bool Map(uint32_t base, uint32_t length, PortDevice* device);
  // Drops every window of the device. An access that started before may
  // still be running inside the device when this returns: a device may only
  // be destroyed once nobody can be accessing it (the machine has stopped).
  void Unmap(PortDevice* device);
  // Replaces every window of the device by [base, base + length) in one step,
  // so that no access in between finds the device unmapped (a BAR moving).
  // Returns false and leaves the old windows in place when the new one would
  // overlap another device's window or leave the port space.
  bool Remap(PortDevice* device, uint32_t base, uint32_t length);
  // True when the port is inside some window.
  bool Claimed(uint32_t port) const;

  // `width` is 1, 2 or 4. An access that does not fit inside one window
  // (it straddles a window's end, or starts in a gap) is split into byte
  // accesses, each decoded on its own, the way the bus splits an I/O cycle
  // that no single device claims whole. It still costs one access of time.
  uint32_t Read(uint32_t port, unsigned width);
  void Write(uint32_t port, unsigned width, uint32_t value);

  // Optional trace of every access (port, width, value, is_write), reported
  // after the access on the thread that made it. An empty function turns it
  // off. Costs nothing when off.
  struct Access {
    uint32_t port;
    unsigned width;
    uint32_t value;
    bool write;
  };
  void SetTrace(std::function<void(const Access&)> trace);

 private:
  struct Window {
    uint32_t base;
    uint32_t length;
    PortDevice* device;
  };
  static constexpr uint16_t kNoWindow = 0xFFFF;
  static constexpr uint32_t kPagePorts = 0x100;
  static constexpr uint32_t kPages = kPortSpace / kPagePorts;
  using Page = std::array<uint16_t, kPagePorts>;  // window index of each port, or kNoWindow
  // Immutable once published.
  struct Table {
    std::vector<Window> windows;  // sorted by base, disjoint
    // Pages without a window share pages[0] of `storage`, all kNoWindow, so
    // a machine's table holds a few pages, not the whole port space.
    std::vector<Page> storage;
    const Page* pages[kPages];
    std::shared_ptr<const std::function<void(const Access&)>> trace;
    const std::function<void(const Access&)>* trace_fn;  // trace.get(), checked per access
    const Window* Find(uint32_t port) const {
      if (port >= kPortSpace) return nullptr;
      const uint16_t index = (*pages[port / kPagePorts])[port % kPagePorts];
      return index == kNoWindow ? nullptr : windows.data() + index;
    }
  };
  // Builds and publishes a table; caller holds writer_mutex_.
  void Publish(std::vector<Window> windows,
               std::shared_ptr<const std::function<void(const Access&)>> trace);
  static bool Overlaps(const std::vector<Window>& windows, uint32_t base, uint32_t length);
  uint32_t SplitRead(const Table& table, uint32_t port, unsigned width);
  void SplitWrite(const Table& table, uint32_t port, unsigned width, uint32_t value);

  Clock& clock_;
  // The current table: replaced under writer_mutex_ (release), read by any
  // thread with an acquire load.
  std::atomic<const Table*> table_{nullptr};
  std::mutex writer_mutex_;                            // serialises map changes
  std::vector<std::unique_ptr<const Table>> retired_;  // guarded by writer_mutex_
};

}  // namespace sim
