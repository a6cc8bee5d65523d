// White-box views of the driver for its own tests: its adapter records and
// receive lists, DriverMutex, port and PCI configuration logs, the model's
// register trace, and small driver images that run one piece of start-up.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "controller/controller.h"
#include "device/device.h"
#include "hw/hw.h"
#include "startup/startup.h"
#include "support/pc.h"

namespace tvtest {

// A controller of the test machine with a 16-word EEPROM (quick to read).
inline sim::I8255xConfig QuickConfig(unsigned index) {
  sim::I8255xConfig config = sim::StandardController(index);
  config.eeprom_words = 16;
  return config;
}

// Held around direct calls of timed driver operations, as the driver's own
// callers do.
struct DriverLock {
  DriverLock() { KeAcquireMutex(DriverMutex); }
  ~DriverLock() { KeReleaseMutex(DriverMutex); }
  DriverLock(const DriverLock&) = delete;
  DriverLock& operator=(const DriverLock&) = delete;
};

inline uint32_t SlotIndex(const NicAdapter* adapter, const ReceiveQueueSlot* slot) {
  return static_cast<uint32_t>(slot - adapter->QueueStart);
}

inline unsigned RfdIndex(const NicAdapter* adapter, const ReceiveFrameDescriptor* rfd) {
  return static_cast<unsigned>(rfd - adapter->Rfds);
}

inline unsigned RbdIndex(const NicAdapter* adapter, const uint8_t* rbd) {
  return static_cast<unsigned>((rbd - adapter->Rbds[0].Bytes) / RbdSlotSize);
}

inline uint8_t* RbdSlot(NicAdapter* adapter, unsigned index) { return adapter->Rbds[index].Bytes; }
inline uint16_t RbdSize(NicAdapter* adapter, unsigned index) {
  return HwLoad16(RbdSlot(adapter, index) + RbdOffsetSize);
}
inline uint16_t RbdCountField(NicAdapter* adapter, unsigned index) {
  return HwLoad16(RbdSlot(adapter, index) + RbdOffsetCount);
}
inline uint16_t RfdCommand(NicAdapter* adapter, unsigned index) {
  return HwLoad16(&adapter->Rfds[index].Command);
}
inline uint16_t RfdStatus(NicAdapter* adapter, unsigned index) {
  return HwLoad16(&adapter->Rfds[index].Status);
}

// The configure bytes of a fresh driver image.
constexpr uint8_t kInitialConfig[24] = {0x16, 0x08, 0x00, 0x00, 0x00, 0x80, 0x3B, 0x03,
                                        0x00, 0x00, 0x2E, 0x00, 0xF0, 0x00, 0xF2, 0xC8,
                                        0x00, 0x40, 0xF3, 0x00, 0x3F, 0x05, 0x00, 0x00};

// Indexes of the RFDs and RBDs that carry the end-of-list bit.
inline std::vector<unsigned> WithEndOfList(unsigned count,
                                           const std::function<uint16_t(unsigned)>& word) {
  std::vector<unsigned> result;
  for (unsigned i = 0; i < count; ++i) {
    if (word(i) & 0x8000) result.push_back(i);
  }
  return result;
}
inline std::vector<unsigned> RfdsWithEndOfList(NicAdapter* adapter) {
  return WithEndOfList(RfdCount, [&](unsigned i) { return RfdCommand(adapter, i); });
}
inline std::vector<unsigned> RbdsWithEndOfList(NicAdapter* adapter) {
  return WithEndOfList(RbdCount, [&](unsigned i) { return RbdSize(adapter, i); });
}

// Register accesses of the model's trace at one offset, in order.
inline std::vector<sim::I8255x::TraceEntry> Accesses(sim::I8255x& nic, uint32_t offset,
                                                     bool write) {
  std::vector<sim::I8255x::TraceEntry> result;
  for (const auto& entry : nic.Trace()) {
    if (entry.offset == offset && entry.write == write) result.push_back(entry);
  }
  return result;
}

// An EEPROM image whose last word makes the sum 0xBABA.
inline std::vector<uint16_t> Checksummed(std::vector<uint16_t> words) {
  uint16_t sum = 0;
  for (size_t i = 0; i + 1 < words.size(); ++i) sum = static_cast<uint16_t>(sum + words[i]);
  words.back() = static_cast<uint16_t>(0xBABA - sum);
  return words;
}

inline Mac StationOf(const NicAdapter* adapter) {
  Mac mac;
  for (int i = 0; i < 6; ++i) mac[i] = adapter->MacAddress[i];
  return mac;
}

// True once the controller's SCB command byte reads 0 (bounded; false when
// it never does, e.g. under the "never accepted" fault). The controller takes
// a command some microseconds of machine time after it was written, and
// machine time moves only with port accesses: a test that relies on a command
// the driver wrote last and did not wait for (the receive-unit start that
// ends bring-up and every receive restart, a transmit's command-unit start)
// reads the command byte, as software on the part would.
inline bool WaitCommandTaken(sim::Machine& machine, sim::I8255x& nic, int reads = 1000) {
  const uint32_t command = nic.pci().BarAddress(1) + ScbCommand;
  for (int i = 0; i < reads; ++i) {
    if (machine.ports().Read(command, 1) == 0) return true;
  }
  return false;
}

// Command-unit starts the driver wrote to the controller so far, from the
// model's trace (configure and transmit commands each start the unit once).
inline size_t CuStarts(sim::I8255x& nic) {
  const auto commands = Accesses(nic, ScbCommand, true);
  return std::count_if(commands.begin(), commands.end(),
                       [](const auto& e) { return (e.value & 0xF0) == ScbCommandCuStart; });
}

// Records every port access the machine sees while it lives, with the thread
// that made it.
class PortLog {
 public:
  // The trace function owns what it records: an access on another thread
  // (the interrupt service) may still be inside it after the log is gone.
  explicit PortLog(sim::Machine& machine) : machine_(machine), log_(std::make_shared<Log>()) {
    machine_.ports().SetTrace([log = log_](const sim::PortBus::Access& access) {
      std::lock_guard lock(log->mutex);
      log->entries.push_back({access, std::this_thread::get_id()});
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
  struct Log {
    std::mutex mutex;
    std::vector<Entry> entries;  // guarded by mutex
  };
  std::vector<sim::PortBus::Access> Select(bool mine) {
    std::vector<Entry> entries;
    {
      std::lock_guard lock(log_->mutex);
      entries.swap(log_->entries);
    }
    std::vector<sim::PortBus::Access> selected;
    for (const Entry& e : entries) {
      if (!mine || e.thread == std::this_thread::get_id()) selected.push_back(e.access);
    }
    return selected;
  }

  sim::Machine& machine_;
  std::shared_ptr<Log> log_;
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

// Registry `entries` and a driver image for the machine's main thread.
inline sim::MachineOptions ImageOptions(uint32_t (*image)(), const Entries& entries = {}) {
  sim::MachineOptions options = PlainOptions(entries);
  options.image = image;
  return options;
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

// Waits (bounded) until the memory service has published its objects. Call
// it only after WaitStarted: the driver's globals outlive a machine, and
// before the new image has reset them the previous machine's handles would
// be taken for the new service's.
inline bool WaitForMemoryService() {
  return Eventually([] { return __atomic_load_n(&MemoryReplyEvent, __ATOMIC_ACQUIRE) != 0; });
}

// The adapters on AdapterList, in list order.
inline std::vector<NicAdapter*> Adapters() {
  std::vector<NicAdapter*> adapters;
  for (auto* a = static_cast<NicAdapter*>(AdapterList.First); a != nullptr; a = a->Next) {
    adapters.push_back(a);
  }
  return adapters;
}

// One quick controller on the test PC; Boot() brings it up with a registry
// station address (no EEPROM read) and then `entries`, and `a` is its adapter.
class OneAdapter : public ::testing::Test {
 protected:
  // `trace` keeps the model's trace of the bring-up.
  void Boot(Entries entries = {}, bool trace = false, sim::I8255xConfig config = QuickConfig(0)) {
    entries.insert(entries.begin(), {"MacAddress", "02:11:22:33:44:55"});
    pc.reset();  // one machine at a time: the driver's globals are shared
    pc = std::make_unique<TestPc>(Options(entries));
    nic = &pc->AddNic(config);
    nic->EnableTrace(trace);
    pc->Boot();
    nic->EnableTrace(false);
    a = AdapterAt(0);
    ASSERT_NE(a, nullptr);
  }

  std::unique_ptr<TestPc> pc;
  sim::I8255x* nic = nullptr;
  NicAdapter* a = nullptr;
};

}  // namespace tvtest
