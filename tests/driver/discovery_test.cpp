// The bus scan at start-up: which functions it probes, which registers it
// reads, and when it creates adapters.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "controller/controller.h"
#include "hw/hw.h"
#include "support/driver.h"
#include "support/pc.h"

namespace {

using namespace tvtest;

struct Placed {
  uint8_t bus, device, function;
  std::unique_ptr<sim::PciFunction> pci;
};

Placed Raw(uint8_t bus, uint8_t device, uint8_t function, uint16_t vendor, uint16_t id,
           uint8_t header = 0) {
  Placed placed{bus, device, function, std::make_unique<sim::PciFunction>(vendor, id, 0x020000)};
  placed.pci->SetHeaderType(header);
  return placed;
}

// Boots the real driver image on a machine with the given functions and
// returns every configuration access start-up made.
struct ScanResult {
  std::vector<ConfigAccess> accesses;
  std::optional<uint32_t> entry;
  std::string console;
  bool signalled;

  // (bus, devfn) -> registers read there, in order.
  std::map<uint32_t, std::vector<uint32_t>> ReadsByFunction() const {
    std::map<uint32_t, std::vector<uint32_t>> reads;
    for (const auto& a : accesses) {
      if (!a.write) reads[a.Bus() << 8 | a.DevFn()].push_back((a.address & 0xFC) | (a.port & 3));
    }
    return reads;
  }
};

ScanResult Scan(std::vector<Placed>& functions, sim::MachineOptions options = {}) {
  sim::Machine machine(std::move(options));
  for (auto& f : functions) {
    EXPECT_TRUE(machine.pci().Attach(f.bus, f.device, f.function, f.pci.get()));
  }
  ScanResult result;
  {
    PortLog log(machine);
    machine.Boot();
    EXPECT_TRUE(machine.WaitStarted());
    result.accesses = DecodeConfig(log.Take());
  }
  result.entry = machine.EntryResult();
  result.console = machine.Console();
  result.signalled = machine.SignalRaised(10000);
  return result;
}

constexpr uint32_t Key(uint32_t bus, uint32_t device, uint32_t function) {
  return bus << 8 | device << 3 | function;
}

TEST(Discovery, ProbesFunctionZeroOfEveryDeviceAndFollowsHeaderTypeAndPresence) {
  std::vector<Placed> functions;
  // Device 5: function 0 absent, function 1 present (never probed).
  functions.push_back(Raw(0, 5, 1, 0x1234, 0x0001, 0x80));
  // Device 6: single-function device that also answers on function 1.
  functions.push_back(Raw(0, 6, 0, 0x1234, 0x0002, 0x00));
  functions.push_back(Raw(0, 6, 1, 0x1234, 0x0003, 0x80));
  // Device 7: multi-function, functions 0 and 2 present, 1 absent.
  functions.push_back(Raw(0, 7, 0, 0x1234, 0x0004, 0x80));
  functions.push_back(Raw(0, 7, 2, 0x1234, 0x0005, 0x80));
  // Device 8 on bus 3: functions 0 to 2 present.
  functions.push_back(Raw(3, 8, 0, 0x1234, 0x0006, 0x80));
  functions.push_back(Raw(3, 8, 1, 0x1234, 0x0007, 0x00));
  functions.push_back(Raw(3, 8, 2, 0x1234, 0x0008, 0x00));
  // Device 31 with all eight functions, on buses 0 and 255.
  for (uint8_t bus : {0, 255}) {
    for (uint8_t f = 0; f < 8; ++f) functions.push_back(Raw(bus, 31, f, 0x1234, 0x0100 + f, 0x80));
  }
  // A function whose identification reads 0.
  functions.push_back(Raw(1, 2, 0, 0x0000, 0x0000, 0x80));

  const ScanResult result = Scan(functions);
  EXPECT_EQ(result.entry, 4u) << "nothing supported";
  EXPECT_FALSE(result.signalled);
  for (const auto& a : result.accesses) EXPECT_FALSE(a.write) << "the scan only reads";

  const auto reads = result.ReadsByFunction();
  // Function 0 of every device of every bus: header type (byte at 0x0E, via
  // 0xCFE), then the identification dword.
  for (uint32_t bus = 0; bus < 256; ++bus) {
    for (uint32_t device = 0; device < 32; ++device) {
      auto it = reads.find(Key(bus, device, 0));
      ASSERT_NE(it, reads.end()) << "bus " << bus << " device " << device;
      ASSERT_GE(it->second.size(), 2u);
      EXPECT_EQ(it->second[0], 0x0Eu);
      EXPECT_EQ(it->second[1], 0x00u);
    }
  }
  auto probed = [&](uint32_t bus, uint32_t device, uint32_t function) {
    return reads.count(Key(bus, device, function)) != 0;
  };
  for (uint32_t f = 1; f < 8; ++f) EXPECT_FALSE(probed(0, 5, f)) << "absent function 0, fn " << f;
  for (uint32_t f = 1; f < 8; ++f) EXPECT_FALSE(probed(0, 6, f)) << "single-function, fn " << f;
  EXPECT_TRUE(probed(0, 7, 1));
  EXPECT_FALSE(probed(0, 7, 2)) << "probing ends at the absent function 1";
  EXPECT_TRUE(probed(3, 8, 1));
  EXPECT_TRUE(probed(3, 8, 2));
  EXPECT_TRUE(probed(3, 8, 3)) << "absent: ends the device";
  EXPECT_FALSE(probed(3, 8, 4));
  for (uint32_t f = 1; f < 8; ++f) EXPECT_FALSE(probed(1, 2, f)) << "id 0 is absent, fn " << f;
  for (uint32_t bus = 0; bus < 256; ++bus) {
    EXPECT_FALSE(probed(bus, 31, 7)) << "device 31 function 7 of bus " << bus;
  }
  EXPECT_TRUE(probed(0, 31, 6));
  EXPECT_TRUE(probed(255, 31, 6));
  // Functions other than 0 are only identified, and only function 0 gives
  // the header type.
  for (const auto& [key, registers] : reads) {
    if ((key & 7) == 0) continue;
    EXPECT_EQ(registers, std::vector<uint32_t>{0x00u}) << "key " << std::hex << key;
  }
}

TEST(Discovery, SupportedFunctionWithoutUsableIoBarCreatesNothing) {
  std::vector<Placed> functions;
  // Memory BAR only.
  functions.push_back(Raw(0, 4, 0, 0x8086, 0x1229));
  functions.back().pci->SetBar(0, 0xFEB00000, 0x1000, false);
  functions.back().pci->SetBar(2, 0xFEC00000, 0x100000, false);
  // I/O BAR whose address is 0: reads 0x00000001.
  functions.push_back(Raw(0, 5, 0, 0x8086, 0x2449));
  functions.back().pci->SetBar(1, 0x0, 64, true);
  // Unsupported device of the same vendor with an I/O BAR.
  functions.push_back(Raw(0, 6, 0, 0x8086, 0x1228));
  functions.back().pci->SetBar(1, 0xE000, 64, true);

  const ScanResult result = Scan(functions, PlainOptions({{"WaitBoot", "0"}, {"Quiet", "0"}}));
  EXPECT_EQ(result.entry, 4u);
  EXPECT_EQ(result.console, "TORVELIN: No compatible controllers found system.\n");
  const auto reads = result.ReadsByFunction();
  const std::vector<uint32_t> allBars = {0x0E, 0x00, 0x10, 0x14, 0x18, 0x1C, 0x20, 0x24};
  EXPECT_EQ(reads.at(Key(0, 4, 0)), allBars) << "every BAR looked at, no interrupt line";
  EXPECT_EQ(reads.at(Key(0, 5, 0)), allBars);
  EXPECT_EQ(reads.at(Key(0, 6, 0)), (std::vector<uint32_t>{0x0E, 0x00})) << "not in the table";
}

}  // namespace
