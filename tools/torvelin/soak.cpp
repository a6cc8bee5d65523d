// torvelin soak. The machine has four controllers on two segments:
//
//   segment "pair":  nic 0 and nic 1. A paced writer on device 0 sends
//                    self-checking frames to nic 1's station; a reader on
//                    device 1 must get every one of them, once, in order.
//                    Neither adapter is ever suspended, faulted or moved, and
//                    nothing else is sent on this segment: the writer keeps
//                    at most Buffers - 2 frames ahead of the reader, so the
//                    reader never falls behind the receive queue.
//   segment "storm": nic 2 and nic 3. Random clients write here; frames with
//                    receive errors are injected; nic 2 is suspended and
//                    resumed, has its I/O BAR moved and moved back (HaDetect
//                    is on) and gets controller faults; nic 3 is aborted once,
//                    a third of the way through (an abort is forever).
//
// Random clients (their own processes) open, close, read, write, change
// filters and read statistics on all four devices (no writes on the pair's
// segment). Their reads never block for good: every read runs on a helper
// thread of the client's process, and a read the kernel shows asleep in the
// driver (no frame for it) is ended by closing its record. The soak sees the
// driver as any client does: device functions, control codes and the kernel.
//
// A watchdog prints where every thread is and fails the run when one makes
// no progress for kStallSeconds. At the end every client is closed and the
// arena must hold exactly the blocks it held right after boot; the pair's
// client counters must match the frames sent and received.
#include "tools/torvelin/soak.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "device/interface.h"
#include "platform/machine.h"
#include "platform/net/segment.h"
#include "platform/net/test_frame.h"
#include "platform/nic/i8255x.h"
#include "platform/standard_pc.h"
#include "tools/torvelin/util.h"

namespace tool {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct SoakOptions {
  unsigned seconds = 60;
  uint64_t seed = 1;
  unsigned clients = 4;
};
constexpr unsigned kNics = 4;
constexpr unsigned kPairWriterNic = 0, kPairReaderNic = 1, kSuspendNic = 2, kAbortNic = 3;
// The kernel never reuses a handle (so a stale one always fails) and keeps
// every object it made, up to about four million in a machine's life; every
// open makes one (the client's event). Each random client opens at most 250
// times a second, so even a long soak stays far below that (four clients,
// 30 minutes: 1.8 million).
constexpr auto kOpenSpacing = std::chrono::microseconds(4000);
constexpr int kStallSeconds = 30;  // generous: sanitizer builds are slow
constexpr uint32_t kBuffers = 32;  // the driver's default
constexpr uint16_t kMovedIoBase = 0xD000;

std::string Device(unsigned nic) { return "/DEV/MAC/TORVELIN/" + std::to_string(nic); }

Mac StationOf(unsigned nic) { return sim::StandardStation(nic); }

sim::I8255xConfig NicConfig(unsigned index) {
  sim::I8255xConfig config = sim::StandardController(index);
  config.eeprom_words = 16;
  return config;
}

// The pair's frame number `sequence`, a test frame whose length too follows
// from the number, so the reader can check it whole.
std::vector<uint8_t> PairFrame(uint32_t sequence) {
  const uint32_t length = 60 + (sequence * 97u) % (MaximumFrameLength - 60 - 22 + 1);
  return sim::BuildTestFrame(0, kPairWriterNic, sequence, StationOf(kPairReaderNic),
                             StationOf(kPairWriterNic), length);
}

// One end of the pair: its thread's name, its controller, and the client
// counters that must account for every frame it moved.
struct PairEnd {
  const char* name;  // "writer" or "reader"
  unsigned nic;
  uint32_t ClientStatistics::*directed;  // directed frames counted
  uint32_t ClientStatistics::*errors;
  const char* counted;  // what `directed` counts
  const char* moved;    // what the end did with its frames
};
constexpr PairEnd kPairWriter = {
    "writer",         kPairWriterNic, &ClientStatistics::TxDirected, &ClientStatistics::WriteErrors,
    "directed sends", "sent"};
constexpr PairEnd kPairReader = {
    "reader",          kPairReaderNic, &ClientStatistics::RxDirected, &ClientStatistics::ReadErrors,
    "directed frames", "verified"};

// Where a thread is and how far it got; read by the watchdog.
struct ThreadState {
  std::string name;
  std::atomic<const char*> where{"starting"};
  std::atomic<uint64_t> progress{0};
  std::atomic<bool> finished{false};
};

struct Totals {
  std::atomic<uint64_t> opens{0}, closes{0}, reads{0}, blocked_reads_closed{0}, writes{0},
      filters{0}, statistics{0}, refused{0};
  std::atomic<uint64_t> suspends{0}, resumes{0}, moves{0}, faults{0}, injected{0}, aborts{0};
  std::atomic<uint64_t> frames_verified{0};
};

class Soak {
 public:
  explicit Soak(const SoakOptions& options) : options_(options) {}
  int Run();

 private:
  void Fail(const std::string& what) {
    std::lock_guard lock(fail_mu_);
    if (failures_.size() < 20) failures_.push_back(what);
    failed_ = true;
  }
  ThreadState& NewState(const std::string& name) {
    states_.push_back(std::make_unique<ThreadState>());
    states_.back()->name = name;
    return *states_.back();
  }
  bool ReadOrClose(sim::ClientProcess& process, uintptr_t open, uint8_t* buffer, uint32_t size,
                   uint32_t* status, uint32_t* length);
  void RandomClient(unsigned index, ThreadState& state);
  // Opens the pair's end; when it cannot, fails the run and marks the end
  // done and its thread finished.
  bool OpenPairEnd(const PairEnd& end, sim::ClientProcess& process, std::atomic<bool>& done,
                   ThreadState& state, uintptr_t* open);
  // The end's client counters must show `frames` directed frames, no errors.
  void CheckPairCounters(const PairEnd& end, sim::ClientProcess& process, uintptr_t open,
                         uint32_t frames);
  void PairWriter(ThreadState& state);
  void PairReader(ThreadState& state);
  void Events(ThreadState& state);
  bool Watchdog();

  const SoakOptions options_;
  std::unique_ptr<sim::Machine> machine_;
  std::array<sim::I8255x*, kNics> nics_{};
  std::array<bool, kNics> bus_error_reported_{};      // the events thread's only
  std::vector<std::unique_ptr<ThreadState>> states_;  // made before any thread starts
  Totals totals_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> writer_done_{false}, reader_done_{false};
  std::atomic<bool> reader_ready_{false};  // the pair's reader has opened: frames may go
  std::atomic<uint32_t> pair_sent_{0}, pair_received_{0};
  std::mutex fail_mu_;
  std::vector<std::string> failures_;  // guarded by fail_mu_
  std::atomic<bool> failed_{false};
};

// Reads on a helper thread of `process` and waits until the read is back or
// the kernel shows a thread of the process asleep in a wait: the read has
// registered in the driver and no frame is there for it. Such a read is
// ended by closing its record, which must bring it back. Only the helper
// calls into the driver meanwhile, so a sleeping thread is the helper.
// Returns whether the record was closed (the caller forgets it).
bool Soak::ReadOrClose(sim::ClientProcess& process, uintptr_t open, uint8_t* buffer, uint32_t size,
                       uint32_t* status, uint32_t* length) {
  std::atomic<bool> back{false};
  std::thread reader([&] {
    *status = process.Read(open, buffer, size, length);
    back = true;
  });
  const auto until = SteadyClock::now() + std::chrono::seconds(kStallSeconds);
  while (!back.load() && !process.ThreadBlocked() && SteadyClock::now() < until) {
    std::this_thread::yield();
  }
  bool closed = false;
  if (!back.load()) {
    const uint32_t result = process.Close(open);
    if (result != StatusSuccess) Fail("close of a blocked reader gave " + StatusName(result));
    totals_.closes++;
    totals_.blocked_reads_closed++;
    closed = true;
  }
  reader.join();
  return closed;
}

void Soak::RandomClient(unsigned index, ThreadState& state) {
  std::mt19937_64 rng(options_.seed * 1000003u + index);
  auto pick = [&](uint64_t n) { return static_cast<uint64_t>(rng() % n); };
  sim::ClientProcess process(*machine_);
  struct Record {
    uintptr_t open;
    unsigned nic;
  };
  std::vector<Record> records;
  std::vector<uint8_t> buffer(MaximumFrameLength);

  auto next_open = SteadyClock::now();
  while (!stop_.load()) {
    const unsigned op = static_cast<unsigned>(pick(100));
    if (op < 12 || records.empty()) {
      state.where = "open";
      if (SteadyClock::now() < next_open) {
        // Paced: see kOpenSpacing.
        if (records.empty()) std::this_thread::sleep_for(kOpenSpacing / 4);
      } else if (records.size() < 4) {
        next_open = SteadyClock::now() + kOpenSpacing;
        const unsigned nic = static_cast<unsigned>(pick(kNics));
        uintptr_t open = 0;
        const uint32_t status = process.Open(Device(nic), &open);
        if (status == StatusSuccess) {
          records.push_back({open, nic});
          totals_.opens++;
        } else if (status != StatusSuspended && status != StatusNoController &&
                   status != StatusChangeDetected) {
          Fail("open of " + Device(nic) + " gave " + StatusName(status));
        } else {
          totals_.refused++;
        }
      }
    } else if (op < 22) {
      state.where = "close";
      const size_t i = pick(records.size());
      const uint32_t status = process.Close(records[i].open);
      if (status != StatusSuccess) Fail("close gave " + StatusName(status));
      records.erase(records.begin() + static_cast<long>(i));
      totals_.closes++;
    } else if (op < 45) {
      const Record& r = records[pick(records.size())];
      if (r.nic == kSuspendNic || r.nic == kAbortNic) {
        state.where = "write";
        const uint32_t length = 60 + static_cast<uint32_t>(pick(MaximumFrameLength - 60 + 1));
        std::vector<uint8_t> frame(length, static_cast<uint8_t>(index));
        const Mac to =
            pick(2) ? kBroadcast : StationOf(r.nic == kSuspendNic ? kAbortNic : kSuspendNic);
        std::memcpy(frame.data(), to.data(), 6);
        const Mac from = StationOf(r.nic);
        std::memcpy(frame.data() + 6, from.data(), 6);
        uint32_t transferred = 0;
        const uint32_t status = process.Write(r.open, frame.data(), length, &transferred);
        if (status == StatusSuccess && transferred != length) {
          Fail("write of " + std::to_string(length) + " reported " + std::to_string(transferred));
        }
        totals_.writes++;
      }
    } else if (op < 70) {
      const size_t i = pick(records.size());
      state.where = "read";
      uint32_t status = 0, length = 0;
      const uint32_t size = 1 + static_cast<uint32_t>(pick(MaximumFrameLength));
      if (ReadOrClose(process, records[i].open, buffer.data(), size, &status, &length)) {
        records.erase(records.begin() + static_cast<long>(i));
      }
      if (status == StatusSuccess && length > size) {
        Fail("read of " + std::to_string(size) + " reported " + std::to_string(length));
      }
      totals_.reads++;
    } else if (op < 74) {
      // A read that blocks, ended by its own client's close.
      state.where = "blocking read ended by close";
      const unsigned nic = pick(2) ? kSuspendNic : kAbortNic;
      uintptr_t open = 0;
      if (process.Open(Device(nic), &open) == StatusSuccess) {
        totals_.opens++;
        process.Control(open, MacControlSetFilter, 0, 0);  // nothing will arrive
        uint32_t status = 0, length = 0;
        std::vector<uint8_t> mine(64);
        // A suspended or aborted adapter refuses the read at once; the record
        // is closed all the same.
        if (!ReadOrClose(process, open, mine.data(), 64, &status, &length)) {
          process.Close(open);
          totals_.closes++;
        }
      }
    } else if (op < 84) {
      state.where = "filter change";
      const Record& r = records[pick(records.size())];
      process.Control(r.open, MacControlSetFilter, static_cast<uint32_t>(pick(16)), 0);
      totals_.filters++;
    } else {
      state.where = "statistics";
      const Record& r = records[pick(records.size())];
      static const uint32_t kCodes[] = {MacControlClientStatistics, MacControlAdapterStatistics,
                                        MacControlGlobalStatistics, MacControlAdapterInfo};
      const uint32_t status =
          process.Control(r.open, kCodes[pick(4)], reinterpret_cast<uintptr_t>(buffer.data()),
                          static_cast<uint32_t>(pick(200)));
      if (status != StatusSuccess) Fail("statistics gave " + StatusName(status));
      totals_.statistics++;
    }
    state.progress++;
  }
  state.where = "closing its records";
  for (const Record& r : records) {
    const uint32_t status = process.Close(r.open);
    if (status != StatusSuccess) Fail("final close gave " + StatusName(status));
    totals_.closes++;
  }
  state.where = "done";
  state.finished = true;
}

bool Soak::OpenPairEnd(const PairEnd& end, sim::ClientProcess& process, std::atomic<bool>& done,
                       ThreadState& state, uintptr_t* open) {
  const uint32_t status = process.Open(Device(end.nic), open);
  if (status == StatusSuccess) return true;
  Fail(std::string("the pair's ") + end.name + " could not open: " + StatusName(status));
  done = true;
  state.finished = true;
  return false;
}

void Soak::CheckPairCounters(const PairEnd& end, sim::ClientProcess& process, uintptr_t open,
                             uint32_t frames) {
  ClientStatistics stats{};
  process.Control(open, MacControlClientStatistics, reinterpret_cast<uintptr_t>(&stats),
                  sizeof stats);
  if (stats.*end.directed != frames || stats.*end.errors != 0) {
    Fail(std::string("the pair's ") + end.name + " counted " + std::to_string(stats.*end.directed) +
         " " + end.counted + " (" + std::to_string(stats.*end.errors) + " errors), it " +
         end.moved + " " + std::to_string(frames));
  }
}

void Soak::PairWriter(ThreadState& state) {
  sim::ClientProcess process(*machine_);
  uintptr_t open = 0;
  if (!OpenPairEnd(kPairWriter, process, writer_done_, state, &open)) return;
  constexpr uint32_t kWindow = kBuffers - 2;
  uint32_t sequence = 0;
  // A client gets the frames queued after its open: none is sent before.
  while (!reader_ready_.load() && !reader_done_.load()) {
    state.where = "waiting for the pair's reader to open";
    std::this_thread::yield();
  }
  while (!stop_.load() && !failed_.load()) {
    if (sequence - pair_received_.load() >= kWindow) {
      state.where = "waiting for the pair's reader";
      std::this_thread::yield();
      continue;
    }
    state.where = "write";
    const std::vector<uint8_t> frame = PairFrame(sequence);
    uint32_t transferred = 0;
    const uint32_t status =
        process.Write(open, frame.data(), static_cast<uint32_t>(frame.size()), &transferred);
    if (status != StatusSuccess || transferred != frame.size()) {
      Fail("the pair's write " + std::to_string(sequence) + " gave " + StatusName(status));
      break;
    }
    pair_sent_.store(++sequence);
    state.progress++;
  }
  state.where = "checking its counters";
  CheckPairCounters(kPairWriter, process, open, sequence);
  writer_done_ = true;
  // Kept open until the reader is done, so that nothing changes under it.
  while (!reader_done_.load() && !failed_.load()) {
    state.where = "waiting for the reader to finish";
    state.progress++;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  process.Close(open);
  state.where = "done";
  state.finished = true;
}

void Soak::PairReader(ThreadState& state) {
  sim::ClientProcess process(*machine_);
  uintptr_t open = 0;
  if (!OpenPairEnd(kPairReader, process, reader_done_, state, &open)) return;
  process.Control(open, MacControlSetFilter, FilterDirected, 0);
  reader_ready_ = true;
  std::vector<uint8_t> buffer(MaximumFrameLength);
  uint32_t expected = 0;
  for (;;) {
    // A read only when a frame is on its way: it never blocks for good.
    if (expected == pair_sent_.load()) {
      if (writer_done_.load() || failed_.load()) break;
      state.where = "waiting for the pair's writer";
      std::this_thread::yield();
      continue;
    }
    state.where = "read";
    uint32_t length = 0;
    const uint32_t status =
        process.Read(open, buffer.data(), static_cast<uint32_t>(buffer.size()), &length);
    if (status != StatusSuccess) {
      Fail("the pair's read of frame " + std::to_string(expected) + " gave " + StatusName(status));
      break;
    }
    const std::vector<uint8_t> want = PairFrame(expected);
    if (length != want.size() || std::memcmp(buffer.data(), want.data(), length) != 0) {
      const auto header = sim::ParseTestFrame(buffer.data(), length);
      const uint32_t got = header ? header->sequence : 0;
      Fail("the pair's reader expected frame " + std::to_string(expected) + " (" +
           std::to_string(want.size()) + " bytes), got " + std::to_string(length) +
           " bytes numbered " + std::to_string(got));
      break;
    }
    pair_received_.store(++expected);
    totals_.frames_verified++;
    state.progress++;
  }
  state.where = "checking its counters";
  CheckPairCounters(kPairReader, process, open, expected);
  process.Close(open);
  reader_done_ = true;
  state.where = "done";
  state.finished = true;
}

void Soak::Events(ThreadState& state) {
  std::mt19937_64 rng(options_.seed * 7919u);
  auto pick = [&](uint64_t n) { return static_cast<uint64_t>(rng() % n); };
  auto sleep_ms = [](uint64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  const auto start = SteadyClock::now();
  const auto abort_at = start + std::chrono::milliseconds(options_.seconds * 1000 / 3);
  bool aborted = false;
  sim::I8255x& storm = *nics_[kSuspendNic];
  const uint32_t io_base = storm.config().io_base;

  while (!stop_.load()) {
    if (!aborted && SteadyClock::now() >= abort_at) {
      state.where = "abort of device 3";
      machine_->DeliverHaEvent(Device(kAbortNic), HaEventAbort);
      aborted = true;
      totals_.aborts++;
    }
    switch (pick(6)) {
      case 0:
        state.where = "suspend of device 2";
        machine_->DeliverHaEvent(Device(kSuspendNic), HaEventSuspend);
        totals_.suspends++;
        sleep_ms(1 + pick(20));
        state.where = "resume of device 2";
        machine_->DeliverHaEvent(Device(kSuspendNic), HaEventResume);
        totals_.resumes++;
        break;
      case 1:
        state.where = "moving device 2's I/O BAR and back";
        machine_->ChangeResources([&] { storm.pci().SetBar(1, kMovedIoBase | 1, 64, true); });
        sleep_ms(1 + pick(20));
        machine_->ChangeResources([&] { storm.pci().SetBar(1, io_base | 1, 64, true); });
        totals_.moves++;
        break;
      case 2: {
        state.where = "controller fault on device 2";
        sim::I8255xFaults& f = storm.faults();
        switch (pick(4)) {
          case 0:
            f.ru_out_of_resources = true;  // one-shot
            break;
          case 1:
            f.command_never_accepted = true;
            sleep_ms(1 + pick(5));
            f.command_never_accepted = false;
            break;
          case 2:
            f.blocks_never_complete = true;
            sleep_ms(1 + pick(5));
            f.blocks_never_complete = false;
            break;
          default:
            f.rbd_missing_eof = pick(2);
            f.rbd_count_beyond_buffer = pick(2);
            break;
        }
        totals_.faults++;
        break;
      }
      default: {
        state.where = "injecting frames";
        for (unsigned n = 0; n < 4; ++n) {
          const unsigned nic = pick(2) ? kSuspendNic : kAbortNic;
          std::vector<uint8_t> frame(60 + pick(1455), 0x5A);
          std::memcpy(frame.data(), kBroadcast.data(), 6);
          sim::FrameErrors errors;
          const uint64_t kind = pick(8);
          errors.crc = kind == 0;
          errors.alignment = kind == 1;
          errors.overrun = kind == 2;
          nics_[nic]->InjectFrame(frame, errors);
          totals_.injected++;
        }
        break;
      }
    }
    // Which event a refused DMA first followed narrows down where to look.
    const char* event = state.where.load();
    for (unsigned i = 0; i < kNics; ++i) {
      const uint64_t errors = nics_[i]->counters().bus_errors.load();
      if (errors != 0 && !bus_error_reported_[i]) {
        bus_error_reported_[i] = true;
        std::fprintf(stderr, "soak: controller %u's first refused DMA came during or after: %s\n",
                     i, event);
      }
    }
    state.progress++;
    state.where = "pausing";
    sleep_ms(2 + pick(20));
  }
  // Leaves device 2 usable and in place.
  machine_->ChangeResources([&] { storm.pci().SetBar(1, io_base | 1, 64, true); });
  storm.faults().command_never_accepted = false;
  storm.faults().blocks_never_complete = false;
  state.where = "done";
  state.finished = true;
}

// True while every thread keeps moving; prints where each one is and gives
// false at the first that has stood still for kStallSeconds.
bool Soak::Watchdog() {
  std::vector<uint64_t> seen(states_.size());
  std::vector<SteadyClock::time_point> since(states_.size(), SteadyClock::now());
  for (;;) {
    bool all_finished = true;
    for (size_t i = 0; i < states_.size(); ++i) {
      ThreadState& s = *states_[i];
      if (s.finished.load()) continue;
      all_finished = false;
      const uint64_t now = s.progress.load();
      if (now != seen[i]) {
        seen[i] = now;
        since[i] = SteadyClock::now();
      } else if (SteadyClock::now() - since[i] > std::chrono::seconds(kStallSeconds)) {
        std::fprintf(stderr, "torvelin soak: no progress for %d s in thread '%s'. Threads:\n",
                     kStallSeconds, s.name.c_str());
        for (const auto& t : states_) {
          std::fprintf(stderr, "  %-16s %-40s progress %llu%s\n", t->name.c_str(), t->where.load(),
                       static_cast<unsigned long long>(t->progress.load()),
                       t->finished.load() ? " (finished)" : "");
        }
        std::fflush(stderr);
        return false;
      }
    }
    if (all_finished) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

int Soak::Run() {
  sim::MachineOptions options;
  options.registry.Add("TORVELIN", "Quiet", "1");
  options.registry.Add("TORVELIN", "HaDetect", "1");
  options.registry.Add("TORVELIN", "ConfigDelay", "10");
  options.registry.Add("TORVELIN", "Buffers", std::to_string(kBuffers));
  machine_ = std::make_unique<sim::Machine>(std::move(options));
  sim::Segment& pair = machine_->Own(std::make_unique<sim::Segment>("pair"));
  sim::Segment& storm = machine_->Own(std::make_unique<sim::Segment>("storm"));
  for (unsigned i = 0; i < kNics; ++i) {
    nics_[i] = &machine_->Own(
        std::make_unique<sim::I8255x>(*machine_, NicConfig(i), i < 2 ? &pair : &storm));
  }
  machine_->Boot();
  if (!machine_->WaitStarted()) {
    std::fprintf(stderr, "torvelin soak: start-up did not finish\n");
    return kExitFailed;
  }
  if (machine_->DeviceNames().size() != kNics) {
    std::fprintf(stderr, "torvelin soak: %zu devices, expected %u\n%s",
                 machine_->DeviceNames().size(), kNics, machine_->Console().c_str());
    return kExitFailed;
  }
  const size_t blocks_after_boot = machine_->arena().OutstandingBlocks();

  std::vector<ThreadState*> client_states;
  for (unsigned i = 0; i < options_.clients; ++i) {
    client_states.push_back(&NewState("client " + std::to_string(i)));
  }
  ThreadState& writer_state = NewState("pair writer");
  ThreadState& reader_state = NewState("pair reader");
  ThreadState& events_state = NewState("events");

  const auto start = SteadyClock::now();
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < options_.clients; ++i) {
    threads.emplace_back([this, i, s = client_states[i]] { RandomClient(i, *s); });
  }
  threads.emplace_back([&] { PairWriter(writer_state); });
  threads.emplace_back([&] { PairReader(reader_state); });
  threads.emplace_back([&] { Events(events_state); });
  std::thread timer([&] {
    while (!stop_.load() && SteadyClock::now() - start < std::chrono::seconds(options_.seconds)) {
      if (failed_.load()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop_ = true;
  });

  if (!Watchdog()) {
    std::fprintf(stderr, "torvelin soak: FAILED (deadlock or hang)\n");
    std::fflush(stderr);
    std::_Exit(kExitFailed);  // the stuck threads cannot be joined
  }
  timer.join();
  for (auto& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(SteadyClock::now() - start).count();

  const size_t blocks_at_end = machine_->arena().OutstandingBlocks();
  if (blocks_at_end != blocks_after_boot) {
    Fail("after every client closed the arena holds " + std::to_string(blocks_at_end) +
         " blocks; right after boot it held " + std::to_string(blocks_after_boot));
  }
  if (totals_.frames_verified.load() == 0) Fail("the pair's reader verified no frame");
  for (unsigned i = 0; i < kNics; ++i) {
    if (nics_[i]->counters().bus_errors.load() != 0) {
      std::string first;
      const auto errors = nics_[i]->bus_errors();
      if (!errors.empty()) {
        char line[96];
        std::snprintf(line, sizeof line, " (first: %s of %u bytes at 0x%08X, %s)",
                      errors[0].write ? "write" : "read", errors[0].length, errors[0].address,
                      errors[0].reason.c_str());
        first = line;
      }
      Fail("controller " + std::to_string(i) + " was pointed outside the driver's memory" + first);
    }
  }
  machine_->Stop();

  const Totals& t = totals_;
  const uint64_t operations = t.opens + t.closes + t.reads + t.writes + t.filters + t.statistics +
                              t.refused + t.suspends + t.resumes + t.moves + t.faults + t.injected +
                              t.aborts + pair_sent_.load() + pair_received_.load();
  std::printf("soak: %.1f s, %u random clients, seed %llu\n", elapsed, options_.clients,
              static_cast<unsigned long long>(options_.seed));
  std::printf(
      "  operations %llu: opens %llu, closes %llu (%llu ending a blocked read), reads %llu,\n"
      "    writes %llu, filter changes %llu, statistics %llu, refused opens %llu\n",
      static_cast<unsigned long long>(operations), static_cast<unsigned long long>(t.opens.load()),
      static_cast<unsigned long long>(t.closes.load()),
      static_cast<unsigned long long>(t.blocked_reads_closed.load()),
      static_cast<unsigned long long>(t.reads.load()),
      static_cast<unsigned long long>(t.writes.load()),
      static_cast<unsigned long long>(t.filters.load()),
      static_cast<unsigned long long>(t.statistics.load()),
      static_cast<unsigned long long>(t.refused.load()));
  std::printf(
      "  events: suspend/resume %llu, BAR moves %llu, faults %llu, injected frames %llu,"
      " aborts %llu\n",
      static_cast<unsigned long long>(t.suspends.load()),
      static_cast<unsigned long long>(t.moves.load()),
      static_cast<unsigned long long>(t.faults.load()),
      static_cast<unsigned long long>(t.injected.load()),
      static_cast<unsigned long long>(t.aborts.load()));
  std::printf("  frames verified: %llu of %u sent (whole, once, in order)\n",
              static_cast<unsigned long long>(t.frames_verified.load()), pair_sent_.load());
  std::printf("  arena blocks: %zu after boot, %zu after the last close\n", blocks_after_boot,
              blocks_at_end);
  if (failed_.load()) {
    std::lock_guard lock(fail_mu_);
    for (const auto& f : failures_) std::printf("  FAILED: %s\n", f.c_str());
    std::printf("soak: FAILED\n");
    return kExitFailed;
  }
  std::printf("soak: ok\n");
  return kExitOk;
}

}  // namespace

Subcommand AddSoakCommand(CLI::App& app) {
  auto o = std::make_shared<SoakOptions>();
  CLI::App* soak = app.add_subcommand(
      "soak", "Everything at once for a while, with invariants checked all along");
  soak->add_option("--seconds", o->seconds, "How long to run")
      ->check(CLI::Range(1u, 86400u))
      ->capture_default_str();
  soak->add_option("--seed", o->seed, "Seed of the clients' and events' choices")
      ->capture_default_str();
  soak->add_option("--clients", o->clients, "Random client threads")
      ->check(CLI::Range(1u, 32u))
      ->capture_default_str();
  return {soak, [o] { return Soak(*o).Run(); }};
}

}  // namespace tool
