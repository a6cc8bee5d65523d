// PCI configuration mechanism 1 and NicEnablePci, observed at the ports and
// in the functions' configuration space.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "hw/hw.h"
#include "support/driver.h"
#include "support/pc.h"

namespace {

using namespace tvtest;

constexpr uint32_t Address(uint32_t bus, uint32_t devfn, uint32_t reg) {
  return 0x80000000u | bus << 16 | devfn << 8 | (reg & 0xFC);
}

// A machine whose image does nothing, with the given functions attached.
struct PciMachine {
  explicit PciMachine(std::vector<std::unique_ptr<sim::PciFunction>>& functions,
                      const std::vector<std::tuple<uint8_t, uint8_t, uint8_t>>& places)
      : machine([] {
          sim::MachineOptions options;
          options.image = &IdleImage;
          return options;
        }()) {
    for (size_t i = 0; i < places.size(); ++i) {
      auto [bus, device, function] = places[i];
      EXPECT_TRUE(machine.pci().Attach(bus, device, function, functions[i].get()));
    }
    BootAndWait(machine);
  }
  sim::Machine machine;
};

// A configuration access as (address, data port, width, value, write).
using Access = std::tuple<uint32_t, uint32_t, unsigned, uint32_t, bool>;
std::vector<Access> Decoded(const std::vector<sim::PortBus::Access>& accesses,
                            bool writesOnly = false) {
  std::vector<Access> result;
  for (const ConfigAccess& a : DecodeConfig(accesses)) {
    if (a.write || !writesOnly) result.emplace_back(a.address, a.port, a.width, a.value, a.write);
  }
  return result;
}

std::unique_ptr<sim::PciFunction> Function(uint16_t vendor, uint16_t device) {
  return std::make_unique<sim::PciFunction>(vendor, device, 0x020000);
}

TEST(Pci, EachAccessLatchesItsAddressThenUsesTheLaneOfTheOffset) {
  std::vector<std::unique_ptr<sim::PciFunction>> functions;
  functions.push_back(Function(0x1234, 0xABCD));
  functions.back()->SetHeaderType(0x80);
  functions.back()->SetInterruptLine(0x0B);
  functions.push_back(Function(0x5678, 0x9ABC));
  PciMachine pc(functions, {{0, 3, 0}, {255, 31, 7}});
  PortLog log(pc.machine);
  const uint8_t devfn = 3 * 8;

  EXPECT_EQ(PciReadByte(0x0E, devfn, 0), 0x80u);
  EXPECT_EQ(PciReadWord(0x02, devfn, 0), 0xABCDu);
  EXPECT_EQ(PciReadDword(0x00, devfn, 0), 0xABCD1234u);
  EXPECT_EQ(PciReadByte(0x3C, devfn, 0), 0x0Bu);
  PciWriteByte(0x5A, 0x0D, devfn, 0);
  PciWriteDword(0x00000005, 0x04, devfn, 0);
  EXPECT_EQ(PciReadDword(0x00, 0xFF, 255), 0x9ABC5678u);
  EXPECT_EQ(PciReadDword(0x00, 4 * 8, 0), 0xFFFFFFFFu) << "absent function";

  const std::vector<Access> expected = {
      {Address(0, devfn, 0x0C), 0xCFE, 1, 0x80, false},
      {Address(0, devfn, 0x00), 0xCFE, 2, 0xABCD, false},
      {Address(0, devfn, 0x00), 0xCFC, 4, 0xABCD1234, false},
      {Address(0, devfn, 0x3C), 0xCFC, 1, 0x0B, false},
      {Address(0, devfn, 0x0C), 0xCFD, 1, 0x5A, true},
      {Address(0, devfn, 0x04), 0xCFC, 4, 0x00000005, true},
      {Address(255, 0xFF, 0x00), 0xCFC, 4, 0x9ABC5678, false},
      {Address(0, 4 * 8, 0x00), 0xCFC, 4, 0xFFFFFFFF, false},
  };
  EXPECT_EQ(Decoded(log.Take()), expected);
  EXPECT_EQ(functions[0]->ConfigRead(0x0D, 1), 0x5Au);
  EXPECT_EQ(functions[0]->Command(), 0x0005u);
}

TEST(Pci, EnableSetsIoAndBusMasteringOnlyWhenMissingAndRaisesALowLatency) {
  struct Case {
    uint16_t command;
    bool rewritten;
    uint32_t written;
    uint8_t latency;
    uint8_t latencyAfter;
  };
  const Case cases[] = {
      {0x0007, false, 0, 0x40, 0x40},         {0x0005, false, 0, 0x20, 0x20},
      {0x0001, true, 0x00000005, 0x10, 32},   {0x0003, true, 0x00000007, 0x1F, 32},
      {0x0000, true, 0x00000005, 0x00, 32},   {0x0004, true, 0x00000005, 0xFF, 0xFF},
      {0x0406, true, 0x00000407, 0x21, 0x21},
  };
  std::vector<std::unique_ptr<sim::PciFunction>> functions;
  std::vector<std::tuple<uint8_t, uint8_t, uint8_t>> places;
  for (size_t i = 0; i < std::size(cases); ++i) {
    functions.push_back(Function(0x1234, 0x0001));
    functions.back()->SetCommand(cases[i].command);
    functions.back()->SetLatencyTimer(cases[i].latency);
    places.emplace_back(2, static_cast<uint8_t>(i), 1);
  }
  PciMachine pc(functions, places);
  PortLog log(pc.machine);

  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(testing::Message() << "command 0x" << std::hex << c.command);
    const uint8_t devfn = static_cast<uint8_t>(i * 8 + 1);
    auto adapter = MakeAdapter(2, devfn);
    EXPECT_EQ(NicEnablePci(adapter.get()), 0u);
    // The status half is written as 0, memory space stays off.
    std::vector<Access> writes;
    if (c.rewritten) writes.emplace_back(Address(2, devfn, 0x04), 0xCFC, 4, c.written, true);
    if (c.latencyAfter != c.latency)
      writes.emplace_back(Address(2, devfn, 0x0C), 0xCFD, 1, 32, true);
    EXPECT_EQ(Decoded(log.Take(), true), writes);
    EXPECT_EQ(functions[i]->Command(), c.rewritten ? c.written & 0xFFFF : c.command);
    EXPECT_EQ(functions[i]->ConfigRead(0x0D, 1), c.latencyAfter);
  }
}

TEST(Pci, ConcurrentAccessPairsNeverMixAddresses) {
  constexpr int kFunctions = 4;
  std::vector<std::unique_ptr<sim::PciFunction>> functions;
  std::vector<std::tuple<uint8_t, uint8_t, uint8_t>> places;
  for (int i = 0; i < kFunctions; ++i) {
    functions.push_back(Function(0x1000 + i, 0x2000 + i));
    functions.back()->SetInterruptLine(static_cast<uint8_t>(0x20 + i));
    places.emplace_back(0, static_cast<uint8_t>(10 + i), 0);
  }
  PciMachine pc(functions, places);
  // As after the scan has handed a controller to creation: from then on
  // clients, the interrupt service and resumes may reach configuration space.
  PciShareAccess();

  std::atomic<int> mixed{0};
  auto worker = [&](int self) {
    sim::ClientProcess client(pc.machine);
    client.Run([&] {
      for (int n = 0; n < 1500; ++n) {
        const int i = (self + n) % kFunctions;
        const uint8_t devfn = static_cast<uint8_t>((10 + i) * 8);
        if (PciReadDword(0x00, devfn, 0) !=
            static_cast<uint32_t>((0x2000 + i) << 16 | (0x1000 + i)))
          ++mixed;
        if (PciReadByte(0x3C, devfn, 0) != static_cast<uint32_t>(0x20 + i)) ++mixed;
      }
      return 0u;
    });
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) threads.emplace_back(worker, t);
  worker(3);  // and the harness's own thread
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mixed.load(), 0);
}

}  // namespace
