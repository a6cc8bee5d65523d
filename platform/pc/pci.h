// PCI configuration mechanism 1 (0xCF8 address, 0xCFC-0xCFF data) and the
// functions of a machine's PCI buses.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/pc/port_bus.h"

namespace sim {

// One PCI function's configuration space (type-0 header). The owner (a device
// model) gets told when software changes the command register, a BAR or the
// interrupt line, so that it can move its port window or its interrupt pin.
//
// What software can write (everything else ignores writes):
// - command (0x04): I/O space 0x0001, memory space 0x0002, bus master 0x0004,
//   memory write and invalidate 0x0010, parity response 0x0040, SERR 0x0100;
// - status (0x06): the error bits 0xF900 are cleared by writing 1 to them
//   (writing 0 leaves them); the rest is read-only;
// - cache line size (0x0C), latency timer (0x0D), interrupt line (0x3C);
// - BARs (0x10-0x24): the address bits above the BAR's decode size. Writing
//   all ones therefore reads back the size mask, with the type bits (bit 0
//   set for I/O BARs, bits 0-3 zero for 32-bit memory BARs) unchanged. An
//   unimplemented BAR (size 0) reads 0.
// Read-only: IDs, revision, class code (0x020000 for a network controller),
// header type, BIST, subsystem IDs, expansion ROM (absent), capabilities
// pointer (none), interrupt pin (1, pin A), and 0x40-0xFF.
class PciFunction {
 public:
  // Register offsets of the type-0 header.
  static constexpr uint8_t kVendorId = 0x00;
  static constexpr uint8_t kDeviceId = 0x02;
  static constexpr uint8_t kCommand = 0x04;
  static constexpr uint8_t kStatus = 0x06;
  static constexpr uint8_t kRevision = 0x08;
  static constexpr uint8_t kClassCode = 0x09;  // 24 bits: programming interface, subclass, class
  static constexpr uint8_t kCacheLineSize = 0x0C;
  static constexpr uint8_t kLatencyTimer = 0x0D;
  static constexpr uint8_t kHeaderType = 0x0E;
  static constexpr uint8_t kBar0 = 0x10;
  static constexpr unsigned kBars = 6;
  static constexpr uint8_t kSubsystemVendorId = 0x2C;
  static constexpr uint8_t kSubsystemId = 0x2E;
  static constexpr uint8_t kInterruptLine = 0x3C;
  static constexpr uint8_t kInterruptPin = 0x3D;

  static constexpr uint16_t kCommandIo = 0x0001;
  static constexpr uint16_t kCommandMemory = 0x0002;
  static constexpr uint16_t kCommandBusMaster = 0x0004;
  static constexpr uint16_t kCommandWritable = 0x0157;
  static constexpr uint16_t kStatusWriteOneToClear = 0xF900;
  static constexpr uint16_t kStatusDefault = 0x0280;  // medium DEVSEL timing, fast back-to-back

  PciFunction(uint16_t vendor, uint16_t device, uint32_t class_code);
  PciFunction(const PciFunction&) = delete;
  PciFunction& operator=(const PciFunction&) = delete;

  // Software access by lane: `width` 1, 2 or 4 at any offset; bytes beyond
  // 0xFF read 0xFF and ignore writes.
  uint32_t ConfigRead(uint8_t offset, unsigned width) const;
  void ConfigWrite(uint8_t offset, unsigned width, uint32_t value);

  // Harness and model set-up. These bypass the write masks; the change
  // listener hears of command, BAR and interrupt-line changes they make.
  void SetHeaderType(uint8_t type);
  // `size` is the BAR's decode size (rounded up to a power of two, at least 4
  // for I/O and 16 for memory; 0 makes the BAR unimplemented); `io` sets
  // bit 0. The value's type bits are forced to match `io`.
  void SetBar(unsigned index, uint32_t value, uint32_t size, bool io);
  uint32_t Bar(unsigned index) const;
  // The BAR's address, without its type bits.
  uint32_t BarAddress(unsigned index) const;
  uint32_t BarSize(unsigned index) const;
  void SetInterruptLine(uint8_t line);
  uint8_t InterruptLine() const;
  void SetCommand(uint16_t command);
  uint16_t Command() const;
  void SetLatencyTimer(uint8_t value);
  void SetRevision(uint8_t revision);
  void SetStatus(uint16_t status);
  uint16_t Status() const;
  void SetSubsystem(uint16_t vendor, uint16_t id);
  // Any bytes, as they are (the harness's escape hatch).
  void SetRaw(uint8_t offset, unsigned width, uint32_t value);

  bool IoEnabled() const { return io_enabled_.load(std::memory_order_acquire); }
  bool BusMasterEnabled() const { return bus_master_.load(std::memory_order_acquire); }
  // Referenced by the function's Dma object.
  std::atomic<bool>& bus_master() { return bus_master_; }

  // Called after any change of the command register, BARs or interrupt line,
  // by software or by the harness, outside the function's lock, on the thread
  // that made the change. Changes on several threads may report out of order,
  // so the listener reads the registers it cares about instead of assuming
  // which change it hears of. It may call back into this function.
  void SetChangeListener(std::function<void()> listener);

 private:
  // Writes bytes; `masked` applies the software write rules. Returns true
  // when the command register, a BAR or the interrupt line changed. Caller
  // holds mutex_.
  bool WriteLocked(uint8_t offset, unsigned width, uint32_t value, bool masked);
  uint8_t WritableMask(unsigned offset) const;
  uint32_t BarMask(unsigned index) const;
  uint32_t ReadLocked(unsigned offset, unsigned width) const;
  void Notify();

  mutable std::mutex mutex_;
  uint8_t space_[256] = {};        // guarded by mutex_
  uint32_t bar_size_[kBars] = {};  // guarded by mutex_; 0 = unimplemented BAR
  bool bar_io_[kBars] = {};        // guarded by mutex_
  // Mirrors of command bits 0 and 2, written under mutex_ whenever the
  // command register is written; read by any thread without the lock.
  std::atomic<bool> io_enabled_{false};
  std::atomic<bool> bus_master_{false};
  std::function<void()> listener_;  // guarded by mutex_; called outside it
};

// The host bridge's configuration mechanism 1, and the functions on its buses.
//
// - A 32-bit write to 0xCF8 latches the configuration address (bits 1-0 read
//   back as 0, as they are hard-wired on the bridge). Reads of 0xCF8-0xCFB
//   give the latched address (by lane); byte and word writes there are not
//   configuration cycles and are dropped.
// - An access at 0xCFC-0xCFF reaches the latched dword's byte lane port & 3,
//   width 1, 2 or 4. With the enable bit (31) clear, or no function attached
//   at the latched bus and devfn, reads give all ones and writes are dropped.
// Which functions discovery finds is up to the software walking the buses:
// the bus answers for any attached function, function 0 or not.
class PciBus : public PortDevice {
 public:
  static constexpr uint32_t kAddressPort = 0xCF8;
  static constexpr uint32_t kDataPort = 0xCFC;
  static constexpr uint32_t kWindowLength = 8;
  static constexpr uint32_t kEnable = 0x80000000;

  // Places a function; the bus does not own it. Replaces nothing: returns
  // false when the slot is taken, `device` > 31, `function` > 7 or `pci` is
  // null.
  bool Attach(uint8_t bus, uint8_t device, uint8_t function, PciFunction* pci);
  // Removes a function wherever it is attached. An access that started
  // before may still reach it (PortBus::Synchronize() waits for those).
  void Detach(PciFunction* pci);
  PciFunction* Find(uint8_t bus, uint8_t devfn) const;
  // Every attached function with its key (bus << 8 | devfn), in key order.
  std::vector<std::pair<uint16_t, PciFunction*>> Functions() const;
  uint32_t address() const;

  // Window 0xCF8-0xCFF (offset 0 = 0xCF8).
  uint32_t PortRead(uint32_t offset, unsigned width) override;
  void PortWrite(uint32_t offset, unsigned width, uint32_t value) override;

 private:
  // The function the latched address selects, or null (enable bit clear, or
  // nothing there); `reg` gets the latched dword's offset.
  PciFunction* Selected(uint8_t& reg) const;

  // The address register, one word as on the chipset: a write replaces it
  // whole, whichever thread makes it (software pairs its own address and
  // data accesses).
  std::atomic<uint32_t> address_{0};
  mutable std::mutex mutex_;
  std::map<uint16_t, PciFunction*> functions_;  // guarded by mutex_: bus << 8 | devfn
  // How many functions each bus has, changed under mutex_ with functions_
  // and read without it: a bus scan mostly selects buses with nothing on
  // them, and those are answered without the lock or the search.
  std::array<std::atomic<uint16_t>, 256> bus_functions_{};
};

}  // namespace sim
