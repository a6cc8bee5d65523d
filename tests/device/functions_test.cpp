// Device functions through the simulated PC: the dispatcher's codes, open and
// close, receive filters as the controller sees them, and the control codes
// with their output blocks.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "tests/support/device_fixture.h"

namespace {

using DeviceFunctions = device_test::OneClient;
using device_test::CuStarts;
using device_test::DevicePc;
using device_test::TaggedFrame;
using device_test::WaitUntil;
using testing_support::DeviceName;
using testing_support::kBroadcast;

// Byte 15 of the configure block: bit 0 promiscuous, bit 1 broadcast
// disabled. Byte 21 bit 3: all multicast.
bool ConfiguredAs(sim::I8255x& nic, bool promiscuous, bool broadcast, bool multicast) {
  return WaitUntil([&] {
    const auto bytes = nic.ConfigureBytes();
    return ((bytes[15] & 0x01) != 0) == promiscuous && ((bytes[15] & 0x02) == 0) == broadcast &&
           ((bytes[21] & 0x08) != 0) == multicast;
  });
}

uint32_t ClientFilter(uintptr_t open) {
  return __atomic_load_n(&reinterpret_cast<NicClient*>(open)->Filter, __ATOMIC_RELAXED);
}
uint32_t AdapterFilter(NicAdapter* adapter) {
  return __atomic_load_n(&adapter->Filter, __ATOMIC_RELAXED);
}

TEST_F(DeviceFunctions, DispatcherCodes) {
  ASSERT_NE(open, 0u);

  EXPECT_EQ(process.Call(open, 0, 0, 0, 0), 0u);
  EXPECT_EQ(process.Call(open, 1, 1, 2, 3), 0u);
  for (uint32_t function : {6u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 15u, 0xFFFFFFFFu}) {
    EXPECT_EQ(process.Call(open, function, 0, 0, 0), 7u) << function;
  }
  // The unrecognised functions changed nothing: the client still reads and
  // closes normally.
  EXPECT_EQ(process.Control(open, MacControlSetFilter, 0x5, 0), 0u);
  EXPECT_EQ(process.Close(open), 0u);

  // Null place for open, null client for close.
  EXPECT_EQ(process.CallDevice(DeviceName(0), 0, DeviceOpen, 0, 0, 0), 2u);
  EXPECT_EQ(process.CallDevice(DeviceName(0), 0, DeviceClose, 0, 0, 0), 2u);
}

TEST(DeviceFilter, UnionNarrowsOnlyAtClose) {
  DevicePc pc(1);
  pc.Boot();
  ASSERT_FALSE(HasFatalFailure());
  sim::I8255x& nic = pc.nic(0);
  NicAdapter* adapter = pc.adapter(0);
  nic.EnableTrace(true);
  sim::ClientProcess process(pc.machine());

  // After creation nothing is wanted: broadcasts refused.
  EXPECT_EQ(AdapterFilter(adapter), 0u);
  EXPECT_TRUE(ConfiguredAs(nic, false, false, false));

  // First open: directed | broadcast, one configure command.
  size_t starts = CuStarts(nic);
  uintptr_t plain = 0;
  ASSERT_EQ(process.Open(DeviceName(0), &plain), 0u);
  EXPECT_EQ(ClientFilter(plain), 0x5u);
  EXPECT_EQ(AdapterFilter(adapter), 0x5u);
  EXPECT_EQ(CuStarts(nic), starts + 1);
  EXPECT_TRUE(ConfiguredAs(nic, false, true, false));

  // Second open with the adapter already at 0x5: no configure command.
  starts = CuStarts(nic);
  uintptr_t wide = 0;
  ASSERT_EQ(process.Open(DeviceName(0), &wide), 0u);
  EXPECT_EQ(CuStarts(nic), starts);
  EXPECT_EQ(AdapterFilter(adapter), 0x5u);

  // Widening to promiscuous configures at once.
  EXPECT_EQ(process.Control(wide, MacControlSetFilter, 0xD, 0), 0u);
  EXPECT_EQ(CuStarts(nic), starts + 1);
  EXPECT_EQ(AdapterFilter(adapter), 0xDu);
  EXPECT_TRUE(ConfiguredAs(nic, true, true, false));

  // Narrowing a client leaves the adapter (and the controller) alone.
  starts = CuStarts(nic);
  EXPECT_EQ(process.Control(wide, MacControlSetFilter, 0x5, 0), 0u);
  EXPECT_EQ(ClientFilter(wide), 0x5u);
  EXPECT_EQ(AdapterFilter(adapter), 0xDu);
  EXPECT_EQ(process.Control(wide, MacControlSetFilter, 0xD, 0), 0u);  // nothing to add
  EXPECT_EQ(CuStarts(nic), starts);

  // Closing the 0xD client: the union of the rest is 0x5, promiscuous off.
  EXPECT_EQ(process.Close(wide), 0u);
  EXPECT_EQ(AdapterFilter(adapter), 0x5u);
  EXPECT_EQ(CuStarts(nic), starts + 1);
  EXPECT_TRUE(ConfiguredAs(nic, false, true, false));

  // High bits are dropped: 0x12 stores 0x2 and adds all-multicast.
  starts = CuStarts(nic);
  EXPECT_EQ(process.Control(plain, MacControlSetFilter, 0x12, 0), 0u);
  EXPECT_EQ(ClientFilter(plain), 0x2u);
  EXPECT_EQ(AdapterFilter(adapter), 0x7u);
  EXPECT_TRUE(ConfiguredAs(nic, false, true, true));
  // 0 stores 0 and configures nothing.
  EXPECT_EQ(process.Control(plain, MacControlSetFilter, 0, 0), 0u);
  EXPECT_EQ(ClientFilter(plain), 0u);
  EXPECT_EQ(CuStarts(nic), starts + 1);

  // The last close leaves nothing: broadcasts refused again.
  EXPECT_EQ(process.Close(plain), 0u);
  EXPECT_EQ(AdapterFilter(adapter), 0u);
  EXPECT_EQ(CuStarts(nic), starts + 2);
  EXPECT_TRUE(ConfiguredAs(nic, false, false, false));
}

TEST(DeviceControl, CodeRangesAndForeignClients) {
  DevicePc pc(2);
  pc.Boot();
  ASSERT_FALSE(HasFatalFailure());
  sim::ClientProcess process(pc.machine());
  uintptr_t open = 0, other = 0;
  ASSERT_EQ(process.Open(DeviceName(0), &open), 0u);
  ASSERT_EQ(process.Open(DeviceName(1), &other), 0u);
  std::array<uint8_t, 256> buffer{};
  const uintptr_t b = reinterpret_cast<uintptr_t>(buffer.data());

  EXPECT_EQ(process.Control(open, 0x80000, b, 256), 13u);
  EXPECT_EQ(process.Control(open, 0x80006, b, 256), 13u);
  EXPECT_EQ(process.Control(open, 0x8FFFF, b, 256), 13u);
  EXPECT_EQ(process.Control(open, 0x90001, b, 256), 7u);
  EXPECT_EQ(process.Control(open, 0x00001, b, 256), 7u);
  EXPECT_EQ(process.Control(open, 0x180001, b, 256), 7u);

  // A client of another device: 12, after the family check and before the
  // range check.
  const std::string dev0 = DeviceName(0);
  EXPECT_EQ(process.CallDevice(dev0, other, DeviceControl, MacControlClientStatistics, b, 44), 12u);
  EXPECT_EQ(process.CallDevice(dev0, other, DeviceControl, MacControlSetFilter, 0xF, 0), 12u);
  EXPECT_EQ(process.CallDevice(dev0, other, DeviceControl, 0x80009, b, 44), 12u);
  EXPECT_EQ(process.CallDevice(dev0, other, DeviceControl, 0x70002, b, 44), 7u);
  // The foreign filter request changed nothing.
  EXPECT_EQ(ClientFilter(other), 0x5u);

  // A null client: family and range are judged first, then the request is
  // refused as a bad parameter whatever the code.
  EXPECT_EQ(process.CallDevice(dev0, 0, DeviceControl, 0x90002, b, 44), 7u);
  EXPECT_EQ(process.CallDevice(dev0, 0, DeviceControl, 0x80000, b, 44), 13u);
  EXPECT_EQ(process.CallDevice(dev0, 0, DeviceControl, 0x80006, b, 44), 13u);
  for (uint32_t code = MacControlSetFilter; code <= MacControlAdapterInfo; ++code) {
    EXPECT_EQ(process.CallDevice(dev0, 0, DeviceControl, code, b, 44), 2u) << std::hex << code;
  }
  // Null buffers for the copying codes.
  for (uint32_t code = MacControlClientStatistics; code <= MacControlAdapterInfo; ++code) {
    EXPECT_EQ(process.Control(open, code, 0, 44), 2u) << std::hex << code;
  }
  // The buffer argument of set-filter is the value, so 0 is fine there.
  EXPECT_EQ(process.Control(open, MacControlSetFilter, 0, 0), 0u);
  for (uint8_t byte : buffer) EXPECT_EQ(byte, 0u);
}

TEST_F(DeviceFunctions, PartialCopiesOfBlocks) {
  // Make words 1 (TxDirected) and 2 non-zero so that a copy shows.
  const auto directed = TaggedFrame(pc.station(0), pc.station(0), 60, 1);
  auto multicast = directed;
  multicast[0] = 0x01;
  uint32_t transferred = 0;
  ASSERT_EQ(process.Write(open, directed.data(), 60, &transferred), 0u);
  ASSERT_EQ(process.Write(open, multicast.data(), 60, &transferred), 0u);

  struct Case {
    uint32_t code;
    uint32_t block;
  };
  for (Case c : {Case{MacControlClientStatistics, 44}, Case{MacControlAdapterStatistics, 148},
                 Case{MacControlGlobalStatistics, 68}, Case{MacControlAdapterInfo, 52}}) {
    std::vector<uint8_t> full(2000, 0xCC);
    ASSERT_EQ(process.Control(open, c.code, reinterpret_cast<uintptr_t>(full.data()), 1000), 0u);
    for (uint32_t i = c.block; i < full.size(); ++i) ASSERT_EQ(full[i], 0xCC) << i;
    for (uint32_t size : {0u, 1u, 3u, 8u, c.block - 1, c.block}) {
      std::vector<uint8_t> part(c.block + 16, 0xCC);
      ASSERT_EQ(process.Control(open, c.code, reinterpret_cast<uintptr_t>(part.data()), size), 0u);
      for (uint32_t i = 0; i < part.size(); ++i) {
        ASSERT_EQ(part[i], i < size ? full[i] : 0xCC)
            << std::hex << c.code << " size " << size << " byte " << i;
      }
    }
  }
  // Size 8 of the client block: word 0 (reserved, 0) and word 1 (TxDirected).
  std::array<uint32_t, 4> words = {0xCCCCCCCC, 0xCCCCCCCC, 0xCCCCCCCC, 0xCCCCCCCC};
  ASSERT_EQ(process.Control(open, MacControlClientStatistics,
                            reinterpret_cast<uintptr_t>(words.data()), 8),
            0u);
  EXPECT_EQ(words[0], 0u);
  EXPECT_EQ(words[1], 1u);
  EXPECT_EQ(words[2], 0xCCCCCCCCu);
}

TEST_F(DeviceFunctions, BlocksAreByteExact) {
  // A known mix: 3 directed, 2 multicast, 1 broadcast sent; 1 too short,
  // 2 too long, 1 null-frame write error, 1 null-buffer read error; 1
  // broadcast and 1 directed received; 1 frame with CRC and alignment errors.
  uint32_t t = 0;
  const auto directed = TaggedFrame(pc.station(0), pc.station(0), 100, 1);
  auto multicast = directed;
  multicast[0] = 0x33;
  const auto broadcast = TaggedFrame(kBroadcast, pc.station(0), 100, 2);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(process.Write(open, directed.data(), 100, &t), 0u);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(process.Write(open, multicast.data(), 100, &t), 0u);
  ASSERT_EQ(process.Write(open, broadcast.data(), 100, &t), 0u);
  EXPECT_EQ(process.Write(open, directed.data(), 59, &t), StatusFrameTooShort);
  EXPECT_EQ(process.Write(open, directed.data(), 1537, &t), StatusFrameTooLong);
  EXPECT_EQ(process.Write(open, directed.data(), 5000, &t), StatusFrameTooLong);
  EXPECT_EQ(process.Write(open, nullptr, 100, &t), 2u);
  EXPECT_EQ(process.Read(open, nullptr, 100, &t), 2u);

  ASSERT_TRUE(pc.InjectQueued(0, TaggedFrame(kBroadcast, device_test::kWireSource, 80, 3)));
  ASSERT_TRUE(pc.InjectQueued(0, TaggedFrame(pc.station(0), device_test::kWireSource, 80, 4)));
  std::array<uint8_t, 1536> frame{};
  for (int i = 0; i < 2; ++i) ASSERT_EQ(process.Read(open, frame.data(), 1536, &t), 0u);
  sim::FrameErrors errors;
  errors.crc = true;
  errors.alignment = true;
  pc.pc.wire->Inject(TaggedFrame(pc.station(0), device_test::kWireSource, 80, 5), errors);
  NicAdapter* adapter = pc.adapter(0);
  ASSERT_TRUE(WaitUntil([&] {
    return __atomic_load_n(&adapter->Statistics.Counters.RxAlignmentErrors, __ATOMIC_RELAXED) == 1;
  }));

  auto expect_bytes = [&](uint32_t code, const std::vector<uint32_t>& words) {
    std::vector<uint8_t> got(words.size() * 4 + 8, 0xEE);
    ASSERT_EQ(process.Control(open, code, reinterpret_cast<uintptr_t>(got.data()), 4096), 0u);
    std::vector<uint8_t> want(got.size(), 0xEE);
    for (size_t i = 0; i < words.size(); ++i) {
      for (int b = 0; b < 4; ++b) want[i * 4 + b] = static_cast<uint8_t>(words[i] >> (8 * b));
    }
    EXPECT_EQ(got, want) << std::hex << code;
  };
  //                       res Tx: D  M  B  Rx: D  M  B  RdE WrE Short Long
  expect_bytes(MacControlClientStatistics, {0, 3, 2, 1, 1, 0, 1, 1, 1, 1, 2});
  //  res res Tx: D  M  B  Rx: D  M  B  RdE WrE TooShort res CRC Align Ovr Short Long
  const std::vector<uint32_t> traffic = {0, 0, 3, 2, 1, 1, 0, 1, 1, 1, 0, 0, 1, 1, 0, 1, 2};
  std::vector<uint32_t> adapter_words(20, 0);
  adapter_words.insert(adapter_words.end(), traffic.begin(), traffic.end());
  expect_bytes(MacControlAdapterStatistics, adapter_words);
  expect_bytes(MacControlGlobalStatistics, traffic);

  std::vector<uint8_t> info(60, 0xEE);
  ASSERT_EQ(
      process.Control(open, MacControlAdapterInfo, reinterpret_cast<uintptr_t>(info.data()), 60),
      0u);
  std::vector<uint8_t> want(60, 0);
  want[0] = 52;
  want[8] = 6;
  for (int i = 0; i < 6; ++i) want[12 + i] = pc.station(0)[i];
  want[44] = 60;
  want[48] = 0x00;
  want[49] = 0x06;  // 1536
  for (int i = 52; i < 60; ++i) want[i] = 0xEE;
  EXPECT_EQ(info, want);
}

TEST_F(DeviceFunctions, SuspendedAdapterRefusesButStillReports) {
  sim::I8255x& nic = pc.nic(0);
  nic.EnableTrace(true);
  const auto frame = TaggedFrame(pc.station(0), pc.station(0), 64, 1);
  uint32_t t = 0;
  ASSERT_EQ(process.Write(open, frame.data(), 64, &t), 0u);
  const auto client_before = device_test::ClientBlock(process, open);
  const auto global_before = device_test::GlobalBlock(process, open);

  ASSERT_TRUE(pc.machine().DeliverHaEvent(DeviceName(0), 100));
  const size_t starts = CuStarts(nic);
  uintptr_t refused = 0x1234;
  EXPECT_EQ(process.Open(DeviceName(0), &refused), 19u);
  EXPECT_EQ(refused, 0u);  // the process saw no open
  t = 0xAAAA;
  EXPECT_EQ(process.Write(open, frame.data(), 64, &t), 19u);
  EXPECT_EQ(t, 0xAAAAu);
  std::array<uint8_t, 64> buffer{};
  EXPECT_EQ(process.Read(open, buffer.data(), 64, &t), 19u);
  EXPECT_EQ(t, 0xAAAAu);
  // A filter change that adds bits needs the controller; one that does not
  // goes through (and is stored).
  EXPECT_EQ(process.Control(open, MacControlSetFilter, 0xD, 0), 19u);
  EXPECT_EQ(ClientFilter(open), 0xDu);
  EXPECT_EQ(AdapterFilter(pc.adapter(0)), 0x5u);
  EXPECT_EQ(process.Control(open, MacControlSetFilter, 0x4, 0), 0u);
  // Statistics and information still read; nothing was counted.
  EXPECT_EQ(device_test::ClientBlock(process, open), client_before);
  EXPECT_EQ(device_test::GlobalBlock(process, open), global_before);
  std::array<uint8_t, 52> info{};
  EXPECT_EQ(
      process.Control(open, MacControlAdapterInfo, reinterpret_cast<uintptr_t>(info.data()), 52),
      0u);
  EXPECT_EQ(info[0], 52u);
  EXPECT_EQ(CuStarts(nic), starts);  // the controller was left alone

  // Close still succeeds: the filter is recomputed, the controller untouched.
  uintptr_t second = 0;
  ASSERT_TRUE(pc.machine().DeliverHaEvent(DeviceName(0), 101));
  ASSERT_EQ(process.Open(DeviceName(0), &second), 0u);
  ASSERT_TRUE(pc.machine().DeliverHaEvent(DeviceName(0), 100));
  const size_t before_close = CuStarts(nic);
  EXPECT_EQ(process.Close(second), 0u);
  EXPECT_EQ(CuStarts(nic), before_close);
  EXPECT_EQ(AdapterFilter(pc.adapter(0)), 0x4u);

  ASSERT_TRUE(pc.machine().DeliverHaEvent(DeviceName(0), 101));
  EXPECT_EQ(process.Write(open, frame.data(), 64, &t), 0u);
  EXPECT_EQ(t, 64u);
  EXPECT_EQ(process.Close(open), 0u);
}

}  // namespace
