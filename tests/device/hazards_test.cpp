// The hand-overs between client reads, close and the interrupt service, each
// driven so that a missing protection shows as a failure:
// - close while a read is blocked (and while a frame is being handed over),
// - a frame completing a read between the reader's check and its wait,
// - a lagging reader copying a slot while the interrupt service rewrites the
//   ring,
// - a client's command and the service's receive restart sharing the one
//   general-pointer register.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "controller/controller.h"
#include "support/client.h"

namespace {

using namespace tvtest;

using DeviceHazards = OneClient;

// A close of a client whose read is blocked ends that read with 2, leaves the
// caller's buffer and length alone, and releases the client's event.
TEST_F(DeviceHazards, CloseEndsABlockedRead) {
  ASSERT_EQ(process.Close(open), 0u);
  const size_t events = pc.machine->LiveEvents();
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(process.Open(DeviceName(0), &open), 0u);
    ReadThread read(*pc.machine, process, open, 0x5A, 0xAAAA);
    ASSERT_TRUE(WaitPending(open));
    // A second read on the same client while the first is blocked is refused
    // at once and leaves the first in place.
    std::array<uint8_t, 64> other{};
    uint32_t other_length = 0xBBBB;
    EXPECT_EQ(process.Read(open, other.data(), 64, &other_length), StatusNoResources);
    EXPECT_EQ(other_length, 0xBBBBu);
    EXPECT_TRUE(WaitPending(open));

    EXPECT_EQ(process.Close(open), 0u);
    ASSERT_TRUE(read.Join()) << "the closed read never returned";
    EXPECT_EQ(read.status.load(), StatusBadParameter);
    EXPECT_EQ(read.length, 0xAAAAu);
    EXPECT_EQ(read.buffer, std::vector<uint8_t>(1536, 0x5A));
  }
  EXPECT_EQ(pc.machine->LiveEvents(), events);
  EXPECT_EQ(AdapterAt(0)->Clients.First, nullptr);
  // Frames keep flowing into a queue nobody reads, and nothing touches a
  // released record.
  for (uint32_t tag = 0; tag < 4; ++tag) {
    ASSERT_TRUE(pc.InjectQueued(0, MakeFrame(Station(0), kWireSource, 64, tag)));
  }
}

// The event of a blocked read is the client's own kernel object, and a
// client can set it. The read then comes back from its wait without a frame
// and with interrupts disabled; it must wait again without holding the
// interrupt service off, and still get the next frame.
TEST_F(DeviceHazards, SetEventNeitherEndsTheReadNorStallsInterrupts) {
  ReadThread read(*pc.machine, process, open);
  ASSERT_TRUE(WaitPending(open));
  const KHandle event = reinterpret_cast<NicClient*>(open)->Event;
  ASSERT_EQ(process.Run([&] { return KeSetEvent(event); }), 0u);
  // The woken read goes back to waiting instead of returning.
  for (int i = 0; i < 100000 && !read.returned; ++i) std::this_thread::yield();
  EXPECT_FALSE(read.returned) << "a set event ended the read";
  // Nothing here takes interrupt exclusion, so a reader that kept it ends
  // in a failure, not a hang.
  pc.wire->Inject(MakeFrame(Station(0), kWireSource, 99, 5));
  ASSERT_TRUE(read.Join()) << "the read never got the frame";
  EXPECT_EQ(read.status.load(), 0u);
  EXPECT_EQ(read.length, 99u);
  EXPECT_EQ(SequenceOf(read.buffer.data()), 5u);
  EXPECT_TRUE(CaughtUp(open));
  EXPECT_EQ(process.Close(open), 0u);
}

// Waits until no port is touched for a while: the threads driving the
// machine are all blocked.
// Parks the thread that wrote a CU start at its next port access, until `go`.
struct ClosePark {
  std::atomic<bool> parked{false}, go{false};
  std::atomic<std::thread::id> starter{};
  void Seen(const sim::PortBus::Access& a, uint32_t io) {
    if (parked || go) return;
    const auto self = std::this_thread::get_id();
    if (self == starter.load()) {
      parked = true;
      while (!go) std::this_thread::yield();
    } else if (a.write && a.port == io + ScbCommand && a.value == ScbCommandCuStart) {
      starter = self;
    }
  }
};

// A close racing with the hand-over of a frame to the same blocked read: the
// reader gets either the whole frame (0) or the close (2).
// First the worst order, arranged: the test holds interrupt exclusion, a
// close runs up to its interrupt-free section and waits there, the test
// hands the frame over itself as the interrupt service would, and the close
// then releases the record before the woken reader runs again. A reader that
// touched its record after waking (counting the frame there) would use
// released memory; the arena does not poison released blocks, so the order
// is what this test pins down. Then free-running races.
TEST_F(DeviceHazards, CloseRacingAHandOver) {
  const uint32_t io = pc.nic(0).config().io_base;
  const uintptr_t keeper = open;  // keeps the filter and reads every frame
  constexpr uint32_t kArranged = 10, kRaced = 100;
  uint32_t handed = 0;
  for (uint32_t round = 0; round < kArranged + kRaced; ++round) {
    const bool arranged = round < kArranged;
    uintptr_t racing = 0;
    ASSERT_EQ(process.Open(DeviceName(0), &racing), 0u);
    ReadThread read(*pc.machine, process, racing);
    ASSERT_TRUE(WaitPending(racing));
    const auto frame = MakeFrame(Station(0), kWireSource, 200, round);
    std::thread closer;
    if (arranged) {
      // The close starts its configure command and is parked at its next
      // port access; the test takes the exclusion, the frame waits in the
      // controller, and the close runs on up to its interrupt-free section.
      // The trace function owns the park: an access on another thread may
      // still be inside it after the trace is switched off.
      auto park = std::make_shared<ClosePark>();
      pc.machine->ports().SetTrace(
          [park, io](const sim::PortBus::Access& a) { park->Seen(a, io); });
      closer = std::thread([&] { EXPECT_EQ(process.Close(racing), 0u); });
      ASSERT_TRUE(Eventually([&] { return park->parked.load(); }));
      KeDisableInterrupts();
      pc.wire->Inject(frame);
      park->go = true;
      ASSERT_TRUE(WaitMachineQuiet(*pc.machine));
      pc.machine->ports().SetTrace(nullptr);
      HandleReceivedPacket(AdapterAt(0));
      KeEnableInterrupts();
    } else {
      closer = std::thread([&] { EXPECT_EQ(process.Close(racing), 0u); });
      ASSERT_TRUE(pc.InjectQueued(0, frame));
    }
    closer.join();
    ASSERT_TRUE(read.Join()) << "the read never returned in round " << round;
    if (arranged || read.status == 0) {
      EXPECT_EQ(read.status.load(), 0u);
      EXPECT_EQ(read.length, 200u);
      EXPECT_TRUE(IsWholeFrame(read.buffer.data(), read.length));
      EXPECT_EQ(SequenceOf(read.buffer.data()), round);
      ++handed;
    } else {
      EXPECT_EQ(read.status.load(), StatusBadParameter);
    }
    uint32_t length = 0;
    ASSERT_EQ(process.Read(keeper, read.buffer.data(), 1536, &length), 0u);
    EXPECT_EQ(SequenceOf(read.buffer.data()), round);
  }
  // The receive counters count only hand-overs.
  EXPECT_EQ(GlobalBlock(process, keeper)[5], kArranged + kRaced + handed);
}

// A frame queued right between a reader's check and its wait must still wake
// it. The test plays the interrupt: holding interrupt exclusion, it puts a
// frame into the controller, lets the reader start its read, watches for the
// read to register itself as pending, and the moment it does (or after a
// bounded watch) it runs the drain itself, still in interrupt context. A
// correct read cannot register before the exclusion is released, so the
// drain always comes before its check (the read then finds the frame) or
// after its wait has begun (the pulse wakes it).
TEST_F(DeviceHazards, NoLostWakeUp) {
  NicClient* client = reinterpret_cast<NicClient*>(open);
  constexpr uint32_t kRounds = 200;
  constexpr uint32_t kWatch = 1000;   // looks at the pending read per round
  std::atomic<uint32_t> go{0};        // round + 1 whose read may start
  std::atomic<uint32_t> received{0};  // frames the reader has
  std::atomic<bool> failed{false};
  std::thread reader([&] {
    std::vector<uint8_t> buffer(1536);
    for (uint32_t round = 0; round < kRounds; ++round) {
      for (uint32_t spins = 0; go.load() != round + 1; ++spins) {
        if (failed) return;
        if (spins > 100000) std::this_thread::yield();
      }
      uint32_t length = 0;
      const uint32_t status = process.Read(open, buffer.data(), 1536, &length);
      if (status != 0 || SequenceOf(buffer.data()) != round ||
          !IsWholeFrame(buffer.data(), length)) {
        failed = true;
        return;
      }
      received.store(round + 1);
    }
  });
  uint32_t registered_first = 0;
  for (uint32_t round = 0; round < kRounds && !failed; ++round) {
    KeDisableInterrupts();
    pc.wire->Inject(MakeFrame(Station(0), kWireSource, 64, round));
    go.store(round + 1);
    bool pending = false;
    for (uint32_t look = 0; look < kWatch && !pending; ++look) {
      pending = client->PendingBuffer != nullptr;
      if (!pending) std::this_thread::yield();  // the reader gets its turn
    }
    if (pending) ++registered_first;
    HandleReceivedPacket(AdapterAt(0));
    KeEnableInterrupts();
    if (!Eventually([&] { return received.load() == round + 1 || failed; })) {
      ADD_FAILURE() << "the reader never woke for frame " << round;
      failed = true;
      pc.machine->Stop();  // unwinds the stuck reader
      break;
    }
  }
  reader.join();
  EXPECT_FALSE(failed);
  EXPECT_EQ(received.load(), kRounds);
  // With the exclusion in place no read can register while the test holds it.
  EXPECT_EQ(registered_first, 0u);
}

// Readers that lag on a ring of two slots copy while the interrupt service
// keeps rewriting the ring: every frame they get must be one whole frame, and
// each reader's tags only grow (no frame twice, none out of order).
TEST(DeviceRing, LaggingReadersNeverSeeARewrittenSlot) {
  TestPc pc(1, Options({{"Buffers", "2"}}));
  ASSERT_TRUE(pc.BootReady());
  sim::ClientProcess process(*pc.machine);
  constexpr unsigned kReaders = 3;                  // keep a copy going nearly all the time
  const uint32_t reads = kSanitized ? 2000 : 5000;  // flood until read
  constexpr uint32_t kFlood = 1000000;              // tags from here on end the run
  std::atomic<unsigned> done{0};
  std::atomic<uint32_t> frames{0}, torn{0}, disorder{0};
  std::vector<std::thread> readers;
  for (unsigned r = 0; r < kReaders; ++r) {
    uintptr_t open = 0;
    ASSERT_EQ(process.Open(DeviceName(0), &open), 0u);
    readers.emplace_back([&, open] {
      std::vector<uint8_t> buffer(1536);
      int64_t last = -1;
      uint32_t length = 0;
      while (process.Read(open, buffer.data(), 1536, &length) == 0) {
        ++frames;
        if (!IsWholeFrame(buffer.data(), length)) {
          ++torn;
          continue;
        }
        const int64_t tag = SequenceOf(buffer.data());
        if (tag <= last) ++disorder;
        last = tag;
        if (tag >= kFlood) break;
      }
      ++done;
    });
  }
  // Full-size frames (1514 bytes, the longest a controller configured
  // without long frames takes as good) as fast as the port takes them.
  uint32_t flooded = 0;
  while (frames.load() < reads && flooded < kFlood) {
    pc.wire->Inject(MakeFrame(Station(0), kWireSource, 1514, flooded++));
  }
  // Then one at a time until every reader has seen the end. A frame may
  // still be refused while the receive unit recovers from the flood; the
  // next one is sent once the controller has taken or dropped the last.
  const auto& counters = pc.nic(0).counters();
  for (uint32_t tag = kFlood; done < kReaders; ++tag) {
    const uint64_t dropped = counters.dropped_no_resources.load();
    const uint32_t seen = frames.load();
    pc.wire->Inject(MakeFrame(Station(0), kWireSource, 1514, tag));
    if (!Eventually([&] {
          return done == kReaders || frames.load() != seen ||
                 counters.dropped_no_resources.load() != dropped;
        })) {
      ADD_FAILURE() << "frame " << tag << " was neither read nor dropped";
      pc.machine->Stop();
      break;
    }
  }
  for (auto& reader : readers) reader.join();
  EXPECT_GT(frames.load(), 0u);
  EXPECT_EQ(torn.load(), 0u);
  EXPECT_EQ(disorder.load(), 0u);
}

// The SCB general pointer is one register for both units: the controller
// takes whatever it holds when the command byte arrives. The interrupt
// service's receive restart is held, through the port trace, right after its
// pointer write while a client changes the filter (a configure command). Had
// the client slipped its pointer and CU start in between, the receive unit
// would start on the configure block, whose bytes make an RBD address far
// outside the driver's memory. The hold ends when the client's CU start
// arrives or after a while; either way the restart must start the unit on
// the head RFD.
TEST_F(DeviceHazards, ReceiveRestartAndClientCommandNeverShareThePointer) {
  sim::I8255x& nic = pc.nic(0);
  const uint32_t io = nic.config().io_base;
  // The trace function owns the hold: an access on another thread may still
  // be inside it after the trace is switched off.
  struct Hold {
    std::mutex mu;
    std::condition_variable cv;
    std::thread::id restarter;  // the thread that wrote the RU abort
    bool held = false, client_started = false;
  };
  auto hold = std::make_shared<Hold>();
  pc.machine->ports().SetTrace([hold, io](const sim::PortBus::Access& a) {
    if (!a.write) return;
    std::unique_lock lock(hold->mu);
    const auto self = std::this_thread::get_id();
    if (a.port == io + ScbCommand && a.value == ScbCommandRuAbort) hold->restarter = self;
    if (a.port == io + ScbCommand && a.value == ScbCommandCuStart && self != hold->restarter) {
      hold->client_started = true;
      hold->cv.notify_all();
    }
    if (a.port == io + ScbGeneralPointer && self == hold->restarter && !hold->held) {
      hold->held = true;
      hold->cv.notify_all();
      hold->cv.wait_for(lock, std::chrono::milliseconds(300), [&] { return hold->client_started; });
    }
  });
  // The next frame finds the receive unit out of resources: the service
  // restarts it.
  nic.faults().ru_out_of_resources = true;
  pc.wire->Inject(MakeFrame(Station(0), kWireSource, 100, 1));
  {
    std::unique_lock lock(hold->mu);
    ASSERT_TRUE(hold->cv.wait_for(lock, std::chrono::seconds(20), [&] { return hold->held; }))
        << "the receive unit was never restarted";
  }
  EXPECT_EQ(process.Control(open, MacControlSetFilter,
                            FilterDirected | FilterBroadcast | FilterAllMulticast, 0),
            0u);
  pc.machine->ports().SetTrace(nullptr);

  // The unit runs on the driver's own descriptors: a frame arrives whole.
  EXPECT_TRUE(pc.InjectQueued(0, MakeFrame(Station(0), kWireSource, 200, 2)));
  EXPECT_TRUE(nic.bus_errors().empty()) << "the controller was pointed outside the driver's memory";
  EXPECT_EQ(nic.counters().bus_errors.load(), 0u);
}

}  // namespace
