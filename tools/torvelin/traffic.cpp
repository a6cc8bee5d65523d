#include "tools/torvelin/traffic.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace tool {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How long the traffic may go without a single frame read before the tool
// calls it stalled. Generous: a sanitizer build on a busy machine is slow.
constexpr int kStallMs = 5000;
constexpr size_t kReadBuffer = 2048;  // above the largest frame, so lengths are never cut
// How long a replay waits for progress before it sends a nudge frame.
constexpr int kNudgeMs = 20;
// The lengths of the traffic's frames, as stored (no CRC).
constexpr size_t kMinFrame = 60;
constexpr size_t kMaxTestFrame = 1514;

using sim::BuildTestFrame;
using sim::kTestEtherType;
using sim::ParseTestFrame;

// The replay's nudge frame: a broadcast from a locally administered address
// no controller uses, with the test EtherType and its own tag.
std::vector<uint8_t> NudgeFrame() {
  std::vector<uint8_t> frame(kMinFrame, 0);
  std::memset(frame.data(), 0xFF, 6);
  const uint8_t source[6] = {0x02, 0x74, 0x76, 0x6C, 0x6E, 0x00};
  std::memcpy(frame.data() + 6, source, 6);
  frame[12] = kTestEtherType >> 8;
  frame[13] = kTestEtherType & 0xFF;
  std::memcpy(frame.data() + 14, "TVNG", 4);
  return frame;
}

bool IsNudge(const uint8_t* bytes, size_t length) {
  static const std::vector<uint8_t> nudge = NudgeFrame();
  return length == nudge.size() && std::memcmp(bytes, nudge.data(), 18) == 0;
}

}  // namespace

Traffic::Traffic(Client& client, std::vector<Station> stations, uint64_t seed, uint32_t window)
    : client_(client),
      stations_(std::move(stations)),
      seed_(seed),
      window_(std::max<uint32_t>(window, 1)),
      outstanding_(stations_.size(), 0),
      tallies_(stations_.size()) {}

Traffic::~Traffic() {
  // A reader blocked in the driver ends only when the machine stops.
  client_.machine().Stop();
  JoinReaders();
}

Planner::Planner(const std::vector<Station>& stations, uint64_t seed)
    : stations_(stations), random_(seed), next_sequence_(stations.size(), 0) {
  for (size_t i = 0; i < stations.size(); ++i) {
    if (stations[i].peers) senders_.push_back(i);
  }
}

PlannedFrame Planner::Next() {
  const size_t sender = senders_[random_.Between(0, senders_.size() - 1)];
  std::vector<size_t> peers;
  for (size_t i : senders_) {
    if (i != sender && stations_[i].segment == stations_[sender].segment) peers.push_back(i);
  }
  PlannedFrame frame;
  frame.sender = static_cast<uint8_t>(sender);
  frame.sequence = next_sequence_[sender]++;
  // A quarter of the frames are broadcasts; the rest go to one peer.
  frame.destination = random_.Between(0, 3) == 0
                          ? -1
                          : static_cast<int>(peers[random_.Between(0, peers.size() - 1)]);
  frame.length = static_cast<uint16_t>(random_.Between(kMinFrame, kMaxTestFrame));
  frame.written = false;
  return frame;
}

std::vector<int> Traffic::Receivers(const PlannedFrame& frame) const {
  std::vector<int> receivers;
  const Station& sender = stations_[frame.sender];
  for (size_t d = 0; d < stations_.size(); ++d) {
    const Station& s = stations_[d];
    // A controller never hears itself, and the driver drops frames whose
    // source is its own station address.
    if (d == frame.sender || s.segment != sender.segment || s.mac == sender.mac) continue;
    if (frame.destination < 0 || s.mac == stations_[frame.destination].mac) {
      receivers.push_back(static_cast<int>(d));
    }
  }
  return receivers;
}

void Traffic::StartReaders() {
  for (size_t d = 0; d < stations_.size(); ++d) {
    readers_.emplace_back([this, d] { ReaderLoop(d); });
  }
}

void Traffic::JoinReaders() {
  for (std::thread& t : readers_) {
    if (t.joinable()) t.join();
  }
  readers_.clear();
}

void Traffic::ReaderLoop(size_t device) {
  std::vector<uint8_t> buffer(kReadBuffer);
  for (;;) {
    uint32_t length = 0;
    const uint32_t status = client_.process().Read(stations_[device].open, buffer.data(),
                                                   static_cast<uint32_t>(buffer.size()), &length);
    if (status == sim::ClientProcess::kStopped || client_.machine().stopped()) return;
    if (status != 0) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++tallies_[device].read_failures;
        if (result_.first_failure.empty()) {
          result_.first_failure = "read on " + DeviceName(device) + ": " + StatusName(status);
        }
      }
      // A suspended adapter refuses at once; do not spin on it.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    OnFrame(device, buffer.data(), std::min<size_t>(length, buffer.size()));
  }
}

void Traffic::OnFrame(size_t device, const uint8_t* bytes, size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++reads_;
  DeviceTally& tally = tallies_[device];
  ++tally.read;
  if (length >= 6) {
    switch (ClassOf(bytes)) {
      case DestClass::Directed:
        ++tally.read_directed;
        break;
      case DestClass::Multicast:
        ++tally.read_multicast;
        break;
      case DestClass::Broadcast:
        ++tally.read_broadcast;
        break;
    }
  }
  progress_.notify_all();
  if (replaying_) {
    if (IsNudge(bytes, length)) {
      ++tally.nudges;
    } else {
      ++tally.replayed;
    }
    return;
  }
  const auto header = ParseTestFrame(bytes, length);
  if (!header || !checking_) {
    ++tally.foreign;
    return;
  }
  if (header->sender >= plan_index_.size() ||
      header->sequence >= plan_index_[header->sender].size()) {
    ++result_.corrupted;  // a header no frame of the plan has
    return;
  }
  const size_t sender = header->sender;
  const uint32_t sequence = header->sequence;
  const PlannedFrame& planned = plan_[plan_index_[sender][sequence]];
  const std::vector<int> receivers = Receivers(planned);
  const bool meant =
      std::find(receivers.begin(), receivers.end(), static_cast<int>(device)) != receivers.end();
  const Mac destination = planned.destination < 0 ? kBroadcast : stations_[planned.destination].mac;
  const std::vector<uint8_t> expected = BuildTestFrame(seed_, planned.sender, sequence, destination,
                                                       stations_[sender].mac, planned.length);
  const bool intact = length == expected.size() && std::memcmp(bytes, expected.data(), length) == 0;
  if (!meant) {
    if (intact) {
      ++result_.misdelivered;
    } else {
      ++result_.corrupted;
    }
    return;
  }
  uint8_t& got = got_[device][sender][sequence];
  if (got != 0) {
    ++result_.duplicated;
    return;
  }
  got = intact ? 1 : 2;
  if (intact) {
    ++result_.delivered;
    ++tally.checked;
  } else {
    ++result_.corrupted;
  }
  if (outstanding_[device] > 0) --outstanding_[device];
  uint32_t& highest = highest_[device][sender];
  if (sequence + 1 < highest) {
    ++result_.out_of_order;
  } else {
    highest = sequence + 1;
  }
}

bool Traffic::WaitFor(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready,
                      int stall_ms, const std::atomic<bool>& interrupted,
                      const std::function<void()>& nudge) {
  uint64_t seen = reads_;
  auto deadline = SteadyClock::now() + std::chrono::milliseconds(stall_ms);
  auto next_nudge = SteadyClock::now() + std::chrono::milliseconds(kNudgeMs);
  while (!ready()) {
    if (interrupted.load()) return false;
    progress_.wait_for(lock, std::chrono::milliseconds(10));
    const auto now = SteadyClock::now();
    if (reads_ != seen) {
      seen = reads_;
      deadline = now + std::chrono::milliseconds(stall_ms);
      next_nudge = now + std::chrono::milliseconds(kNudgeMs);
    } else if (now > deadline) {
      return false;
    } else if (nudge && now > next_nudge && !ready()) {
      next_nudge = now + std::chrono::milliseconds(kNudgeMs);
      lock.unlock();
      nudge();
      lock.lock();
    }
  }
  return true;
}

TrafficResult Traffic::Run(uint64_t count, const std::atomic<bool>& interrupted,
                           const std::function<void(uint64_t, uint64_t)>& progress) {
  const auto start = SteadyClock::now();
  Planner planner(stations_, seed_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    checking_ = true;
    plan_.clear();
    plan_index_.assign(stations_.size(), {});
    got_.assign(stations_.size(), std::vector<std::vector<uint8_t>>(stations_.size()));
    highest_.assign(stations_.size(), std::vector<uint32_t>(stations_.size(), 0));
    result_.planned = planner.empty() ? 0 : count;
  }
  auto last_progress = SteadyClock::now();
  for (uint64_t n = 0; n < result_.planned; ++n) {
    const PlannedFrame f = planner.Next();
    const std::vector<int> receivers = Receivers(f);
    size_t index = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      const bool room = WaitFor(
          lock,
          [&] {
            return std::all_of(receivers.begin(), receivers.end(),
                               [&](int r) { return outstanding_[r] < window_; });
          },
          kStallMs, interrupted);
      if (interrupted.load()) {
        result_.interrupted = true;
        break;
      }
      if (!room) {
        result_.stalled = true;
        break;
      }
      // Known to the readers, and counted, before the write: a receiver may
      // read the frame before the write returns.
      index = plan_.size();
      plan_.push_back(f);
      plan_index_[f.sender].push_back(index);
      for (auto& by_sender : got_) by_sender[f.sender].push_back(0);
      for (int r : receivers) ++outstanding_[r];
    }
    const Mac destination = f.destination < 0 ? kBroadcast : stations_[f.destination].mac;
    const std::vector<uint8_t> frame =
        BuildTestFrame(seed_, f.sender, f.sequence, destination, stations_[f.sender].mac, f.length);
    uint32_t transferred = 0;
    const uint32_t status = client_.process().Write(
        stations_[f.sender].open, frame.data(), static_cast<uint32_t>(frame.size()), &transferred);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (status != 0 || transferred != frame.size()) {
        for (int r : receivers) {
          if (outstanding_[r] > 0) --outstanding_[r];
        }
        ++result_.write_failures;
        ++tallies_[f.sender].write_failures;
        if (result_.first_failure.empty()) {
          result_.first_failure = "write on " + DeviceName(f.sender) + ": " +
                                  (status != 0 ? StatusName(status)
                                               : "transferred " + std::to_string(transferred) +
                                                     " of " + std::to_string(frame.size()));
        }
        if (status == sim::ClientProcess::kStopped) break;
        continue;
      }
      plan_[index].written = true;
      ++result_.written;
      result_.deliveries_expected += receivers.size();
      if (f.destination < 0) {
        ++tallies_[f.sender].written_broadcast;
      } else {
        ++tallies_[f.sender].written_directed;
      }
    }
    if (progress && SteadyClock::now() - last_progress > std::chrono::milliseconds(100)) {
      last_progress = SteadyClock::now();
      progress(n + 1, result_.planned);
    }
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (!result_.stalled && !result_.interrupted) {
    const bool drained = WaitFor(
        lock,
        [&] {
          return std::all_of(outstanding_.begin(), outstanding_.end(),
                             [](uint32_t n) { return n == 0; });
        },
        kStallMs, interrupted);
    if (interrupted.load()) {
      result_.interrupted = true;
    } else if (!drained) {
      result_.stalled = true;
    }
  }
  if (result_.stalled) {
    for (size_t r = 0; r < outstanding_.size(); ++r) {
      if (outstanding_[r] == 0) continue;
      if (!result_.stall_detail.empty()) result_.stall_detail += "; ";
      result_.stall_detail += DeviceName(r) + " still waits for " +
                              std::to_string(outstanding_[r]) + " frames written to it";
    }
    if (result_.stall_detail.empty()) result_.stall_detail = "nothing was read for 5 s";
  }
  for (const PlannedFrame& f : plan_) {
    if (!f.written) continue;
    for (int r : Receivers(f)) {
      if (got_[r][f.sender][f.sequence] == 0) ++result_.lost;
    }
  }
  result_.seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
  if (progress) progress(result_.planned, result_.planned);
  // Frames read from now on are nobody's business but the counters'.
  checking_ = false;
  return result_;
}

ReplayResult Traffic::Replay(Pc& pc, const std::vector<std::vector<uint8_t>>& frames,
                             const std::vector<size_t>& nic_of_device,
                             const std::atomic<bool>& interrupted) {
  ReplayResult result;
  sim::TestPort* port = &pc.Wire(0);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    replaying_ = true;
  }
  // Devices whose controller hears segment 0.
  std::vector<size_t> listeners;
  for (size_t d = 0; d < stations_.size(); ++d) {
    if (d < nic_of_device.size() && nic_of_device[d] < pc.nic_count() &&
        pc.SegmentOf(nic_of_device[d]) == 0) {
      listeners.push_back(d);
    }
  }
  const std::vector<uint8_t> nudge_frame = NudgeFrame();
  const auto nudge = [&] {
    port->Inject(nudge_frame);
    pc.segment(0).Flush();
    ++result.nudges;
  };
  std::vector<uint64_t> before(listeners.size());
  for (const std::vector<uint8_t>& frame : frames) {
    if (interrupted.load()) break;
    for (size_t i = 0; i < listeners.size(); ++i) {
      before[i] = pc.nic(nic_of_device[listeners[i]]).counters().frames_received.load();
    }
    port->Inject(frame);
    port->ClearHeard();  // what the wire hears is of no interest here
    // Another thread may be delivering the segment's queue; the counters
    // below are only meaningful once this frame has reached every port.
    pc.segment(0).Flush();
    ++result.injected;
    std::unique_lock<std::mutex> lock(mutex_);
    for (size_t i = 0; i < listeners.size(); ++i) {
      const size_t d = listeners[i];
      const uint64_t after = pc.nic(nic_of_device[d]).counters().frames_received.load();
      // The controller stored it; the driver queues it unless it carries the
      // station's own source address.
      const bool own_source =
          frame.size() >= 12 && std::memcmp(frame.data() + 6, stations_[d].mac.data(), 6) == 0;
      if (after > before[i] && !own_source) {
        ++tallies_[d].replay_expected;
        ++result.expected;
      }
    }
    if (!WaitFor(
            lock,
            [&] {
              return std::all_of(listeners.begin(), listeners.end(), [&](size_t d) {
                return tallies_[d].replayed + window_ > tallies_[d].replay_expected;
              });
            },
            kStallMs, interrupted, nudge)) {
      result.stalled = !interrupted.load();
      break;
    }
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (!result.stalled && !interrupted.load()) {
    result.stalled = !WaitFor(
        lock,
        [&] {
          return std::all_of(listeners.begin(), listeners.end(), [&](size_t d) {
            return tallies_[d].replayed >= tallies_[d].replay_expected;
          });
        },
        kStallMs, interrupted, nudge);
    if (interrupted.load()) result.stalled = false;
  }
  for (size_t d : listeners) result.read += tallies_[d].replayed;
  return result;
}

std::vector<DeviceTally> Traffic::Tallies() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tallies_;
}

}  // namespace tool
