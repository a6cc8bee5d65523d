// Helpers for the start-up, registry, memory, timing, PCI, discovery and
// availability tests: port-access logs, decoded configuration accesses and
// small driver images that run one piece of start-up on the driver's main
// thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "controller/adapter.h"
#include "hw/hw.h"
#include "platform/machine.h"
#include "startup/startup.h"

namespace startup_support {

// Records every port access the machine sees while it lives, with the thread
// that made it.
class PortLog {
 public:
  explicit PortLog(sim::Machine& machine) : machine_(machine) {
    machine_.ports().SetTrace([this](const sim::PortBus::Access& access) {
      std::lock_guard lock(mutex_);
      accesses_.push_back({access, std::this_thread::get_id()});
    });
  }
  ~PortLog() { machine_.ports().SetTrace({}); }
  PortLog(const PortLog&) = delete;
  PortLog& operator=(const PortLog&) = delete;

  // Everything recorded so far (and forgets it).
  std::vector<sim::PortBus::Access> Take() { return Select(false); }
  // Only the calling thread's accesses (and forgets everything).
  std::vector<sim::PortBus::Access> TakeMine() { return Select(true); }
  void Clear() { Take(); }

 private:
  struct Entry {
    sim::PortBus::Access access;
    std::thread::id thread;
  };
  std::vector<sim::PortBus::Access> Select(bool mine) {
    std::vector<Entry> entries;
    {
      std::lock_guard lock(mutex_);
      entries.swap(accesses_);
    }
    std::vector<sim::PortBus::Access> selected;
    for (const Entry& e : entries) {
      if (!mine || e.thread == std::this_thread::get_id()) selected.push_back(e.access);
    }
    return selected;
  }

  sim::Machine& machine_;
  std::mutex mutex_;
  std::vector<Entry> accesses_;  // guarded by mutex_
};

// Accesses to ports in [first, last].
inline std::vector<sim::PortBus::Access> PortsIn(const std::vector<sim::PortBus::Access>& accesses,
                                                 uint32_t first, uint32_t last) {
  std::vector<sim::PortBus::Access> selected;
  for (const auto& a : accesses) {
    if (a.port >= first && a.port <= last) selected.push_back(a);
  }
  return selected;
}

// One configuration access: the address latched at 0xCF8 and the data access
// that followed it.
struct ConfigAccess {
  uint32_t address;  // as written to 0xCF8
  uint32_t port;     // 0xCFC..0xCFF
  unsigned width;
  uint32_t value;
  bool write;

  uint32_t Bus() const { return (address >> 16) & 0xFF; }
  uint32_t DevFn() const { return (address >> 8) & 0xFF; }
  uint32_t Register() const { return address & 0xFC; }
};

// Pairs the address writes with their data accesses; an address write that
// is not followed by exactly one data access is a test failure.
inline std::vector<ConfigAccess> DecodeConfig(const std::vector<sim::PortBus::Access>& accesses) {
  std::vector<ConfigAccess> decoded;
  bool pending = false;
  uint32_t address = 0;
  for (const auto& access : accesses) {
    if (access.port < 0xCF8 || access.port > 0xCFF) continue;
    if (access.port == 0xCF8) {
      EXPECT_TRUE(access.write && access.width == 4) << "0xCF8 must be written as a dword";
      EXPECT_FALSE(pending) << "address 0x" << std::hex << address << " had no data access";
      address = access.value;
      pending = true;
      continue;
    }
    EXPECT_TRUE(pending) << "data access at 0x" << std::hex << access.port << " without address";
    decoded.push_back({address, access.port, access.width, access.value, access.write});
    pending = false;
  }
  EXPECT_FALSE(pending) << "trailing address write";
  return decoded;
}

// Driver images for the machine's main thread (MachineOptions::image).
// Each starts from a fresh image, as DriverImageEntry does.
inline uint32_t RegistryOnlyImage() {
  StartupResetImage();
  HwResetImage();
  NicReadRegistry();
  return 0;
}

// Like the end of DriverEntry: signal 10000 (so that WaitStarted returns once
// the image's data is fresh), then the memory service.
inline uint32_t MemoryServerImage() {
  StartupResetImage();
  HwResetImage();
  NicReadRegistry();  // so that a test can set Quiet
  KeSignalInterrupt(10000);
  return MacMemoryServer();
}

inline uint32_t IdleImage() {
  StartupResetImage();
  HwResetImage();
  return 0;
}

// Boots `machine` and waits until its image has returned or start-up ended.
inline void BootAndWait(sim::Machine& machine) {
  machine.Boot();
  ASSERT_TRUE(machine.WaitStarted()) << "start-up did not finish";
}

// Waits (bounded, wall time only as a safety net) until the memory service
// has published its objects. Call it only after WaitStarted: the driver's
// globals outlive a machine, and before the new image has reset them the
// previous machine's handles would be taken for the new service's.
inline bool WaitForMemoryService() {
  for (int i = 0; i < 20000; ++i) {
    if (__atomic_load_n(&MemoryReplyEvent, __ATOMIC_ACQUIRE) != 0) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return false;
}

// Waits until DriverEntry has returned.
inline std::optional<uint32_t> WaitEntryResult(sim::Machine& machine) {
  for (int i = 0; i < 20000; ++i) {
    if (auto result = machine.EntryResult()) return result;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return std::nullopt;
}

// An adapter record for calling PCI and availability operations directly.
inline std::unique_ptr<NicAdapter> MakeAdapter(uint8_t bus, uint8_t devfn) {
  auto adapter = std::make_unique<NicAdapter>();
  adapter->Bus = bus;
  adapter->DevFn = devfn;
  return adapter;
}

// The adapters on AdapterList, in list order.
inline std::vector<NicAdapter*> Adapters() {
  std::vector<NicAdapter*> adapters;
  for (auto* a = static_cast<NicAdapter*>(AdapterList.First); a != nullptr; a = a->Next) {
    adapters.push_back(a);
  }
  return adapters;
}

}  // namespace startup_support
