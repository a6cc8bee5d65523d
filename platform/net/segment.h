// An Ethernet segment with hub semantics: a frame one port sends reaches
// every other port, in order; the sender never hears itself. Frames are what
// a controller stores: destination address first, no preamble, no CRC.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
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
  // A frame from another port. Called on the sender's thread, never with the
  // sender's own locks held.
  virtual void Receive(const Frame& frame) = 0;
};

class Segment : public MachinePart {
 public:
  explicit Segment(std::string name = "segment0") : name_(std::move(name)) {}
  const std::string& name() const { return name_; }

  void Attach(SegmentPort* port);
  void Detach(SegmentPort* port);
  // Hands the frame to every attached port but `from`, in attach order.
  // Frames sent concurrently are serialised: every port sees one order.
  void Send(SegmentPort* from, const Frame& frame);

  uint64_t frames() const;

 private:
  std::string name_;
  mutable std::mutex mutex_;
  std::vector<SegmentPort*> ports_;  // guarded by mutex_
  uint64_t frames_ = 0;              // guarded by mutex_
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
// libpcap. The file is complete when the port is destroyed or Close()d.
class CapturePort : public SegmentPort, public MachinePart {
 public:
  // Throws std::runtime_error naming the file when it cannot be opened.
  CapturePort(Segment& segment, const std::string& path, Clock& clock);
  ~CapturePort() override;
  void Receive(const Frame& frame) override;
  void Close();
  uint64_t frames() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  Segment& segment_;
};

// Reads the frames of a pcap file (for replay into a segment). Throws
// std::runtime_error naming the file and the problem.
std::vector<std::vector<uint8_t>> ReadPcapFrames(const std::string& path);

// Bridges a segment to a Linux TAP interface: frames heard on the segment are
// written to the interface, frames read from it are sent on the segment.
class TapPort : public SegmentPort, public MachinePart {
 public:
  // Creates (or attaches to) the interface; throws std::runtime_error with a
  // clear reason when /dev/net/tun is missing or permission is lacking.
  TapPort(Segment& segment, const std::string& interface_name);
  ~TapPort() override;
  void Receive(const Frame& frame) override;
  const std::string& interface_name() const;
  uint64_t frames_in() const;
  uint64_t frames_out() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  Segment& segment_;
};

}  // namespace sim
