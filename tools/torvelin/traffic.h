// Self-checking traffic between the devices of a booted PC, through the
// driver's device functions only: one reader thread per device reads as
// frames come, and the writer keeps every receiver within a window of frames
// so that no client falls behind its receive queue.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/test_frame.h"
#include "tools/torvelin/pc.h"
#include "tools/torvelin/util.h"

namespace tool {

// A published device as the traffic sees it.
struct Station {
  uintptr_t open = 0;
  Mac mac{};
  size_t segment = 0;  // segment of the controller behind the device
  bool peers = false;  // takes part in the traffic
};

struct PlannedFrame {
  uint8_t sender;
  uint32_t sequence;  // per sender
  int destination;    // device index, or -1 for broadcast
  uint16_t length;
  bool written;  // the driver took it
};

// The frames to send, one after the other: random senders among the devices
// with peers, directed to a random peer on the same segment or broadcast,
// lengths 60-1514. Frames are made as they are sent, so a long run needs no
// memory for frames it has not reached.
class Planner {
 public:
  Planner(const std::vector<Station>& stations, uint64_t seed);
  bool empty() const { return senders_.empty(); }
  PlannedFrame Next();

 private:
  const std::vector<Station>& stations_;
  sim::TestRandom random_;
  std::vector<size_t> senders_;
  std::vector<uint32_t> next_sequence_;
};

// What each device's client did and saw.
struct DeviceTally {
  uint64_t written_directed = 0;
  uint64_t written_broadcast = 0;
  uint64_t write_failures = 0;
  uint64_t read = 0;  // every frame read
  uint64_t read_directed = 0;
  uint64_t read_multicast = 0;
  uint64_t read_broadcast = 0;
  uint64_t read_failures = 0;
  uint64_t checked = 0;   // test frames that matched byte for byte
  uint64_t foreign = 0;   // frames that are not the tool's test frames
  uint64_t replayed = 0;  // replayed frames read
  uint64_t replay_expected = 0;
  uint64_t nudges = 0;  // the tool's own nudge frames read during the replay
};

struct TrafficResult {
  uint64_t planned = 0;
  uint64_t written = 0;
  uint64_t deliveries_expected = 0;  // one per receiver of each written frame
  uint64_t delivered = 0;            // test frames read intact by a receiver meant to get them
  uint64_t lost = 0;
  uint64_t corrupted = 0;
  uint64_t out_of_order = 0;
  uint64_t duplicated = 0;
  uint64_t misdelivered = 0;  // intact test frames read by a device not meant to get them
  uint64_t write_failures = 0;
  std::string first_failure;  // first failed call, with its status
  bool stalled = false;
  std::string stall_detail;
  bool interrupted = false;
  double seconds = 0;
};

struct ReplayResult {
  uint64_t injected = 0;
  uint64_t nudges = 0;    // nudge frames sent to move the driver's receive ring on
  uint64_t expected = 0;  // frames the controllers accepted for the driver
  uint64_t read = 0;
  bool stalled = false;
};

class Traffic {
 public:
  Traffic(Client& client, std::vector<Station> stations, uint64_t seed, uint32_t window);
  ~Traffic();  // joins the readers (the machine must have been stopped)

  void StartReaders();
  // Writes `count` frames and waits until every frame has been read or the
  // traffic stalls. `interrupted` ends it early; `progress` is called now
  // and then with (written, count).
  TrafficResult Run(uint64_t count, const std::atomic<bool>& interrupted,
                    const std::function<void(uint64_t, uint64_t)>& progress);
  // Injects captured frames into segment 0 through a test port, paced so that
  // readers keep up, and counts what the devices read.
  //
  // A frame the driver drops (a receive error, or its own source address)
  // ends that service's drain: frames completed behind it wait for the next
  // frame-received service. A replay can end on such a frame, so when the
  // readers make no progress the tool sends a nudge frame (a broadcast of
  // its own, which readers recognise and leave out of the counts) to bring
  // the next service about.
  ReplayResult Replay(Pc& pc, const std::vector<std::vector<uint8_t>>& frames,
                      const std::vector<size_t>& nic_of_device,
                      const std::atomic<bool>& interrupted);
  // Joins the readers; call after the machine has stopped.
  void JoinReaders();

  std::vector<DeviceTally> Tallies() const;

 private:
  void ReaderLoop(size_t device);
  void OnFrame(size_t device, const uint8_t* bytes, size_t length);
  // Waits (under lock) until `ready` holds or nothing has been read for
  // `stall_ms`; false on a stall or interruption.
  bool WaitFor(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready, int stall_ms,
               const std::atomic<bool>& interrupted, const std::function<void()>& nudge = nullptr);
  std::vector<int> Receivers(const PlannedFrame& frame) const;

  // Set at construction, read by every thread.
  Client& client_;
  const std::vector<Station> stations_;
  const uint64_t seed_;
  const uint32_t window_;
  // Started and joined by the thread that owns this object.
  std::vector<std::thread> readers_;

  mutable std::mutex mutex_;
  std::condition_variable progress_;
  // Everything below is guarded by mutex_.
  bool checking_ = false;                        // a traffic run is on
  std::vector<PlannedFrame> plan_;               // frames handed to the driver so far
  std::vector<std::vector<size_t>> plan_index_;  // [sender][sequence] -> index in plan_
  std::vector<uint32_t> outstanding_;            // per receiver: written, not yet read
  // [receiver][sender][sequence]: times read; [receiver][sender]: highest sequence read + 1.
  std::vector<std::vector<std::vector<uint8_t>>> got_;
  std::vector<std::vector<uint32_t>> highest_;
  std::vector<DeviceTally> tallies_;
  TrafficResult result_;
  bool replaying_ = false;
  uint64_t reads_ = 0;  // frames read by all readers, for stall detection
};

}  // namespace tool
