// PCI configuration mechanism 1 (0xCF8 address, 0xCFC-0xCFF data) and the
// functions of a machine's PCI buses.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/pc/port_bus.h"

namespace sim {

// One PCI function's configuration space (type-0 header). The owner (a device
// model) gets told when software changes the command register, a BAR or the
// interrupt line, so that it can move its port window or its interrupt pin.
class PciFunction {
 public:
  PciFunction(uint16_t vendor, uint16_t device, uint32_t class_code);

  // Raw 256-byte space, little-endian; reads and writes by lane.
  uint32_t ConfigRead(uint8_t offset, unsigned width) const;
  void ConfigWrite(uint8_t offset, unsigned width, uint32_t value);

  // Harness and model set-up (no side effects beyond the bytes).
  void SetHeaderType(uint8_t type);
  // `size` is the BAR's decode size (power of two); `io` sets bit 0.
  void SetBar(unsigned index, uint32_t value, uint32_t size, bool io);
  uint32_t Bar(unsigned index) const;
  void SetInterruptLine(uint8_t line);
  uint8_t InterruptLine() const;
  void SetCommand(uint16_t command);
  uint16_t Command() const;
  void SetLatencyTimer(uint8_t value);

  bool IoEnabled() const { return io_enabled_.load(std::memory_order_acquire); }
  // Referenced by the function's Dma object.
  std::atomic<bool>& bus_master() { return bus_master_; }

  // Called after any change of the command register, BARs or interrupt line,
  // by software or by the harness, outside the function's lock.
  void SetChangeListener(std::function<void()> listener);

 private:
  void Notify();
  mutable std::mutex mutex_;
  uint8_t space_[256] = {};      // guarded by mutex_
  uint32_t bar_size_[6] = {};    // guarded by mutex_; 0 = unimplemented BAR
  std::atomic<bool> io_enabled_{false};
  std::atomic<bool> bus_master_{false};
  std::function<void()> listener_;  // set before the machine runs
};

class PciBus : public PortDevice {
 public:
  // Places a function; the bus does not own it. Replaces nothing: returns
  // false when the slot is taken.
  bool Attach(uint8_t bus, uint8_t device, uint8_t function, PciFunction* pci);
  PciFunction* Find(uint8_t bus, uint8_t devfn) const;

  // Window 0xCF8-0xCFF (offset 0 = 0xCF8).
  uint32_t PortRead(uint32_t offset, unsigned width) override;
  void PortWrite(uint32_t offset, unsigned width, uint32_t value) override;

 private:
  mutable std::mutex mutex_;
  uint32_t address_ = 0;                          // guarded by mutex_
  std::map<uint16_t, PciFunction*> functions_;   // bus << 8 | devfn; set up before boot
};

}  // namespace sim
