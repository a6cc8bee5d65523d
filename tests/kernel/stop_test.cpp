// Ending the driver process: wherever its threads are, and many times over.
#include "support/kernel.h"

namespace {

using namespace tvtest;

// The main thread busy-waits on the timer forever, as a timeout loop that
// never ends would.
uint32_t SpinningImage() {
  KeSignalInterrupt(10000);
  for (;;) {
    outportb(0x43, 0x00);
    (void)inportb(0x40);
    (void)inportb(0x40);
  }
}

// The main thread parks with interrupts disabled inside a kernel mutex.
uint32_t MutexParkedImage() {
  KHandle mutex = 0, event = 0;
  KeAllocateMutex(&mutex);
  KeAllocateEvent(&event);
  KeAcquireMutex(mutex);
  KeDisableInterrupts();
  KeSignalInterrupt(10000);
  for (;;) KeWaitEvent(event);
}

// Threads of the process before a test makes machines. ThreadSanitizer
// starts a thread of its own with the first thread the process makes; that
// happens here, before counting.
size_t ThreadsBefore() {
  std::thread([] {}).join();
  return BusyThreadCount();
}

TEST(MachineStop, EndsTheMainThreadWhereverItIs) {
  const size_t threads_before = ThreadsBefore();
  for (auto image : {&ParkedImage, &SpinningImage, &MutexParkedImage}) {
    sim::Machine machine(SmallMachine(image));
    ASSERT_TRUE(Started(machine) && !machine.stopped());
    machine.Stop();
    machine.Stop();  // idempotent
    EXPECT_TRUE(machine.stopped() && !machine.EntryResult().has_value());
    EXPECT_TRUE(Eventually([&] { return BusyThreadCount() == threads_before; }));
    // The harness's own thread is never unwound: its calls fail instead, and
    // the ports stay reachable for it.
    KHandle mutex = 0;
    EXPECT_NE(KeAllocateMutex(&mutex), 0u);
    outportb(0x61, 0x00);
  }
}

// A device whose reads wait for a frame that never comes.
KHandle blocking_event = 0;
std::atomic<bool> read_entered{false};
uint32_t BlockingEntry(uint32_t function, void*, void* instance, uintptr_t, uintptr_t, uintptr_t) {
  if (function == 2) {
    *static_cast<void**>(instance) = &blocking_event;
    return 0;
  }
  KeDisableInterrupts();
  read_entered = true;
  for (;;) KeWaitEvent(blocking_event);
}

TEST(MachineStop, UnwindsClientsBlockedInADeviceFunction) {
  read_entered = false;
  sim::Machine machine(SmallMachine());
  ASSERT_TRUE(Started(machine));
  ASSERT_EQ(KeAllocateEvent(&blocking_event), 0u);
  ASSERT_EQ(KeGrantHandleRights(blocking_event, KeRightsEvent, KeEveryProcess), 0u);
  KHandle device = 0;
  ASSERT_EQ(KeCreateDevice("/DEV/TEST/0", nullptr, &BlockingEntry, 0, &device), 0u);

  sim::ClientProcess client(machine);
  uintptr_t open = 0;
  ASSERT_EQ(client.Open("/DEV/TEST/0", &open), 0u);
  uint32_t result = 0;
  std::thread reader([&] {
    char buffer[64];
    uint32_t length = 0;
    result = client.Read(open, buffer, sizeof buffer, &length);
  });
  WaitUntilWaiting(read_entered);
  machine.Stop();
  reader.join();
  EXPECT_EQ(result, sim::ClientProcess::kStopped);
  EXPECT_EQ(client.Open("/DEV/TEST/0", &open), sim::ClientProcess::kStopped);
  EXPECT_EQ(client.Run([] { return 0u; }), sim::ClientProcess::kStopped);
  // The unwound client left interrupt exclusion behind it: the harness gets
  // it back (it fails softly on a stopped machine, but does not hang).
  WithInterruptsOff([] {});
}

TEST(MachineStop, EndsTheInterruptThreadAndAvailabilityDeliveries) {
  sim::Machine machine(SmallMachine());
  ASSERT_TRUE(Started(machine));
  // A handler that blocks forever on an event nobody sets, then an
  // availability handler blocked inside the driver behind it.
  static std::atomic<bool> handler_entered, ha_entered;
  handler_entered = ha_entered = false;
  auto stuck = [](uintptr_t) {
    KHandle event = 0;
    KeAllocateEvent(&event);
    handler_entered = true;
    KeWaitEvent(event);
  };
  auto blocked = [](uint32_t, uint32_t, void*) {
    KeDisableInterrupts();  // held by the stuck handler: blocks
    ha_entered = true;
  };
  KHandle interrupt = 0, object = 0, handler = 0;
  ASSERT_EQ(KeAllocateInterrupt(3, stuck, 3, &interrupt), 0u);
  machine.irq().Raise(3);
  ASSERT_TRUE(Eventually([] { return handler_entered.load(); }));
  ASSERT_EQ(KeAllocateHaObject("/DEV/TEST/0", nullptr, &object), 0u);
  ASSERT_EQ(KeAllocateExceptionHandler(101, 0, blocked, &handler), 0u);
  // Whether the delivery gets in before the stop or is refused, it ends.
  std::thread delivery([&] { (void)machine.DeliverHaEvent("/DEV/TEST/0", 101); });
  machine.Stop();
  delivery.join();
  EXPECT_FALSE(ha_entered.load());
  machine.irq().Lower(3);
}

TEST(MachineStop, ThousandBootsLeaveNoThreadAndNoLeak) {
  const size_t threads_before = ThreadsBefore();
  static std::atomic<uint64_t> ticks;
  ticks = 0;
  for (int cycle = 0; cycle < 1000; ++cycle) {
    sim::Machine machine(SmallMachine([]() -> uint32_t {
      // A small driver: objects, memory, an interrupt, a device, then parks.
      KHandle mutex = 0, event = 0, interrupt = 0, device = 0;
      KeAllocateMutex(&mutex);
      KeGrantHandleRights(mutex, KeRightsMutex, KeEveryProcess);
      KeAllocateEvent(&event);
      void* block = host::malloc(256);
      host::memset(block, 0, 256);
      KeAllocateInterrupt(
          10, [](uintptr_t) { ticks.fetch_add(1); }, 10, &interrupt);
      auto entry = [](uint32_t, void*, void*, uintptr_t, uintptr_t, uintptr_t) { return 0u; };
      KeCreateDevice("/DEV/TEST/0", block, entry, 0, &device);
      host::printf("booted\n");
      KeSignalInterrupt(10000);
      for (;;) KeWaitEvent(event);
    }));
    machine.SetLinePolled(10);
    ASSERT_TRUE(Started(machine));
    ASSERT_EQ(machine.Console(), "booted\n");
    if (cycle % 100 == 0) {
      sim::ClientProcess client(machine);
      uintptr_t open = 0;
      EXPECT_EQ(client.CallDevice("/DEV/TEST/0", 0, 4, 0, 0, 0), 0u);
      EXPECT_EQ(client.Open("/DEV/TEST/0", &open), 0u);
      ASSERT_TRUE(machine.PollNow());
    }
  }
  EXPECT_GE(ticks.load(), 10u);
  EXPECT_TRUE(Eventually([&] { return BusyThreadCount() == threads_before; }));
}

}  // namespace
