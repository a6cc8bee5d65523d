// Instance creation: the PCI enable, the record and queue it builds, instance
// numbers, every failure it can meet and what it gives back, and bring-up of
// a later controller while a client uses an earlier one.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/kernel/kernel.h"
#include "support/driver.h"

namespace {

using namespace tvtest;

TEST(Creation, EnablesTheControllerOnPciAndFillsTheRecord) {
  TestPc pc(Options({{"Buffers", "2"}}));
  sim::I8255xConfig config = QuickConfig(0);
  config.command = 0x0001;  // I/O only: no bus mastering yet
  config.latency_timer = 0x10;
  sim::I8255x& nic = pc.AddNic(config);
  pc.Boot();
  NicAdapter* a = AdapterAt(0);
  ASSERT_NE(a, nullptr);

  EXPECT_EQ(nic.pci().Command() & 0x0007, 0x0005) << "I/O and bus master, no memory space";
  EXPECT_EQ(nic.pci().ConfigRead(0x0D, 1), 32u);
  // (Name, place and identity: see the start-up tests.)
  EXPECT_EQ(a->VendorId, 0x8086);
  EXPECT_EQ(a->Irq, 11);
  EXPECT_EQ(NicLoadFlags(a), 0u);
  EXPECT_NE(a->HaObject, 0u);

  {
    InterruptsOff off;
    EXPECT_EQ(a->QueueEnd - a->QueueStart, 2);
    EXPECT_EQ(a->QueueWrite, a->QueueStart);
  }
  // Bus mastering works: a frame arrives by DMA.
  ASSERT_TRUE(InjectAndWaitQueued(pc, a, MakeFrame(StationOf(a), kPeer, 64, 1)));
  EXPECT_EQ(nic.bus_errors().size(), 0u);
}

TEST(Creation, AFailedCreationUsesUpItsNumberAndGivesEverythingBack) {
  TestPc pc(Options({{"Quiet", "0"}}));
  pc.AddNic(QuickConfig(0));
  sim::I8255xConfig broken = QuickConfig(1);
  broken.eeprom_image = std::vector<uint16_t>(16, 0);  // sum 0
  sim::I8255x& failed = pc.AddNic(broken);
  pc.AddNic(QuickConfig(2));
  pc.Boot();

  EXPECT_EQ(pc.machine->DeviceNames(), (std::vector<std::string>{DeviceName(0), DeviceName(2)}));
  EXPECT_EQ(Adapters().size(), 2u);
  EXPECT_STREQ(AdapterAt(1)->Name, "/DEV/MAC/TORVELIN/2");
  EXPECT_EQ(InstanceCounter, 3u);
  EXPECT_NE(pc.machine->Console().find("TORVELIN: Reading EEPROM address... Bad EEPROM checksum.\n"
                                       "TORVELIN: Intel EtherExpressPro100 (/DEV/MAC/TORVELIN/2)"),
            std::string::npos)
      << pc.machine->Console();
  EXPECT_EQ(pc.machine->kernel().LiveObjects(sim::ObjectType::Interrupt), 2u);

  // The failed controller stays reset and masked: nothing it hears is
  // written anywhere.
  failed.InjectFrame(MakeFrame(Station(1), kPeer, 64, 1));
  EXPECT_EQ(failed.counters().frames_received.load(), 0u);
  EXPECT_EQ(failed.bus_errors().size(), 0u);
  EXPECT_FALSE(failed.InterruptLineHigh());
}

TEST(Creation, FailureTable) {
  // A null place for the record.
  {
    TestPc pc(Options({{"MacAddress", "02:11:22:33:44:55"}}));
    pc.AddNic(QuickConfig(0));
    pc.Boot();
    const uint32_t counter = InstanceCounter;
    EXPECT_EQ(NicCreateAdapter(0x8086, 0x1229, "x", 0, 0, 0xE000, 11, nullptr), 2u);
    EXPECT_EQ(InstanceCounter, counter);
  }
  // No memory for the record: nothing happens, not even a number.
  {
    sim::MachineOptions options = Options({{"Quiet", "0"}});
    options.arena_bytes = 64 << 10;
    TestPc pc(std::move(options));
    pc.AddNic(QuickConfig(0));
    pc.Boot();
    EXPECT_EQ(pc.machine->EntryResult(), std::optional<uint32_t>(4));
    EXPECT_EQ(InstanceCounter, 0u);
    EXPECT_EQ(pc.machine->Console(), "TORVELIN: No compatible controllers found system.\n");
  }
  // No memory for the queue: the record goes back, the number is used.
  {
    sim::MachineOptions options = Options({{"Quiet", "0"}, {"Buffers", "256"}});
    options.arena_bytes = (sizeof(NicAdapter) + (128 << 10) + 0xFFFF) & ~size_t{0xFFFF};
    TestPc pc(std::move(options));
    pc.AddNic(QuickConfig(0));
    pc.Boot();
    EXPECT_EQ(pc.machine->EntryResult(), std::optional<uint32_t>(4));
    EXPECT_EQ(InstanceCounter, 1u);
    EXPECT_EQ(pc.machine->Console(),
              "TORVELIN: NIC packet buffers set to 256 in registry.\n"
              "TORVELIN: Intel EtherExpressPro100 (/DEV/MAC/TORVELIN/0) I/O=e000, IRQ=b.\n"
              "TORVELIN: No compatible controllers found system.\n");
    EXPECT_EQ(pc.machine->arena().OutstandingBlocks(), 0u);
    EXPECT_EQ(pc.machine->kernel().LiveObjects(sim::ObjectType::Interrupt), 0u);
    EXPECT_EQ(pc.nics[0]->counters().commands_executed.load(), 0u);
  }
}

TEST(Creation, DeviceCreationFailureStopsTheRunningControllerBeforeReleasingIt) {
  TestPc pc(Options({{"MacAddress", "02:11:22:33:44:55"}}));
  pc.AddNic(QuickConfig(0));
  // Not in the device table, so discovery leaves it to the test.
  sim::I8255xConfig spare = QuickConfig(1);
  spare.device_id = 0x1234;
  sim::I8255x& nic = pc.AddNic(spare);
  pc.Boot();
  ASSERT_EQ(Adapters().size(), 1u);
  const size_t blocks = pc.machine->arena().OutstandingBlocks();
  const size_t interrupts = pc.machine->kernel().LiveObjects(sim::ObjectType::Interrupt);

  // The name of adapter 0 again: the kernel refuses a second device by it.
  InstanceCounter = 0;
  NicAdapter* out = nullptr;
  EXPECT_EQ(NicCreateAdapter(0x8086, 0x1234, "spare", spare.device * 8, 0, spare.io_base, spare.irq,
                             &out),
            3u);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(InstanceCounter, 1u);
  EXPECT_GE(nic.counters().commands_executed.load(), 2u) << "it had been brought up";
  EXPECT_EQ(Adapters().size(), 1u);
  EXPECT_EQ(pc.machine->arena().OutstandingBlocks(), blocks);
  EXPECT_EQ(pc.machine->kernel().LiveObjects(sim::ObjectType::Interrupt), interrupts);

  // Stopped: receive unit idle, interrupts masked, nothing written by DMA.
  EXPECT_EQ(nic.ScbStatusValue() & 0x003C, 0);
  EXPECT_EQ(nic.PortRead(ScbInterruptControl, 1) & 0x01, 0x01u);
  const uint64_t received = nic.counters().frames_received.load();
  nic.InjectFrame(MakeFrame({0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, kPeer, 64, 1));
  EXPECT_EQ(nic.counters().frames_received.load(), received);
  EXPECT_FALSE(nic.InterruptLineHigh());
}

TEST(Creation, LaterBringUpRunsAlongsideAClientOfAnEarlierAdapter) {
  TestPc pc(Options());
  pc.AddNic(QuickConfig(0));
  sim::I8255xConfig slow = QuickConfig(1);
  slow.eeprom_words = 64;  // a longer bring-up
  pc.AddNic(slow);

  std::atomic<bool> stop{false};
  std::atomic<uint32_t> written{0};
  std::atomic<uint32_t> failures{0};
  std::thread client([&] {
    if (!Eventually([&] { return !pc.machine->DeviceNames().empty(); }, 30000)) return;
    sim::ClientProcess process(*pc.machine);
    uintptr_t open = 0;
    if (process.Open(DeviceName(0), &open) != 0) {
      failures.fetch_add(1);
      return;
    }
    const auto frame = MakeFrame(kPeer, Station(0), 128, 1);
    do {
      uint32_t transferred = 0;
      if (process.Write(open, frame.data(), 128, &transferred) == 0) {
        written.fetch_add(1);
      } else {
        failures.fetch_add(1);
      }
    } while (!stop.load() && !pc.machine->SignalRaised(10000) && written.load() < 2000);
    process.Close(open);
  });
  pc.Boot();
  stop = true;
  client.join();

  EXPECT_EQ(failures.load(), 0u);
  EXPECT_GT(written.load(), 0u);
  ASSERT_EQ(Adapters().size(), 2u);
  EXPECT_TRUE(pc.nics[1]->Configured());
  EXPECT_EQ(pc.nics[1]->IndividualAddress(), Station(1));
  EXPECT_EQ(pc.machine->Console(), "");
}

}  // namespace
