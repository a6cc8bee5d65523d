// Machine time. Virtual by default: time moves only when the machine works
// (every port access costs a fixed amount), so busy waits end after a bounded
// number of accesses and never sleep. Real mode follows the host's monotonic
// clock, for people who want real pacing.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

namespace sim {

enum class ClockMode { Virtual, Real };

// Something that must act at a moment of machine time whoever moves the
// time there (a device whose work is due while software only polls memory
// or the timer). Called on the thread whose port access reached the moment,
// before that access reaches any device, with no lock of the port bus or the
// clock held.
class ClockAlarm {
 public:
  virtual void OnAlarm() = 0;

 protected:
  ~ClockAlarm() = default;
};

namespace clock_detail {

inline constexpr uint32_t kNoPort = 0xFFFFFFFF;

// Time one thread has spent on accesses to the clock numbered `clock` and
// not yet added to its shared count; only that thread touches it. It is
// added when the thread moves to another clock or ends, if the clock still
// exists, so no access goes uncounted. Trivially destructible and defined
// in this header, so that an access reaches it directly rather than through
// the call that a thread-local with a destructor costs at every use; the add
// at thread end is done by a separate object that MoveTo sets up.
struct Pending {
  uint64_t clock = 0;
  uint64_t ns = 0;
  uint32_t idle = 0;             // idle accesses in a row, up to Clock::kIdleAccessesToMax
  uint32_t poll_port = kNoPort;  // the last device port read, until a device write
  uint32_t poll_value = 0;       // what it gave
  void MoveTo(uint64_t serial);
};
inline thread_local Pending t_pending;

}  // namespace clock_detail

class Clock {
 public:
  // Cost of one port access in virtual mode, like an ISA bus cycle.
  static constexpr uint64_t kPortAccessNs = 1000;

  explicit Clock(ClockMode mode = ClockMode::Virtual);
  ~Clock();
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;

  // Port accesses a thread makes before its share of time is added to the
  // shared count (see OnPortAccess).
  static constexpr uint64_t kBatchAccesses = 16;

  ClockMode mode() const { return mode_; }
  // Nanoseconds of machine time since the machine was made, as the calling
  // thread sees it: the shared count plus the thread's own accesses not yet
  // added to it. Never goes back for any one thread; another thread's view
  // may lag by less than kBatchAccesses accesses of that thread.
  uint64_t NowNs() const {
    if (mode_ != ClockMode::Virtual) return RealNowNs();
    const Pending& pending = clock_detail::t_pending;
    const uint64_t own = pending.clock == serial_ ? pending.ns : 0;
    return virtual_ns_.load(std::memory_order_relaxed) + own;
  }
  // Called by the port bus for every access; moves virtual time on. A locked
  // add on one shared word per access made every access pay for the cache
  // line moving between the CPUs of the driver's threads; instead each
  // thread counts its accesses privately and adds them in batches, and sees
  // its own unadded ones in NowNs. A busy wait therefore still ends after
  // the same number of its own accesses.
  //
  // Busy waits cost less: an access that belongs to a wait (`idle`) costs
  // more, the longer the wait goes on (IdleStepNs). The port bus calls an
  // access idle when it reads the PC timer (its counter and control ports,
  // and port B, which delays read), or when it reads again the device
  // register this thread last read, with no device write since: a thread
  // that does nothing else is polling. The driver then sees a timer, or a
  // status, that moves further per read, as on a slower CPU, and every wait
  // still lasts at least its full machine time, ending at the first read
  // past its target. Nothing is lost by the jump: the device models work out
  // what happened meanwhile at their next register access. The first other
  // access, or a polled register that reads differently, brings the cost
  // back to one bus cycle.
  void OnPortAccess(bool idle = false);
  // Sets `alarm` (one moment per alarm: a new one replaces the old) to go
  // off at the first port access, of any thread, whose time reaches `at_ns`.
  // Virtual mode only; in real mode nothing fires.
  void SetAlarm(ClockAlarm* alarm, uint64_t at_ns);
  // Removes the alarm and waits until no thread is still calling it; never
  // call it from inside OnAlarm.
  void CancelAlarm(ClockAlarm* alarm);
  // For the port bus: whether a read of device port `port` repeats the
  // calling thread's last device read with no device write since.
  bool RepeatsLastRead(uint32_t port) const {
    const Pending& pending = clock_detail::t_pending;
    return pending.clock == serial_ && pending.poll_port == port;
  }
  // After a device read: a value other than the one the same port gave last
  // time is progress, and ends the wait.
  void OnDeviceRead(uint32_t port, uint32_t value) {
    Pending& pending = clock_detail::t_pending;
    if (pending.clock != serial_) return;
    if (pending.poll_port != port || pending.poll_value != value) pending.idle = 0;
    pending.poll_port = port;
    pending.poll_value = value;
  }
  // After a device write: whatever was polled may change now.
  void OnDeviceWrite() {
    Pending& pending = clock_detail::t_pending;
    if (pending.clock == serial_) pending.poll_port = kNoPort;
  }

  // The cost of the `n`-th idle access in a row (n from 1): one bus cycle
  // for the first kIdleAccessesPerDoubling (two timer polls of three
  // accesses: latch, low byte, high byte), then doubling every as many
  // accesses, up to kIdleStepMaxNs. So a wait overshoots its target by less
  // than half of what it waited plus one poll, and the timer moves at most
  // 3 ms between two reads of a waiting driver, far below half its 16-bit
  // period (27 ms), beyond which a wait could no longer tell how often the
  // counter wrapped. A 1 ms delay takes about 40 accesses instead of 1,000.
  static constexpr uint32_t kIdleAccessesPerDoubling = 6;
  static constexpr uint64_t kIdleStepMaxNs = 1'000'000;
  static constexpr uint64_t IdleStepNs(uint32_t n) {
    const uint32_t doublings = (n - 1) / kIdleAccessesPerDoubling;
    const uint64_t step = doublings >= 10 ? kIdleStepMaxNs : kPortAccessNs << doublings;
    return step < kIdleStepMaxNs ? step : kIdleStepMaxNs;
  }
  static constexpr uint32_t kIdleAccessesToMax = 10 * kIdleAccessesPerDoubling + 1;
  static constexpr uint32_t kNoPort = clock_detail::kNoPort;
  // Moves virtual time on by the given amount (no effect in real mode).
  void Advance(uint64_t ns) {
    if (mode_ == ClockMode::Virtual) virtual_ns_.fetch_add(ns, std::memory_order_relaxed);
  }

 private:
  using Pending = clock_detail::Pending;
  uint64_t RealNowNs() const;

  const ClockMode mode_;
  // Tells this clock's pending time from another's (clocks come and go with
  // machines, and a new one may reuse an old one's address). Never 0.
  const uint64_t serial_;
  // Virtual machine time; any thread adds to it. Relaxed: it orders nothing
  // else, it only has to be monotonic, which a single atomic counter is.
  std::atomic<uint64_t> virtual_ns_{0};
  const std::chrono::steady_clock::time_point start_;  // set once, read-only after

  void FireDueAlarms();
  // The earliest alarm's moment (UINT64_MAX: none); written under alarm_mu_,
  // read by every access without it. A stale read only fires a little later
  // (at the next access) or looks for nothing due.
  std::atomic<uint64_t> next_alarm_ns_{UINT64_MAX};
  std::mutex alarm_mu_;
  struct Alarm {
    ClockAlarm* alarm;
    uint64_t at_ns;
  };
  std::vector<Alarm> alarms_;  // guarded by alarm_mu_
  unsigned firing_ = 0;        // guarded by alarm_mu_: OnAlarm calls under way
};

namespace clock_detail {

// Clock::IdleStepNs(n) at index n (1..kIdleAccessesToMax): every access of
// a busy wait looks its cost up here.
inline constexpr std::array<uint64_t, Clock::kIdleAccessesToMax + 1> kIdleSteps = [] {
  std::array<uint64_t, Clock::kIdleAccessesToMax + 1> steps{};
  for (uint32_t n = 1; n <= Clock::kIdleAccessesToMax; ++n) steps[n] = Clock::IdleStepNs(n);
  return steps;
}();

}  // namespace clock_detail

inline void Clock::OnPortAccess(bool idle) {
  if (mode_ != ClockMode::Virtual) return;
  Pending& pending = clock_detail::t_pending;
  if (pending.clock != serial_) pending.MoveTo(serial_);
  if (idle) {
    if (pending.idle < kIdleAccessesToMax) ++pending.idle;
    pending.ns += clock_detail::kIdleSteps[pending.idle];
  } else {
    pending.idle = 0;
    pending.ns += kPortAccessNs;
  }
  if (pending.ns >= kBatchAccesses * kPortAccessNs) {
    virtual_ns_.fetch_add(pending.ns, std::memory_order_relaxed);
    pending.ns = 0;
  }
  if (virtual_ns_.load(std::memory_order_relaxed) + pending.ns >=
      next_alarm_ns_.load(std::memory_order_relaxed)) {
    FireDueAlarms();
  }
}

}  // namespace sim
