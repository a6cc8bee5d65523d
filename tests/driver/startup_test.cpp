// The start-up sequence on a simulated PC: what it prints, how it waits for
// boot, what it publishes and how it ends.
#include "startup/startup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controller/controller.h"
#include "support/driver.h"
#include "support/pc.h"

namespace {

using namespace tvtest;

constexpr char kNoController[] = "TORVELIN: No compatible controllers found system.\n";

TEST(Startup, NoControllerEndsWithFourAndOnlyTheMessage) {
  sim::Machine machine(PlainOptions({{"WaitBoot", "0"}, {"Quiet", "0"}}));
  BootAndWait(machine);
  EXPECT_EQ(machine.EntryResult(), 4u);
  // The banner precedes the registry read, so Quiet 0 never shows it.
  EXPECT_EQ(machine.Console(), kNoController);
  EXPECT_FALSE(machine.SignalRaised(10000));
  EXPECT_EQ(machine.LiveMutexes(), 1u) << "DriverMutex only: no memory service";
  EXPECT_EQ(machine.LiveEvents(), 0u);
  EXPECT_NE(DriverProcess, 0u);
  EXPECT_EQ(machine.arena().OutstandingBlocks(), 0u) << "registry work area released";
}

TEST(Startup, WaitBootPollsTheBootQueryUntilItAnswersZero) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> entries;
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
    EXPECT_EQ(machine.Console(), c.console);
    for (uint32_t i = 0; i < c.busyLeft; ++i) EXPECT_NE(KeQueryInterruptHistory(312), 0u);
    EXPECT_EQ(KeQueryInterruptHistory(312), 0u);
  }
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

    EXPECT_EQ(WaitEntryResult(*pc.machine), 7u);
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

}  // namespace
