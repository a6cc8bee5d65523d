// An Ethernet segment with hub semantics: a frame one port sends reaches
// every other port, in order; the sender never hears itself. Frames are what
// a controller stores: destination address first, no preamble, no CRC.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/machine.h"

namespace sim {

// Receive-error marks a test port can put on an injected frame; the
// receiving controller reports them in the descriptor's status.
struct FrameErrors {
  bool crc = false;
  bool alignment = false;
  bool overrun = false;
};

struct Frame {
  std::vector<uint8_t> bytes;
  FrameErrors errors;
};

class Segment;

class SegmentPort {
 public:
  virtual ~SegmentPort() = default;
  // A frame from another port. Called on the thread of a sender (the one
  // that sent it, or another sender that is delivering the queue at that
  // moment), never with any sender's controller lock held. A port may send
  // from inside Receive: that frame is queued behind the current one.
  virtual void Receive(const Frame& frame) = 0;
};

// Frames sent concurrently are serialised through one queue: the sender that
// finds nobody delivering becomes the deliverer and hands out queued frames,
// each to every port but its sender, in attach order, outside the segment's
// lock, until the queue is empty. Every port therefore sees one order, and
// nothing is called with the segment's lock held.
class Segment : public MachinePart {
 public:
  explicit Segment(std::string name = "segment0") : name_(std::move(name)) {}
  ~Segment() override;
  const std::string& name() const { return name_; }

  void Attach(SegmentPort* port);
  // After Detach returns the port is never called again (a delivery to it in
  // progress on another thread is waited for), so it may be destroyed.
  void Detach(SegmentPort* port);
  // Queues the frame for every attached port but `from` (which may be null:
  // a frame from outside reaches every port). Returns once the frame has
  // been delivered, or, when another thread is delivering, once it is queued
  // behind the frames sent before it (Flush() waits for those).
  void Send(SegmentPort* from, const Frame& frame);
  // Waits until every frame sent so far has been delivered. Not to be called
  // from inside a port's Receive.
  void Flush();

  uint64_t frames() const;

 private:
  struct Queued {
    SegmentPort* from;
    Frame frame;
  };

  std::string name_;
  mutable std::mutex mutex_;
  std::condition_variable idle_;       // a delivery step ended
  std::vector<SegmentPort*> ports_;    // guarded by mutex_
  std::deque<Queued> queue_;           // guarded by mutex_
  bool delivering_ = false;            // guarded by mutex_: some thread runs the queue
  std::thread::id deliverer_;          // guarded by mutex_: which one
  SegmentPort* in_receive_ = nullptr;  // guarded by mutex_: port being called now
  uint64_t frames_ = 0;                // guarded by mutex_
  unsigned waiters_ = 0;               // guarded by mutex_: threads in WaitIdle
  // The deliverer's copy of the port list, kept between deliveries so that
  // taking it allocates nothing. Touched only by the thread that set
  // delivering_ (under mutex_), while delivering_ is set.
  std::vector<SegmentPort*> snapshot_;

  // Waiting for a delivery step is rare (a port detaching, a flush, the
  // end); every frame ends one, so the step's end notifies only when a
  // waiter is counted. Both with mutex_ held.
  template <typename Done>
  void WaitIdle(std::unique_lock<std::mutex>& lock, Done done) {
    ++waiters_;
    idle_.wait(lock, done);
    --waiters_;
  }
  void NotifyIdle();

  // Hands one frame to every attached port but `from`; mutex_ held on entry
  // and exit, released around each Receive. Deliverer only.
  void DeliverOne(std::unique_lock<std::mutex>& lock, SegmentPort* from, const Frame& frame);
};

// A test port: injects frames (with error marks if wanted) and keeps every
// frame it hears.
class TestPort : public SegmentPort, public MachinePart {
 public:
  explicit TestPort(Segment& segment);
  ~TestPort() override;
  void Inject(const std::vector<uint8_t>& bytes, FrameErrors errors = {});
  void Receive(const Frame& frame) override;
  std::vector<Frame> Heard() const;
  void ClearHeard();

 private:
  Segment& segment_;
  mutable std::mutex mutex_;
  std::vector<Frame> heard_;  // guarded by mutex_
};

// Writes every frame it hears to a pcap file (Ethernet link type) through
// libpcap (or directly, in a build without libpcap), stamped with machine
// time. The file is complete when the port is destroyed or Close()d.
class CapturePort : public SegmentPort, public MachinePart {
 public:
  // Throws std::runtime_error naming the file when it cannot be opened.
  CapturePort(Segment& segment, const std::string& path, Clock& clock);
  // Closes; a write error found then is reported on stderr.
  ~CapturePort() override;
  void Receive(const Frame& frame) override;
  // Detaches, flushes and closes the file. Throws std::runtime_error naming
  // the file when any write failed. Later frames are not captured; a second
  // Close does nothing.
  void Close();
  uint64_t frames() const;
  // Empty while every write has succeeded, else what went wrong.
  std::string error() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  Segment& segment_;
};

// Reads the frames of a pcap file (for replay into a segment). Throws
// std::runtime_error naming the file and the problem (missing, not a pcap
// file, not Ethernet, truncated). A frame captured shorter than it was on the
// wire is returned as captured.
std::vector<std::vector<uint8_t>> ReadPcapFrames(const std::string& path);

// Bridges a segment to a Linux TAP interface: frames heard on the segment are
// written to the interface, frames read from it are sent on the segment by a
// reader thread. Frames shorter than 60 bytes from the host are padded with
// zeros to 60, as the host's own adapter would pad them on a wire. The
// interface is left down; bring it up with the host's tools.
class TapPort : public SegmentPort, public MachinePart {
 public:
  // Creates (or attaches to) the interface; throws std::runtime_error with a
  // clear reason when /dev/net/tun is missing or permission is lacking.
  TapPort(Segment& segment, const std::string& interface_name);
  // Detaches from the segment, stops and joins the reader thread, closes.
  ~TapPort() override;
  void Receive(const Frame& frame) override;
  const std::string& interface_name() const;
  uint64_t frames_in() const;   // read from the interface, sent on the segment
  uint64_t frames_out() const;  // heard on the segment, written to the interface
  uint64_t write_errors() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  Segment& segment_;
};

}  // namespace sim
