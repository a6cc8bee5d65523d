// Frame transfer through the simulated PC: write sizes and refusals with
// their counters, destination classes, read positions of new and lagging
// clients, several readers of one frame, and reads cut to the buffer.
#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <tuple>
#include <vector>

#include "support/client.h"

namespace {

using namespace tvtest;

using DeviceTransfer = OneClient;

// Words of the three blocks for one counter: client word c, global word g
// (adapter word g + 20).
struct Counter {
  size_t client;
  size_t global;
};
constexpr Counter kTxDirected{1, 2}, kTxMulticast{2, 3}, kTxBroadcast{3, 4};
constexpr Counter kRxDirected{4, 5}, kRxMulticast{5, 6}, kRxBroadcast{6, 7};
constexpr Counter kReadErrors{7, 8}, kWriteErrors{8, 9};
constexpr Counter kWriteTooShort{9, 15}, kWriteTooLong{10, 16};
// A counter and how much it grew in the client, adapter and global blocks.
using Deltas = std::vector<std::tuple<Counter, uint32_t, uint32_t, uint32_t>>;

// The three blocks as seen from one open.
struct Blocks {
  std::array<uint32_t, 11> client;
  std::array<uint32_t, 37> adapter;
  std::array<uint32_t, 17> global;
};
Blocks Snapshot(sim::ClientProcess& p, uintptr_t open) {
  return {ClientBlock(p, open), AdapterBlock(p, open), GlobalBlock(p, open)};
}
// Every word of `after` equals `before` except the named counters.
void ExpectDelta(const Blocks& before, const Blocks& after, const Deltas& deltas,
                 const char* what) {
  Blocks want = before;
  for (auto& [counter, c, a, g] : deltas) {
    want.client[counter.client] += c;
    want.adapter[counter.global + 20] += a;
    want.global[counter.global] += g;
  }
  EXPECT_EQ(after.client, want.client) << what;
  EXPECT_EQ(after.adapter, want.adapter) << what;
  EXPECT_EQ(after.global, want.global) << what;
}

// Sizes and null arguments: the status, what is stored as the length, and
// the one counter that moves (a null client counts only driver-wide).
TEST_F(DeviceTransfer, SizesAndNullArgumentsWithTheirCounters) {
  const auto frame = MakeFrame(kWireSource, Station(0), 1600, 7);
  std::array<uint8_t, 100> buffer{};
  const uintptr_t f = reinterpret_cast<uintptr_t>(frame.data());
  const uintptr_t b = reinterpret_cast<uintptr_t>(buffer.data());
  constexpr uint32_t kUntouched = 0xAAAA;
  struct Case {
    const char* what;
    uintptr_t client;
    uint32_t function;
    uintptr_t data;
    uint32_t size;
    bool with_length;
    uint32_t status, length;
    Counter counter;
  };
  const Case cases[] = {
      {"59 bytes", open, DeviceWrite, f, 59, true, StatusFrameTooShort, 0, kWriteTooShort},
      {"1537 bytes", open, DeviceWrite, f, 1537, true, StatusFrameTooLong, 0, kWriteTooLong},
      {"60 bytes", open, DeviceWrite, f, 60, true, 0, 60, kTxDirected},
      {"1536 bytes", open, DeviceWrite, f, 1536, true, 0, 1536, kTxDirected},
      {"write, null client", 0, DeviceWrite, f, 100, true, 2, kUntouched, kWriteErrors},
      {"read, null client", 0, DeviceRead, b, 100, true, 2, kUntouched, kReadErrors},
      {"write, null length", open, DeviceWrite, f, 100, false, 2, kUntouched, kWriteErrors},
      {"read, null length", open, DeviceRead, b, 100, false, 2, kUntouched, kReadErrors},
      {"null frame, before its size", open, DeviceWrite, 0, 5000, true, 2, 0, kWriteErrors},
      {"null buffer", open, DeviceRead, 0, 100, true, 2, 0, kReadErrors},
  };
  for (const Case& c : cases) {
    const Blocks before = Snapshot(process, open);
    uint32_t t = kUntouched;
    const uintptr_t length = c.with_length ? reinterpret_cast<uintptr_t>(&t) : 0;
    EXPECT_EQ(process.CallDevice(DeviceName(0), c.client, c.function, c.data, c.size, length),
              c.status)
        << c.what;
    EXPECT_EQ(t, c.length) << c.what;
    const uint32_t own = c.client != 0 ? 1 : 0;
    ExpectDelta(before, Snapshot(process, open), {{c.counter, own, own, 1}}, c.what);
  }
  // The two taken went out byte for byte, and nothing else.
  ASSERT_TRUE(Eventually([&] { return pc.wire->Heard().size() >= 2; }));
  const auto heard = pc.wire->Heard();
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].bytes, std::vector<uint8_t>(frame.begin(), frame.begin() + 60));
  EXPECT_EQ(heard[1].bytes, std::vector<uint8_t>(frame.begin(), frame.begin() + 1536));
}

TEST_F(DeviceTransfer, DestinationClasses) {
  // Promiscuous, so every destination below reaches the queue.
  ASSERT_EQ(process.Control(open, MacControlSetFilter, 0xF, 0), 0u);
  struct Case {
    Mac destination;
    Counter tx, rx;
  };
  const Case cases[] = {
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, kTxBroadcast, kRxBroadcast},
      {{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}, kTxMulticast, kRxMulticast},
      {{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, kTxDirected, kRxDirected},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}, kTxDirected, kRxDirected},
      {{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, kTxDirected, kRxDirected},
      {{0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, kTxMulticast, kRxMulticast},
  };
  uint32_t tag = 0;
  for (const Case& c : cases) {
    const auto frame = MakeFrame(c.destination, kWireSource, 70, ++tag);
    uint32_t t = 0;
    Blocks before = Snapshot(process, open);
    ASSERT_EQ(process.Write(open, frame.data(), 70, &t), 0u);
    ExpectDelta(before, Snapshot(process, open), {{c.tx, 1, 1, 1}}, "write");
    before = Snapshot(process, open);
    ASSERT_TRUE(pc.InjectQueued(0, frame));
    std::array<uint8_t, 1536> buffer{};
    ASSERT_EQ(process.Read(open, buffer.data(), 1536, &t), 0u);
    EXPECT_EQ(t, 70u);
    EXPECT_EQ(SequenceOf(buffer.data()), tag);
    ExpectDelta(before, Snapshot(process, open), {{c.rx, 1, 1, 1}}, "read");
  }
}

TEST_F(DeviceTransfer, NewClientSeesOnlyLaterFrames) {
  const uintptr_t early = open;
  uintptr_t late = 0;
  for (uint32_t tag = 1; tag <= 3; ++tag) {
    ASSERT_TRUE(pc.InjectQueued(0, MakeFrame(Station(0), kWireSource, 80, tag)));
  }
  ASSERT_EQ(process.Open(DeviceName(0), &late), 0u);
  EXPECT_TRUE(CaughtUp(late));

  // The late client's first read blocks until the next frame is queued.
  ReadThread read(*pc.machine, process, late);
  ASSERT_TRUE(WaitPending(late));
  ASSERT_TRUE(pc.InjectQueued(0, MakeFrame(Station(0), kWireSource, 90, 4)));
  ASSERT_TRUE(read.Join());
  EXPECT_EQ(read.status.load(), 0u);
  EXPECT_EQ(read.length, 90u);
  EXPECT_EQ(SequenceOf(read.buffer.data()), 4u);
  EXPECT_TRUE(IsWholeFrame(read.buffer.data(), read.length));
  EXPECT_TRUE(CaughtUp(late));

  // The early client has all four, in order.
  for (uint32_t tag = 1; tag <= 4; ++tag) {
    ASSERT_EQ(process.Read(early, read.buffer.data(), 1536, &read.length), 0u);
    EXPECT_EQ(SequenceOf(read.buffer.data()), tag);
    EXPECT_TRUE(IsWholeFrame(read.buffer.data(), read.length));
  }
  EXPECT_TRUE(CaughtUp(early));
}

// A client that reads nothing while Buffers frames arrive keeps the newest
// Buffers - 1; the oldest is lost and not counted.
TEST(DeviceReadPosition, LaggingClientKeepsNewestBuffersMinusOne) {
  for (uint32_t buffers : {2u, 32u}) {
    SCOPED_TRACE(buffers);
    TestPc pc(1, Options({{"Buffers", std::to_string(buffers)}}));
    ASSERT_TRUE(pc.BootReady());
    sim::ClientProcess process(*pc.machine);
    uintptr_t lagging = 0, keeping = 0;
    ASSERT_TRUE(OpenEach(process, {{0, &lagging}, {0, &keeping}}));
    std::array<uint8_t, 1536> buffer{};
    uint32_t length = 0;
    for (uint32_t tag = 1; tag <= buffers; ++tag) {
      ASSERT_TRUE(pc.InjectQueued(0, MakeFrame(Station(0), kWireSource, 64, tag)));
      ASSERT_EQ(process.Read(keeping, buffer.data(), 1536, &length), 0u);  // keeps up
      ASSERT_EQ(SequenceOf(buffer.data()), tag);
    }
    for (uint32_t tag = 2; tag <= buffers; ++tag) {
      ASSERT_EQ(process.Read(lagging, buffer.data(), 1536, &length), 0u);
      EXPECT_EQ(SequenceOf(buffer.data()), tag);
      EXPECT_TRUE(IsWholeFrame(buffer.data(), length));
    }
    EXPECT_TRUE(CaughtUp(lagging));
    EXPECT_EQ(ClientBlock(process, lagging)[kRxDirected.client], buffers - 1);
    EXPECT_EQ(AdapterBlock(process, lagging)[kRxDirected.global + 20], 2 * buffers - 1);
  }
}

TEST_F(DeviceTransfer, ReadsCutToTheBuffer) {
  ASSERT_EQ(process.Control(open, MacControlSetFilter, 0x7, 0), 0u);  // multicast too

  // Immediate path: the frame waits in the queue.
  const auto first = MakeFrame(Station(0), kWireSource, 200, 1);
  ASSERT_TRUE(pc.InjectQueued(0, first));
  ASSERT_TRUE(pc.InjectQueued(0, MakeFrame(Station(0), kWireSource, 300, 2)));
  std::vector<uint8_t> small(50);
  uint32_t length = 0;
  ASSERT_EQ(process.Read(open, small.data(), 50, &length), 0u);
  EXPECT_EQ(length, 50u);
  EXPECT_EQ(small, std::vector<uint8_t>(first.begin(), first.begin() + 50));
  // The rest of the first frame is gone; the next read gets the second.
  std::vector<uint8_t> large(1536);
  ASSERT_EQ(process.Read(open, large.data(), 1536, &length), 0u);
  EXPECT_EQ(length, 300u);
  EXPECT_TRUE(IsWholeFrame(large.data(), length));
  EXPECT_EQ(SequenceOf(large.data()), 2u);

  // Blocked path: the interrupt service cuts the frame to the pending size.
  ReadThread read(*pc.machine, process, open, 0, 0, 77);
  ASSERT_TRUE(WaitPending(open));
  const auto third = MakeFrame(Station(0), kWireSource, 1500, 3);
  ASSERT_TRUE(pc.InjectQueued(0, third));
  ASSERT_TRUE(read.Join());
  EXPECT_EQ(read.status.load(), 0u);
  EXPECT_EQ(read.length, 77u);
  EXPECT_EQ(read.buffer, std::vector<uint8_t>(third.begin(), third.begin() + 77));
  EXPECT_TRUE(CaughtUp(open));

  // Fewer than six bytes handed over: the buffers are exactly that small (so
  // a read past them is caught), and such a frame counts as directed unless
  // its first byte already marks a multicast group.
  const Mac group = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x09};
  const struct {
    const char* what;
    Mac destination;
    uint32_t size;
    Counter counter;
  } cuts[] = {{"broadcast cut to 5", kBroadcast, 5, kRxDirected},
              {"multicast cut to 1", group, 1, kRxMulticast},
              {"nothing handed over", kBroadcast, 0, kRxDirected}};
  uint32_t tag = 4;
  for (const auto& c : cuts) {
    const Blocks before = Snapshot(process, open);
    const auto frame = MakeFrame(c.destination, kWireSource, 64, tag++);
    ASSERT_TRUE(pc.InjectQueued(0, frame));
    std::vector<uint8_t> cut(c.size);
    ASSERT_EQ(process.Read(open, c.size ? cut.data() : large.data(), c.size, &length), 0u);
    EXPECT_EQ(length, c.size) << c.what;
    EXPECT_EQ(cut, std::vector<uint8_t>(frame.begin(), frame.begin() + c.size)) << c.what;
    ExpectDelta(before, Snapshot(process, open), {{c.counter, 1, 1, 1}}, c.what);
  }
  EXPECT_TRUE(CaughtUp(open));
}

}  // namespace
