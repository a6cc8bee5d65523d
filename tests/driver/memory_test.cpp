// The memory service: direct and serviced allocation, release, the null guard,
// and the block copy. (An unknown request ends the service: see the start-up
// tests.)
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "startup/startup.h"
#include "support/driver.h"
#include "support/pc.h"

namespace {

using namespace tvtest;

sim::MachineOptions ImageOptions(uint32_t (*image)(), bool quiet) {
  sim::MachineOptions options = quiet ? sim::MachineOptions{} : PlainOptions({{"Quiet", "0"}});
  options.image = image;
  return options;
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
  sim::Machine machine(ImageOptions(&MemoryServerImage, true));
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
    sim::Machine machine(ImageOptions(&RegistryOnlyImage, quiet));
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
  sim::Machine machine(ImageOptions(&MemoryServerImage, true));
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
