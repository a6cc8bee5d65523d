#include "platform/pc/clock.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>

namespace sim {

namespace {

// Every clock alive, by serial, so that a thread's leftover time finds its
// clock (or learns it is gone). Touched only when a clock is made or
// destroyed and when a thread changes clocks or ends, never per access.
std::mutex g_live_mutex;
std::map<uint64_t, std::atomic<uint64_t>*>& LiveClocks() {             // guarded by g_live_mutex
  static auto* live = new std::map<uint64_t, std::atomic<uint64_t>*>;  // outlives every thread
  return *live;
}
std::atomic<uint64_t> g_clock_serials{0};

}  // namespace

// Adds the thread's leftover time when the thread ends; set up by the first
// MoveTo of the thread to a clock, which comes before any time is counted.
struct PendingFlush {
  bool armed = false;
  ~PendingFlush() {
    if (armed) clock_detail::t_pending.MoveTo(0);
  }
};
thread_local PendingFlush t_flush;

void clock_detail::Pending::MoveTo(uint64_t serial) {
  if (serial != 0) t_flush.armed = true;
  if (ns != 0) {
    std::lock_guard lock(g_live_mutex);
    auto it = LiveClocks().find(clock);
    if (it != LiveClocks().end()) it->second->fetch_add(ns, std::memory_order_relaxed);
  }
  clock = serial;
  ns = 0;
  idle = 0;
  poll_port = kNoPort;
}

Clock::Clock(ClockMode mode)
    : mode_(mode),
      serial_(g_clock_serials.fetch_add(1, std::memory_order_relaxed) + 1),
      start_(std::chrono::steady_clock::now()) {
  std::lock_guard lock(g_live_mutex);
  LiveClocks().emplace(serial_, &virtual_ns_);
}

Clock::~Clock() {
  std::lock_guard lock(g_live_mutex);
  LiveClocks().erase(serial_);
}

uint64_t Clock::RealNowNs() const {
  const auto elapsed = std::chrono::steady_clock::now() - start_;
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
}

void Clock::SetAlarm(ClockAlarm* alarm, uint64_t at_ns) {
  if (mode_ != ClockMode::Virtual) return;
  std::lock_guard lock(alarm_mu_);
  auto it = std::find_if(alarms_.begin(), alarms_.end(),
                         [alarm](const Alarm& a) { return a.alarm == alarm; });
  if (it != alarms_.end()) {
    it->at_ns = at_ns;
  } else {
    alarms_.push_back({alarm, at_ns});
  }
  if (at_ns < next_alarm_ns_.load(std::memory_order_relaxed)) {
    next_alarm_ns_.store(at_ns, std::memory_order_relaxed);
  }
}

void Clock::CancelAlarm(ClockAlarm* alarm) {
  for (;;) {
    {
      std::lock_guard lock(alarm_mu_);
      alarms_.erase(std::remove_if(alarms_.begin(), alarms_.end(),
                                   [alarm](const Alarm& a) { return a.alarm == alarm; }),
                    alarms_.end());
      if (firing_ == 0) return;
    }
    std::this_thread::yield();
  }
}

void Clock::FireDueAlarms() {
  const uint64_t now = NowNs();
  // Few alarms (one per device that asks), so a small fixed batch suffices;
  // any left over fire at the next access.
  ClockAlarm* due[16];
  size_t count = 0;
  {
    std::lock_guard lock(alarm_mu_);
    uint64_t next = UINT64_MAX;
    for (size_t i = 0; i < alarms_.size();) {
      if (alarms_[i].at_ns <= now && count < std::size(due)) {
        due[count++] = alarms_[i].alarm;
        alarms_[i] = alarms_.back();
        alarms_.pop_back();
      } else {
        next = std::min(next, alarms_[i].at_ns);
        ++i;
      }
    }
    next_alarm_ns_.store(next, std::memory_order_relaxed);
    if (count == 0) return;
    ++firing_;
  }
  for (size_t i = 0; i < count; ++i) due[i]->OnAlarm();
  std::lock_guard lock(alarm_mu_);
  --firing_;
}

}  // namespace sim
