// The start-up sequence on a simulated PC: what it prints, how it waits for
// boot, what it publishes and how it ends.
#include "startup/startup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controller/controller.h"
#include "support/harness.h"
#include "support/startup_helpers.h"

namespace {

using testing_support::OptionsWithRegistry;
using testing_support::TestPc;

TEST(Startup, NoControllerEndsWithFourAndOnlyTheMessage) {
  sim::Machine machine(OptionsWithRegistry({{"WaitBoot", "0"}, {"Quiet", "0"}}));
  startup_support::BootAndWait(machine);
  EXPECT_EQ(machine.EntryResult(), 4u);
  // The banner precedes the registry read, so Quiet 0 never shows it.
  EXPECT_EQ(machine.Console(), "TORVELIN: No compatible controllers found system.\n");
  EXPECT_FALSE(machine.SignalRaised(10000));
  EXPECT_EQ(machine.LiveMutexes(), 1u) << "DriverMutex only: no memory service";
  EXPECT_EQ(machine.LiveEvents(), 0u);
  EXPECT_NE(DriverMutex, 0u);
  EXPECT_NE(DriverProcess, 0u);
  EXPECT_EQ(MemoryServiceMutex, 0u);
  EXPECT_EQ(machine.arena().OutstandingBlocks(), 0u) << "registry work area released";
}

TEST(Startup, WaitBootPollsTheBootQueryUntilItAnswersZero) {
  {
    SCOPED_TRACE("WaitBoot 1 (default)");
    sim::MachineOptions options = OptionsWithRegistry({{"Quiet", "0"}});
    options.boot_query_busy_calls = 200;
    sim::Machine machine(std::move(options));
    startup_support::BootAndWait(machine);
    EXPECT_EQ(machine.Console(),
              "TORVELIN: Waiting system boot...[BOOTED].\n"
              "TORVELIN: No compatible controllers found system.\n");
    // Every busy answer was used up by the driver's polling.
    EXPECT_EQ(KeQueryInterruptHistory(312), 0u);
  }
  {
    SCOPED_TRACE("WaitBoot 0");
    sim::MachineOptions options = OptionsWithRegistry({{"WaitBoot", "0"}, {"Quiet", "0"}});
    options.boot_query_busy_calls = 2;
    sim::Machine machine(std::move(options));
    startup_support::BootAndWait(machine);
    EXPECT_EQ(machine.Console(), "TORVELIN: No compatible controllers found system.\n");
    // The query was never asked: both busy answers are still there.
    EXPECT_NE(KeQueryInterruptHistory(312), 0u);
    EXPECT_NE(KeQueryInterruptHistory(312), 0u);
    EXPECT_EQ(KeQueryInterruptHistory(312), 0u);
  }
  {
    SCOPED_TRACE("Quiet: the boot texts are suppressed too");
    sim::MachineOptions options;
    options.boot_query_busy_calls = 5;
    sim::Machine machine(std::move(options));
    startup_support::BootAndWait(machine);
    EXPECT_EQ(machine.Console(), "");
    EXPECT_EQ(KeQueryInterruptHistory(312), 0u);
  }
}

TEST(Startup, ControllersArePublishedInBusThenDevFnOrderBeforeTheSignal) {
  // A registry address spares the bring-ups their EEPROM reads.
  TestPc pc(OptionsWithRegistry(
      {{"Buffers", "4"}, {"MacAddress", "02:00:5E:00:00:01"}, {"ConfigDelay", "10"}}));
  struct Place {
    uint8_t bus, device;
    uint16_t id;
    uint32_t ioBase;
  };
  // Added out of order on purpose.
  const Place places[] = {{1, 2, 0x1030, 0xD000}, {0, 9, 0x2449, 0xE040}, {0, 4, 0x1229, 0xE000}};
  for (size_t i = 0; i < std::size(places); ++i) {
    sim::I8255xConfig config = TestPc::DefaultConfig(static_cast<unsigned>(i));
    config.bus = places[i].bus;
    config.device = places[i].device;
    config.device_id = places[i].id;
    config.io_base = places[i].ioBase;
    pc.AddNic(config);
  }
  pc.Boot();
  ASSERT_TRUE(pc.machine->SignalRaised(10000));
  EXPECT_FALSE(pc.machine->EntryResult().has_value()) << "main thread serves memory";
  EXPECT_EQ(pc.machine->DeviceNames(),
            (std::vector<std::string>{"/DEV/MAC/TORVELIN/0", "/DEV/MAC/TORVELIN/1",
                                      "/DEV/MAC/TORVELIN/2"}));
  const auto adapters = startup_support::Adapters();
  ASSERT_EQ(adapters.size(), 3u);
  const Place* order[] = {&places[2], &places[1], &places[0]};
  const char* descriptions[] = {"Intel EtherExpressPro100", "Intel EtherExpressPro100 82562EM",
                                "Intel Corporation 82559 InBusiness 10/100"};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(std::string(adapters[i]->Name), testing_support::DeviceName(i));
    EXPECT_EQ(adapters[i]->Bus, order[i]->bus);
    EXPECT_EQ(adapters[i]->DevFn, order[i]->device * 8);
    EXPECT_EQ(adapters[i]->DeviceId, order[i]->id);
    EXPECT_EQ(adapters[i]->IoBase, order[i]->ioBase);
    EXPECT_STREQ(adapters[i]->Description, descriptions[i]);
  }
  EXPECT_EQ(Buffers, 4u) << "settings in force before discovery";
  EXPECT_TRUE(startup_support::WaitForMemoryService());
  EXPECT_EQ(pc.machine->Console(), "");
}

TEST(Startup, EndOfTheMemoryServiceEndsDriverEntryWithItsStatus) {
  TestPc pc(OptionsWithRegistry({{"MacAddress", "02:00:5E:00:00:01"},
                                 {"ConfigDelay", "10"},
                                 {"WaitBoot", "0"},
                                 {"Quiet", "0"}}));
  pc.AddNics(1);
  pc.Boot();
  ASSERT_TRUE(pc.machine->SignalRaised(10000));
  ASSERT_TRUE(startup_support::WaitForMemoryService());
  pc.machine->ClearConsole();

  __atomic_store_n(&MemoryServiceActive, 1u, __ATOMIC_RELEASE);
  KeAcquireMutex(MemoryServiceMutex);
  MemoryRequestCode = 3;
  KeSetEvent(MemoryRequestEvent);
  KeWaitEvent(MemoryReplyEvent);
  KeClearEvent(MemoryReplyEvent);
  KeReleaseMutex(MemoryServiceMutex);

  EXPECT_EQ(startup_support::WaitEntryResult(*pc.machine), 7u);
  EXPECT_EQ(pc.machine->Console(),
            "TORVELIN: Unknown memory server request (3).\n"
            "TORVELIN: Unable to allocate system resources.\n");
}

}  // namespace
