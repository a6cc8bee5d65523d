#include "platform/pc/pci.h"

#include <algorithm>
#include <bit>

namespace sim {

namespace {

uint32_t AllOnes(unsigned width) { return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }

// The registers whose change the owner hears of.
bool Watched(unsigned offset) {
  return offset == PciFunction::kCommand || offset == PciFunction::kCommand + 1 ||
         (offset >= PciFunction::kBar0 && offset < PciFunction::kBar0 + 4 * PciFunction::kBars) ||
         offset == PciFunction::kInterruptLine;
}

}  // namespace

// ---- PciFunction ----

PciFunction::PciFunction(uint16_t vendor, uint16_t device, uint32_t class_code) {
  std::lock_guard<std::mutex> lock(mutex_);
  WriteLocked(kVendorId, 2, vendor, false);
  WriteLocked(kDeviceId, 2, device, false);
  WriteLocked(kStatus, 2, kStatusDefault, false);
  WriteLocked(kClassCode, 1, class_code & 0xFF, false);
  WriteLocked(kClassCode + 1, 2, (class_code >> 8) & 0xFFFF, false);
  WriteLocked(kInterruptPin, 1, 1, false);
}

uint32_t PciFunction::BarMask(unsigned index) const {
  const uint32_t size = bar_size_[index];
  if (size == 0) return 0;
  return ~(size - 1) & (bar_io_[index] ? ~0x3u : ~0xFu);
}

uint8_t PciFunction::WritableMask(unsigned offset) const {
  switch (offset) {
    case kCommand:
      return kCommandWritable & 0xFF;
    case kCommand + 1:
      return kCommandWritable >> 8;
    case kCacheLineSize:
    case kLatencyTimer:
    case kInterruptLine:
      return 0xFF;
    default:
      break;
  }
  if (offset >= kBar0 && offset < kBar0 + 4 * kBars) {
    const unsigned index = (offset - kBar0) / 4;
    return static_cast<uint8_t>(BarMask(index) >> (8 * ((offset - kBar0) % 4)));
  }
  return 0;
}

uint32_t PciFunction::ReadLocked(unsigned offset, unsigned width) const {
  uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    const uint32_t byte = offset + i < sizeof space_ ? space_[offset + i] : 0xFF;
    value |= byte << (8 * i);
  }
  return value;
}

bool PciFunction::WriteLocked(uint8_t offset, unsigned width, uint32_t value, bool masked) {
  bool watched_changed = false;
  for (unsigned i = 0; i < width && offset + i < sizeof space_; ++i) {
    const unsigned at = offset + i;
    const uint8_t byte = static_cast<uint8_t>(value >> (8 * i));
    const uint8_t old = space_[at];
    uint8_t next = byte;
    if (masked) {
      const uint8_t writable = WritableMask(at);
      next = static_cast<uint8_t>((old & ~writable) | (byte & writable));
      if (at == kStatus + 1) next &= static_cast<uint8_t>(~(byte & (kStatusWriteOneToClear >> 8)));
    }
    space_[at] = next;
    if (next != old && Watched(at)) watched_changed = true;
  }
  // Keep the lock-free mirrors of the command bits in step with every write.
  const uint16_t command = static_cast<uint16_t>(ReadLocked(kCommand, 2));
  io_enabled_.store((command & kCommandIo) != 0, std::memory_order_release);
  bus_master_.store((command & kCommandBusMaster) != 0, std::memory_order_release);
  return watched_changed;
}

void PciFunction::Notify() {
  std::function<void()> listener;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listener = listener_;
  }
  if (listener) listener();
}

uint32_t PciFunction::ConfigRead(uint8_t offset, unsigned width) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ReadLocked(offset, width);
}

void PciFunction::ConfigWrite(uint8_t offset, unsigned width, uint32_t value) {
  bool changed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    changed = WriteLocked(offset, width, value, true);
  }
  if (changed) Notify();
}

void PciFunction::SetRaw(uint8_t offset, unsigned width, uint32_t value) {
  bool changed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    changed = WriteLocked(offset, width, value, false);
  }
  if (changed) Notify();
}

void PciFunction::SetHeaderType(uint8_t type) { SetRaw(kHeaderType, 1, type); }

void PciFunction::SetBar(unsigned index, uint32_t value, uint32_t size, bool io) {
  if (index >= kBars) return;
  bool changed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (size != 0) {
      size = std::max(size, io ? 4u : 16u);
      size = size > 0x80000000u ? 0x80000000u : std::bit_ceil(size);
      value = io ? (value & ~0x3u) | 1 : value & ~0xFu;
    } else {
      value = 0;
    }
    bar_size_[index] = size;
    bar_io_[index] = io;
    changed = WriteLocked(static_cast<uint8_t>(kBar0 + 4 * index), 4, value, false);
  }
  if (changed) Notify();
}

uint32_t PciFunction::Bar(unsigned index) const {
  if (index >= kBars) return 0;
  return ConfigRead(static_cast<uint8_t>(kBar0 + 4 * index), 4);
}

uint32_t PciFunction::BarAddress(unsigned index) const {
  if (index >= kBars) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  const uint32_t value = ReadLocked(kBar0 + 4 * index, 4);
  return value & (bar_io_[index] ? ~0x3u : ~0xFu);
}

uint32_t PciFunction::BarSize(unsigned index) const {
  if (index >= kBars) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  return bar_size_[index];
}

void PciFunction::SetInterruptLine(uint8_t line) { SetRaw(kInterruptLine, 1, line); }

uint8_t PciFunction::InterruptLine() const {
  return static_cast<uint8_t>(ConfigRead(kInterruptLine, 1));
}

void PciFunction::SetCommand(uint16_t command) { SetRaw(kCommand, 2, command); }

uint16_t PciFunction::Command() const { return static_cast<uint16_t>(ConfigRead(kCommand, 2)); }

void PciFunction::SetLatencyTimer(uint8_t value) { SetRaw(kLatencyTimer, 1, value); }

void PciFunction::SetRevision(uint8_t revision) { SetRaw(kRevision, 1, revision); }

void PciFunction::SetStatus(uint16_t status) { SetRaw(kStatus, 2, status); }

uint16_t PciFunction::Status() const { return static_cast<uint16_t>(ConfigRead(kStatus, 2)); }

void PciFunction::SetSubsystem(uint16_t vendor, uint16_t id) {
  SetRaw(kSubsystemVendorId, 2, vendor);
  SetRaw(kSubsystemId, 2, id);
}

void PciFunction::SetChangeListener(std::function<void()> listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  listener_ = std::move(listener);
}

// ---- PciBus ----

bool PciBus::Attach(uint8_t bus, uint8_t device, uint8_t function, PciFunction* pci) {
  if (pci == nullptr || device > 31 || function > 7) return false;
  const uint16_t key = static_cast<uint16_t>(bus << 8 | device << 3 | function);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!functions_.emplace(key, pci).second) return false;
  bus_functions_[bus].fetch_add(1, std::memory_order_release);
  return true;
}

void PciBus::Detach(PciFunction* pci) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(functions_, [&](const auto& entry) {
    if (entry.second != pci) return false;
    bus_functions_[entry.first >> 8].fetch_sub(1, std::memory_order_relaxed);
    return true;
  });
}

PciFunction* PciBus::Find(uint8_t bus, uint8_t devfn) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = functions_.find(static_cast<uint16_t>(bus << 8 | devfn));
  return it == functions_.end() ? nullptr : it->second;
}

std::vector<std::pair<uint16_t, PciFunction*>> PciBus::Functions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {functions_.begin(), functions_.end()};
}

uint32_t PciBus::address() const { return address_.load(std::memory_order_relaxed); }

PciFunction* PciBus::Selected(uint8_t& reg) const {
  const uint32_t address = address_.load(std::memory_order_relaxed);
  if ((address & kEnable) == 0) return nullptr;
  if (bus_functions_[(address >> 16) & 0xFF].load(std::memory_order_acquire) == 0) return nullptr;
  reg = static_cast<uint8_t>(address & 0xFC);
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = functions_.find(static_cast<uint16_t>((address >> 8) & 0xFFFF));
  return it == functions_.end() ? nullptr : it->second;
}

// The function is called without the bus lock held: a configuration write can
// move a device's port window, and that must not wait on this bus.
uint32_t PciBus::PortRead(uint32_t offset, unsigned width) {
  if (offset >= kWindowLength) return AllOnes(width);
  if (offset + width <= 4) {
    return (address() >> (8 * offset)) & AllOnes(width);
  }
  if (offset >= 4 && offset + width <= kWindowLength) {
    uint8_t reg = 0;
    PciFunction* function = Selected(reg);
    if (function == nullptr) return AllOnes(width);
    return function->ConfigRead(static_cast<uint8_t>(reg + offset - 4), width);
  }
  // Straddles the address and data registers: one byte at a time.
  uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) value |= (PortRead(offset + i, 1) & 0xFF) << (8 * i);
  return value;
}

void PciBus::PortWrite(uint32_t offset, unsigned width, uint32_t value) {
  if (offset >= kWindowLength) return;
  if (offset + width <= 4) {
    if (offset == 0 && width == 4) address_.store(value & ~0x3u, std::memory_order_relaxed);
    return;
  }
  if (offset >= 4 && offset + width <= kWindowLength) {
    uint8_t reg = 0;
    PciFunction* function = Selected(reg);
    if (function != nullptr) {
      function->ConfigWrite(static_cast<uint8_t>(reg + offset - 4), width, value);
    }
    return;
  }
  for (unsigned i = 0; i < width; ++i) PortWrite(offset + i, 1, (value >> (8 * i)) & 0xFF);
}

}  // namespace sim
