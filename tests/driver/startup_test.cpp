// The start-up sequence on a simulated PC: what it prints, how it waits for
// boot, what it publishes and how it ends; the registry walk of section
// "TORVELIN", observed through the console and the settings; and the memory
// service: direct and serviced allocation, release, the null guard, and the
// block copy.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "support/driver.h"

namespace {

using namespace tvtest;

constexpr char kNoController[] = "TORVELIN: No compatible controllers found system.\n";

// Without a controller, start-up waits for boot as told (polling the boot
// query until it answers 0), ends with 4 and only the message (the banner
// precedes the registry read, so Quiet 0 never shows it), and gives back
// what it took.
TEST(Startup, WithoutAControllerItWaitsForBootAsToldAndEndsWithFour) {
  struct Case {
    const char* what;
    Entries entries;
    uint32_t busy;
    std::string console;
    uint32_t busyLeft;  // answers the driver did not use up
  };
  const Case cases[] = {
      {"WaitBoot 1 (default)",
       {{"Quiet", "0"}},
       200,
       "TORVELIN: Waiting system boot...[BOOTED].\n" + std::string(kNoController),
       0},
      {"WaitBoot 0", {{"WaitBoot", "0"}, {"Quiet", "0"}}, 2, kNoController, 2},
      {"Quiet: the boot texts are suppressed too", {}, 5, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::MachineOptions options = PlainOptions(c.entries);
    options.boot_query_busy_calls = c.busy;
    sim::Machine machine(std::move(options));
    BootAndWait(machine);
    EXPECT_EQ(machine.EntryResult(), 4u);
    EXPECT_EQ(machine.Console(), c.console);
    EXPECT_FALSE(machine.SignalRaised(10000));
    EXPECT_EQ(machine.LiveMutexes(), 1u) << "DriverMutex only: no memory service";
    EXPECT_EQ(machine.LiveEvents(), 0u);
    EXPECT_NE(DriverProcess, 0u);
    EXPECT_EQ(machine.arena().OutstandingBlocks(), 0u) << "registry work area released";
    for (uint32_t i = 0; i < c.busyLeft; ++i) EXPECT_NE(KeQueryInterruptHistory(312), 0u);
    EXPECT_EQ(KeQueryInterruptHistory(312), 0u);
  }
}

// A controller whose interrupt the kernel refuses is not published, and
// what its creation had taken (record, receive queue) goes back; with no
// other controller, start-up ends as if none had been found.
TEST(Startup, ControllerRefusedItsInterruptIsNotPublishedAndGivesBackItsMemory) {
  sim::MachineOptions options = PlainOptions({{"WaitBoot", "0"}});
  options.kernel_limits.interrupts = 0;
  TestPc pc(1, std::move(options));
  pc.Boot();
  ASSERT_TRUE(Eventually([&] { return pc.machine->EntryResult().has_value(); }));
  EXPECT_EQ(pc.machine->EntryResult(), 4u);
  EXPECT_EQ(pc.machine->DeviceNames(), std::vector<std::string>{});
  EXPECT_EQ(pc.machine->arena().OutstandingBlocks(), 0u);
  EXPECT_EQ(pc.machine->LiveInterrupts(), 0u);
}

TEST(Startup, ControllersArePublishedInBusThenDevFnOrderBeforeTheSignal) {
  // A registry address spares the bring-ups their EEPROM reads.
  TestPc pc(
      PlainOptions({{"Buffers", "4"}, {"MacAddress", "02:00:5E:00:00:01"}, {"ConfigDelay", "10"}}));
  struct Place {
    uint8_t bus, device;
    uint16_t id;
    uint32_t ioBase;
    const char* description;
  };
  // Every supported identity, in the order they must be published; added
  // the other way round.
  const Place places[] = {{0, 4, 0x1229, 0xE000, "Intel EtherExpressPro100"},
                          {0, 5, 0x1209, 0xE080, "Intel EtherExpressPro100 82559ER"},
                          {0, 9, 0x2449, 0xE040, "Intel EtherExpressPro100 82562EM"},
                          {1, 2, 0x1030, 0xD000, "Intel Corporation 82559 InBusiness 10/100"},
                          {1, 3, 0x1029, 0xD040, "Intel EtherExpressPro100 ID1029"}};
  constexpr unsigned kCount = std::size(places);
  for (unsigned i = 0; i < kCount; ++i) {
    const Place& place = places[kCount - 1 - i];
    sim::I8255xConfig config = sim::StandardController(i);
    config.bus = place.bus;
    config.device = place.device;
    config.device_id = place.id;
    config.io_base = place.ioBase;
    pc.AddNic(config);
  }
  pc.Boot();
  ASSERT_TRUE(pc.machine->SignalRaised(10000));
  EXPECT_FALSE(pc.machine->EntryResult().has_value()) << "main thread serves memory";
  const auto adapters = Adapters();
  ASSERT_EQ(adapters.size(), kCount);
  std::vector<std::string> names;
  for (size_t i = 0; i < kCount; ++i) {
    SCOPED_TRACE(i);
    names.push_back(DeviceName(i));
    EXPECT_EQ(std::string(adapters[i]->Name), names.back());
    EXPECT_EQ(adapters[i]->Bus, places[i].bus);
    EXPECT_EQ(adapters[i]->DevFn, places[i].device * 8);
    EXPECT_EQ(adapters[i]->DeviceId, places[i].id);
    EXPECT_EQ(adapters[i]->IoBase, places[i].ioBase);
    EXPECT_STREQ(adapters[i]->Description, places[i].description);
  }
  EXPECT_EQ(pc.machine->DeviceNames(), names);
  EXPECT_EQ(Buffers, 4u) << "settings in force before discovery";
  EXPECT_TRUE(WaitForMemoryService());
  EXPECT_EQ(pc.machine->Console(), "");
}

// An unknown request ends the memory service, and with it DriverEntry, with
// 7. The service's own line is printed even under Quiet; the service keeps
// its objects and later allocations go direct.
TEST(Startup, UnknownMemoryRequestEndsTheServiceAndDriverEntryWithSeven) {
  for (bool quiet : {true, false}) {
    SCOPED_TRACE(quiet ? "Quiet 1" : "Quiet 0");
    TestPc pc(PlainOptions({{"MacAddress", "02:00:5E:00:00:01"},
                            {"ConfigDelay", "10"},
                            {"WaitBoot", "0"},
                            {"Quiet", quiet ? "1" : "0"}}));
    pc.AddNics(1);
    pc.Boot();
    ASSERT_TRUE(pc.machine->SignalRaised(10000));
    ASSERT_TRUE(WaitForMemoryService());
    pc.machine->ClearConsole();

    __atomic_store_n(&MemoryServiceActive, 1u, __ATOMIC_RELEASE);
    KeAcquireMutex(MemoryServiceMutex);
    MemoryRequestCode = 3;
    KeSetEvent(MemoryRequestEvent);
    KeWaitEvent(MemoryReplyEvent);
    KeClearEvent(MemoryReplyEvent);
    KeReleaseMutex(MemoryServiceMutex);

    EXPECT_TRUE(Eventually([&] { return pc.machine->EntryResult().has_value(); }));
    EXPECT_EQ(pc.machine->EntryResult(), 7u);
    EXPECT_EQ(pc.machine->Console(),
              std::string("TORVELIN: Unknown memory server request (3).\n") +
                  (quiet ? "" : "TORVELIN: Unable to allocate system resources.\n"));
    EXPECT_EQ(__atomic_load_n(&MemoryServiceActive, __ATOMIC_ACQUIRE), 0u);
    EXPECT_EQ(pc.machine->LiveMutexes(), 2u) << "DriverMutex and the service's";
    EXPECT_EQ(pc.machine->LiveEvents(), 2u);
    void* block = MacAllocateMemory(100);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(MemoryRequestCode, 3u) << "went direct";
    MacDeallocateMemory(block);
  }
}

using Bytes = std::array<uint8_t, 6>;

struct Walk {
  std::string console;
  size_t outstandingBlocks;
};

// Runs the walk alone; the settings stay in the driver's globals afterwards.
Walk ReadRegistry(const Entries& entries, bool withSection = true) {
  sim::Machine machine(withSection ? ImageOptions(&RegistryOnlyImage, entries)
                                   : ImageOptions(&RegistryOnlyImage));
  BootAndWait(machine);
  EXPECT_EQ(machine.EntryResult(), 0u);
  return {machine.Console(), machine.arena().OutstandingBlocks()};
}

Bytes StoredMac() {
  Bytes bytes;
  for (int i = 0; i < 6; ++i) bytes[i] = RegistryMac[i];
  return bytes;
}

// The numeric keys: default, accepted range and the confirmation's wording
// (none for Quiet and HaDetect).
struct NumericKey {
  const char* name;
  uint32_t* setting;
  uint32_t byDefault, low, high;
  const char* confirms;
};
const NumericKey kKeys[] = {
    {"Buffers", &Buffers, 32, 2, 256, "NIC packet buffers"},
    {"ConfigDelay", &ConfigDelay, 500, 10, 500, "Controller Config Delay"},
    {"TestDelay", &TestDelay, 10, 10, 500, "Test Delay"},
    {"ResetDelay", &ResetDelay, 4, 10, 500, "Reset Delay"},  // default below the range
    {"WaitBoot", &WaitBoot, 1, 0, 1, "Wait for system boot"},
    {"UseEeprom", &UseEeprom, 1, 0, 1, "Use EEPROM"},
    {"Quiet", &Quiet, 1, 0, 1, nullptr},
    {"HaDetect", &HaDetect, 0, 0, 1, nullptr},
    {"NegotiateLink", &NegotiateLink, 0, 0, 1, "Link negotiation"},
};

std::string Confirmed(const char* what, uint32_t value) {
  return std::string("TORVELIN: ") + what + " set to " + std::to_string(value) + " in registry.\n";
}
std::string Refused(const std::string& spelled, uint32_t low, uint32_t high) {
  const std::string text = "TORVELIN: registry setting for " + spelled + " must be between " +
                           std::to_string(low) + " and " + std::to_string(high);
  return high == 256 ? text : text + ".\n";  // the Buffers text ends after 256
}
std::string MacAccepted(const std::string& address) {
  return "TORVELIN: MAC address set to " + address + " in system registry.\n";
}
std::string MacRefused(const std::string& key = "MacAddress") {
  return "TORVELIN: registry setting for " + key + " must be of the form 'xx:xx:xx:xx:xx:xx'.\n";
}

TEST(Registry, MissingOrEmptySectionKeepsEveryDefaultSilently) {
  for (bool withSection : {false, true}) {
    SCOPED_TRACE(withSection ? "empty section" : "no section");
    const Walk walk = ReadRegistry({}, withSection);
    EXPECT_EQ(walk.console, "");
    for (const NumericKey& key : kKeys) EXPECT_EQ(*key.setting, key.byDefault) << key.name;
    EXPECT_EQ(RegistryMacSet, 0u);
    EXPECT_EQ(StoredMac(), Bytes{});
    EXPECT_EQ(walk.outstandingBlocks, 0u) << "work area not released";
  }
}

TEST(Registry, EachNumericKeyTakesItsWholeRangeAndRefusesTheRest) {
  struct Case {
    std::string key, value;
    int64_t taken;  // -1: refused
  };
  // Values convert as atol converts them: digits up to the first other
  // character, leading blanks and a sign allowed, no digits at all is 0, and
  // beyond 32 bits the low 32 bits of the platform's 64-bit long.
  std::vector<Case> cases = {
      {"WaitBoot", "yes", 0},      {"Buffers", "abc", -1},       {"ConfigDelay", "250ms", 250},
      {"TestDelay", "  \t42", 42}, {"ResetDelay", "+100", 100},  {"NegotiateLink", "1.9", 1},
      {"UseEeprom", "-0", 0},      {"Buffers", "4294967298", 2},
  };
  for (const NumericKey& key : kKeys) {
    if (key.low > 0) cases.push_back({key.name, std::to_string(key.low - 1), -1});
    cases.push_back({key.name, std::to_string(key.low), key.low});
    cases.push_back({key.name, std::to_string(key.high), key.high});
    cases.push_back({key.name, std::to_string(key.high + 1), -1});
    cases.push_back({key.name, "-1", -1});  // a negative number is above every range
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key + "=" + c.value);
    const NumericKey* key = nullptr;
    for (const NumericKey& k : kKeys) key = c.key == k.name ? &k : key;
    const Walk walk = ReadRegistry({{"Quiet", "0"}, {c.key, c.value}});
    if (c.taken >= 0) {
      EXPECT_EQ(walk.console, key->confirms ? Confirmed(key->confirms, c.taken) : "");
      EXPECT_EQ(*key->setting, c.taken);
    } else {
      EXPECT_EQ(walk.console, Refused(c.key, key->low, key->high));
      EXPECT_EQ(*key->setting, key->setting == &Quiet ? 0u : key->byDefault);
    }
  }
}

TEST(Registry, KeysAreTrimmedComparedWithoutCaseAndCutAt127Characters) {
  const Walk walk = ReadRegistry({
      {"Quiet", "0"},
      {"  buffers ", "64"},
      {"\t\r\nBUFFERS\f", "1"},
      {"Buf fers", "100"},
      {"", "1"},
      {"\vQuiet", "1"},        // VT is not a blank
      {"ConfigDelay=", "20"},  // only blanks end a key
      {"configdelay", " 20"},
      {std::string(200, 'K'), "1"},
      {"  Quiet  trailing", "1"},
      {"Buffers", "8"},  // silenced by the Quiet entry just before
  });
  EXPECT_EQ(walk.console, Confirmed("NIC packet buffers", 64) + Refused("BUFFERS", 2, 256) +
                              "TORVELIN: Unrecognized registry key 'Buf' ignored.\n"
                              "TORVELIN: Unrecognized registry key '' ignored.\n"
                              "TORVELIN: Unrecognized registry key '\vQuiet' ignored.\n"
                              "TORVELIN: Unrecognized registry key 'ConfigDelay=' ignored.\n" +
                              Confirmed("Controller Config Delay", 20) +
                              "TORVELIN: Unrecognized registry key '" + std::string(127, 'K') +
                              "' ignored.\n");
  EXPECT_EQ(Buffers, 8u);
  EXPECT_EQ(Quiet, 1u);
}

TEST(Registry, QuietGovernsOnlyTheEntriesAfterIt) {
  {
    SCOPED_TRACE("Quiet 0 last: the walk itself stays silent");
    const Walk walk = ReadRegistry({{"Buffers", "64"}, {"Bogus", "1"}, {"Quiet", "0"}});
    EXPECT_EQ(walk.console, "");
    EXPECT_EQ(Buffers, 64u);
  }
  {
    SCOPED_TRACE("a refused Quiet is reported only after an earlier Quiet 0");
    const Walk walk = ReadRegistry({{"Quiet", "5"},
                                    {"Buffers", "1"},
                                    {"Quiet", "0"},
                                    {"Quiet", "5"},
                                    {"Buffers", "3"},
                                    {"Quiet", "1"},
                                    {"Buffers", "1"},
                                    {"Bogus", "1"}});
    EXPECT_EQ(walk.console, Refused("Quiet", 0, 1) + Confirmed("NIC packet buffers", 3));
    EXPECT_EQ(Quiet, 1u);
  }
}

TEST(Registry, MacAddressFormsAcceptedAndRefused) {
  struct Case {
    const char* value;
    bool accepted;
    Bytes bytes;  // RegistryMac afterwards, from all zeros
  };
  const Case cases[] = {
      {"00:a0:C9:12:34:56", true, {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
      {"00A0c9123456", true, {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
      {"00a0:c912:3456", true, {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
      {"12:34", true, {0x12, 0x34, 0, 0, 0, 0}},
      {"ab", true, {0xAB, 0, 0, 0, 0, 0}},
      {"00:11:22:33:44:55:66", true, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
      {"00:11:22:33:44:55:", true, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
      {"00A0C9123456zz", true, {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
      {"12:34\tzz", true, {0x12, 0x34, 0, 0, 0, 0}},
      {"12:34\r", true, {0x12, 0x34, 0, 0, 0, 0}},
      {"12:34:", false, {0x12, 0x34, 0, 0, 0, 0}},
      {"0:1:2:3:4:5", false, {0, 0, 0, 0, 0, 0}},
      {"00-11-22-33-44-55", false, {0x00, 0, 0, 0, 0, 0}},
      {"00::11", false, {0x00, 0, 0, 0, 0, 0}},
      {"00A0C91", false, {0x00, 0xA0, 0xC9, 0, 0, 0}},
      {"", false, {0, 0, 0, 0, 0, 0}},
      {" 00:11:22:33:44:55", false, {0, 0, 0, 0, 0, 0}},
      {"12:34\v", false, {0x12, 0x34, 0, 0, 0, 0}},  // VT is not a blank
      {"0g", false, {0, 0, 0, 0, 0, 0}},
      {"zz", false, {0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("value '") + c.value + "'");
    const Walk walk = ReadRegistry({{"Quiet", "0"}, {"MacAddress", c.value}});
    EXPECT_EQ(StoredMac(), c.bytes);
    EXPECT_EQ(RegistryMacSet, c.accepted ? 1u : 0u);
    char address[32];
    snprintf(address, sizeof address, "%02X:%02X:%02X:%02X:%02X:%02X", c.bytes[0], c.bytes[1],
             c.bytes[2], c.bytes[3], c.bytes[4], c.bytes[5]);
    EXPECT_EQ(walk.console, c.accepted ? MacAccepted(address) : MacRefused());
  }
}

// Each entry is parsed into the bytes the previous ones left: a refused value
// keeps what it parsed before its fault, and the flag an earlier one set.
TEST(Registry, MacAddressEntriesBuildOnEachOtherAndTheWalkGoesOn) {
  const Walk walk = ReadRegistry({{"Quiet", "0"},
                                  {"macaddress", "AA:BB:CC:DD:EE:FF"},
                                  {"Buffers", "64"},
                                  {"  MACADDRESS", "12:34:"},
                                  {"MacAddress", "zz"},
                                  {"MacAddress", "66 tail"}});
  EXPECT_EQ(walk.console, MacAccepted("AA:BB:CC:DD:EE:FF") + Confirmed("NIC packet buffers", 64) +
                              MacRefused("MACADDRESS") + MacRefused() +
                              MacAccepted("66:34:CC:DD:EE:FF"));
  EXPECT_EQ(RegistryMacSet, 1u);
  EXPECT_EQ(StoredMac(), (Bytes{0x66, 0x34, 0xCC, 0xDD, 0xEE, 0xFF}));

  const Walk quiet = ReadRegistry({{"MacAddress", "12:34"}, {"MacAddress", "bad"}});
  EXPECT_EQ(quiet.console, "");
  EXPECT_EQ(RegistryMacSet, 1u);
}

TEST(Registry, OnlyTheFirstThousandEntriesAreExamined) {
  Entries entries = {{"Quiet", "0"}};
  while (entries.size() < 999) entries.push_back({"TestDelay", "11"});
  entries.push_back({"Buffers", "99"});   // index 999: the last one examined
  entries.push_back({"Buffers", "100"});  // index 1000
  entries.push_back({"Unknown", "1"});
  const Walk walk = ReadRegistry(entries);
  EXPECT_EQ(Buffers, 99u);
  std::string expected;
  for (int i = 1; i < 999; ++i) expected += Confirmed("Test Delay", 11);
  EXPECT_EQ(walk.console, expected + Confirmed("NIC packet buffers", 99));
  EXPECT_EQ(walk.outstandingBlocks, 0u);
}

// A heap nearly exhausted before the walk leaves less than its 384-byte work
// area.
template <bool quiet>
uint32_t StarvedImage() {
  StartupResetImage();
  HwResetImage();
  if (!quiet) Quiet = 0;
  void* hog = host::malloc(4096 - 256);
  NicReadRegistry();
  host::free(hog);
  return 0;
}

TEST(Registry, WithoutAWorkAreaNoEntryIsRead) {
  for (bool quiet : {true, false}) {
    sim::MachineOptions options = ImageOptions(quiet ? &StarvedImage<true> : &StarvedImage<false>,
                                               {{"Quiet", "0"}, {"Buffers", "64"}});
    options.arena_bytes = 4096;
    sim::Machine machine(std::move(options));
    BootAndWait(machine);
    EXPECT_EQ(machine.Console(),
              quiet ? "" : "TORVELIN: Insufficient resources to read system registry.\n");
    EXPECT_EQ(Buffers, 32u);
    EXPECT_EQ(machine.arena().OutstandingBlocks(), 0u);
  }
}

bool AllZero(const void* block, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(block);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

// Both paths give zero-filled blocks (the arena is dirtied first, so that a
// missing fill shows), allocate nothing for size 0, and release what either
// path allocated; only the service path posts requests.
TEST(Memory, DirectAndServicePathsAllocateZeroFilledBlocksAndReleaseThem) {
  sim::Machine machine(ImageOptions(&MemoryServerImage));
  BootAndWait(machine);
  ASSERT_TRUE(WaitForMemoryService());
  EXPECT_FALSE(machine.EntryResult().has_value()) << "the service waits for requests";
  const size_t baseline = machine.arena().OutstandingBlocks();
  for (uint32_t service : {0u, 1u}) {
    SCOPED_TRACE(service ? "service path" : "direct path");
    __atomic_store_n(&MemoryServiceActive, service, __ATOMIC_RELEASE);
    MemoryRequestCode = 0;
    EXPECT_EQ(MacAllocateMemory(0), nullptr);
    EXPECT_EQ(MemoryRequestCode, 0u) << "size 0 posts nothing";
    std::vector<void*> blocks;
    for (uint32_t size : {1u, 7u, 384u, 1540u * 32u}) {
      void* dirty = host::malloc(size);
      std::memset(dirty, 0xA5, size);
      host::free(dirty);
      void* block = MacAllocateMemory(size);
      ASSERT_NE(block, nullptr);
      EXPECT_TRUE(AllZero(block, size)) << size;
      EXPECT_EQ(MemoryRequestCode, service) << "posted only on the service path";
      if (service) {
        EXPECT_EQ(MemoryRequestSize, size);
        EXPECT_EQ(MemoryRequestPointer, block);
      }
      blocks.push_back(block);
    }
    EXPECT_EQ(machine.arena().OutstandingBlocks(), baseline + blocks.size());
    // Released by the other path than the one that allocated them.
    __atomic_store_n(&MemoryServiceActive, 1 - service, __ATOMIC_RELEASE);
    for (void* block : blocks) {
      MacDeallocateMemory(block);
      if (!service) {
        EXPECT_EQ(MemoryRequestCode, 2u);
        EXPECT_EQ(MemoryRequestPointer, block);
      }
    }
    EXPECT_EQ(machine.arena().OutstandingBlocks(), baseline);
  }
  __atomic_store_n(&MemoryServiceActive, 0u, __ATOMIC_RELEASE);
  EXPECT_EQ(MacAllocateMemory(0xFFFFFFF0u), nullptr) << "more than the machine has";
  EXPECT_EQ(machine.Console(), "");
}

TEST(Memory, NullReleaseIsReportedUnlessQuietAndReleasesNothing) {
  for (bool quiet : {false, true}) {
    sim::Machine machine(
        ImageOptions(&RegistryOnlyImage, quiet ? Entries{} : Entries{{"Quiet", "0"}}));
    BootAndWait(machine);
    const size_t before = machine.arena().OutstandingBlocks();
    machine.ClearConsole();
    MacDeallocateMemory(nullptr);
    EXPECT_EQ(machine.Console(),
              quiet ? "" : "TORVELIN: NULL POINTER - MacDeallocateMemory (1).\n");
    EXPECT_EQ(machine.arena().OutstandingBlocks(), before);

    machine.ClearConsole();
    int object = 0;
    EXPECT_EQ(MacCheckPointer(&object, "Somewhere (2)"), 0u);
    EXPECT_EQ(MacCheckPointer(nullptr, "Somewhere (2)"), 1u);
    EXPECT_EQ(machine.Console(), quiet ? "" : "TORVELIN: NULL POINTER - Somewhere (2).\n");
  }
}

TEST(Memory, ServiceRequestsFromSeveralThreadsAreServedOneAtATime) {
  sim::Machine machine(ImageOptions(&MemoryServerImage));
  BootAndWait(machine);
  ASSERT_TRUE(WaitForMemoryService());
  const size_t baseline = machine.arena().OutstandingBlocks();
  __atomic_store_n(&MemoryServiceActive, 1u, __ATOMIC_RELEASE);

  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&machine, &failures, t] {
      sim::ClientProcess client(machine);
      client.Run([&] {
        for (int i = 0; i < 50; ++i) {
          const uint32_t size = 16 + 8 * ((t * 50 + i) % 40);
          auto* block = static_cast<uint8_t*>(MacAllocateMemory(size));
          if (block == nullptr || !AllZero(block, size)) ++failures;
          if (block != nullptr) {
            std::memset(block, t + 1, size);  // a block shared by two requests would show
            for (uint32_t b = 0; b < size; ++b) {
              if (block[b] != t + 1) ++failures;
            }
            MacDeallocateMemory(block);
          }
        }
        return 0u;
      });
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(machine.arena().OutstandingBlocks(), baseline);
  EXPECT_EQ(machine.RightsViolations(), 0u) << "service objects usable from every process";
}

// A kernel whose table refuses one of the service's three objects (mutex,
// request event, reply event): the service ends with 3 at once, having
// given back whatever it took before, and allocations go on directly.
TEST(Memory, ServiceRefusedAnObjectEndsWithThreeAndGivesBackTheOthers) {
  struct Case {
    const char* refused;
    sim::MachineOptions::KernelLimits limits;
  };
  const Case cases[] = {
      {"the mutex", {.mutexes = 0}},
      {"the request event", {.events = 0}},
      {"the reply event", {.events = 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refused);
    sim::MachineOptions options = ImageOptions(&MemoryServerImage);
    options.kernel_limits = c.limits;
    sim::Machine machine(std::move(options));
    BootAndWait(machine);
    ASSERT_TRUE(Eventually([&] { return machine.EntryResult().has_value(); }));
    EXPECT_EQ(machine.EntryResult(), 3u);
    EXPECT_EQ(machine.LiveMutexes(), 0u);
    EXPECT_EQ(machine.LiveEvents(), 0u);
    EXPECT_EQ(__atomic_load_n(&MemoryServiceActive, __ATOMIC_ACQUIRE), 0u);
    void* block = MacAllocateMemory(64);
    EXPECT_NE(block, nullptr) << "allocation goes direct";
    MacDeallocateMemory(block);
  }
}

TEST(Memory, CopyMovesExactlyCountBytesAtAnyAlignment) {
  std::vector<uint8_t> source(1600);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 7 + 3);
  for (uint32_t from = 0; from < 4; ++from) {
    for (uint32_t to = 0; to < 4; ++to) {
      for (uint32_t count : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 13u, 1536u}) {
        SCOPED_TRACE(testing::Message() << "from+" << from << " to+" << to << " count " << count);
        std::vector<uint8_t> destination(1600, 0xEE);
        MacCopyMemory(destination.data() + to, source.data() + from, count);
        std::vector<uint8_t> expected(1600, 0xEE);
        std::copy_n(source.begin() + from, count, expected.begin() + to);
        ASSERT_EQ(destination, expected);
      }
    }
  }
}

}  // namespace
