// Traffic between two adapters on one segment with several clients at once,
// bounded in frames: every reader that keeps up gets every frame once, whole
// and in order, while clients open and close, filters change, reads are
// closed under the reader, and adapters are suspended and resumed. Run under
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

#include "tests/support/device_fixture.h"

namespace {

using device_test::DevicePc;
using device_test::TaggedFrame;
using device_test::TagOf;
using device_test::VerifyTagged;
using device_test::WaitUntil;
using testing_support::DeviceName;
using testing_support::Mac;

constexpr uint32_t kBuffers = 32;  // the default ring

// Length of frame `seq` of writer `writer`: 60 to 1536, spread.
uint32_t LengthOf(uint32_t writer, uint32_t seq) {
  return 60 + (seq * 2654435761u + writer * 97u) % (1536 - 60 + 1);
}

// Tags carry the writer in the top bit.
uint32_t Tag(uint32_t writer, uint32_t seq) { return (writer << 31) | seq; }

// The lowest acknowledgement among a writer's readers.
uint32_t Slowest(const std::vector<std::atomic<uint32_t>*>& acks) {
  uint32_t slowest = UINT32_MAX;
  for (auto* ack : acks) slowest = std::min(slowest, ack->load());
  return slowest;
}

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
    const uint32_t status = process.Read(open, buffer.data(), 1536, &length);
    if (status != 0) {
      ++tally.errors;
      return;
    }
    const uint32_t seq = tally.next.load();
    if (!VerifyTagged(buffer.data(), length) || TagOf(buffer.data()) != Tag(writer, seq) ||
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
    const uint32_t filter = (round % 3 == 0) ? 0xD : (round % 3 == 1) ? 0x7 : 0x5;
    if (process.Control(open, MacControlSetFilter, filter, 0) != 0) ++failures;
    std::array<uint32_t, 37> block{};
    if (process.Control(open, MacControlAdapterStatistics,
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
      WaitUntil([&] {
        return returned.load() || device_test::WithInterruptsDisabled(
                                      [&] { return client->PendingBuffer != nullptr; });
      });
      if (process.Close(open) != 0) ++failures;
      reader.join();
      if (status != 0 && status != 2) ++failures;
      if (status == 0 && !VerifyTagged(buffer.data(), length)) ++failures;
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
  DevicePc pc(2);
  pc.Boot();
  ASSERT_FALSE(HasFatalFailure());
  pc.pc.segment->Detach(pc.pc.wire);  // nobody keeps what it would hear
  const uint32_t frames = std::max(1000u, device_test::LongRunFrames() / 10);
  const size_t events = pc.machine().LiveEvents();

  sim::ClientProcess process(pc.machine());
  uintptr_t w0 = 0, w1 = 0, r0 = 0, r1a = 0, r1b = 0;
  ASSERT_EQ(process.Open(DeviceName(0), &w0), 0u);
  ASSERT_EQ(process.Open(DeviceName(1), &w1), 0u);
  ASSERT_EQ(process.Open(DeviceName(0), &r0), 0u);
  ASSERT_EQ(process.Open(DeviceName(1), &r1a), 0u);
  ASSERT_EQ(process.Open(DeviceName(1), &r1b), 0u);

  Reader tally0, tally1a, tally1b;  // tally0 reads writer 1; the others writer 0
  std::vector<std::thread> threads;
  threads.emplace_back([&] { ReadAll(process, r0, 1, frames, tally0); });
  threads.emplace_back([&] { ReadAll(process, r1a, 0, frames, tally1a); });
  threads.emplace_back([&] { ReadAll(process, r1b, 0, frames, tally1b); });

  std::atomic<uint32_t> write_failures{0};
  auto writer = [&](uintptr_t open, uint32_t id, const Mac& to, const Mac& from,
                    std::vector<std::atomic<uint32_t>*> acks) {
    for (uint32_t seq = 0; seq < frames; ++seq) {
      if (!WaitUntil([&] { return seq - Slowest(acks) < kBuffers - 1; })) {
        ++write_failures;
        return;
      }
      const auto frame = TaggedFrame(to, from, LengthOf(id, seq), Tag(id, seq));
      uint32_t transferred = 0;
      if (process.Write(open, frame.data(), static_cast<uint32_t>(frame.size()), &transferred) !=
              0 ||
          transferred != frame.size()) {
        ++write_failures;
        return;
      }
    }
  };
  threads.emplace_back([&] {
    writer(w0, 0, pc.station(1), pc.station(0), {&tally1a.next, &tally1b.next});
  });
  threads.emplace_back([&] { writer(w1, 1, pc.station(0), pc.station(1), {&tally0.next}); });

  std::atomic<bool> stop{false};
  std::atomic<uint32_t> storm_failures{0};
  // One process per storm: a process knows its opens by the driver's record
  // address, which a close in one thread may hand to an open in another.
  sim::ClientProcess storm_process0(pc.machine()), storm_process1(pc.machine());
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
  const auto global = device_test::GlobalBlock(process, w0);
  EXPECT_EQ(global[2], 2 * frames);  // TxDirected
  EXPECT_GE(global[5], 3 * frames);  // RxDirected
  EXPECT_EQ(device_test::ClientBlock(process, r1a)[4], frames);
  EXPECT_EQ(device_test::ClientBlock(process, r1b)[4], frames);
  EXPECT_EQ(device_test::ClientBlock(process, r0)[4], frames);
  EXPECT_EQ(global[8], 0u);  // ReadErrors
  EXPECT_EQ(global[9], 0u);  // WriteErrors
  for (auto open : {w0, w1, r0, r1a, r1b}) EXPECT_EQ(process.Close(open), 0u);
  // Every open's event went back, and the interrupt service could pulse
  // every reader's event.
  EXPECT_EQ(pc.machine().LiveEvents(), events);
  EXPECT_EQ(pc.machine().RightsViolations(), 0u);
  EXPECT_EQ(pc.adapter(0)->Clients.First, nullptr);
  EXPECT_EQ(pc.adapter(1)->Clients.First, nullptr);
}

// Suspend and resume both adapters over and over while frames flow: frames
// may be lost across a resume (the receive lists are rebuilt) and operations
// are refused with 19 while suspended, but every frame a reader gets is
// whole, none comes twice or out of order, and nothing hangs.
TEST(DeviceStress, SuspendResumeStormsDuringTraffic) {
  DevicePc pc(2, device_test::DeviceOptions({{"Quiet", "0"}}));
  pc.Boot();
  ASSERT_FALSE(HasFatalFailure());
  pc.pc.segment->Detach(pc.pc.wire);
  sim::ClientProcess process(pc.machine());
  uintptr_t writer = 0, reader_a = 0, reader_b = 0;
  ASSERT_EQ(process.Open(DeviceName(0), &writer), 0u);
  ASSERT_EQ(process.Open(DeviceName(1), &reader_a), 0u);
  ASSERT_EQ(process.Open(DeviceName(1), &reader_b), 0u);

  constexpr uint32_t kEnd = 0x40000000;  // tags from here on end the run
  std::atomic<uint32_t> problems{0}, readers_done{0}, suspended_refusals{0};
  auto read_until_end = [&](uintptr_t open) {
    std::vector<uint8_t> buffer(1536);
    int64_t last = -1;
    while (true) {
      uint32_t length = 0;
      const uint32_t status = process.Read(open, buffer.data(), 1536, &length);
      if (status == 19) {
        ++suspended_refusals;
        std::this_thread::yield();
        continue;
      }
      if (status != 0 || !VerifyTagged(buffer.data(), length) || TagOf(buffer.data()) <= last) {
        ++problems;
        break;
      }
      last = TagOf(buffer.data());
      if (last >= kEnd) break;
    }
    ++readers_done;
  };
  std::thread ra([&] { read_until_end(reader_a); });
  std::thread rb([&] { read_until_end(reader_b); });

  std::atomic<bool> storming{true};
  std::thread storm([&] {
    // A resume re-runs the whole bring-up, the slow part of this test.
    const int rounds = device_test::kSanitized ? 2 : 4;
    for (int round = 0; round < rounds; ++round) {
      const std::string device = DeviceName(round % 2);
      if (!pc.machine().DeliverHaEvent(device, 100)) ++problems;
      std::this_thread::yield();
      if (!pc.machine().DeliverHaEvent(device, 101)) ++problems;
    }
    storming = false;
  });

  NicAdapter* receiver = pc.adapter(1);
  uint32_t tag = 0;
  auto send = [&](uint32_t t) {
    const auto frame = TaggedFrame(pc.station(1), pc.station(0), 60 + t % 1400, t);
    uint32_t transferred = 0;
    while (true) {
      const uint32_t status =
          process.Write(writer, frame.data(), static_cast<uint32_t>(frame.size()), &transferred);
      if (status == 0) return true;
      if (status != 19) return false;
      ++suspended_refusals;
      std::this_thread::yield();
    }
  };
  while (storming) {
    if (!send(tag++)) ++problems;
  }
  storm.join();
  // Both adapters are active again: end frames, one at a time, until both
  // readers have seen one. The receiving controller may still be out of
  // receive resources from the storm (until its next service restarts it);
  // a frame it drops is followed by another.
  const auto& counters = pc.nic(1).counters();
  for (uint32_t end = kEnd; readers_done < 2 && problems == 0; ++end) {
    const uint32_t before = pc.QueueIndex(receiver);
    const uint64_t dropped = counters.dropped_no_resources.load();
    if (!send(end)) ++problems;
    if (!WaitUntil([&] {
          return readers_done == 2 || pc.QueueIndex(receiver) != before ||
                 counters.dropped_no_resources.load() != dropped;
        })) {
      ADD_FAILURE() << "end frame never arrived; receiver flags " << NicLoadFlags(receiver)
                    << ", sender flags " << NicLoadFlags(pc.adapter(0)) << "\n"
                    << "sent " << pc.nic(0).counters().frames_sent << " received "
                    << pc.nic(1).counters().frames_received << " dropped nores "
                    << pc.nic(1).counters().dropped_no_resources << " filter "
                    << pc.nic(1).counters().dropped_filter << " bad "
                    << pc.nic(1).counters().dropped_bad << " cmds0 "
                    << pc.nic(0).counters().commands_executed << " scb0 " << std::hex
                    << pc.nic(0).ScbStatusValue() << " scb1 " << pc.nic(1).ScbStatusValue()
                    << std::dec << " storms " << pc.machine().InterruptStorms() << "\n"
                    << pc.machine().Console();
      pc.machine().Stop();
      break;
    }
  }
  ra.join();
  rb.join();
  EXPECT_EQ(problems.load(), 0u);
  EXPECT_GT(tag, 0u);
}

// The long run: a client of adapter 0 writes frames of random length and
// content to adapter 1, whose client reads as fast as it can and
// acknowledges through a shared counter; the writer stays within Buffers - 1
// frames of it. Every frame arrives, in order, byte for byte, and every
// counter at client, adapter and driver level says exactly that.
TEST(DeviceStress, LongRunBetweenTwoAdapters) {
  DevicePc pc(2);
  pc.Boot();
  ASSERT_FALSE(HasFatalFailure());
  pc.pc.segment->Detach(pc.pc.wire);
  const uint32_t frames = device_test::LongRunFrames();
  sim::ClientProcess process(pc.machine());
  uintptr_t sender = 0, receiver = 0;
  ASSERT_EQ(process.Open(DeviceName(0), &sender), 0u);
  ASSERT_EQ(process.Open(DeviceName(1), &receiver), 0u);

  const Mac to = pc.station(1), from = pc.station(0);
  auto make = [&](uint32_t seq) {
    std::mt19937 random(0x7E5 + seq);
    std::vector<uint8_t> frame(60 + random() % (1536 - 60 + 1));
    for (auto& byte : frame) byte = static_cast<uint8_t>(random());
    std::copy(to.begin(), to.end(), frame.begin());
    std::copy(from.begin(), from.end(), frame.begin() + 6);
    return frame;
  };

  std::atomic<uint32_t> acked{0};
  std::atomic<uint32_t> mismatches{0};
  std::thread reader([&] {
    std::vector<uint8_t> buffer(1536);
    for (uint32_t seq = 0; seq < frames; ++seq) {
      uint32_t length = 0;
      if (process.Read(receiver, buffer.data(), 1536, &length) != 0) {
        ++mismatches;
        return;
      }
      const auto want = make(seq);
      if (length != want.size() || std::memcmp(buffer.data(), want.data(), length) != 0) {
        ++mismatches;
        return;
      }
      acked.store(seq + 1);
    }
  });
  for (uint32_t seq = 0; seq < frames && mismatches == 0; ++seq) {
    if (!WaitUntil([&] { return seq - acked.load() < kBuffers - 1 || mismatches != 0; })) {
      ADD_FAILURE() << "the reader stopped at frame " << acked.load();
      pc.machine().Stop();
      break;
    }
    const auto frame = make(seq);
    uint32_t transferred = 0;
    ASSERT_EQ(
        process.Write(sender, frame.data(), static_cast<uint32_t>(frame.size()), &transferred), 0u)
        << seq;
    ASSERT_EQ(transferred, frame.size());
  }
  reader.join();
  ASSERT_EQ(mismatches.load(), 0u);
  ASSERT_EQ(acked.load(), frames);

  std::array<uint32_t, 11> client_tx{}, client_rx{};
  client_tx[1] = frames;
  client_rx[4] = frames;
  EXPECT_EQ(device_test::ClientBlock(process, sender), client_tx);
  EXPECT_EQ(device_test::ClientBlock(process, receiver), client_rx);
  std::array<uint32_t, 37> adapter_tx{}, adapter_rx{};
  adapter_tx[22] = frames;
  adapter_rx[25] = frames;
  EXPECT_EQ(device_test::AdapterBlock(process, sender), adapter_tx);
  EXPECT_EQ(device_test::AdapterBlock(process, receiver), adapter_rx);
  std::array<uint32_t, 17> global{};
  global[2] = frames;
  global[5] = frames;
  EXPECT_EQ(device_test::GlobalBlock(process, sender), global);
  EXPECT_EQ(pc.nic(0).counters().frames_sent.load(), frames);
  EXPECT_EQ(pc.nic(1).counters().frames_received.load(), frames);
  EXPECT_EQ(process.Close(sender), 0u);
  EXPECT_EQ(process.Close(receiver), 0u);
}

}  // namespace
