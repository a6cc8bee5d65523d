// Mutexes, events and interrupt exclusion.
#include "support/kernel.h"

namespace {

using namespace tvtest;

TEST(KernelMutex, ExcludesThreadsOfSeveralProcesses) {
  sim::Machine machine(SmallMachine());
  KHandle mutex = 0;
  ASSERT_EQ(KeAllocateMutex(&mutex), 0u);
  ASSERT_EQ(KeGrantHandleRights(mutex, KeRightsMutex, KeEveryProcess), 0u);
  constexpr int kThreads = 4, kRounds = 2000;
  uint64_t counter = 0;  // guarded by the kernel mutex only: TSan checks the exclusion
  std::atomic<int> inside{0}, overlaps{0};
  auto rounds = [&] {
    for (int round = 0; round < kRounds; ++round) {
      if (KeAcquireMutex(mutex) != 0) return 1u;
      if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
      ++counter;
      inside.fetch_sub(1);
      if (KeReleaseMutex(mutex) != 0) return 2u;
    }
    return 0u;
  };
  std::vector<std::unique_ptr<sim::ClientProcess>> clients;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    clients.push_back(std::make_unique<sim::ClientProcess>(machine));
    threads.emplace_back(
        [&, client = clients.back().get()] { EXPECT_EQ(client->Run(rounds), 0u); });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, uint64_t{kThreads} * kRounds);
  EXPECT_EQ(overlaps.load(), 0);

  // Recursive for its holder; only the holder releases.
  ASSERT_FALSE(KeAcquireMutex(mutex) || KeAcquireMutex(mutex));
  std::thread([&] {
    EXPECT_EQ(clients[0]->Run([&] { return KeReleaseMutex(mutex); }), 1u) << "not the holder";
  }).join();
  EXPECT_FALSE(KeReleaseMutex(mutex) || KeReleaseMutex(mutex));
  EXPECT_NE(KeReleaseMutex(mutex), 0u) << "released more often than acquired";

  EXPECT_EQ(machine.LiveMutexes(), 1u);
  EXPECT_EQ(KeDeallocateMutex(mutex), 0u);
  EXPECT_EQ(machine.LiveMutexes(), 0u);
  EXPECT_TRUE(KeAcquireMutex(mutex) && KeDeallocateMutex(mutex) && KeAcquireMutex(0))
      << "a dead handle stays dead, and 0 is none";
}

// A thread waiting on an event. It registers with interrupts disabled, so
// that the test knows when it is waiting (see WaitUntilWaiting).
struct Waiter {
  std::atomic<bool> ready{false}, returned{false};
  std::thread thread;
  Waiter(KHandle event, uint32_t expected) {
    thread = std::thread([this, event, expected] {
      KeDisableInterrupts();
      ready = true;
      EXPECT_EQ(KeWaitEvent(event), expected);
      returned = true;
      KeEnableInterrupts();
    });
    WaitUntilWaiting(ready);
  }
  ~Waiter() { thread.join(); }
};

TEST(KernelEvent, SetStaysSetPulseReleasesOnlyCurrentWaiters) {
  sim::Machine machine(SmallMachine());
  KHandle event = 0;
  ASSERT_EQ(KeAllocateEvent(&event), 0u);
  ASSERT_EQ(KeGrantHandleRights(event, KeRightsEvent, KeEveryProcess), 0u);
  // Set stays set through any number of waits until cleared.
  ASSERT_FALSE(KeSetEvent(event) || KeWaitEvent(event) || KeWaitEvent(event) ||
               KeClearEvent(event));
  {
    // One pulse releases every thread waiting at that moment.
    Waiter a1(event, 0), a2(event, 0);
    EXPECT_FALSE(a1.returned || a2.returned);
    ASSERT_EQ(KePulseEvent(event), 0u);
  }
  {
    // ... and leaves the event clear: a later waiter stays blocked until set.
    Waiter b(event, 0);
    ASSERT_EQ(KeClearEvent(event), 0u);
    EXPECT_FALSE(b.returned) << "the pulse left the event set";
    ASSERT_EQ(KeSetEvent(event), 0u);
  }
  ASSERT_FALSE(KeClearEvent(event) || KePulseEvent(event));
  Waiter c(event, 1);
  EXPECT_FALSE(c.returned) << "a pulse without waiters was remembered";
  // Deallocating an event releases its waiters with a failure.
  EXPECT_EQ(machine.LiveEvents(), 1u);
  ASSERT_EQ(KeDeallocateEvent(event), 0u);
  EXPECT_EQ(machine.LiveEvents(), 0u);
}

// The interrupt handler and a thread that checks shared state with
// interrupts disabled and then waits: the handler cannot run between the
// check and the wait, so its pulse is never lost.
struct NoLostWakeup {
  static inline KHandle event = 0;
  static inline bool frame_ready = false;  // guarded by interrupt exclusion only
  static inline std::atomic<bool> in_critical{false};
  static inline std::atomic<int> handler_in_critical{0};
  static inline std::atomic<uint64_t> handled{0};

  static void Handler(uintptr_t line) {
    if (in_critical) handler_in_critical.fetch_add(1);
    frame_ready = true;
    sim::Machine::Current()->irq().Lower(static_cast<unsigned>(line));
    handled.fetch_add(1);
    KePulseEvent(event);
  }
};

TEST(InterruptExclusion, WaitAfterCheckLosesNoPulseAndExclusionNests) {
  sim::Machine machine(SmallMachine());
  ASSERT_TRUE(Started(machine));
  constexpr unsigned kLine = 9;
  NoLostWakeup::frame_ready = false;
  NoLostWakeup::handled = NoLostWakeup::handler_in_critical = 0;
  ASSERT_EQ(KeAllocateEvent(&NoLostWakeup::event), 0u);
  KHandle interrupt = 0, mutex = 0;
  ASSERT_EQ(KeAllocateInterrupt(kLine, &NoLostWakeup::Handler, kLine, &interrupt), 0u);

  constexpr int kRounds = 200;
  std::atomic<int> waiting_round{-1};
  std::thread reader([&] {
    for (int round = 0; round < kRounds; ++round) {
      KeDisableInterrupts();
      NoLostWakeup::in_critical = true;
      if (!NoLostWakeup::frame_ready) {
        waiting_round = round;
        // Widen the window between the check and the wait: without
        // exclusion the handler would run here and its pulse would be lost.
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        NoLostWakeup::in_critical = false;
        while (!NoLostWakeup::frame_ready) KeWaitEvent(NoLostWakeup::event);
      }
      NoLostWakeup::in_critical = false;
      NoLostWakeup::frame_ready = false;
      KeEnableInterrupts();
    }
  });
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_TRUE(Eventually([&] { return waiting_round.load() == round; }));
    machine.irq().Raise(kLine);
  }
  reader.join();
  EXPECT_EQ(NoLostWakeup::handled.load(), uint64_t{kRounds});
  EXPECT_EQ(NoLostWakeup::handler_in_critical.load(), 0);

  // Exclusion nests, and keeps out only the dispatcher: a kernel mutex still
  // works meanwhile.
  KeDisableInterrupts();
  KeDisableInterrupts();
  machine.irq().Raise(kLine);
  KeEnableInterrupts();  // still disabled: one level left
  ASSERT_EQ(KeAllocateMutex(&mutex), 0u);
  ASSERT_FALSE(KeAcquireMutex(mutex) || KeReleaseMutex(mutex));
  EXPECT_EQ(NoLostWakeup::handled.load(), uint64_t{kRounds});
  KeEnableInterrupts();
  EXPECT_TRUE(Eventually([&] { return NoLostWakeup::handled == kRounds + 1; }));
  KeEnableInterrupts();  // unbalanced: ignored
  WithInterruptsOff([] {});

  // A call that returns with interrupts disabled leaves them so, as a real
  // kernel would: the line waits until the thread enables them.
  sim::ClientProcess client(machine);
  EXPECT_EQ(client.Run([] {
    KeDisableInterrupts();
    return 0u;
  }),
            0u);
  EXPECT_EQ(machine.Misuses(),
            std::vector<std::string>{"a call into the driver returned with interrupts disabled"});
  machine.irq().Raise(kLine);
  EXPECT_EQ(NoLostWakeup::handled.load(), uint64_t{kRounds + 1});
  KeEnableInterrupts();
  EXPECT_TRUE(Eventually([&] { return NoLostWakeup::handled == kRounds + 2; }));
  ASSERT_EQ(KeDeallocateInterrupt(interrupt), 0u);
}

// Machine time stands still only when no thread runs driver code, and the
// 8255x model takes a waiting command by host time only then: the parked
// start-up thread, the idle dispatcher and a client asleep in KeWaitEvent do
// not count; a client inside a call does, even off the CPU.
TEST(KernelThreads, RunningMeansInsideTheMachineAndNotAsleep) {
  sim::Machine machine(SmallMachine());
  ASSERT_TRUE(Started(machine));
  const sim::Kernel& kernel = machine.kernel();
  ASSERT_TRUE(Eventually([&] { return !kernel.ThreadsRunning(); }));
  sim::ClientProcess client(machine);
  KHandle event = 0;
  ASSERT_EQ(client.Run([&] { return KeAllocateEvent(&event); }), 0u);
  std::atomic<bool> inside{false}, leave{false};
  std::thread busy([&] {
    client.Run([&] {
      inside = true;
      while (!leave) std::this_thread::yield();
      return KeWaitEvent(event);
    });
  });
  ASSERT_TRUE(Eventually([&] { return inside.load(); }));
  EXPECT_TRUE(kernel.ThreadsRunning());
  leave = true;
  EXPECT_TRUE(Eventually([&] { return client.ThreadBlocked() && !kernel.ThreadsRunning(); }));
  ASSERT_EQ(client.Run([&] { return KeSetEvent(event); }), 0u);
  EXPECT_FALSE(client.ThreadBlocked()) << "released by the set, whether it has run yet or not";
  busy.join();
  EXPECT_FALSE(kernel.ThreadsRunning());
}

}  // namespace
