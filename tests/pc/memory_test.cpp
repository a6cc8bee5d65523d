// Memory below 4 GiB, its allocator, and the checked DMA path into it.
#include "platform/pc/memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

namespace sim {
namespace {

TEST(Arena, BlocksAreAlignedAddressedBy32BitsAndMergeBackWhenFreed) {
  Arena arena(1u << 20);
  void* blocks[5];
  for (size_t i = 0; i < 5; ++i) {
    blocks[i] = arena.Allocate(i * 7 + 1);
    ASSERT_NE(nullptr, blocks[i]);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(blocks[i]) % 16);
    const uint32_t address = Arena::ToAddress(blocks[i]);
    EXPECT_EQ(blocks[i], arena.ToPointer(address));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks[i]), address);
  }
  EXPECT_EQ(5u, arena.OutstandingBlocks());
  EXPECT_EQ(1u + 8 + 15 + 22 + 29, arena.OutstandingBytes());

  const uint32_t start = Arena::ToAddress(arena.base());
  const auto size = static_cast<uint32_t>(arena.size());
  EXPECT_TRUE(arena.Contains(start, size) && arena.Contains(start + size, 0));
  EXPECT_FALSE(arena.Contains(start, size + 1) || arena.Contains(start - 1, 2));
  EXPECT_EQ(nullptr, arena.ToPointer(start + size));

  // Freed out of order, the free list merges back into one block.
  for (size_t i : {1, 3, 0, 4, 2}) arena.Free(blocks[i]);
  arena.Free(nullptr);
  EXPECT_EQ(0u, arena.OutstandingBlocks());
  EXPECT_EQ(0u, arena.OutstandingBytes());
  EXPECT_EQ(1u, arena.FreeBlocks());
}

TEST(Arena, ManyArenasAreDisjointAndBelow4GiB) {
  // More than the 1 GiB that MAP_32BIT offers: later arenas come from the
  // fixed-address fallback, and must still be disjoint and below 4 GiB.
  std::vector<std::unique_ptr<Arena>> arenas;
  for (int i = 0; i < 20; ++i) arenas.push_back(std::make_unique<Arena>(64u << 20));
  std::sort(arenas.begin(), arenas.end(),
            [](const auto& a, const auto& b) { return a->base() < b->base(); });
  for (size_t i = 0; i < arenas.size(); ++i) {
    EXPECT_LE(uint64_t{reinterpret_cast<uintptr_t>(arenas[i]->base())} + arenas[i]->size(),
              uint64_t{1} << 32);
    EXPECT_TRUE(i == 0 || arenas[i]->base() >= arenas[i - 1]->base() + arenas[i - 1]->size());
  }
  void* p = arenas.back()->Allocate(100);
  ASSERT_NE(nullptr, p);
  std::memset(p, 0x5A, 100);  // the memory is really there
  arenas.back()->Free(p);
}

TEST(Arena, FirstFitReuseExhaustionAndBadFrees) {
  Arena arena(64 * 1024);
  void* a = arena.Allocate(1000);
  void* b = arena.Allocate(1000);
  void* c = arena.Allocate(1000);
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
  EXPECT_EQ(0u, arena.OutstandingBlocks());
  EXPECT_EQ(1u, arena.FreeBlocks());
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

  // Each refused access fails (reads give all ones) and is recorded as what
  // it was. Half inside is refused whole: the arena's free space is poisoned
  // under AddressSanitizer, so a partial write there would be reported.
  using Refusal = std::tuple<bool, std::function<bool()>, BusError>;  // bus master, passed?, record
  const std::string off = "bus mastering disabled", outside = "outside memory";
  const Refusal refusals[] = {
      {false, [&] { return dma.Store32(address, 0xDEADBEEF); }, {address, 4, true, off}},
      {false, [&] { return dma.Load16(address) != 0xFFFF; }, {address, 2, false, off}},
      {false,
       [&] { return dma.Read(address, buffer, 8) || buffer[7] != 0xFF; },
       {address, 8, false, off}},
      {true,
       [&] { return dma.Load32(end - 2, &ok) != 0xFFFFFFFF || ok; },
       {end - 2, 4, false, outside}},
      {true, [&] { return dma.Write(end - 4, "abcdefgh", 8); }, {end - 4, 8, true, outside}},
      {true, [&] { return dma.Store16(start - 2, 1); }, {start - 2, 2, true, outside}},
      {true, [&] { return dma.Store16(address + 1, 1); }, {address + 1, 2, true, "misaligned"}},
  };
  for (const auto& [master, access, want] : refusals) {
    bus_master = master;
    EXPECT_FALSE(access()) << want.reason << " " << want.address;
    const BusError got = dma.errors().back();
    EXPECT_TRUE(got.address == want.address && got.length == want.length &&
                got.write == want.write && got.reason == want.reason)
        << want.reason << " " << want.address << ": " << got.reason << " " << got.address;
  }
  EXPECT_EQ(0x11, block[0]);
  EXPECT_TRUE(dma.Read(address, buffer, 0));  // nothing to move, nothing refused
  EXPECT_EQ(7u, dma.errors().size());

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
}  // namespace sim
