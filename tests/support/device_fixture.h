// Helpers for the device-interface tests: a booted PC with controllers on one
// segment, the driver's records behind its devices, frames with a
// self-checking payload, and bounded waits for what the interrupt service
// does on its own thread.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "controller/adapter.h"
#include "device/device.h"
#include "platform/net/test_frame.h"
#include "startup/startup.h"
#include "tests/support/harness.h"

namespace device_test {

using testing_support::DeviceName;
using testing_support::Mac;

// A generous bound for waits on other threads. Reaching it means the driver
// lost something (a frame, a wake-up); it is never a measure of speed.
constexpr auto kHangBound = std::chrono::seconds(20);

// Polls `done` until it holds or the hang bound passes; false on the bound.
inline bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kHangBound;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// Joins a client thread that sets `returned` when its call is back. When it
// never comes back, the machine is stopped (which unwinds the thread out of
// the driver) and false is returned.
inline bool JoinReturned(std::thread& thread, const std::atomic<bool>& returned,
                         sim::Machine& machine) {
  const bool came_back = WaitUntil([&] { return returned.load(); });
  if (!came_back) machine.Stop();
  thread.join();
  return came_back;
}

// True in builds instrumented by a sanitizer, where everything runs several
// times slower and the tests scale their rounds down.
constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

// Runs `body` with the interrupt service held off, as the driver's own
// readers of the queue do, so that what it reads is consistent with the
// interrupt thread's writes.
template <class F>
auto WithInterruptsDisabled(F&& body) {
  KeDisableInterrupts();
  struct Enable {
    ~Enable() { KeEnableInterrupts(); }
  } enable;
  return body();
}

inline const Mac kWireSource = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};

// A test frame (platform/net/test_frame.h) carrying `tag` as its sequence
// number. Every byte follows from the tag, the addresses and the length, so a
// torn copy (two frames mixed) or a cut one fails VerifyTagged.
inline std::vector<uint8_t> TaggedFrame(const Mac& destination, const Mac& source, uint32_t length,
                                        uint32_t tag) {
  return sim::BuildTestFrame(0, 0, tag, destination, source, length);
}

// The tag of a frame built by TaggedFrame (at least its header's bytes).
inline uint32_t TagOf(const uint8_t* frame) {
  const auto header = sim::ParseTestFrame(frame, sim::kTestHeaderBytes);
  return header ? header->sequence : 0xFFFFFFFFu;
}

// True when `bytes` is exactly one whole frame built by TaggedFrame.
inline bool VerifyTagged(const uint8_t* bytes, uint32_t length) {
  return sim::IsWholeTestFrame(0, bytes, length);
}

// Registry settings for the device tests: the shortest configure delay (a
// close reconfigures the controller, and the tests open and close often),
// plus `extra`.
inline sim::MachineOptions DeviceOptions(
    std::vector<std::pair<std::string, std::string>> extra = {}) {
  extra.insert(extra.begin(), {"ConfigDelay", "10"});
  return testing_support::OptionsWithRegistry(std::move(extra));
}

inline sim::MachineOptions WithBuffers(unsigned buffers) {
  return DeviceOptions({{"Buffers", std::to_string(buffers)}});
}

// A booted PC with `nics` controllers on one segment and a test port.
struct DevicePc {
  testing_support::TestPc pc;

  explicit DevicePc(unsigned nics, sim::MachineOptions options = DeviceOptions())
      : pc(std::move(options)) {
    pc.AddNics(nics);
  }
  // Boots and waits until the memory service has made its mutex and events,
  // so that counts of live kernel objects taken afterwards are stable. A
  // failure is reported through gtest (check HasFatalFailure).
  void Boot() {
    pc.Boot();
    if (testing::Test::HasFatalFailure()) return;
    ASSERT_TRUE(WaitUntil([&] {
      return pc.machine->LiveMutexes() >= 2 && pc.machine->LiveEvents() >= 2;
    })) << "the memory service never started";
  }

  sim::Machine& machine() { return *pc.machine; }
  sim::I8255x& nic(unsigned index) { return *pc.nics.at(index); }
  Mac station(unsigned index) { return testing_support::StationFor(index); }

  // The adapter record behind device `index` (creation order is device
  // order).
  NicAdapter* adapter(unsigned index) {
    NicAdapter* a =
        WithInterruptsDisabled([] { return static_cast<NicAdapter*>(AdapterList.First); });
    for (unsigned i = 0; i < index && a != nullptr; ++i) a = a->Next;
    return a;
  }

  // Position of QueueWrite as a slot index.
  uint32_t QueueIndex(NicAdapter* a) {
    return WithInterruptsDisabled(
        [a] { return static_cast<uint32_t>(a->QueueWrite - a->QueueStart); });
  }

  // Injects a frame from the test port and waits until adapter `index` has
  // queued it (and so delivered it to any blocked reader). False when the
  // frame never arrived.
  bool InjectQueued(unsigned index, const std::vector<uint8_t>& frame) {
    NicAdapter* a = adapter(index);
    const uint32_t slots = static_cast<uint32_t>(a->QueueEnd - a->QueueStart);
    const uint32_t before = QueueIndex(a);
    pc.wire->Inject(frame);
    return WaitUntil([&] { return QueueIndex(a) == (before + 1) % slots; });
  }

  // Waits until the client has a read registered as pending.
  bool WaitPending(uintptr_t open) {
    NicClient* client = reinterpret_cast<NicClient*>(open);
    return WaitUntil(
        [&] { return WithInterruptsDisabled([&] { return client->PendingBuffer != nullptr; }); });
  }

  // True when the client has no unread frame.
  bool CaughtUp(uintptr_t open) {
    NicClient* client = reinterpret_cast<NicClient*>(open);
    return WithInterruptsDisabled(
        [&] { return client->ReadPointer == client->Adapter->QueueWrite; });
  }
};

// A booted PC with one controller and one client of its device, for tests of
// that client's calls.
class OneClient : public ::testing::Test {
 protected:
  void SetUp() override {
    pc.Boot();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(process.Open(DeviceName(0), &open), 0u);
  }
  DevicePc pc{1};
  sim::ClientProcess process{pc.machine()};
  uintptr_t open = 0;
};

// Command-unit starts the driver wrote to the controller so far, from the
// model's trace (configure and transmit commands each start the unit once).
inline size_t CuStarts(sim::I8255x& nic) {
  size_t starts = 0;
  for (const auto& entry : nic.Trace()) {
    if (entry.write && entry.offset == ScbCommand && (entry.value & 0xF0) == ScbCommandCuStart) {
      ++starts;
    }
  }
  return starts;
}

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

}  // namespace device_test
