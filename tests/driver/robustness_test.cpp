// A hostile controller: status words that never clear, descriptors that claim
// more than their buffers, lack F or EOF, or report a frame complete without
// its OK bit. The driver must stay responsive, never copy past a receive
// buffer or a queue slot, and hand the next sane frame over whole.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "device/device.h"
#include "support/driver.h"

namespace {

using namespace tvtest;

// What the controller writes back, chosen by the test: the count word of
// every RBD and the status word of every RFD of the next `frames` frames,
// and bits forced into every SCB status read while `scb_forced` is set.
class Scripted : public sim::I8255xDescriptorHook {
 public:
  void Next(unsigned frames, uint16_t rbd_count, uint16_t rfd_status) {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_ = frames;
    rbd_count_ = rbd_count;
    rfd_status_ = rfd_status;
  }
  std::atomic<uint16_t> scb_forced{0};

  uint16_t RbdCount(size_t, size_t, uint16_t count) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_ != 0 && rbd_count_ != 0 ? rbd_count_ : count;
  }
  uint16_t RfdStatus(uint16_t status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (frames_ == 0) return status;
    --frames_;
    return rfd_status_ != 0 ? rfd_status_ : status;
  }
  uint16_t ScbStatus(uint16_t status) override {
    return static_cast<uint16_t>(status | scb_forced.load());
  }

 private:
  std::mutex mutex_;
  unsigned frames_ = 0;      // guarded by mutex_
  uint16_t rbd_count_ = 0;   // guarded by mutex_
  uint16_t rfd_status_ = 0;  // guarded by mutex_
};

struct Rig {
  TestPc pc{Options({{"UseEeprom", "0"}})};
  sim::I8255x* nic = nullptr;
  Scripted script;
  std::unique_ptr<sim::ClientProcess> client;
  uintptr_t open = 0;

  Rig() {
    pc.AddNic(QuickConfig(0));
    nic = pc.nics[0];
    pc.Boot();
    client = std::make_unique<sim::ClientProcess>(*pc.machine);
    EXPECT_EQ(client->Open(DeviceName(0), &open), 0u);
    // Open ends with a configure the driver does not wait for (its CU start
    // is written last): until the controller takes it, the previous
    // configuration's filter refuses broadcasts, so a frame injected in
    // that window is dropped, as on the part.
    EXPECT_TRUE(WaitCommandTaken(*pc.machine, *nic));
    nic->faults().descriptor_hook = &script;
  }
  ~Rig() {
    nic->faults().descriptor_hook = nullptr;
    pc.machine->Stop();
  }

  // A read on a helper thread: its status and length, or nullopt when it did
  // not come back in time (the machine is then stopped to unwind it).
  std::optional<std::vector<uint8_t>> ReadOne() {
    std::vector<uint8_t> buffer(MaximumFrameLength);
    uint32_t length = 0, status = 0;
    std::atomic<bool> back{false};
    std::thread reader([&] {
      status = client->Read(open, buffer.data(), static_cast<uint32_t>(buffer.size()), &length);
      back = true;
    });
    const bool came_back = Eventually([&] { return back.load(); });
    if (!came_back) pc.machine->Stop();
    reader.join();
    if (!came_back || status != 0) return std::nullopt;
    buffer.resize(length);
    return buffer;
  }
};

TEST(Robustness, AStatusWordThatNeverClearsDoesNotHoldTheInterruptServiceForever) {
  Rig rig;
  // Every status read shows a received frame, however often it is
  // acknowledged: the service's rounds over the line must end, or clients
  // (which exclude interrupts for their hand-overs) would wait forever.
  rig.script.scb_forced = ScbStatusFr;
  const auto frame = MakeFrame(kBroadcast, Station(7), 100, 1);
  rig.nic->InjectFrame(frame);
  ASSERT_TRUE(Eventually([&] { return rig.pc.machine->InterruptRuns() > 0; }));
  auto got = rig.ReadOne();
  ASSERT_TRUE(got.has_value()) << "a read never came back past the interrupt service";
  EXPECT_EQ(*got, frame);

  // Still serviced while the status stays stuck: the next frame arrives too,
  // and the client can leave.
  const auto second = MakeFrame(kBroadcast, Station(7), 200, 2);
  rig.nic->InjectFrame(second);
  got = rig.ReadOne();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, second);
  EXPECT_EQ(rig.client->Close(rig.open), 0u);
}

TEST(Robustness, HostileDescriptorsAreDroppedAndTheNextFrameArrivesWhole) {
  struct Case {
    const char* what;
    uint16_t rbd_count;
    uint16_t rfd_status;
  };
  const Case cases[] = {
      // EOF and F with the largest count: far beyond a slot and the buffer.
      {"count beyond the buffer", RbdCountEof | RbdCountValid | RbdCountMask, 0},
      // Just past a slot: a copy of it would overrun the next slot.
      {"count one past a slot", RbdCountEof | RbdCountValid | (MaximumFrameLength + 1), 0},
      {"no F bit", RbdCountEof | 100, 0},
      {"complete without OK", 0, RfdStatusComplete},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig;
    rig.script.Next(1, c.rbd_count, c.rfd_status);
    rig.nic->InjectFrame(MakeFrame(kBroadcast, Station(7), 100, 1));
    // A dropped frame ends the drain, and frames completed behind it wait for
    // the next service: the good frame follows once the hostile one is gone.
    NicAdapter* adapter = AdapterAt(0);
    ASSERT_TRUE(Eventually([&] {
      InterruptsOff off;
      return RfdIndex(adapter, adapter->RxRfdHead) == 1;
    })) << "the hostile frame was never drained";
    const auto good = MakeFrame(kBroadcast, Station(7), 1514, 2);
    rig.nic->InjectFrame(good);
    auto got = rig.ReadOne();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, good) << "the hostile frame reached the client, or the good one was hurt";
    // The driver never pointed the controller outside its own memory.
    EXPECT_EQ(rig.nic->counters().bus_errors.load(), 0u);
  }
}

TEST(Robustness, AFrameWithoutEndIsWalkedWithinTheRingAndReceptionRecovers) {
  Rig rig;
  // No EOF anywhere: the walk must end within the ring. Without an end the
  // driver cannot tell which buffers the frame took, so it may lose the
  // following frames until the receive unit runs out of buffers and is
  // restarted; from then on frames arrive whole again.
  rig.script.Next(1, RbdCountValid | 100, 0);
  rig.nic->InjectFrame(MakeFrame(kBroadcast, Station(7), 100, 1));
  // Frames one at a time, each given the time to be drained, until one is
  // queued for the client (bounded: a few rings' worth).
  auto* client = reinterpret_cast<NicClient*>(rig.open);
  auto queued = [&] {
    InterruptsOff off;
    return client->ReadPointer != client->Adapter->QueueWrite;
  };
  std::vector<std::vector<uint8_t>> sent;
  for (uint32_t i = 0; i < 4 * RbdCount && !queued(); ++i) {
    sent.push_back(MakeFrame(kBroadcast, Station(7), 600, 2 + i));
    rig.nic->InjectFrame(sent.back());
    Eventually(queued, 50);
  }
  auto got = rig.ReadOne();
  ASSERT_TRUE(got.has_value()) << "no frame ever arrived after a frame without EOF";
  EXPECT_NE(std::find(sent.begin(), sent.end(), *got), sent.end()) << "a frame arrived hurt";
  EXPECT_EQ(rig.nic->counters().bus_errors.load(), 0u);
  EXPECT_EQ(rig.client->Close(rig.open), 0u);
}

}  // namespace
