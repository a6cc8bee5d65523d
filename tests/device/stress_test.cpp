// Traffic between two adapters on one segment with several clients at once,
// bounded in frames: every reader that keeps up gets every frame once, whole
// and in order, while clients open and close, filters change and reads are
// closed under the reader. (Suspend and resume during traffic, and a long
// run with exact counters, are the soak's: tests/tool/soak_test.cpp.) Run under
// ThreadSanitizer these also check that the driver's shared state is touched
// only under its locks.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "support/client.h"

namespace {

using namespace tvtest;

constexpr uint32_t kBuffers = 32;  // the default ring

// Length of frame `seq` of writer `writer`: 60 to 1514, spread. Longer
// frames leave the writer but a receiving controller configured without long
// frames (as the driver configures it) takes them as bad.
uint32_t LengthOf(uint32_t writer, uint32_t seq) {
  return 60 + (seq * 2654435761u + writer * 97u) % (1514 - 60 + 1);
}

// Tags carry the writer in the top bit.
uint32_t Tag(uint32_t writer, uint32_t seq) { return (writer << 31) | seq; }

// A reader that must get every frame of one writer, in order: its tally.
struct Reader {
  std::atomic<uint32_t> next{0};  // frames received, i.e. the next expected seq
  std::atomic<uint32_t> errors{0};
};

// Reads `frames` frames of writer `writer` from `open`, checking each one.
void ReadAll(sim::ClientProcess& process, uintptr_t open, uint32_t writer, uint32_t frames,
             Reader& tally) {
  std::vector<uint8_t> buffer(1536);
  while (tally.next.load() < frames) {
    uint32_t length = 0;
    const uint32_t seq = tally.next.load();
    if (process.Read(open, buffer.data(), 1536, &length) != 0 ||
        !IsWholeFrame(buffer.data(), length) || SequenceOf(buffer.data()) != Tag(writer, seq) ||
        length != LengthOf(writer, seq)) {
      ++tally.errors;
      return;
    }
    tally.next.store(seq + 1);
  }
}

// Opens, widens and narrows filters, reads statistics, and closes clients
// with a read blocked or just handed a frame, until `stop`.
void OpenCloseStorm(sim::ClientProcess& process, unsigned device, std::atomic<bool>& stop,
                    std::atomic<uint32_t>& failures) {
  uint32_t round = 0;
  while (!stop) {
    ++round;
    uintptr_t open = 0;
    if (process.Open(DeviceName(device), &open) != 0) {
      ++failures;
      return;
    }
    const uint32_t filters[] = {0xD, 0x7, 0x5};
    std::array<uint32_t, 37> block{};
    if (process.Control(open, MacControlSetFilter, filters[round % 3], 0) != 0 ||
        process.Control(open, MacControlAdapterStatistics,
                        reinterpret_cast<uintptr_t>(block.data()), 148) != 0) {
      ++failures;
    }
    if (round % 2 == 0) {
      // A read that blocks or takes a frame, closed under it.
      std::vector<uint8_t> buffer(1536);
      uint32_t length = 0;
      std::atomic<uint32_t> status{0xFFFF};
      std::atomic<bool> returned{false};
      std::thread reader([&] {
        status = process.Read(open, buffer.data(), 1536, &length);
        returned = true;
      });
      NicClient* client = reinterpret_cast<NicClient*>(open);
      Eventually([&] {
        return returned.load() ||
               WithInterruptsOff([&] { return client->PendingBuffer != nullptr; });
      });
      if (process.Close(open) != 0) ++failures;
      reader.join();
      if (status == 0 ? !IsWholeFrame(buffer.data(), length) : status != 2) ++failures;
    } else if (process.Close(open) != 0) {
      ++failures;
    }
  }
}

// Two adapters, a writer on each, one reader on adapter 0 and two on adapter
// 1, all keeping up (the writers stay within the ring of their slowest
// reader), while other clients open, change filters, read and close on both
// adapters.
TEST(DeviceStress, EveryReaderGetsEveryFrameDuringOpenCloseStorms) {
  TestPc pc(2);
  ASSERT_TRUE(pc.BootReady());
  pc.segment->Detach(pc.wire);  // nobody keeps what it would hear
  const uint32_t frames = std::max(1000u, LongRunFrames() / 10);
  const size_t events = pc.machine->LiveEvents();

  sim::ClientProcess process(*pc.machine);
  uintptr_t w0 = 0, w1 = 0, r0 = 0, r1a = 0, r1b = 0;
  ASSERT_TRUE(OpenEach(process, {{0, &w0}, {1, &w1}, {0, &r0}, {1, &r1a}, {1, &r1b}}));

  Reader tally0, tally1a, tally1b;  // tally0 reads writer 1; the others writer 0
  std::vector<std::thread> threads;
  threads.emplace_back([&] { ReadAll(process, r0, 1, frames, tally0); });
  threads.emplace_back([&] { ReadAll(process, r1a, 0, frames, tally1a); });
  threads.emplace_back([&] { ReadAll(process, r1b, 0, frames, tally1b); });

  std::atomic<uint32_t> write_failures{0};
  auto writer = [&](uintptr_t open, uint32_t id, const Mac& to, const Mac& from,
                    std::vector<std::atomic<uint32_t>*> acks) {
    for (uint32_t seq = 0; seq < frames; ++seq) {
      // Within the ring of the slowest reader.
      auto room = [&] {
        for (auto* ack : acks) {
          if (seq - ack->load() >= kBuffers - 1) return false;
        }
        return true;
      };
      const auto frame = MakeFrame(to, from, LengthOf(id, seq), Tag(id, seq));
      const auto size = static_cast<uint32_t>(frame.size());
      uint32_t transferred = 0;
      if (!Eventually(room) || process.Write(open, frame.data(), size, &transferred) != 0 ||
          transferred != size) {
        ++write_failures;
        return;
      }
    }
  };
  threads.emplace_back([&] {
    writer(w0, 0, Station(1), Station(0), {&tally1a.next, &tally1b.next});
  });
  threads.emplace_back([&] { writer(w1, 1, Station(0), Station(1), {&tally0.next}); });

  std::atomic<bool> stop{false};
  std::atomic<uint32_t> storm_failures{0};
  // One process per storm: a process knows its opens by the driver's record
  // address, which a close in one thread may hand to an open in another.
  sim::ClientProcess storm_process0(*pc.machine), storm_process1(*pc.machine);
  std::thread storm0([&] { OpenCloseStorm(storm_process0, 0, stop, storm_failures); });
  std::thread storm1([&] { OpenCloseStorm(storm_process1, 1, stop, storm_failures); });

  for (auto& t : threads) t.join();
  // The storms close their own blocked reads, so they end without traffic.
  stop = true;
  storm0.join();
  storm1.join();

  EXPECT_EQ(write_failures.load(), 0u);
  EXPECT_EQ(storm_failures.load(), 0u);
  for (Reader* tally : {&tally0, &tally1a, &tally1b}) {
    EXPECT_EQ(tally->errors.load(), 0u);
    EXPECT_EQ(tally->next.load(), frames);
  }
  // Transmit counters are exact; receive counters at least count the three
  // readers (storm clients add what they were handed).
  const auto global = GlobalBlock(process, w0);
  EXPECT_EQ(global[2], 2 * frames);  // TxDirected
  EXPECT_GE(global[5], 3 * frames);  // RxDirected
  for (auto open : {r0, r1a, r1b}) EXPECT_EQ(ClientBlock(process, open)[4], frames);
  EXPECT_EQ(global[8], 0u);  // ReadErrors
  EXPECT_EQ(global[9], 0u);  // WriteErrors
  for (auto open : {w0, w1, r0, r1a, r1b}) EXPECT_EQ(process.Close(open), 0u);
  // Every open's event went back, and the interrupt service could pulse
  // every reader's event.
  EXPECT_EQ(pc.machine->LiveEvents(), events);
  EXPECT_EQ(pc.machine->RightsViolations(), 0u);
  EXPECT_EQ(AdapterAt(0)->Clients.First, nullptr);
  EXPECT_EQ(AdapterAt(1)->Clients.First, nullptr);
}

}  // namespace
