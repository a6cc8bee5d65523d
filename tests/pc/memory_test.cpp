// Memory below 4 GiB, its allocator, and the checked DMA path into it.
#include "platform/pc/memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using namespace sim;

TEST(Arena, BlocksAreAlignedFirstFitAndMergeBackWhenFreed) {
  Arena arena(64 * 1024);
  // Blocks handed out, bytes asked for in them, free blocks.
  auto books = [&] {
    return std::vector{arena.OutstandingBlocks(), arena.OutstandingBytes(), arena.FreeBlocks()};
  };
  void* blocks[5];
  for (size_t i = 0; i < 5; ++i) {
    blocks[i] = arena.Allocate(i * 7 + 1);
    const uint32_t address = Arena::ToAddress(blocks[i]);
    EXPECT_TRUE(blocks[i] != nullptr && address % 16 == 0 &&
                arena.ToPointer(address) == blocks[i] &&
                reinterpret_cast<uintptr_t>(blocks[i]) == address)
        << blocks[i];
  }
  EXPECT_EQ(books(), (std::vector<size_t>{5, 1 + 8 + 15 + 22 + 29, 1}));

  const uint32_t start = Arena::ToAddress(arena.base());
  const auto size = static_cast<uint32_t>(arena.size());
  EXPECT_TRUE(arena.Contains(start, size) && arena.Contains(start + size, 0));
  EXPECT_FALSE(arena.Contains(start, size + 1) || arena.Contains(start - 1, 2));
  EXPECT_EQ(nullptr, arena.ToPointer(start + size));

  // Freed out of order, the free list merges back into one block.
  for (size_t i : {1, 3, 0, 4, 2}) arena.Free(blocks[i]);
  arena.Free(nullptr);
  EXPECT_EQ(books(), (std::vector<size_t>{0, 0, 1}));

  // First fit: a freed hole goes to the first request that fits in it.
  void *a = arena.Allocate(1000), *b = arena.Allocate(1000), *c = arena.Allocate(1000);
  EXPECT_NE(arena.Allocate(0), arena.Allocate(0));
  arena.Free(b);
  EXPECT_EQ(b, arena.Allocate(992));  // the first hole that fits
  EXPECT_EQ(nullptr, arena.Allocate(64 * 1024));
  EXPECT_EQ(nullptr, arena.Allocate(~size_t{0}));

  std::vector<void*> all;
  while (void* p = arena.Allocate(4000)) all.push_back(p);
  EXPECT_GE(all.size(), 14u);
  arena.Free(all.back());
  EXPECT_NE(nullptr, arena.Allocate(4000));  // space comes back

  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the sanitizers run threads of their own
  EXPECT_DEATH(arena.Free(static_cast<char*>(a) + 16), "not allocated");
  int outside = 0;
  EXPECT_DEATH(arena.Free(&outside), "not allocated");
  arena.Free(c);
  EXPECT_DEATH(arena.Free(c), "already freed");
}

TEST(Arena, ManyArenasAreDisjointAndBelow4GiB) {
  // More than the 1 GiB that MAP_32BIT offers: later arenas come from the
  // fixed-address fallback, and must still be disjoint and below 4 GiB.
  std::vector<std::unique_ptr<Arena>> arenas;
  for (int i = 0; i < 20; ++i) arenas.push_back(std::make_unique<Arena>(64u << 20));
  std::sort(arenas.begin(), arenas.end(),
            [](const auto& a, const auto& b) { return a->base() < b->base(); });
  auto end = [&](size_t i) { return arenas[i]->base() + arenas[i]->size(); };
  for (size_t i = 0; i < arenas.size(); ++i) {
    EXPECT_TRUE(uint64_t{reinterpret_cast<uintptr_t>(end(i))} <= uint64_t{1} << 32 &&
                (i == 0 || arenas[i]->base() >= end(i - 1)))
        << i;
  }
  void* p = arenas.back()->Allocate(100);
  ASSERT_NE(nullptr, p);
  std::memset(p, 0x5A, 100);  // the memory is really there
  arenas.back().reset();      // the next arena may get it: it still reads zero
  Arena next(64u << 20);
  const auto* q = static_cast<const uint8_t*>(next.Allocate(100));
  EXPECT_TRUE(q != nullptr && std::all_of(q, q + 100, [](uint8_t b) { return b == 0; }));
}

TEST(Arena, ConcurrentAllocationKeepsTheBooks) {
  Arena arena(4u << 20);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&arena, t] {
      std::vector<void*> mine;
      for (int i = 0; i < 2000; ++i) {
        void* p = arena.Allocate(static_cast<size_t>(16 + (i * 37 + t) % 700));
        ASSERT_NE(nullptr, p);
        std::memset(p, t, 16);  // blocks never overlap: ASan/TSan would see it
        mine.push_back(p);
        if (i % 3 == 2) {
          arena.Free(mine[mine.size() / 2]);
          mine.erase(mine.begin() + static_cast<long>(mine.size() / 2));
        }
      }
      for (void* p : mine) arena.Free(p);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_TRUE(arena.OutstandingBlocks() == 0 && arena.FreeBlocks() == 1);
}

TEST(Dma, RefusedAccessesAreRecordedAndNotPerformed) {
  Arena arena(64 * 1024);
  std::atomic<bool> bus_master{false};
  Dma dma(arena, bus_master);
  auto* block = static_cast<uint8_t*>(arena.Allocate(64));
  std::memset(block, 0x11, 64);
  const uint32_t address = Arena::ToAddress(block), start = Arena::ToAddress(arena.base());
  const uint32_t end = start + static_cast<uint32_t>(arena.size());
  uint8_t buffer[8];
  bool ok = true;

  // Bus mastering off: nothing moves, reads give all ones.
  EXPECT_FALSE(dma.Store32(address, 0xDEADBEEF) || block[0] != 0x11);
  EXPECT_EQ(0xFFFFu, dma.Load16(address));
  EXPECT_FALSE(dma.Read(address, buffer, 8) || buffer[7] != 0xFF);
  // Half inside is refused whole (the arena's free space is poisoned under
  // AddressSanitizer, so a partial write there would be reported at once),
  // and so is a word at an odd address.
  bus_master = true;
  EXPECT_EQ(0xFFFFFFFFu, dma.Load32(end - 2, &ok));
  EXPECT_FALSE(ok || dma.Write(end - 4, "abcdefgh", 8) || dma.Store16(start - 2, 1) ||
               dma.Store16(address + 1, 1));
  EXPECT_TRUE(dma.Read(address, buffer, 0));  // nothing to move, nothing refused
  // Each refusal is recorded as what it was: reason, write, address, length.
  std::vector<std::tuple<std::string, bool, uint32_t, uint32_t>> refused;
  for (const BusError& e : dma.errors())
    refused.emplace_back(e.reason, e.write, e.address, e.length);
  const std::string off = "bus mastering disabled", outside = "outside memory";
  EXPECT_EQ(refused, (decltype(refused){{off, true, address, 4},
                                        {off, false, address, 2},
                                        {off, false, address, 8},
                                        {outside, false, end - 2, 4},
                                        {outside, true, end - 4, 8},
                                        {outside, true, start - 2, 2},
                                        {"misaligned", true, address + 1, 2}}));

  // Allowed accesses, including 32-bit words that are only 2-aligned.
  EXPECT_TRUE(dma.Store32(address + 2, 0x44332211));
  EXPECT_EQ(0x11, block[2]);
  EXPECT_EQ(0x44, block[5]);
  EXPECT_EQ(0x44332211u, dma.Load32(address + 2, &ok));
  EXPECT_TRUE(ok);
  EXPECT_EQ(0x4433u, dma.Load16(address + 4));
  EXPECT_TRUE(dma.Write(address + 17, "xyz", 3));
  EXPECT_TRUE(dma.Read(address + 16, buffer, 5));
  EXPECT_EQ(0, std::memcmp(buffer, "\x11xyz\x11", 5));
  EXPECT_EQ(7u, dma.error_count());

  // Only the first errors are kept, all are counted.
  bus_master = false;
  for (int i = 0; i < 300; ++i) dma.Load16(address);
  EXPECT_EQ(Dma::kKeptErrors, dma.errors().size());
  EXPECT_EQ(307u, dma.error_count());
  arena.Free(block);
}

}  // namespace
