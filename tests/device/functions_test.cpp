// Device functions through the simulated PC: the dispatcher's codes, open and
// close, receive filters as the controller sees them, and the control codes
// with their output blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "support/client.h"
#include "support/driver.h"

namespace {

using namespace tvtest;

using DeviceFunctions = OneClient;

// The controller's configure block agrees with `filter`: byte 15 bit 0
// promiscuous, bit 1 broadcast disabled; byte 21 bit 3 all multicast.
bool ConfiguredFor(sim::I8255x& nic, uint32_t filter) {
  return Eventually([&] {
    const auto bytes = nic.ConfigureBytes();
    return ((bytes[15] & 0x01) != 0) == ((filter & FilterPromiscuous) != 0) &&
           ((bytes[15] & 0x02) == 0) == ((filter & FilterBroadcast) != 0) &&
           ((bytes[21] & 0x08) != 0) == ((filter & FilterAllMulticast) != 0);
  });
}

uint32_t ClientFilter(uintptr_t open) {
  return __atomic_load_n(&reinterpret_cast<NicClient*>(open)->Filter, __ATOMIC_RELAXED);
}
uint32_t AdapterFilter(NicAdapter* adapter) {
  return __atomic_load_n(&adapter->Filter, __ATOMIC_RELAXED);
}

TEST_F(DeviceFunctions, DispatcherCodes) {
  for (uint32_t function : {0u, 1u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 15u, 0xFFFFFFFFu}) {
    EXPECT_EQ(process.Call(open, function, 1, 2, 3), function < 2 ? 0u : StatusUnrecognised)
        << function;
  }
  // The unrecognised functions changed nothing: the client still works.
  EXPECT_EQ(process.Control(open, MacControlSetFilter, 0x5, 0), 0u);
  EXPECT_EQ(process.Close(open), 0u);
  // Null place for open, null client for close.
  EXPECT_EQ(process.CallDevice(DeviceName(0), 0, DeviceOpen, 0, 0, 0), StatusBadParameter);
  EXPECT_EQ(process.CallDevice(DeviceName(0), 0, DeviceClose, 0, 0, 0), StatusBadParameter);
}

// The adapter's filter is the union of its clients' filters: it widens (one
// configure command) as soon as a client adds a bit, narrows only when a
// client closes, and the controller is configured only when it changes.
TEST(DeviceFilter, UnionNarrowsOnlyAtClose) {
  TestPc pc(1);
  ASSERT_TRUE(pc.BootReady());
  sim::I8255x& nic = pc.nic(0);
  NicAdapter* adapter = AdapterAt(0);
  nic.EnableTrace(true);
  sim::ClientProcess process(*pc.machine);
  // After creation nothing is wanted: broadcasts refused.
  EXPECT_EQ(AdapterFilter(adapter), 0u);
  EXPECT_TRUE(ConfiguredFor(nic, 0));

  enum Op { Open, Set, Close };
  struct Step {
    const char* what;
    Op op;
    int client;
    uint32_t value, client_filter, adapter_filter;
    size_t configures;
  };
  const Step steps[] = {
      {"first open: directed and broadcast", Open, 0, 0, 0x5, 0x5, 1},
      {"second open adds nothing", Open, 1, 0, 0x5, 0x5, 0},
      {"widening configures at once", Set, 1, 0xD, 0xD, 0xD, 1},
      {"narrowing leaves the adapter alone", Set, 1, 0x5, 0x5, 0xD, 0},
      {"nothing to add", Set, 1, 0xD, 0xD, 0xD, 0},
      {"close: the union of the rest", Close, 1, 0, 0, 0x5, 1},
      {"high bits dropped, all-multicast added", Set, 0, 0x12, 0x2, 0x7, 1},
      {"0 stores 0 and configures nothing", Set, 0, 0, 0, 0x7, 0},
      {"last close: broadcasts refused again", Close, 0, 0, 0, 0, 1},
  };
  uintptr_t clients[2] = {};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    const size_t starts = CuStarts(nic);
    uintptr_t& client = clients[s.client];
    const uint32_t status = s.op == Open  ? process.Open(DeviceName(0), &client)
                            : s.op == Set ? process.Control(client, MacControlSetFilter, s.value, 0)
                                          : process.Close(client);
    ASSERT_EQ(status, 0u);
    if (s.op != Close) {
      EXPECT_EQ(ClientFilter(client), s.client_filter);
    }
    EXPECT_EQ(AdapterFilter(adapter), s.adapter_filter);
    EXPECT_EQ(CuStarts(nic) - starts, s.configures);
    EXPECT_TRUE(ConfiguredFor(nic, s.adapter_filter));
  }
}

// Judged in order: the family (7), a client of another device (12), the
// function's range (13), then a null client or buffer (2).
TEST(DeviceControl, CodeRangesAndForeignClients) {
  TestPc pc(2);
  ASSERT_TRUE(pc.BootReady());
  sim::ClientProcess process(*pc.machine);
  uintptr_t own = 0, foreign = 0;
  ASSERT_TRUE(OpenEach(process, {{0, &own}, {1, &foreign}}));
  std::array<uint8_t, 256> buffer{};
  const uintptr_t b = reinterpret_cast<uintptr_t>(buffer.data());
  struct Case {
    uintptr_t client;
    uint32_t code;
    uintptr_t argument;
    uint32_t status;
  };
  std::vector<Case> cases = {
      {own, 0x80000, b, 13},     {own, 0x80006, b, 13},       {own, 0x8FFFF, b, 13},
      {own, 0x90001, b, 7},      {own, 0x00001, b, 7},        {own, 0x180001, b, 7},
      {foreign, 0x80002, b, 12}, {foreign, 0x80001, 0xF, 12}, {foreign, 0x80009, b, 12},
      {foreign, 0x70002, b, 7},  {0, 0x90002, b, 7},          {0, 0x80000, b, 13},
      {0, 0x80006, b, 13},       {own, 0x80001, 0, 0},  // set-filter's argument is the value
  };
  for (uint32_t code = MacControlSetFilter; code <= MacControlAdapterInfo; ++code) {
    cases.push_back({0, code, b, StatusBadParameter});
    if (code != MacControlSetFilter) cases.push_back({own, code, 0, StatusBadParameter});
  }
  for (const Case& c : cases) {
    EXPECT_EQ(process.CallDevice(DeviceName(0), c.client, DeviceControl, c.code, c.argument, 44),
              c.status)
        << std::hex << c.client << " code " << c.code << " argument " << c.argument;
  }
  EXPECT_EQ(ClientFilter(foreign), 0x5u);  // the foreign filter request changed nothing
  EXPECT_EQ(buffer, (std::array<uint8_t, 256>{}));
}

// Every counter's place is pinned by the transfer tests; here the blocks as
// bytes, the error counters of the receive side and the information block,
// copied whole or in part and never past their end.
TEST_F(DeviceFunctions, BlocksAreByteExactAndCopiedInPart) {
  uint32_t t = 0;
  const auto directed = MakeFrame(Station(0), Station(0), 100, 1);
  ASSERT_EQ(process.Write(open, directed.data(), 100, &t), 0u);
  sim::FrameErrors errors;
  errors.crc = errors.alignment = true;
  pc.wire->Inject(MakeFrame(Station(0), kWireSource, 80, 5), errors);
  NicAdapter* adapter = AdapterAt(0);
  ASSERT_TRUE(Eventually([&] {
    return __atomic_load_n(&adapter->Statistics.Counters.RxAlignmentErrors, __ATOMIC_RELAXED) == 1;
  }));

  auto bytes_of = [](const std::vector<uint32_t>& words) {
    std::vector<uint8_t> bytes;
    for (uint32_t w : words) {
      for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<uint8_t>(w >> (8 * b)));
    }
    return bytes;
  };
  //                             res TxDirected
  const auto client = bytes_of({0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  //  res res TxD  M  B  Rx: D  M  B  RdE WrE TooShort res CRC Align Ovr Short Long
  const std::vector<uint32_t> traffic = {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0};
  std::vector<uint32_t> adapter_words(20, 0);
  adapter_words.insert(adapter_words.end(), traffic.begin(), traffic.end());
  std::vector<uint8_t> info(52, 0);
  info[0] = 52;  // the block's own size
  info[8] = 6;   // address length
  for (int i = 0; i < 6; ++i) info[12 + i] = Station(0)[i];
  info[44] = 60;
  info[49] = 0x06;  // 1536
  const std::pair<uint32_t, std::vector<uint8_t>> blocks[] = {
      {MacControlClientStatistics, client},
      {MacControlAdapterStatistics, bytes_of(adapter_words)},
      {MacControlGlobalStatistics, bytes_of(traffic)},
      {MacControlAdapterInfo, info}};
  for (const auto& [code, want] : blocks) {
    const uint32_t n = static_cast<uint32_t>(want.size());
    for (uint32_t size : {0u, 1u, 3u, 8u, n - 1, n, n + 16}) {
      std::vector<uint8_t> got(n + 16, 0xEE);
      ASSERT_EQ(process.Control(open, code, reinterpret_cast<uintptr_t>(got.data()), size), 0u);
      for (uint32_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i], i < std::min(size, n) ? want[i] : 0xEE)
            << std::hex << code << std::dec << " size " << size << " byte " << i;
      }
    }
  }
}

TEST_F(DeviceFunctions, SuspendedAdapterRefusesButStillReports) {
  sim::I8255x& nic = pc.nic(0);
  nic.EnableTrace(true);
  const auto frame = MakeFrame(Station(0), Station(0), 64, 1);
  uint32_t t = 0;
  ASSERT_EQ(process.Write(open, frame.data(), 64, &t), 0u);
  const auto client_before = ClientBlock(process, open);
  const auto global_before = GlobalBlock(process, open);

  ASSERT_TRUE(pc.machine->DeliverHaEvent(DeviceName(0), 100));
  const size_t starts = CuStarts(nic);
  uintptr_t refused = 0x1234;
  EXPECT_EQ(process.Open(DeviceName(0), &refused), StatusSuspended);
  EXPECT_EQ(refused, 0u);  // the process saw no open
  t = 0xAAAA;
  EXPECT_EQ(process.Write(open, frame.data(), 64, &t), StatusSuspended);
  std::array<uint8_t, 64> buffer{};
  EXPECT_EQ(process.Read(open, buffer.data(), 64, &t), StatusSuspended);
  EXPECT_EQ(t, 0xAAAAu);
  // A filter change that adds bits needs the controller; one that does not
  // goes through (and is stored).
  EXPECT_EQ(process.Control(open, MacControlSetFilter, 0xD, 0), StatusSuspended);
  EXPECT_EQ(ClientFilter(open), 0xDu);
  EXPECT_EQ(AdapterFilter(AdapterAt(0)), 0x5u);
  EXPECT_EQ(process.Control(open, MacControlSetFilter, 0x4, 0), 0u);
  // Statistics and information still read; nothing was counted.
  EXPECT_EQ(ClientBlock(process, open), client_before);
  EXPECT_EQ(GlobalBlock(process, open), global_before);
  std::array<uint8_t, 52> info{};
  EXPECT_EQ(
      process.Control(open, MacControlAdapterInfo, reinterpret_cast<uintptr_t>(info.data()), 52),
      0u);
  EXPECT_EQ(info[0], 52u);
  EXPECT_EQ(CuStarts(nic), starts);  // the controller was left alone

  // Close still succeeds: the filter is recomputed, the controller untouched.
  uintptr_t second = 0;
  ASSERT_TRUE(pc.machine->DeliverHaEvent(DeviceName(0), 101));
  ASSERT_EQ(process.Open(DeviceName(0), &second), 0u);
  ASSERT_TRUE(pc.machine->DeliverHaEvent(DeviceName(0), 100));
  const size_t before_close = CuStarts(nic);
  EXPECT_EQ(process.Close(second), 0u);
  EXPECT_EQ(CuStarts(nic), before_close);
  EXPECT_EQ(AdapterFilter(AdapterAt(0)), 0x4u);

  ASSERT_TRUE(pc.machine->DeliverHaEvent(DeviceName(0), 101));
  EXPECT_EQ(process.Write(open, frame.data(), 64, &t), 0u);
  EXPECT_EQ(t, 64u);
  EXPECT_EQ(process.Close(open), 0u);
}

}  // namespace
