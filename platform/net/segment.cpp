#include "platform/net/segment.h"

#include <algorithm>

namespace sim {

Segment::~Segment() {
  // Ports must be gone or detached by now (they are added to the machine
  // after their segment, so destroyed before it); nothing may still send.
  std::unique_lock<std::mutex> lock(mutex_);
  WaitIdle(lock, [this] { return !delivering_; });
}

void Segment::NotifyIdle() {
  if (waiters_ != 0) idle_.notify_all();
}

void Segment::Attach(SegmentPort* port) {
  if (port == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (std::find(ports_.begin(), ports_.end(), port) == ports_.end()) ports_.push_back(port);
}

void Segment::Detach(SegmentPort* port) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::erase(ports_, port);
  // A delivery to this port on another thread must end before the port can
  // go. On the delivering thread itself (a port detaching from inside a
  // Receive) there is nothing to wait for.
  WaitIdle(lock, [this, port] {
    return in_receive_ != port || deliverer_ == std::this_thread::get_id();
  });
}

void Segment::DeliverOne(std::unique_lock<std::mutex>& lock, SegmentPort* from,
                         const Frame& frame) {
  // Snapshot the ports, then call each one still attached, outside the lock.
  snapshot_.assign(ports_.begin(), ports_.end());
  for (SegmentPort* port : snapshot_) {
    if (port == from) continue;
    if (std::find(ports_.begin(), ports_.end(), port) == ports_.end()) continue;
    in_receive_ = port;
    lock.unlock();
    port->Receive(frame);
    lock.lock();
    in_receive_ = nullptr;
    NotifyIdle();
  }
}

void Segment::Send(SegmentPort* from, const Frame& frame) {
  std::unique_lock<std::mutex> lock(mutex_);
  ++frames_;
  if (delivering_) {
    // The deliverer (maybe this very thread) takes it after the frames
    // queued before it.
    queue_.push_back({from, frame});
    return;
  }
  delivering_ = true;
  deliverer_ = std::this_thread::get_id();
  // Nothing is queued while nobody delivers, so this frame is next in line:
  // it goes out from the sender's own buffer, uncopied.
  DeliverOne(lock, from, frame);
  while (!queue_.empty()) {
    Queued item = std::move(queue_.front());
    queue_.pop_front();
    DeliverOne(lock, item.from, item.frame);
  }
  delivering_ = false;
  deliverer_ = std::thread::id();
  NotifyIdle();
}

void Segment::Flush() {
  std::unique_lock<std::mutex> lock(mutex_);
  WaitIdle(lock, [this] { return !delivering_ && queue_.empty(); });
}

uint64_t Segment::frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

// ---- TestPort ----

TestPort::TestPort(Segment& segment) : segment_(segment) { segment_.Attach(this); }

TestPort::~TestPort() { segment_.Detach(this); }

void TestPort::Inject(const std::vector<uint8_t>& bytes, FrameErrors errors) {
  segment_.Send(this, Frame{bytes, errors});
}

void TestPort::Receive(const Frame& frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  heard_.push_back(frame);
}

std::vector<Frame> TestPort::Heard() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return heard_;
}

void TestPort::ClearHeard() {
  std::lock_guard<std::mutex> lock(mutex_);
  heard_.clear();
}

}  // namespace sim
