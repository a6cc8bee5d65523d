// torvelin bench. A writer on device 0 sends numbered frames to adapter 1's
// station address; one or four readers on device 1 each read every frame.
// The writer keeps at most a window of frames ahead of the slowest reader (a
// reader that falls Buffers - 1 frames behind loses its oldest), or, with
// --pace line, sends on the Fast Ethernet schedule without looking at the
// readers. Frames a reader never sees count as lost.
//
// The floor moves the same bytes through the same copies and the same thread
// hand-offs as the simulated path, with memcpy and a mutex-and-condition
// queue: three copies on the writer's thread (into the command block, onto
// the wire, into a receive buffer), a hand-off to an "interrupt" thread that
// copies into a queue slot, a hand-off to each reader, and the reader's copy
// out. Driver throughput is reported as a fraction of it.
#include "tools/torvelin/bench.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/machine.h"
#include "platform/net/segment.h"
#include "platform/net/test_frame.h"
#include "platform/nic/i8255x.h"
#include "platform/standard_pc.h"
#include "tools/torvelin/hand_off.h"
#include "tools/torvelin/util.h"

namespace tool {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct BenchOptions {
  uint64_t frames = 200000;
  std::vector<unsigned> sizes = {60, 512, 1514};
  std::vector<unsigned> readers = {1, 4};
  std::string pace = "none";
  unsigned buffers = 256;
  bool json = false;
  bool callgrind_friendly = false;
  bool no_floor = false;
  unsigned repeat = 1;
};

constexpr uint32_t kReadSize = 1536;
constexpr int kStallMs = 1000;  // no reader progress for this long ends a case

// Fast Ethernet frames per second for a frame of `length` bytes as stored
// (no CRC): CRC, preamble and the inter-frame gap take wire time too.
double LineRateFps(unsigned length) { return 100e6 / ((length + 4 + 8 + 12) * 8.0); }

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// CPU time the hypervisor gave to others while this (virtual) machine wanted
// it, over all CPUs, in milliseconds; 0 where /proc/stat has no such figure.
// Reported next to frames lost at line rate: a simulated controller's receive
// ring lasts a quarter of a millisecond at minimum frame size, and a stolen
// CPU can stop the interrupt thread for longer than that.
double StolenMs() {
  std::FILE* stat = std::fopen("/proc/stat", "r");
  if (stat == nullptr) return 0;
  unsigned long long user, nice, system, idle, iowait, irq, softirq, steal = 0;
  const int fields = std::fscanf(stat, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &user, &nice,
                                 &system, &idle, &iowait, &irq, &softirq, &steal);
  std::fclose(stat);
  const long ticks = sysconf(_SC_CLK_TCK);
  return fields == 8 && ticks > 0 ? static_cast<double>(steal) * 1000.0 / ticks : 0;
}

double Since(SteadyClock::time_point start, SteadyClock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

// The bench's frames are test frames built once and renumbered for each
// send: a reader reads only the sequence number, and rebuilding the payload
// for every frame would be measured too.
std::vector<uint8_t> MakeFrame(unsigned length, const std::array<uint8_t, 6>& to,
                               const std::array<uint8_t, 6>& from) {
  return sim::BuildTestFrame(0, 0, 0, to, from, length);
}

// The sequence number of a frame read; nullopt for a frame not the bench's.
std::optional<uint32_t> SequenceOf(const uint8_t* frame, uint32_t length) {
  const auto header = sim::ParseTestFrame(frame, length);
  if (!header) return std::nullopt;
  return header->sequence;
}

// Where each reader has got to: one past the highest sequence it has read.
// The writer's window and the end of a case both follow it.
class Progress {
 public:
  explicit Progress(size_t readers) : position_(readers) {
    for (auto& p : position_) p.value.store(0, std::memory_order_relaxed);
  }
  void Advance(size_t reader, uint64_t position) {
    position_[reader].value.store(position, std::memory_order_release);
    last_ = SteadyClock::now().time_since_epoch().count();
    if (writer_waiting_.load(std::memory_order_acquire)) {
      { std::lock_guard lock(mutex_); }
      cv_.notify_all();
    }
  }
  uint64_t Slowest() const {
    uint64_t slowest = UINT64_MAX;
    for (auto& p : position_) slowest = std::min(slowest, p.value.load(std::memory_order_acquire));
    return slowest;
  }
  uint64_t Position(size_t reader) const {
    return position_[reader].value.load(std::memory_order_acquire);
  }
  // Lets the writer send frame `sent` once the slowest reader is less than
  // `window` frames behind it. A writer that has to wait goes on only when
  // the readers have caught up to half the window: resuming at the first
  // frame read would hand the driver's mutex between writer and reader at
  // every frame (each hand-over a wake-up or a yield), while a writer that
  // sends and a reader that reads half a window at a time pay for one
  // hand-over in each direction per burst, as a sender clocked by
  // acknowledgements does. Returns early if the readers stall.
  void WaitWindow(uint64_t sent, uint64_t window) {
    if (sent - Slowest() < window) return;
    const uint64_t resume = window / 2;
    for (int spins = 0; spins < 64; ++spins) {
      if (sent - Slowest() <= resume) return;
      std::this_thread::yield();
    }
    std::unique_lock lock(mutex_);
    writer_waiting_.store(true, std::memory_order_seq_cst);
    while (sent - Slowest() > resume) {
      if (cv_.wait_for(lock, std::chrono::milliseconds(kStallMs)) == std::cv_status::timeout &&
          sent - Slowest() > resume) {
        break;  // the readers stopped moving: frames were lost; go on
      }
    }
    writer_waiting_.store(false, std::memory_order_relaxed);
  }
  // Waits until every reader has seen `frames`, or no reader moved for a while.
  void WaitDone(uint64_t frames) {
    using namespace std::chrono;
    last_ = SteadyClock::now().time_since_epoch().count();
    while (Slowest() < frames) {
      std::this_thread::sleep_for(microseconds(200));
      const auto idle = SteadyClock::now().time_since_epoch().count() - last_.load();
      if (duration_cast<milliseconds>(SteadyClock::duration(idle)).count() > kStallMs) return;
    }
  }

 private:
  struct alignas(64) Slot {
    std::atomic<uint64_t> value;
  };
  std::vector<Slot> position_;
  std::atomic<SteadyClock::rep> last_{0};
  std::atomic<bool> writer_waiting_{false};
  std::mutex mutex_;
  std::condition_variable cv_;
};

struct ReaderTally {
  uint64_t received = 0;
  uint64_t out_of_order = 0;
  SteadyClock::time_point last_frame{};
};

// Paces the writer to the line rate of its frame size, the way traffic
// arrives from a real wire: frames are due one frame time apart. A writer the
// host held up catches up with at most kPaceBurst frames back to back (a
// switch port's small buffer); beyond that the schedule slips, rather than
// flooding the receiver with a burst no Fast Ethernet link can carry. While
// the next frame is not yet due the writer sleeps until a few are (about
// kSleepGrain's worth, a few frames even at minimum size), then sends them
// together: a writer that yielded between frames instead would keep a CPU
// of a 2-core host busy doing nothing for the simulated machine. The
// writer's timer slack is cut to a microsecond while it paces: the default
// 50 us would let every sleep overshoot by seven minimum-size frame times,
// and the catch-up cap would then turn that into a slower schedule.
class Pacer {
 public:
  static constexpr int64_t kPaceBurst = 16;
  static constexpr auto kSleepGrain = std::chrono::microseconds(50);
  static constexpr unsigned long kTimerSlackNs = 1000;

  Pacer(bool on, unsigned length)
      : on_(on),
        period_(std::chrono::nanoseconds(static_cast<int64_t>(1e9 / LineRateFps(length)))),
        next_(SteadyClock::now()) {
    if (on_) {
      saved_slack_ = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
      prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);
    }
  }
  ~Pacer() {
    if (on_ && saved_slack_ > 0) prctl(PR_SET_TIMERSLACK, saved_slack_, 0, 0, 0);
  }
  Pacer(const Pacer&) = delete;
  Pacer& operator=(const Pacer&) = delete;
  void BeforeFrame() {
    if (!on_) return;
    auto now = SteadyClock::now();
    if (now - next_ > kPaceBurst * period_) next_ = now - kPaceBurst * period_;
    if (next_ > now) std::this_thread::sleep_until(next_ + (kSleepGrain / period_) * period_);
    next_ += period_;
  }

 private:
  bool on_;
  std::chrono::nanoseconds period_;
  SteadyClock::time_point next_;
  int saved_slack_ = 0;
};

struct CaseResult {
  unsigned size = 0;
  unsigned readers = 0;
  bool paced = false;
  uint64_t frames = 0;
  uint64_t lost = 0;  // over every reader
  uint64_t out_of_order = 0;
  uint64_t nic_drops = 0;  // receive unit not ready at the receiving controller
  uint64_t write_failures = 0;
  double seconds = 0;
  double cpu_ns_per_frame = 0;
  double fps = 0;
  double floor_fps = 0;
  double stolen_ms = 0;  // CPU time the host took from this machine meanwhile
  // With --repeat, every run's frames per second and frames lost, in run
  // order; the fields above are those of the median run.
  std::vector<double> all_fps;
  std::vector<uint64_t> all_lost;
};

// The median run of a case. Unpaced, the runs differ in frames per second;
// paced, the rate is the wire's and they differ in frames lost, so that is
// what the median is taken over. Of an even count the lower middle is taken,
// so that the row is a run that happened, not an average of two.
CaseResult MedianRun(std::vector<CaseResult> runs) {
  const bool paced = runs.front().paced;
  std::vector<double> all_fps;
  std::vector<uint64_t> all_lost;
  for (const CaseResult& r : runs) {
    all_fps.push_back(r.fps);
    all_lost.push_back(r.lost);
  }
  std::sort(runs.begin(), runs.end(), [paced](const CaseResult& a, const CaseResult& b) {
    return paced ? a.lost < b.lost : a.fps < b.fps;
  });
  CaseResult median = runs[(runs.size() - 1) / 2];
  median.all_fps = std::move(all_fps);
  median.all_lost = std::move(all_lost);
  return median;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[(values.size() - 1) / 2];
}

// How far the unpaced writer may run ahead of the slowest reader. The
// driver's queue holds Buffers - 1 unread frames, and the receiving
// controller has 32 receive buffers: a writer further ahead than that of the
// interrupt service overruns the controller, which then drops frames until
// the service restarts its receive unit. Two frames are kept spare.
uint64_t Window(unsigned buffers) {
  constexpr uint64_t kReceiveRing = 32;
  return std::max<uint64_t>(1, std::min<uint64_t>(buffers, kReceiveRing) - 2);
}

double PayloadMbps(double fps, unsigned size) { return fps * size * 8 / 1e6; }

// ---------------------------------------------------------------- the driver

class BenchPc {
 public:
  explicit BenchPc(unsigned buffers) {
    sim::MachineOptions options;
    options.registry.Add("TORVELIN", "Buffers", std::to_string(buffers));
    machine_ = std::make_unique<sim::Machine>(std::move(options));
    segment_ = &machine_->Own(std::make_unique<sim::Segment>("segment0"));
    for (unsigned i = 0; i < kAdapters; ++i) {
      nics_.push_back(&machine_->Own(
          std::make_unique<sim::I8255x>(*machine_, sim::StandardController(i), segment_)));
    }
    const auto start = SteadyClock::now();
    machine_->Boot();
    if (!machine_->WaitStarted()) throw std::runtime_error("the driver did not start");
    boot_seconds_ = Since(start, SteadyClock::now());
    boot_machine_seconds_ = static_cast<double>(machine_->clock().NowNs()) * 1e-9;
    if (machine_->DeviceNames().size() < 2) {
      throw std::runtime_error("the driver published fewer than two devices");
    }
  }
  sim::Machine& machine() { return *machine_; }
  sim::I8255x& nic(size_t i) { return *nics_[i]; }
  double boot_seconds() const { return boot_seconds_; }
  // Machine time from power-up to the driver's started signal.
  double boot_machine_seconds() const { return boot_machine_seconds_; }
  static constexpr unsigned kAdapters = 2;

 private:
  std::unique_ptr<sim::Machine> machine_;
  sim::Segment* segment_ = nullptr;
  std::vector<sim::I8255x*> nics_;
  double boot_seconds_ = 0;
  double boot_machine_seconds_ = 0;
};

// The bring-up figures: the median over `repeat` boots, the last of them
// the machine the cases run on (a process runs one machine at a time, so
// the others are booted, timed and stopped before it).
struct BootFigures {
  double wall_seconds;
  double machine_seconds;
};
std::unique_ptr<BenchPc> BootTimed(unsigned buffers, unsigned repeat, BootFigures* boot) {
  std::vector<double> wall;
  for (unsigned i = 1; i < repeat; ++i) wall.push_back(BenchPc(buffers).boot_seconds());
  auto pc = std::make_unique<BenchPc>(buffers);
  wall.push_back(pc->boot_seconds());
  *boot = {Median(wall), pc->boot_machine_seconds()};
  return pc;
}

CaseResult RunDriverCase(BenchPc& pc, unsigned size, unsigned reader_count, bool paced,
                         uint64_t frames, unsigned buffers) {
  sim::Machine& machine = pc.machine();
  const std::string writer_device = "/DEV/MAC/TORVELIN/0";
  const std::string reader_device = "/DEV/MAC/TORVELIN/1";

  sim::ClientProcess writer(machine);
  uintptr_t writer_open = 0;
  if (writer.Open(writer_device, &writer_open) != 0) throw std::runtime_error("open of device 0");

  std::vector<std::unique_ptr<sim::ClientProcess>> processes;
  std::vector<uintptr_t> opens;
  for (unsigned r = 0; r < reader_count; ++r) {
    processes.push_back(std::make_unique<sim::ClientProcess>(machine));
    uintptr_t open = 0;
    if (processes.back()->Open(reader_device, &open) != 0) {
      throw std::runtime_error("open of device 1");
    }
    opens.push_back(open);
  }

  Progress progress(reader_count);
  std::vector<ReaderTally> tallies(reader_count);
  std::vector<std::thread> threads;
  for (unsigned r = 0; r < reader_count; ++r) {
    threads.emplace_back([&, r] {
      std::vector<uint8_t> buffer(kReadSize);
      ReaderTally& tally = tallies[r];
      uint64_t position = 0;
      while (position < frames) {
        uint32_t length = 0;
        if (processes[r]->Read(opens[r], buffer.data(), kReadSize, &length) != 0) break;
        const std::optional<uint32_t> read = SequenceOf(buffer.data(), length);
        if (!read) continue;
        const uint64_t sequence = *read;
        ++tally.received;
        if (sequence < position) ++tally.out_of_order;
        position = std::max(position, sequence + 1);
        tally.last_frame = SteadyClock::now();
        progress.Advance(r, position);
      }
    });
  }

  const uint64_t drops_before = pc.nic(1).counters().dropped_no_resources.load();
  std::vector<uint8_t> frame =
      MakeFrame(size, pc.nic(1).config().station, pc.nic(0).config().station);
  const uint64_t window = Window(buffers);
  uint64_t write_failures = 0;
  Pacer pacer(paced, size);
  const double cpu_start = CpuSeconds();
  const double stolen_start = StolenMs();
  const auto start = SteadyClock::now();
  for (uint64_t i = 0; i < frames; ++i) {
    if (paced) {
      pacer.BeforeFrame();
    } else {
      progress.WaitWindow(i, window);
    }
    sim::RenumberTestFrame(frame.data(), static_cast<uint32_t>(i));
    uint32_t transferred = 0;
    if (writer.Write(writer_open, frame.data(), size, &transferred) != 0) ++write_failures;
  }
  progress.WaitDone(frames);
  const double cpu_end = CpuSeconds();
  const double stolen_end = StolenMs();

  // Readers still blocked (frames were lost) are released by closing them.
  for (unsigned r = 0; r < reader_count; ++r) {
    if (progress.Position(r) < frames) processes[r]->Close(opens[r]);
  }
  for (auto& t : threads) t.join();
  for (unsigned r = 0; r < reader_count; ++r) {
    if (progress.Position(r) >= frames) processes[r]->Close(opens[r]);
  }
  writer.Close(writer_open);

  CaseResult result;
  result.size = size;
  result.readers = reader_count;
  result.paced = paced;
  result.frames = frames;
  result.write_failures = write_failures;
  result.nic_drops = pc.nic(1).counters().dropped_no_resources.load() - drops_before;
  result.stolen_ms = stolen_end - stolen_start;
  SteadyClock::time_point end = start;
  for (const ReaderTally& tally : tallies) {
    result.lost += frames - std::min(frames, tally.received);
    result.out_of_order += tally.out_of_order;
    end = std::max(end, tally.last_frame);
  }
  result.seconds = Since(start, end);
  if (result.seconds > 0) result.fps = static_cast<double>(frames) / result.seconds;
  result.cpu_ns_per_frame = (cpu_end - cpu_start) * 1e9 / static_cast<double>(frames);
  return result;
}

// ----------------------------------------------------------------- the floor

constexpr uint32_t kFloorStop = 0xFFFFFFFF;
constexpr unsigned kFloorReceiveBuffers = 32;  // the driver's receive buffer ring

double RunFloorCase(unsigned size, unsigned reader_count, uint64_t frames, unsigned buffers) {
  const uint64_t window = Window(buffers);
  std::vector<uint8_t> source = MakeFrame(size, {0, 1, 2, 3, 4, 5}, {0, 1, 2, 3, 4, 6});
  std::vector<uint8_t> block(kReadSize), wire(kReadSize);
  std::vector<std::vector<uint8_t>> receive(kFloorReceiveBuffers, std::vector<uint8_t>(4096));
  std::vector<std::vector<uint8_t>> slots(buffers, std::vector<uint8_t>(kReadSize));
  std::vector<uint32_t> slot_length(buffers);

  HandOff to_interrupt(kFloorReceiveBuffers - 2);
  std::vector<std::unique_ptr<HandOff>> to_reader;
  for (unsigned r = 0; r < reader_count; ++r) {
    to_reader.push_back(std::make_unique<HandOff>(buffers));
  }
  Progress progress(reader_count);
  std::vector<SteadyClock::time_point> last(reader_count);

  std::thread interrupt([&] {
    uint32_t write = 0;
    for (;;) {
      const uint32_t index = to_interrupt.Pop();
      if (index == kFloorStop) break;
      const uint32_t slot = write++ % buffers;
      std::memcpy(slots[slot].data(), receive[index % kFloorReceiveBuffers].data(), size);
      slot_length[slot] = size;
      for (auto& queue : to_reader) queue->Push(slot);
    }
    for (auto& queue : to_reader) queue->Push(kFloorStop);
  });
  std::vector<std::thread> readers;
  for (unsigned r = 0; r < reader_count; ++r) {
    readers.emplace_back([&, r] {
      std::vector<uint8_t> buffer(kReadSize);
      for (;;) {
        const uint32_t slot = to_reader[r]->Pop();
        if (slot == kFloorStop) break;
        std::memcpy(buffer.data(), slots[slot].data(), slot_length[slot]);
        last[r] = SteadyClock::now();
        const std::optional<uint32_t> read = SequenceOf(buffer.data(), slot_length[slot]);
        if (read) progress.Advance(r, uint64_t{*read} + 1);
      }
    });
  }

  const auto start = SteadyClock::now();
  for (uint64_t i = 0; i < frames; ++i) {
    progress.WaitWindow(i, window);
    sim::RenumberTestFrame(source.data(), static_cast<uint32_t>(i));
    std::memcpy(block.data(), source.data(), size);
    std::memcpy(wire.data(), block.data(), size);
    std::memcpy(receive[i % kFloorReceiveBuffers].data(), wire.data(), size);
    to_interrupt.Push(static_cast<uint32_t>(i % kFloorReceiveBuffers));
  }
  to_interrupt.Push(kFloorStop);
  interrupt.join();
  for (auto& t : readers) t.join();
  const auto end = *std::max_element(last.begin(), last.end());
  const double seconds = Since(start, end);
  return seconds > 0 ? static_cast<double>(frames) / seconds : 0;
}

// ------------------------------------------------------------------ report

nlohmann::json ToJson(const CaseResult& r) {
  nlohmann::json j;
  j["frame_bytes"] = r.size;
  j["readers"] = r.readers;
  j["paced"] = r.paced;
  j["frames"] = r.frames;
  j["seconds"] = r.seconds;
  j["frames_per_second"] = r.fps;
  j["payload_mbit_per_second"] = PayloadMbps(r.fps, r.size);
  j["line_rate_fps"] = LineRateFps(r.size);
  j["line_rate_multiple"] = r.fps / LineRateFps(r.size);
  j["frames_lost"] = r.lost;
  j["out_of_order"] = r.out_of_order;
  j["receive_unit_drops"] = r.nic_drops;
  j["write_failures"] = r.write_failures;
  j["host_stolen_ms"] = r.stolen_ms;
  j["cpu_ns_per_frame"] = r.cpu_ns_per_frame;
  if (r.all_fps.size() > 1) {
    j["runs_frames_per_second"] = r.all_fps;
    j["runs_frames_lost"] = r.all_lost;
  }
  if (r.floor_fps > 0) {
    j["floor_frames_per_second"] = r.floor_fps;
    j["fraction_of_floor"] = r.fps / r.floor_fps;
  }
  return j;
}

void PrintTable(const std::vector<CaseResult>& results, const BootFigures& boot, unsigned buffers) {
  std::printf(
      "torvelin bench: %u controllers on one segment, Buffers=%u, boot %.1f ms wall "
      "(%.2f ms an adapter, for %.2f s of machine time an adapter)\n",
      BenchPc::kAdapters, buffers, boot.wall_seconds * 1e3,
      boot.wall_seconds * 1e3 / BenchPc::kAdapters, boot.machine_seconds / BenchPc::kAdapters);
  std::printf("%6s %7s %6s %10s %12s %9s %7s %8s %12s %8s\n", "bytes", "readers", "paced",
              "frames/s", "payload Mb/s", "x line", "lost", "cpu ns/f", "floor f/s", "of floor");
  for (const CaseResult& r : results) {
    char floor[32] = "-", fraction[32] = "-";
    if (r.floor_fps > 0) {
      std::snprintf(floor, sizeof floor, "%.0f", r.floor_fps);
      std::snprintf(fraction, sizeof fraction, "%.2f", r.fps / r.floor_fps);
    }
    std::printf("%6u %7u %6s %10.0f %12.1f %9.2f %7llu %8.0f %12s %8s\n", r.size, r.readers,
                r.paced ? "line" : "no", r.fps, PayloadMbps(r.fps, r.size),
                r.fps / LineRateFps(r.size), static_cast<unsigned long long>(r.lost),
                r.cpu_ns_per_frame, floor, fraction);
    if (r.lost != 0 || r.nic_drops != 0 || r.write_failures != 0 || r.out_of_order != 0) {
      std::printf(
          "       (receive unit drops %llu, write failures %llu, out of order %llu; the host "
          "stole %.0f ms of CPU meanwhile)\n",
          static_cast<unsigned long long>(r.nic_drops),
          static_cast<unsigned long long>(r.write_failures),
          static_cast<unsigned long long>(r.out_of_order), r.stolen_ms);
    }
    if (r.all_fps.size() > 1) {
      const auto [fps_low, fps_high] = std::minmax_element(r.all_fps.begin(), r.all_fps.end());
      const auto [lost_low, lost_high] = std::minmax_element(r.all_lost.begin(), r.all_lost.end());
      std::printf("       (median of %zu runs: frames/s %.0f to %.0f, lost %llu to %llu)\n",
                  r.all_fps.size(), *fps_low, *fps_high, static_cast<unsigned long long>(*lost_low),
                  static_cast<unsigned long long>(*lost_high));
    }
  }
}

}  // namespace

int BenchCommand(const BenchOptions& o);

Subcommand AddBenchCommand(CLI::App& app) {
  auto options = std::make_shared<BenchOptions>();
  BenchOptions& o = *options;
  CLI::App* bench = app.add_subcommand(
      "bench", "Measure frames per second end to end through the driver, against a memcpy floor");
  bench->add_option("--frames", o.frames, "Frames per case")
      ->check(CLI::Range(uint64_t{1}, uint64_t{100000000}))
      ->capture_default_str();
  bench->add_option("--sizes", o.sizes, "Frame sizes in bytes (60-1514)")
      ->check(CLI::Range(60u, 1514u))
      ->delimiter(',')
      ->capture_default_str();
  bench->add_option("--readers", o.readers, "Reader counts on adapter 1 (1-16)")
      ->check(CLI::Range(1u, 16u))
      ->delimiter(',')
      ->capture_default_str();
  bench
      ->add_option("--pace", o.pace,
                   "none: the writer keeps a window ahead of the slowest reader; line: it "
                   "sends at Fast Ethernet line rate; both: run every case both ways")
      ->check(CLI::IsMember({"none", "line", "both"}))
      ->capture_default_str();
  bench->add_option("--buffers", o.buffers, "The driver's Buffers setting (2-256)")
      ->check(CLI::Range(2u, 256u))
      ->capture_default_str();
  bench
      ->add_option("--repeat", o.repeat,
                   "Run every case this many times and report the median run (1-20): the "
                   "figures of a 2-core machine move by several times from run to run")
      ->check(CLI::Range(1u, 20u))
      ->capture_default_str();
  bench->add_flag("--no-floor", o.no_floor, "Skip the memcpy floor");
  bench->add_flag("--json", o.json, "Print the results as JSON");
  bench->add_flag("--callgrind-friendly", o.callgrind_friendly,
                  "One case (first size, first reader count), no floor, no pacing: for "
                  "instruction counts under valgrind");
  return {bench, [options] { return BenchCommand(*options); }};
}

int BenchCommand(const BenchOptions& o) {
  std::vector<unsigned> sizes = o.sizes;
  std::vector<unsigned> readers = o.readers;
  std::vector<bool> paces;
  if (o.pace == "none" || o.pace == "both") paces.push_back(false);
  if (o.pace == "line" || o.pace == "both") paces.push_back(true);
  bool floor = !o.no_floor;
  unsigned repeat = o.repeat;
  if (o.callgrind_friendly) {
    repeat = 1;
    sizes.resize(1);
    readers.resize(1);
    paces = {false};
    floor = false;
  }

  BootFigures boot{};
  const std::unique_ptr<BenchPc> booted = BootTimed(o.buffers, repeat, &boot);
  BenchPc& pc = *booted;
  std::vector<CaseResult> results;
  for (bool paced : paces) {
    for (unsigned size : sizes) {
      for (unsigned count : readers) {
        std::vector<CaseResult> runs;
        std::vector<double> floors;
        for (unsigned run = 0; run < repeat; ++run) {
          runs.push_back(RunDriverCase(pc, size, count, paced, o.frames, o.buffers));
          if (floor && !paced) floors.push_back(RunFloorCase(size, count, o.frames, o.buffers));
        }
        CaseResult result = repeat > 1 ? MedianRun(std::move(runs)) : runs.front();
        if (!floors.empty()) result.floor_fps = Median(floors);
        results.push_back(result);
        if (!o.json && !o.callgrind_friendly) {
          std::fprintf(stderr, "  %u bytes, %u reader(s)%s: %.0f frames/s\n", size, count,
                       paced ? ", paced" : "", result.fps);
        }
      }
    }
  }

  if (o.json) {
    nlohmann::json j;
    j["boot_wall_seconds"] = boot.wall_seconds;
    j["boot_machine_seconds"] = boot.machine_seconds;
    j["adapters"] = BenchPc::kAdapters;
    j["buffers"] = o.buffers;
    j["repeat"] = repeat;
    j["hardware_threads"] = std::thread::hardware_concurrency();
    j["cases"] = nlohmann::json::array();
    for (const CaseResult& r : results) j["cases"].push_back(ToJson(r));
    std::printf("%s\n", j.dump(2).c_str());
  } else {
    PrintTable(results, boot, o.buffers);
  }
  return kExitOk;
}

}  // namespace tool
