// The memory service: direct and serviced allocation, release, the null guard,
// the service's end on an unknown request, and the block copy.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "startup/startup.h"
#include "support/harness.h"
#include "support/startup_helpers.h"

namespace {

using startup_support::BootAndWait;

sim::MachineOptions ImageOptions(uint32_t (*image)(), bool quiet) {
  sim::MachineOptions options =
      quiet ? sim::MachineOptions{} : testing_support::OptionsWithRegistry({{"Quiet", "0"}});
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

// Posts one request the way a requester does, with a code of the caller's
// choice.
void PostRaw(uint32_t code) {
  KeAcquireMutex(MemoryServiceMutex);
  MemoryRequestCode = code;
  KeSetEvent(MemoryRequestEvent);
  KeWaitEvent(MemoryReplyEvent);
  KeClearEvent(MemoryReplyEvent);
  KeReleaseMutex(MemoryServiceMutex);
}

TEST(Memory, DirectBlocksAreZeroFilledAndSizeZeroAllocatesNothing) {
  sim::Machine machine(ImageOptions(&startup_support::IdleImage, true));
  BootAndWait(machine);
  sim::Arena& arena = machine.arena();
  const size_t before = arena.OutstandingBlocks();

  EXPECT_EQ(MacAllocateMemory(0), nullptr);
  EXPECT_EQ(arena.OutstandingBlocks(), before);

  // Dirty the arena first, so that a missing fill shows.
  for (uint32_t size : {1u, 3u, 64u, 1540u * 32u}) {
    void* dirty = host::malloc(size);
    ASSERT_NE(dirty, nullptr);
    std::memset(dirty, 0xA5, size);
    host::free(dirty);
    void* block = MacAllocateMemory(size);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(AllZero(block, size)) << size;
    MacDeallocateMemory(block);
  }
  EXPECT_EQ(arena.OutstandingBlocks(), before);
  EXPECT_EQ(MacAllocateMemory(0xFFFFFFF0u), nullptr) << "more than the machine has";
  EXPECT_EQ(MemoryRequestCode, 0u) << "the direct path posts nothing";
}

TEST(Memory, NullReleaseIsReportedUnlessQuietAndReleasesNothing) {
  for (bool quiet : {false, true}) {
    sim::Machine machine(ImageOptions(&startup_support::RegistryOnlyImage, quiet));
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

TEST(Memory, ServicePathAllocatesAndReleasesOnTheServiceThread) {
  sim::Machine machine(ImageOptions(&startup_support::MemoryServerImage, true));
  BootAndWait(machine);
  ASSERT_TRUE(startup_support::WaitForMemoryService());
  EXPECT_FALSE(machine.EntryResult().has_value()) << "the service waits for requests";
  const size_t baseline = machine.arena().OutstandingBlocks();

  __atomic_store_n(&MemoryServiceActive, 1u, __ATOMIC_RELEASE);
  std::vector<void*> blocks;
  for (uint32_t size : {1u, 7u, 384u, 4096u}) {
    void* dirty = host::malloc(size);
    std::memset(dirty, 0x5A, size);
    host::free(dirty);
    void* block = MacAllocateMemory(size);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(MemoryRequestCode, 1u) << "request went through the service";
    EXPECT_EQ(MemoryRequestSize, size);
    EXPECT_EQ(MemoryRequestPointer, block);
    EXPECT_TRUE(AllZero(block, size));
    blocks.push_back(block);
  }
  EXPECT_EQ(machine.arena().OutstandingBlocks(), baseline + blocks.size());
  EXPECT_EQ(MacAllocateMemory(0), nullptr);
  EXPECT_EQ(MemoryRequestSize, 4096u) << "size 0 posts nothing";

  for (void* block : blocks) {
    MacDeallocateMemory(block);
    EXPECT_EQ(MemoryRequestCode, 2u);
    EXPECT_EQ(MemoryRequestPointer, block);
  }
  EXPECT_EQ(machine.arena().OutstandingBlocks(), baseline);

  // A block from one path is released by the other.
  __atomic_store_n(&MemoryServiceActive, 0u, __ATOMIC_RELEASE);
  void* direct = MacAllocateMemory(32);
  __atomic_store_n(&MemoryServiceActive, 1u, __ATOMIC_RELEASE);
  MacDeallocateMemory(direct);
  EXPECT_EQ(MemoryRequestPointer, direct);
  EXPECT_EQ(machine.arena().OutstandingBlocks(), baseline);
  EXPECT_EQ(machine.Console(), "");
}

TEST(Memory, ServiceRequestsFromSeveralThreadsAreServedOneAtATime) {
  sim::Machine machine(ImageOptions(&startup_support::MemoryServerImage, true));
  BootAndWait(machine);
  ASSERT_TRUE(startup_support::WaitForMemoryService());
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

TEST(Memory, UnknownRequestEndsTheServiceWithSevenEvenWhenQuiet) {
  for (bool quiet : {true, false}) {
    SCOPED_TRACE(quiet ? "Quiet 1" : "Quiet 0");
    sim::Machine machine(ImageOptions(&startup_support::MemoryServerImage, quiet));
    BootAndWait(machine);
    ASSERT_TRUE(startup_support::WaitForMemoryService());
    __atomic_store_n(&MemoryServiceActive, 1u, __ATOMIC_RELEASE);

    PostRaw(3);  // returns only once the service has answered
    EXPECT_EQ(__atomic_load_n(&MemoryServiceActive, __ATOMIC_ACQUIRE), 0u);
    EXPECT_EQ(startup_support::WaitEntryResult(machine), 7u);
    EXPECT_EQ(machine.Console(), "TORVELIN: Unknown memory server request (3).\n");
    EXPECT_EQ(machine.LiveMutexes(), 1u) << "the service keeps its objects";
    EXPECT_EQ(machine.LiveEvents(), 2u);

    // Later calls go direct.
    void* block = MacAllocateMemory(100);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(MemoryRequestCode, 3u);
    MacDeallocateMemory(block);
  }
}

TEST(Memory, CopyMovesExactlyCountBytesAtAnyAlignment) {
  std::vector<uint8_t> source(64);
  std::iota(source.begin(), source.end(), uint8_t{1});
  for (uint32_t sourceOffset = 0; sourceOffset < 4; ++sourceOffset) {
    for (uint32_t destinationOffset = 0; destinationOffset < 4; ++destinationOffset) {
      for (uint32_t count = 0; count <= 20; ++count) {
        std::vector<uint8_t> destination(64, 0xEE);
        MacCopyMemory(destination.data() + destinationOffset, source.data() + sourceOffset, count);
        for (uint32_t i = 0; i < destination.size(); ++i) {
          const bool inside = i >= destinationOffset && i < destinationOffset + count;
          const uint8_t expected =
              inside ? source[sourceOffset + i - destinationOffset] : uint8_t{0xEE};
          ASSERT_EQ(destination[i], expected)
              << "src+" << sourceOffset << " dst+" << destinationOffset << " count " << count
              << " byte " << i;
        }
      }
    }
  }
  // A full-size frame.
  std::vector<uint8_t> frame(1536), copy(1536 + 3, 0);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7 + 3);
  MacCopyMemory(copy.data() + 3, frame.data(), 1536);
  EXPECT_TRUE(std::equal(frame.begin(), frame.end(), copy.begin() + 3));
}

}  // namespace
