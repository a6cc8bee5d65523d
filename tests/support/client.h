// A client of the driver's devices: a process with an open record, its
// statistics blocks, and bounded waits for calls made on other threads.
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <thread>
#include <utility>
#include <vector>

#include "device/device.h"
#include "support/pc.h"

namespace tvtest {

// Joins a client thread that sets `returned` when its call is back. When it
// never comes back, the machine is stopped (which unwinds the thread out of
// the driver) and false is returned.
inline bool JoinReturned(std::thread& thread, const std::atomic<bool>& returned,
                         sim::Machine& machine) {
  const bool came_back = Eventually([&] { return returned.load(); });
  if (!came_back) machine.Stop();
  thread.join();
  return came_back;
}

// A read on a thread of its own, for reads that block. A test that ends
// before Join (a failed assertion) stops the machine, which unwinds the read,
// rather than leave the thread blocked.
struct ReadThread {
  sim::Machine& machine;
  std::vector<uint8_t> buffer;
  uint32_t length;
  std::atomic<uint32_t> status{0xFFFF};
  std::atomic<bool> returned{false};
  std::thread thread;
  ReadThread(sim::Machine& m, sim::ClientProcess& process, uintptr_t open, uint8_t fill = 0,
             uint32_t preset = 0, uint32_t size = 1536)
      : machine(m), buffer(size, fill), length(preset) {
    thread = std::thread([this, &process, open, size] {
      status = process.Read(open, buffer.data(), size, &length);
      returned = true;
    });
  }
  ~ReadThread() {
    if (!thread.joinable()) return;
    machine.Stop();
    thread.join();
  }
  // False (and the machine stopped) if the read never returns.
  bool Join() { return JoinReturned(thread, returned, machine); }
};

// Opens one handle per pair (device number, where the handle goes), in order;
// fails naming the first device whose open is refused.
inline ::testing::AssertionResult OpenEach(
    sim::ClientProcess& process, std::initializer_list<std::pair<int, uintptr_t*>> opens) {
  for (const auto& [device, open] : opens) {
    const uint32_t status = process.Open(DeviceName(device), open);
    if (status != 0) {
      return ::testing::AssertionFailure() << "open of device " << device << " gave " << status;
    }
  }
  return ::testing::AssertionSuccess();
}

// The client record behind an open handle: white-box views of whether its
// read is registered as pending, and whether it has no unread frame.
inline bool WaitPending(uintptr_t open) {
  NicClient* client = reinterpret_cast<NicClient*>(open);
  return Eventually(
      [&] { return WithInterruptsOff([&] { return client->PendingBuffer != nullptr; }); });
}
inline bool CaughtUp(uintptr_t open) {
  NicClient* client = reinterpret_cast<NicClient*>(open);
  return WithInterruptsOff([&] { return client->ReadPointer == client->Adapter->QueueWrite; });
}

// A booted PC with one controller and one client of its device, for tests of
// that client's calls.
class OneClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pc.BootReady());
    ASSERT_EQ(process.Open(DeviceName(0), &open), 0u);
  }
  TestPc pc{1, Options()};
  sim::ClientProcess process{*pc.machine};
  uintptr_t open = 0;
};

// A whole statistics block, read through its control code.
template <size_t Words>
std::array<uint32_t, Words> ReadBlock(sim::ClientProcess& process, uintptr_t open, uint32_t code) {
  std::array<uint32_t, Words> words{};
  EXPECT_EQ(process.Control(open, code, reinterpret_cast<uintptr_t>(words.data()),
                            static_cast<uint32_t>(Words * 4)),
            0u);
  return words;
}
inline std::array<uint32_t, 11> ClientBlock(sim::ClientProcess& p, uintptr_t open) {
  return ReadBlock<11>(p, open, MacControlClientStatistics);
}
inline std::array<uint32_t, 37> AdapterBlock(sim::ClientProcess& p, uintptr_t open) {
  return ReadBlock<37>(p, open, MacControlAdapterStatistics);
}
inline std::array<uint32_t, 17> GlobalBlock(sim::ClientProcess& p, uintptr_t open) {
  return ReadBlock<17>(p, open, MacControlGlobalStatistics);
}

// Frame count for the long end-to-end run: TORVELIN_DEVICE_FRAMES when set,
// otherwise 100000 in an optimised build, 10000 in a debug build and 3000
// under a sanitizer.
inline uint32_t LongRunFrames() {
  if (const char* text = std::getenv("TORVELIN_DEVICE_FRAMES")) {
    const long value = std::strtol(text, nullptr, 10);
    if (value > 0) return static_cast<uint32_t>(value);
  }
  if (kSanitized) return 3000;
#ifdef NDEBUG
  return 100000;
#else
  return 10000;
#endif
}

}  // namespace tvtest
