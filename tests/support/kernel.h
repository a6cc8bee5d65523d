// Helpers of the kernel's own tests: thread counts and small driver images
// that park or wait, on a small machine. The one header those tests include.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <tuple>

#include "host/host.h"
#include "platform/kernel/kernel.h"
#include "platform/machine.h"
#include "support/pc.h"

namespace tvtest {

inline size_t ThreadCount() {
  size_t count = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ++count;
  return count;
}

// Threads running something: host threads that machines have finished with
// and that wait in the pool for the next machine are not counted. A thread
// that finds the pool full ends a moment after its join returns, so callers
// wait for the count.
inline size_t BusyThreadCount() { return ThreadCount() - sim::HostThread::Parked(); }

// A small driver image: announces start-up and then parks its main thread
// forever, as the memory service does.
inline uint32_t ParkedImage() {
  KHandle event = 0;
  if (KeAllocateEvent(&event) != 0) return 3;
  KeSignalInterrupt(10000);
  for (;;) KeWaitEvent(event);
}

inline sim::MachineOptions SmallMachine(uint32_t (*image)() = &ParkedImage) {
  sim::MachineOptions options;
  options.arena_bytes = 1u << 20;
  options.image = image;
  return options;
}

// Boots and waits for start-up to finish.
inline bool Started(sim::Machine& machine) {
  machine.Boot();
  return machine.WaitStarted();
}

// Returns once `thread_ready` is set and the thread that set it has given up
// interrupt exclusion, which a thread that set the flag with interrupts
// disabled only does inside KeWaitEvent: it is then registered as a waiter.
inline void WaitUntilWaiting(const std::atomic<bool>& thread_ready) {
  ASSERT_TRUE(Eventually([&] { return thread_ready.load(); }));
  KeDisableInterrupts();
  KeEnableInterrupts();
}

}  // namespace tvtest
