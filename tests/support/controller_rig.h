// Helpers for the controller tests: quick machines, the driver's adapter
// records, interrupt exclusion and DriverMutex from the test thread, and
// small readers of the receive lists and the model's register trace.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "controller/controller.h"
#include "device/device.h"
#include "hw/hw.h"
#include "startup/startup.h"
#include "support/harness.h"

namespace controller_rig {

using testing_support::Mac;
using testing_support::TestPc;
using Entries = std::vector<std::pair<std::string, std::string>>;

// Registry entries first (so that a later Quiet 0 does not print their
// confirmations), then the caller's. The shortest configure delay keeps a
// bring-up at a fraction of its default machine time; no boot wait.
inline sim::MachineOptions Options(const Entries& entries = {}) {
  Entries all = {{"ConfigDelay", "10"}, {"WaitBoot", "0"}};
  all.insert(all.end(), entries.begin(), entries.end());
  return testing_support::OptionsWithRegistry(all);
}

// A controller of the test machine with a 16-word EEPROM (quick to read).
inline sim::I8255xConfig QuickConfig(unsigned index) {
  sim::I8255xConfig config = TestPc::DefaultConfig(index);
  config.eeprom_words = 16;
  return config;
}

// The index-th adapter on AdapterList (creation order), or null.
inline NicAdapter* AdapterAt(unsigned index) {
  auto* adapter = static_cast<NicAdapter*>(AdapterList.First);
  while (adapter != nullptr && index-- > 0) adapter = adapter->Next;
  return adapter;
}

inline unsigned AdapterCount() {
  unsigned count = 0;
  for (auto* a = static_cast<NicAdapter*>(AdapterList.First); a != nullptr; a = a->Next) ++count;
  return count;
}

// Keeps the interrupt service out while the test reads or changes the state
// it owns (receive lists, cursors, QueueWrite, slots).
struct InterruptsOff {
  InterruptsOff() { KeDisableInterrupts(); }
  ~InterruptsOff() { KeEnableInterrupts(); }
  InterruptsOff(const InterruptsOff&) = delete;
  InterruptsOff& operator=(const InterruptsOff&) = delete;
};

// Held around direct calls of timed driver operations, as the driver's own
// callers do.
struct DriverLock {
  DriverLock() { KeAcquireMutex(DriverMutex); }
  ~DriverLock() { KeReleaseMutex(DriverMutex); }
  DriverLock(const DriverLock&) = delete;
  DriverLock& operator=(const DriverLock&) = delete;
};

// Polls a condition until it holds; false after `ms` of wall time (a guard
// against hangs only; nothing is asserted about the time taken).
inline bool WaitUntil(const std::function<bool()>& condition, int ms = 20000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

inline uint32_t SlotIndex(const NicAdapter* adapter, const ReceiveQueueSlot* slot) {
  return static_cast<uint32_t>(slot - adapter->QueueStart);
}

inline uint32_t QueueWriteIndex(const NicAdapter* adapter) {
  InterruptsOff off;
  return SlotIndex(adapter, adapter->QueueWrite);
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
inline std::vector<unsigned> RfdsWithEndOfList(NicAdapter* adapter) {
  std::vector<unsigned> result;
  for (unsigned i = 0; i < RfdCount; ++i) {
    if (RfdCommand(adapter, i) & 0x8000) result.push_back(i);
  }
  return result;
}
inline std::vector<unsigned> RbdsWithEndOfList(NicAdapter* adapter) {
  std::vector<unsigned> result;
  for (unsigned i = 0; i < RbdCount; ++i) {
    if (RbdSize(adapter, i) & 0x8000) result.push_back(i);
  }
  return result;
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

inline const Mac kPeer = {0x02, 0x00, 0x00, 0x00, 0x00, 0x99};

// Injects a frame on the segment and waits until the adapter's QueueWrite
// has moved by one slot; false when it did not.
inline bool InjectAndWaitQueued(TestPc& pc, NicAdapter* adapter, const std::vector<uint8_t>& frame,
                                sim::FrameErrors errors = {}) {
  const uint32_t before = QueueWriteIndex(adapter);
  pc.wire->Inject(frame, errors);
  return WaitUntil([&] { return QueueWriteIndex(adapter) != before; }, 10000);
}

}  // namespace controller_rig
