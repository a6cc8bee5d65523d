// Ending the driver process: wherever its threads are, and many times over.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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
  return ThreadCount();
}

TEST(MachineStop, EndsTheMainThreadWhereverItIs) {
  const size_t threads_before = ThreadsBefore();
  for (auto image : {&ParkedImage, &SpinningImage, &MutexParkedImage}) {
    sim::Machine machine(SmallMachine(image));
    machine.Boot();
    ASSERT_TRUE(machine.WaitStarted());
    EXPECT_FALSE(machine.stopped());
    machine.Stop();
    EXPECT_TRUE(machine.stopped());
    EXPECT_FALSE(machine.EntryResult().has_value()) << "the entry never returned";
    EXPECT_EQ(ThreadCount(), threads_before);
    machine.Stop();  // idempotent
    // The harness's own thread is never unwound: its calls fail instead.
    KHandle mutex = 0;
    EXPECT_NE(KeAllocateMutex(&mutex), 0u);
    outportb(0x61, 0x00);  // the ports stay reachable for the harness
  }
}

struct Blocking {
  static inline KHandle event = 0;
  static inline std::atomic<bool> entered{false};
  static uint32_t Entry(uint32_t function, void*, void* instance, uintptr_t, uintptr_t, uintptr_t) {
    if (function == 2) {
      *static_cast<void**>(instance) = &event;
      return 0;
    }
    // A read that finds nothing: waits for a frame that never comes.
    KeDisableInterrupts();
    entered = true;
    for (;;) KeWaitEvent(event);
  }
};

TEST(MachineStop, UnwindsClientsBlockedInADeviceFunction) {
  Blocking::entered = false;
  sim::Machine machine(SmallMachine());
  machine.Boot();
  ASSERT_TRUE(machine.WaitStarted());
  ASSERT_EQ(KeAllocateEvent(&Blocking::event), 0u);
  ASSERT_EQ(KeGrantHandleRights(Blocking::event, KeRightsEvent, KeEveryProcess), 0u);
  KHandle device = 0;
  ASSERT_EQ(KeCreateDevice("/DEV/TEST/0", nullptr, &Blocking::Entry, 0, &device), 0u);

  sim::ClientProcess client(machine);
  uintptr_t open = 0;
  ASSERT_EQ(client.Open("/DEV/TEST/0", &open), 0u);
  uint32_t result = 0;
  std::thread reader([&] {
    char buffer[64];
    uint32_t length = 0;
    result = client.Read(open, buffer, sizeof buffer, &length);
  });
  WaitUntilWaiting(Blocking::entered);
  machine.Stop();
  reader.join();
  EXPECT_EQ(result, sim::ClientProcess::kStopped);
  EXPECT_EQ(client.Open("/DEV/TEST/0", &open), sim::ClientProcess::kStopped);
  EXPECT_EQ(client.Run([] { return 0u; }), sim::ClientProcess::kStopped);
  // The unwound client left interrupt exclusion behind it: the harness gets
  // it back (it fails softly on a stopped machine, but does not hang).
  KeDisableInterrupts();
  KeEnableInterrupts();
}

struct StuckHandler {
  static inline std::atomic<bool> entered{false};
  static void Handler(uintptr_t) {
    // A handler that blocks forever on an event nobody sets.
    KHandle event = 0;
    KeAllocateEvent(&event);
    entered = true;
    KeWaitEvent(event);
  }
};

TEST(MachineStop, EndsTheInterruptThreadAndAvailabilityDeliveries) {
  StuckHandler::entered = false;
  sim::Machine machine(SmallMachine());
  machine.Boot();
  ASSERT_TRUE(machine.WaitStarted());
  KHandle interrupt = 0;
  ASSERT_EQ(KeAllocateInterrupt(3, &StuckHandler::Handler, 3, &interrupt), 0u);
  machine.irq().Raise(3);
  ASSERT_TRUE(Eventually([] { return StuckHandler::entered.load(); }));

  // An availability handler blocked inside the driver.
  KHandle object = 0;
  ASSERT_EQ(KeAllocateHaObject("/DEV/TEST/0", nullptr, &object), 0u);
  static std::atomic<bool> ha_entered{false};
  ha_entered = false;
  KHandle handler = 0;
  auto blocked = [](uint32_t, uint32_t, void*) {
    KHandle mutex = 0;
    KeAllocateMutex(&mutex);
    KeDisableInterrupts();  // held by the stuck handler: blocks
    ha_entered = true;
    KeAcquireMutex(mutex);
  };
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
  static std::atomic<uint64_t> ticks{0};
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
    machine.Boot();
    ASSERT_TRUE(machine.WaitStarted());
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
  EXPECT_EQ(ThreadCount(), threads_before);
}

}  // namespace
