// PCI configuration mechanism 1 and NicEnablePci, observed at the ports and
// in the functions' configuration space, and the bus scan at start-up: which
// functions it probes, which registers it reads, and when it creates adapters.

#include <atomic>
#include <map>
#include <tuple>

#include "support/driver.h"

namespace {

using namespace tvtest;

constexpr uint32_t Address(uint32_t bus, uint32_t devfn, uint32_t reg) {
  return 0x80000000u | bus << 16 | devfn << 8 | (reg & 0xFC);
}

// A function and where it sits.
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

// A machine with `functions` attached (by default one whose image does
// nothing).
struct PciMachine {
  explicit PciMachine(std::vector<Placed>& functions,
                      sim::MachineOptions options = ImageOptions(&IdleImage))
      : machine(std::move(options)) {
    for (auto& f : functions) {
      EXPECT_TRUE(machine.pci().Attach(f.bus, f.device, f.function, f.pci.get()));
    }
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

TEST(Pci, EachAccessLatchesItsAddressThenUsesTheLaneOfTheOffset) {
  std::vector<Placed> functions;
  functions.push_back(Raw(0, 3, 0, 0x1234, 0xABCD, 0x80));
  functions.back().pci->SetInterruptLine(0x0B);
  functions.push_back(Raw(255, 31, 7, 0x5678, 0x9ABC));
  PciMachine pc(functions);
  BootAndWait(pc.machine);
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
  EXPECT_EQ(functions[0].pci->ConfigRead(0x0D, 1), 0x5Au);
  EXPECT_EQ(functions[0].pci->Command(), 0x0005u);
}

TEST(Pci, EnableSetsIoAndBusMasteringOnlyWhenMissingAndRaisesALowLatency) {
  struct Case {
    uint16_t command;
    bool rewritten;
    uint32_t written;
    uint8_t latency, latencyAfter;
  };
  const Case cases[] = {
      {0x0007, false, 0, 0x40, 0x40},         {0x0005, false, 0, 0x20, 0x20},
      {0x0001, true, 0x00000005, 0x10, 32},   {0x0003, true, 0x00000007, 0x1F, 32},
      {0x0000, true, 0x00000005, 0x00, 32},   {0x0004, true, 0x00000005, 0xFF, 0xFF},
      {0x0406, true, 0x00000407, 0x21, 0x21},
  };
  std::vector<Placed> functions;
  for (size_t i = 0; i < std::size(cases); ++i) {
    functions.push_back(Raw(2, static_cast<uint8_t>(i), 1, 0x1234, 0x0001));
    functions.back().pci->SetCommand(cases[i].command);
    functions.back().pci->SetLatencyTimer(cases[i].latency);
  }
  PciMachine pc(functions);
  BootAndWait(pc.machine);
  PortLog log(pc.machine);

  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(testing::Message() << "command 0x" << std::hex << c.command);
    const uint8_t devfn = static_cast<uint8_t>(i * 8 + 1);
    auto adapter = std::make_unique<NicAdapter>();
    adapter->Bus = 2;
    adapter->DevFn = devfn;
    EXPECT_EQ(NicEnablePci(adapter.get()), 0u);
    // The status half is written as 0, memory space stays off.
    std::vector<Access> writes;
    if (c.rewritten) writes.emplace_back(Address(2, devfn, 0x04), 0xCFC, 4, c.written, true);
    if (c.latencyAfter != c.latency)
      writes.emplace_back(Address(2, devfn, 0x0C), 0xCFD, 1, 32, true);
    EXPECT_EQ(Decoded(log.Take(), true), writes);
    EXPECT_EQ(functions[i].pci->Command(), c.rewritten ? c.written & 0xFFFF : c.command);
    EXPECT_EQ(functions[i].pci->ConfigRead(0x0D, 1), c.latencyAfter);
  }
}

TEST(Pci, ConcurrentAccessPairsNeverMixAddresses) {
  constexpr int kFunctions = 4;
  std::vector<Placed> functions;
  for (int i = 0; i < kFunctions; ++i) {
    functions.push_back(Raw(0, static_cast<uint8_t>(10 + i), 0, static_cast<uint16_t>(0x1000 + i),
                            static_cast<uint16_t>(0x2000 + i)));
    functions.back().pci->SetInterruptLine(static_cast<uint8_t>(0x20 + i));
  }
  PciMachine pc(functions);
  BootAndWait(pc.machine);
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
  PciMachine pc(functions, std::move(options));
  sim::Machine& machine = pc.machine;
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
