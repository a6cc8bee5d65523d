// Port windows: decoding, unclaimed ports, and windows moving while other
// threads do port I/O.
#include "platform/pc/port_bus.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>

#include "platform/pc/clock.h"

namespace {

using namespace sim;

// Reads give a signature plus the offset; writes are remembered, or, for a
// device given its bus, move its own window to the value written (as a BAR
// write does, from inside the port access).
struct FakeDevice : PortDevice {
  explicit FakeDevice(uint32_t signature, PortBus* bus = nullptr)
      : signature(signature), bus(bus) {}
  uint32_t PortRead(uint32_t offset, unsigned width) override {
    last_width = width;  // readers on several threads
    return signature + offset;
  }
  void PortWrite(uint32_t offset, unsigned width, uint32_t value) override {
    if (bus != nullptr) bus->Remap(this, value, 16);
    writes.push_back({offset, width, value});
  }
  const uint32_t signature;
  PortBus* const bus;
  std::atomic<uint32_t> last_width{0};
  std::vector<std::array<uint32_t, 3>> writes;  // offset, width, value
};

struct PortBusTest : testing::Test {
  Clock clock;
  PortBus bus{clock};
  FakeDevice low{0x11000000}, high{0x22000000};
};

TEST_F(PortBusTest, DecodesWindowsAndLeavesTheRestUnclaimed) {
  ASSERT_TRUE(bus.Map(0x60, 8, &low));
  ASSERT_TRUE(bus.Map(0xE000, 64, &high));

  // Unclaimed ports (0x12345 is beyond the port space) read all ones;
  // results are cut to the access width; offsets are window-relative.
  const uint32_t reads[][3] = {{0x5F, 1, 0xFF},        {0x100, 2, 0xFFFF}, {0xE040, 4, 0xFFFFFFFF},
                               {0x12345, 1, 0xFF},     {0x63, 1, 0x03},    {0xE010, 2, 0x0010},
                               {0xE004, 4, 0x22000004}};
  for (auto [port, width, value] : reads) EXPECT_EQ(value, bus.Read(port, width)) << port;
  bus.Write(0xDFFF, 1, 1);                             // dropped
  EXPECT_EQ(8 * Clock::kPortAccessNs, clock.NowNs());  // every access costs time
  bus.Write(0xE010, 4, 0xCAFEF00D);
  // An access running past a window's end is split into bytes: the device
  // sees only its own ports.
  EXPECT_EQ(0xFFFF3Fu, bus.Read(0xE03F, 4) & 0xFFFFFF);
  EXPECT_EQ(1u, high.last_width.load());
  bus.Write(0xE03F, 2, 0xAB7E);
  EXPECT_EQ(high.writes, (decltype(high.writes){{0x10, 4, 0xCAFEF00D}, {0x3F, 1, 0x7E}}));

  // Overlaps, empty windows and windows beyond 64 KiB are refused; an
  // adjacent window is a second window of one device.
  EXPECT_FALSE(bus.Map(0x67, 2, &high) || bus.Map(0xDFF0, 0x11, &low) || bus.Map(0x200, 0, &low) ||
               bus.Map(0xFFF0, 0x20, &low));
  EXPECT_TRUE(bus.Map(0x68, 8, &low));
  EXPECT_TRUE(bus.Claimed(0x6F));

  // Remap replaces all of a device's windows, or nothing.
  EXPECT_FALSE(bus.Remap(&low, 0xE020, 16));
  EXPECT_TRUE(bus.Claimed(0x60));
  EXPECT_TRUE(bus.Remap(&low, 0x300, 16));
  EXPECT_FALSE(bus.Claimed(0x60) || bus.Claimed(0x68));
  EXPECT_EQ(0x11000005u, bus.Read(0x305, 4));
  bus.Unmap(&low);
  EXPECT_EQ(0xFFFFFFFFu, bus.Read(0x305, 4));
  EXPECT_TRUE(bus.Claimed(0xE000));

  // The trace sees each access, with the value cut to its width.
  std::vector<std::pair<uint32_t, bool>> trace;  // value, write
  bus.SetTrace([&](const PortBus::Access& a) { trace.emplace_back(a.value, a.write); });
  bus.Write(0xE002, 1, 0x1FF);
  bus.Read(0xE002, 1);
  bus.SetTrace(nullptr);
  bus.Read(0xE002, 1);
  EXPECT_EQ(trace, (decltype(trace){{0xFF, true}, {0x02, false}}));
}

TEST_F(PortBusTest, WindowsMoveUnderConcurrentAccess) {
  ASSERT_TRUE(bus.Map(0x1000, 16, &low));
  ASSERT_TRUE(bus.Map(0x40, 4, &high));
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        for (uint32_t port : {0x1004u, 0x2004u, 0x0040u}) {
          const uint32_t v = bus.Read(port, 4);
          if (v != 0xFFFFFFFF && v != 0x11000004 && v != 0x22000000) bad.fetch_add(1);
        }
      }
    });
  }
  // Moves, unmaps and maps while the readers run.
  for (int i = 0; i < 400; ++i) {
    ASSERT_TRUE(bus.Remap(&low, i % 2 ? 0x1000 : 0x2000, 16));
    if (i % 50 == 0) {
      bus.Unmap(&high);
      ASSERT_TRUE(bus.Map(0x40, 4, &high));
    }
  }
  stop.store(true);
  for (auto& r : readers) r.join();
  EXPECT_EQ(0, bad.load());

  // Moving a window from inside the device's own port write neither
  // deadlocks nor loses the access.
  FakeDevice mover(0x5A00, &bus);
  ASSERT_TRUE(bus.Map(0x3000, 16, &mover));
  bus.Write(0x3000, 4, 0x3100);
  EXPECT_EQ(0xFFFFu, bus.Read(0x3000, 2));
  EXPECT_EQ(0x5A02u, bus.Read(0x3102, 2));
}

}  // namespace
