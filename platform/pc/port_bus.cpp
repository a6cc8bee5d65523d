#include "platform/pc/port_bus.h"

#include <algorithm>

namespace sim {

namespace {

uint32_t AllOnes(unsigned width) { return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }

// The 8254's ports and port B (which short delays read): what a busy wait
// touches, and nothing else does (see Clock::OnPortAccess).
bool IsTimerPort(uint32_t port) { return (port >= 0x40 && port <= 0x43) || port == 0x61; }

}  // namespace

PortBus::PortBus(Clock& clock) : clock_(clock) {
  std::lock_guard<std::mutex> lock(writer_mutex_);
  Publish({}, nullptr);
}

PortBus::~PortBus() {
  // Nobody may access the bus while it is destroyed; retired_ goes with it.
  delete table_.load(std::memory_order_relaxed);
}

bool PortBus::Overlaps(const std::vector<Window>& windows, uint32_t base, uint32_t length) {
  for (const Window& w : windows) {
    if (base < w.base + w.length && w.base < base + length) return true;
  }
  return false;
}

void PortBus::Publish(std::vector<Window> windows,
                      std::shared_ptr<const std::function<void(const Access&)>> trace) {
  auto table = std::make_unique<Table>();
  std::sort(windows.begin(), windows.end(),
            [](const Window& a, const Window& b) { return a.base < b.base; });
  table->windows = std::move(windows);
  // Which pages hold a window, each numbered in storage (0: the empty page).
  std::array<uint16_t, kPages> page_of{};
  uint16_t used = 1;
  for (const Window& w : table->windows) {
    for (uint32_t page = w.base / kPagePorts; page <= (w.base + w.length - 1) / kPagePorts;
         ++page) {
      if (page_of[page] == 0) page_of[page] = used++;
    }
  }
  Page empty;
  empty.fill(kNoWindow);
  table->storage.assign(used, empty);
  for (size_t i = 0; i < table->windows.size(); ++i) {
    const Window& w = table->windows[i];
    for (uint32_t port = w.base; port < w.base + w.length; ++port) {
      table->storage[page_of[port / kPagePorts]][port % kPagePorts] = static_cast<uint16_t>(i);
    }
  }
  for (uint32_t page = 0; page < kPages; ++page) {
    table->pages[page] = &table->storage[page_of[page]];
  }
  table->trace = std::move(trace);
  table->trace_fn = table->trace.get();
  const Table* old = table_.exchange(table.release(), std::memory_order_acq_rel);
  if (old != nullptr) retired_.emplace_back(old);
}

bool PortBus::Map(uint32_t base, uint32_t length, PortDevice* device) {
  if (device == nullptr || length == 0 || base >= kPortSpace || length > kPortSpace - base) {
    return false;
  }
  std::lock_guard<std::mutex> lock(writer_mutex_);
  const Table* current = table_.load(std::memory_order_relaxed);
  if (Overlaps(current->windows, base, length)) return false;
  std::vector<Window> windows = current->windows;
  windows.push_back({base, length, device});
  Publish(std::move(windows), current->trace);
  return true;
}

void PortBus::Unmap(PortDevice* device) {
  std::lock_guard<std::mutex> lock(writer_mutex_);
  const Table* current = table_.load(std::memory_order_relaxed);
  std::vector<Window> windows;
  for (const Window& w : current->windows) {
    if (w.device != device) windows.push_back(w);
  }
  if (windows.size() == current->windows.size()) return;
  Publish(std::move(windows), current->trace);
}

bool PortBus::Remap(PortDevice* device, uint32_t base, uint32_t length) {
  if (device == nullptr || length == 0 || base >= kPortSpace || length > kPortSpace - base) {
    return false;
  }
  std::lock_guard<std::mutex> lock(writer_mutex_);
  const Table* current = table_.load(std::memory_order_relaxed);
  std::vector<Window> windows;
  for (const Window& w : current->windows) {
    if (w.device != device) windows.push_back(w);
  }
  if (Overlaps(windows, base, length)) return false;
  windows.push_back({base, length, device});
  Publish(std::move(windows), current->trace);
  return true;
}

bool PortBus::Claimed(uint32_t port) const {
  return table_.load(std::memory_order_acquire)->Find(port) != nullptr;
}

void PortBus::SetTrace(std::function<void(const Access&)> trace) {
  std::lock_guard<std::mutex> lock(writer_mutex_);
  const Table* current = table_.load(std::memory_order_relaxed);
  std::shared_ptr<const std::function<void(const Access&)>> shared;
  if (trace) shared = std::make_shared<const std::function<void(const Access&)>>(std::move(trace));
  Publish(current->windows, std::move(shared));
}

uint32_t PortBus::SplitRead(const Table& table, uint32_t port, unsigned width) {
  uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    const Window* w = uint64_t{port} + i < kPortSpace ? table.Find(port + i) : nullptr;
    const uint32_t byte = w ? (w->device->PortRead(port + i - w->base, 1) & 0xFF) : 0xFF;
    value |= byte << (8 * i);
  }
  return value;
}

void PortBus::SplitWrite(const Table& table, uint32_t port, unsigned width, uint32_t value) {
  for (unsigned i = 0; i < width; ++i) {
    const Window* w = uint64_t{port} + i < kPortSpace ? table.Find(port + i) : nullptr;
    if (w) w->device->PortWrite(port + i - w->base, 1, (value >> (8 * i)) & 0xFF);
  }
}

uint32_t PortBus::Read(uint32_t port, unsigned width) {
  const bool timer = IsTimerPort(port);
  clock_.OnPortAccess(timer || clock_.RepeatsLastRead(port));
  if (width - 1 > 3) width = 4;  // widths are 1, 2 or 4; never shift past 32 bits
  const Table* table = table_.load(std::memory_order_acquire);
  const Window* w = table->Find(port);
  uint32_t value;
  if (w != nullptr && port - w->base + width <= w->length) {
    value = w->device->PortRead(port - w->base, width) & AllOnes(width);
  } else {
    value = SplitRead(*table, port, width);
  }
  if (!timer) clock_.OnDeviceRead(port, value);
  if (table->trace_fn) (*table->trace_fn)(Access{port, width, value, false});
  return value;
}

void PortBus::Write(uint32_t port, unsigned width, uint32_t value) {
  const bool timer = IsTimerPort(port);
  clock_.OnPortAccess(timer);
  if (!timer) clock_.OnDeviceWrite();
  if (width - 1 > 3) width = 4;  // widths are 1, 2 or 4; never shift past 32 bits
  value &= AllOnes(width);
  const Table* table = table_.load(std::memory_order_acquire);
  const Window* w = table->Find(port);
  if (w != nullptr && port - w->base + width <= w->length) {
    w->device->PortWrite(port - w->base, width, value);
  } else {
    SplitWrite(*table, port, width, value);
  }
  if (table->trace_fn) (*table->trace_fn)(Access{port, width, value, true});
}

}  // namespace sim
